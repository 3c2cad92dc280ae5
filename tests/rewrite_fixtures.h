// Files with a chosen block layout, the regions of a file that hold data, and
// the normalising of lines that carry a random temporary name.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <utility>
#include <vector>

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

// "dup__" and its seven random characters become TEMP.
inline std::string normalised(std::string text) {
    return std::regex_replace(text, std::regex("dup__[A-Za-z0-9]{7}"), "TEMP");
}

// The regions of a file that hold data, as SEEK_DATA and SEEK_HOLE show them:
// what is not listed is a hole.
inline std::vector<std::pair<off_t, off_t>> data_regions(const std::string &path) {
    std::vector<std::pair<off_t, off_t>> regions;
    const int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0) return regions;
    for (off_t at = 0;;) {
        const off_t start = lseek(fd, at, SEEK_DATA);
        if (start < 0) break;
        const off_t end = lseek(fd, start, SEEK_HOLE);
        regions.emplace_back(start, end);
        at = end;
    }
    close(fd);
    return regions;
}

// The regions of whole blocks of `unit` bytes (the last one may be partial)
// that hold a byte other than zero: where a sparse copy of content has data.
// A region ends at the end of the file, as SEEK_HOLE reports it.
inline std::vector<std::pair<off_t, off_t>> nonzero_blocks(const std::string &content, off_t unit) {
    std::vector<std::pair<off_t, off_t>> regions;
    const off_t size = static_cast<off_t>(content.size());
    for (off_t at = 0; at < size; at += unit) {
        const off_t end = std::min(size, at + unit);
        if (std::all_of(content.begin() + at, content.begin() + end, [](char c) { return c == 0; }))
            continue;
        if (!regions.empty() && regions.back().second == at)
            regions.back().second = end;
        else
            regions.emplace_back(at, end);
    }
    return regions;
}

inline bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
