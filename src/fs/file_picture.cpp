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

namespace {

// The entry a name reaches, as a key: the device and inode of the directory
// that holds it (following the name's own route to it) and the final
// component. Empty when the directory cannot be examined.
std::string entry_key(file_picture &picture, const char *name) {
    const std::string_view final = final_part(name);
    const size_t length = static_cast<size_t>(final.data() - name);
    if (final.empty()) return {};
    std::string parent = length == 0 ? "." : std::string(name, length);
    // The picture changes no directory: each is examined once per picture.
    auto known = picture.directory_keys.find(parent);
    if (known == picture.directory_keys.end()) {
        dev_t device;
        ino_t inode;
        if (!holding_directory(name, device, inode)) return {};
        std::string key(reinterpret_cast<const char *>(&device), sizeof device);
        key.append(reinterpret_cast<const char *>(&inode), sizeof inode);
        known = picture.directory_keys.emplace(std::move(parent), std::move(key)).first;
    }
    std::string key = known->second;
    key.append(final);
    return key;
}

const pictured_entry *find_entry(file_picture &picture, const char *name) {
    if (picture.entries.empty() || !picture.final_components.count(std::string(final_part(name))))
        return nullptr;
    auto found = picture.entries.find(entry_key(picture, name));
    return found == picture.entries.end() ? nullptr : &found->second;
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
    const std::string key = entry_key(picture, name);
    if (key.empty()) return;
    picture.final_components.emplace(final_part(name));
    picture.entries[key] = what;
}

// A name that reaches the file that name shows in the picture, looked up as
// it is: name itself unless its entry is changed.
std::string real_name_of(file_picture &picture, const char *name) {
    const pictured_entry *entry = find_entry(picture, name);
    return entry ? entry->real_name : std::string(name);
}

// A status for a new inode on device: a number no file of the run has.
struct stat new_inode_status(file_picture &picture, const struct stat &like) {
    struct stat status = like;
    status.st_ino = static_cast<ino_t>(UINT64_MAX - picture.inodes_made++);
    status.st_nlink = 1;
    return status;
}

}  // namespace

int view_status(const file_view &view, const char *name, struct stat &status, name_walk *walk) {
    file_picture *picture = view.picture;
    const pictured_entry *entry = picture ? find_entry(*picture, name) : nullptr;
    if (!entry) {
        const int examined = walk ? walk_status(*walk, name, status) : lstat(name, &status);
        if (examined != 0) return -1;
        if (picture) apply_link_change(*picture, status);
        return 0;
    }
    switch (entry->shows) {
        case entry_shows::removed: errno = ENOENT; return -1;
        case entry_shows::new_inode: status = entry->status; return 0;
        case entry_shows::real_file:
            if (lstat(entry->real_name.c_str(), &status) != 0) return -1;
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
        if (!S_ISREG(entry->status.st_mode) || entry->real_name.empty() ||
            entry->status.st_ino != examined.st_ino || entry->status.st_dev != examined.st_dev) {
            errno = S_ISLNK(entry->status.st_mode) ? ELOOP : ENOENT;
            return unique_fd();
        }
        // The copy holds the bytes of the file it was made from.
        struct stat real;
        if (lstat(entry->real_name.c_str(), &real) != 0) return unique_fd();
        unique_fd fd = open_examined_at(AT_FDCWD, entry->real_name.c_str(), real, opened);
        if (fd) opened = entry->status;
        return fd;
    }
    unique_fd fd = open_examined_at(AT_FDCWD, entry->real_name.c_str(), examined, opened);
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
    if (entry.shows == entry_shows::new_inode)
        ++entry.status.st_nlink;  // not met within one pass; kept sound
    else
        change_links(picture, survivor_status, 1);
    set_entry(picture, replaced, entry);
}

void picture_symbolic_link(file_picture &picture, const char *replaced,
                           const struct stat &replaced_status, const std::string &text) {
    pictured_entry entry;
    entry.shows = entry_shows::new_inode;
    entry.status = new_inode_status(picture, replaced_status);
    entry.status.st_mode = S_IFLNK | 0777;
    entry.status.st_size = static_cast<off_t>(text.size());
    entry.status.st_blocks = 0;
    entry.status.st_uid = geteuid();
    entry.status.st_gid = getegid();
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
