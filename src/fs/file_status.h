// Comparisons of status records that decide whether two looks at a name saw
// the same file, and the same version of it.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>

inline bool same_inode(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Same inode, same size, same modification time to the nanosecond: the
// bytes are those seen before, though a new name may have moved the change
// time.
inline bool same_contents(const struct stat &a, const struct stat &b) {
    return same_inode(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Same contents, and the same change time to the nanosecond.
inline bool same_version(const struct stat &a, const struct stat &b) {
    return same_contents(a, b) && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Whether the file open at fd is still the version opened (its status then),
// once it has been read: 1 when it is, 0 when it changed, -1 when fstat
// failed (errno set).
inline int still_version_opened(int fd, const struct stat &opened) {
    struct stat now;
    if (fstat(fd, &now) != 0) return -1;
    return same_version(now, opened) ? 1 : 0;
}

// A file's identity as a key of hash tables.
struct inode_key {
    dev_t device;
    ino_t inode;
    bool operator==(const inode_key &other) const {
        return device == other.device && inode == other.inode;
    }
};

struct inode_key_hash {
    size_t operator()(const inode_key &key) const {
        return std::hash<uint64_t>()(static_cast<uint64_t>(key.inode) * 0x9E3779B97F4A7C15ULL ^
                                     static_cast<uint64_t>(key.device));
    }
};
