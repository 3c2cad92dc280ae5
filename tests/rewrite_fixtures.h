// Files with a chosen block layout, and the normalising of lines that carry a
// random temporary name, a process id or a descriptor number.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "scratch_tree.h"

// A file of `size` bytes whose only written block is its last byte: a hole
// before it.
inline void write_holed_file(const std::string &path, off_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(pwrite(fd, "x", 1, size - 1), 1);
    close(fd);
}

// Bytes that never hold a whole zero block.
inline std::string dense_bytes(size_t size, unsigned seed = 1) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<char>((seed >> 16) % 255 + 1);
    }
    return bytes;
}

inline void set_times(const std::string &path, timespec access, timespec modification) {
    const timespec times[2] = {access, modification};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// "dup__" and its seven random characters become TEMP; process ids in the
// copier lines become PID.
inline std::string normalised(std::string text) {
    text = std::regex_replace(text, std::regex("dup__[A-Za-z0-9]{7}"), "TEMP");
    text = std::regex_replace(text, std::regex("child with pid [0-9]+"), "child with pid PID");
    text = std::regex_replace(text, std::regex("waitpid\\([0-9]+\\)"), "waitpid(PID)");
    return text;
}

inline bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
