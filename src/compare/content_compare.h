// The content comparison shared by link mode and delete mode.
#pragma once

#include <sys/stat.h>

#include <cstddef>

#include "fs/file_picture.h"

// Compares two files whose examined sizes are equal. 0 means byte-equal with
// the same length. Otherwise the files are ordered by their first differing
// 8-byte chunk, read as a little-endian signed 64-bit integer (the unread tail
// of a short chunk counts as zero bytes): 1 when the first file's chunk is the
// greater, -1 otherwise. A file that ends before the other is never equal to
// it and sorts first. A file that cannot be opened sorts first, silently. A
// read error spoils the chunk in which it happens: a difference in an earlier
// chunk still decides, otherwise "file %s: error %d.\n" is printed and the
// failing file sorts first (the first file is tested first). When proven is
// given, it tells whether both files opened were the versions examined and
// were read from a moment that their stamps prove (stamps_prove). The files
// are opened as view shows them and read into buffers.
struct comparison_buffers;
int compare_contents(const file_view &view, comparison_buffers &buffers, const char *first,
                     const struct stat &first_status, const char *second,
                     const struct stat &second_status, bool *proven = nullptr);

// The same comparison of two files opened for reading (at their starts);
// the names are for the messages.
int compare_open_files(comparison_buffers &buffers, int first_fd, const char *first, int second_fd,
                       const char *second);

// The order of two 8-byte chunks as the comparison defines it: each chunk
// holds its bytes with the unread tail zero, read as a little-endian signed
// 64-bit integer. Returns -1, 0 or 1.
int compare_chunks(const unsigned char *first, const unsigned char *second);

// Files are read in blocks of this size: few system calls, and two blocks
// still fit a core's cache.
constexpr size_t comparison_block_size = 128 * 1024;

// The two blocks that a comparison reads into, one per side (0, 1).
struct comparison_buffers {
    alignas(64) unsigned char block[2][comparison_block_size];
};

// What one block read delivered: the bytes before the file ended or a read
// failed, and whether a read failed.
struct block_read {
    const char *name;
    const unsigned char *data;
    size_t length;
    bool failed;
};

// Reads up to want bytes (at most comparison_block_size) from the
// descriptor's position into block, until they are all there, the file ends
// or a read fails.
block_read read_block(int fd, const char *name, unsigned char *block, size_t want);

// The same from offset, leaving the descriptor's position where it was.
block_read read_block_at(int fd, const char *name, unsigned char *block, size_t want, off_t offset);

// Orders two blocks read at one offset of two files, as if each file were
// read 8 bytes at a time: a differing chunk, an end of file or a failed read
// (reported by its line) decides, and decided is set. When both blocks were
// full and equal, decided is cleared and the next pair must be read.
int compare_blocks(const block_read &first, const block_read &second, bool &decided);
