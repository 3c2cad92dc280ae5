#include "fs/file_picture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fs/entry_names.h"
#include "fs/examined_open.h"
#include "fs/file_status.h"
#include "fs/settled_counts.h"

namespace {

// The entry a name reaches, as a key: the device and inode of the directory
// that holds it (following the name's own route to it) and the final
// component. False when the directory cannot be examined.
bool entry_key(file_picture &picture, const char *name, picture_key &key) {
    const std::string_view final = final_part(name);
    if (final.empty()) return false;
    const std::string_view parent(name, static_cast<size_t>(final.data() - name));
    // The picture changes no directory: each is examined once per picture.
    auto known = picture.directories.find(parent);
    if (known == picture.directories.end()) {
        file_picture::directory_seen seen{};
        seen.known = holding_directory(name, seen.device, seen.inode);
        known = picture.directories.emplace(parent, seen).first;
    }
    if (!known->second.known) return false;
    key = {known->second.device, known->second.inode, final};
    return true;
}

const pictured_entry *find_entry(file_picture &picture, const char *name) {
    if (picture.entries.empty() || !picture.final_components.count(final_part(name)))
        return nullptr;
    picture_key key;
    if (!entry_key(picture, name, key)) return nullptr;
    auto found = picture.entries.find(key);
    return found == picture.entries.end() ? nullptr : &found->second;
}

const struct stat &status_of(const file_picture &picture, const pictured_entry &entry) {
    return picture.new_statuses[entry.status - 1];
}

void apply_link_change(const file_picture &picture, struct stat &status) {
    if (picture.link_changes.empty()) return;
    auto found = picture.link_changes.find({status.st_dev, status.st_ino});
    if (found != picture.link_changes.end())
        status.st_nlink =
            static_cast<nlink_t>(static_cast<int64_t>(status.st_nlink) + found->second);
}

void change_links(file_picture &picture, const struct stat &status, int64_t by) {
    picture.link_changes[{status.st_dev, status.st_ino}] += by;
}

// Records the entry name reaches, as now showing what.
void set_entry(file_picture &picture, const char *name, const pictured_entry &what) {
    picture_key key;
    if (!entry_key(picture, name, key)) return;
    picture.final_components.emplace(key.final);
    picture.entries[key] = what;
}

// A name that reaches the file that name shows in the picture, looked up as
// it is: name itself unless its entry is changed.
const char *real_name_of(file_picture &picture, const char *name) {
    const pictured_entry *entry = find_entry(picture, name);
    return entry ? entry->real_name : name;
}

// A new inode on device, with a number no file of the run has: its status
// kept, and the entry's reference to it.
uint32_t new_inode_status(file_picture &picture, const struct stat &like) {
    struct stat status = like;
    status.st_ino = static_cast<ino_t>(UINT64_MAX - picture.inodes_made++);
    status.st_nlink = 1;
    picture.new_statuses.push_back(status);
    return static_cast<uint32_t>(picture.new_statuses.size());
}

}  // namespace

int view_status(const file_view &view, const char *name, struct stat &status, name_walk *walk) {
    file_picture *picture = view.picture;
    const pictured_entry *entry = picture ? find_entry(*picture, name) : nullptr;
    if (!entry) {
        auto examine = [&] {
            return walk ? walk_status(*walk, name, status) : lstat(name, &status);
        };
        int examined = examine();
        // A block count that may not have settled yet is waited for, and the
        // name looked at again.
        if (examined == 0 && count_may_lag(name, status) && settle_counts(name, status.st_dev))
            examined = examine();
        if (examined != 0) return -1;
        if (picture) apply_link_change(*picture, status);
        return 0;
    }
    switch (entry->shows) {
        case entry_shows::removed: errno = ENOENT; return -1;
        case entry_shows::new_inode: status = status_of(*picture, *entry); return 0;
        case entry_shows::real_file:
            if (lstat(entry->real_name, &status) != 0) return -1;
            apply_link_change(*picture, status);
            return 0;
    }
    return -1;
}

unique_fd view_open(const file_view &view, const char *name, const struct stat &examined,
                    struct stat &opened) {
    file_picture *picture = view.picture;
    const pictured_entry *entry = picture ? find_entry(*picture, name) : nullptr;
    if (!entry) {
        unique_fd fd = open_examined_at(AT_FDCWD, name, examined, opened);
        if (fd && picture) apply_link_change(*picture, opened);
        return fd;
    }
    if (entry->shows == entry_shows::removed) {
        errno = ENOENT;
        return unique_fd();
    }
    if (entry->shows == entry_shows::new_inode) {
        const struct stat &made = status_of(*picture, *entry);
        if (!S_ISREG(made.st_mode) || !entry->real_name || made.st_ino != examined.st_ino ||
            made.st_dev != examined.st_dev) {
            errno = S_ISLNK(made.st_mode) ? ELOOP : ENOENT;
            return unique_fd();
        }
        // The copy holds the bytes of the file it was made from.
        struct stat real;
        if (lstat(entry->real_name, &real) != 0) return unique_fd();
        unique_fd fd = open_examined_at(AT_FDCWD, entry->real_name, real, opened);
        if (fd) opened = made;
        return fd;
    }
    unique_fd fd = open_examined_at(AT_FDCWD, entry->real_name, examined, opened);
    if (fd) apply_link_change(*picture, opened);
    return fd;
}

void picture_hard_link(file_picture &picture, const char *survivor,
                       const struct stat &survivor_status, const char *replaced,
                       const struct stat &replaced_status) {
    pictured_entry entry;
    entry.shows = entry_shows::real_file;
    if (const pictured_entry *survivor_entry = find_entry(picture, survivor)) {
        entry = *survivor_entry;
    } else {
        entry.real_name = survivor;
    }
    change_links(picture, replaced_status, -1);
    if (entry.shows == entry_shows::new_inode) {
        // Not met within one pass; kept sound: the entries share no status.
        struct stat made = status_of(picture, entry);
        ++made.st_nlink;
        picture.new_statuses.push_back(made);
        entry.status = static_cast<uint32_t>(picture.new_statuses.size());
    } else {
        change_links(picture, survivor_status, 1);
    }
    set_entry(picture, replaced, entry);
}

void picture_symbolic_link(file_picture &picture, const char *replaced,
                           const struct stat &replaced_status, const std::string &text) {
    pictured_entry entry;
    entry.shows = entry_shows::new_inode;
    struct stat link = replaced_status;
    link.st_mode = S_IFLNK | 0777;
    link.st_size = static_cast<off_t>(text.size());
    link.st_blocks = 0;
    link.st_uid = geteuid();
    link.st_gid = getegid();
    entry.status = new_inode_status(picture, link);
    change_links(picture, replaced_status, -1);
    set_entry(picture, replaced, entry);
}

void picture_expansion(file_picture &picture, const char *name, const struct stat &status) {
    pictured_entry entry;
    entry.shows = entry_shows::new_inode;
    entry.real_name = real_name_of(picture, name);
    entry.status = new_inode_status(picture, status);
    change_links(picture, status, -1);
    set_entry(picture, name, entry);
}

void picture_removal(file_picture &picture, const char *name, const struct stat &status) {
    change_links(picture, status, -1);
    set_entry(picture, name, pictured_entry{});
}
