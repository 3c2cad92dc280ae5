// Comparisons of status records that decide whether two looks at a name saw
// the same file, and the same version of it.
#pragma once

#include <sys/stat.h>

inline bool same_inode(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Same inode, same size, same modification and change times to the nanosecond.
inline bool same_version(const struct stat &a, const struct stat &b) {
    return same_inode(a, b) && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}
