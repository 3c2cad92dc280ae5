// A read-only run's picture of the files: the changes that the same run
// would have made so far, laid over the files as they are. Every status that
// the link, expansion and delete passes look up and every file they open for
// reading goes through it while it is in use, so that a read-only run meets
// the files as the real run would meet them at the same step: its order, its
// survivors, its lines and its figures are those of the real run on a tree
// that nothing else changes. The sparse pass always sees the files as they
// are.
//
// A change is kept per directory entry (the directory that holds the name,
// as the name reaches it, and the final component), so that "./a", "a" or a
// path through a symbolic link to the directory meet one change; and per
// inode, as the number of names it gained or lost. A name whose final
// component no change has touched is looked up as it is, with no extra cost
// but a lookup of its link count's change.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "fs/file_handles.h"
#include "fs/file_status.h"
#include "fs/name_walk.h"

// What a changed entry shows.
enum class entry_shows {
    removed,
    real_file,  // an inode that exists: status and bytes through real_name
    new_inode,  // one that the run would have made: status as pictured; bytes
                // (of a copy) through real_name, none for a symbolic link
};

struct pictured_entry {
    entry_shows shows = entry_shows::removed;
    // A listed name that reaches the file on disk, looked up as it is (null
    // for a symbolic link).
    const char *real_name = nullptr;
    uint32_t status = 0;  // of a new inode: 1 + its index in new_statuses
};

// A directory entry: the device and inode of the directory that holds it,
// as a name reaches it, and the final component.
struct picture_key {
    dev_t device;
    ino_t directory;
    std::string_view final;
    bool operator==(const picture_key &) const = default;
};
struct picture_key_hash {
    size_t operator()(const picture_key &key) const {
        return std::hash<std::string_view>()(key.final) ^
               (static_cast<size_t>(key.directory) * 0x9E3779B97F4A7C15ULL) ^
               static_cast<size_t>(key.device);
    }
};

// One read-only pass's picture: empty when the pass begins. The names it is
// handed are listed names, which live as long as the run: it keeps pointers
// into them rather than copies.
struct file_picture {
    std::unordered_set<std::string_view> final_components;  // of every changed entry
    std::unordered_map<picture_key, pictured_entry, picture_key_hash> entries;
    std::unordered_map<inode_key, int64_t, inode_key_hash> link_changes;
    // The device and inode of each directory met (known: it could be
    // examined), by the directory part of the name that reached it.
    struct directory_seen {
        bool known;
        dev_t device;
        ino_t inode;
    };
    std::unordered_map<std::string_view, directory_seen> directories;
    std::deque<struct stat> new_statuses;
    uint64_t inodes_made = 0;
};

// How a pass sees the files: as they are, or, in a read-only pass, through
// its picture. Every status the link, expansion and delete passes look up
// and every file they open for reading goes through the view.
struct file_view {
    file_picture *picture = nullptr;  // null: the files as they are
    bool pictured() const { return picture != nullptr; }
};

// lstat of name as the view shows it: 0, or -1 with errno set. A walk of the
// list in its order looks names up through its directory (name_walk). Where
// block counts settle late (fs/settled_counts.h), the first file of a pass
// whose count may not have settled makes the run wait for its file system to
// catch up; the status is then that of a look after the wait.
int view_status(const file_view &view, const char *name, struct stat &status,
                name_walk *walk = nullptr);

// Opens name for reading as the view shows it, under the rule of
// open_examined_at: the file must be a regular file, the inode examined.
// opened is its status as the view shows it. Empty when it cannot be opened.
unique_fd view_open(const file_view &view, const char *name, const struct stat &examined,
                    struct stat &opened);

// The changes. Each takes the statuses as the picture showed them.
// replaced becomes a hard link to survivor's file.
void picture_hard_link(file_picture &picture, const char *survivor,
                       const struct stat &survivor_status, const char *replaced,
                       const struct stat &replaced_status);
// replaced becomes a symbolic link of text's length.
void picture_symbolic_link(file_picture &picture, const char *replaced,
                           const struct stat &replaced_status, const std::string &text);
// name is left alone on a copy of its file: a new inode of one link.
void picture_expansion(file_picture &picture, const char *name, const struct stat &status);
// name is removed.
void picture_removal(file_picture &picture, const char *name, const struct stat &status);
