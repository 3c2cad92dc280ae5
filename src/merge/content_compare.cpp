#include "merge/content_compare.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "run/file_status.h"
#include "run/output.h"

namespace {

// Large blocks keep the system calls few; two of them still fit a core's cache.
constexpr size_t block_size = 128 * 1024;
alignas(64) unsigned char first_block[block_size];
alignas(64) unsigned char second_block[block_size];

// Reads until the block is full, the file ends or a read fails (-1).
ssize_t read_block(int fd, unsigned char *block) {
    size_t filled = 0;
    while (filled < block_size) {
        ssize_t n = read(fd, block + filled, block_size - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        filled += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(filled);
}

int read_error(const char *name, int result) {
    // The error indicator of a read stream is 1 once set.
    fail_line(nullptr, "file %s: error %d.\n", name, 1);
    return result;
}

int64_t chunk_value(const unsigned char *chunk) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | chunk[i];
    return static_cast<int64_t>(value);
}

// Copies the chunk at offset of a block holding length bytes, zero-filling
// what lies past the end.
void take_chunk(const unsigned char *block, size_t length, size_t offset, unsigned char *chunk) {
    std::memset(chunk, 0, 8);
    if (offset < length) std::memcpy(chunk, block + offset, length - offset < 8 ? length - offset : 8);
}

// Orders two blocks read at the same offset; 0 when they hold the same bytes
// and length.
int compare_blocks(size_t first_length, size_t second_length) {
    size_t common = first_length < second_length ? first_length : second_length;
    size_t offset = 0;
    if (std::memcmp(first_block, second_block, common) == 0) {
        if (first_length == second_length) return 0;
        offset = common & ~size_t{7};  // the chunk in which the shorter one ends
    } else {
        // Find the deciding chunk only inside the differing range.
        size_t lo = 0;
        while (lo + 4096 <= common && std::memcmp(first_block + lo, second_block + lo, 4096) == 0)
            lo += 4096;
        while (first_block[lo] == second_block[lo]) ++lo;
        offset = lo & ~size_t{7};
    }
    unsigned char a[8], b[8];
    take_chunk(first_block, first_length, offset, a);
    take_chunk(second_block, second_length, offset, b);
    if (int order = compare_chunks(a, b)) return order;
    // Equal up to where the shorter one ends: the shorter file goes first.
    return first_length < second_length ? -1 : 1;
}

}  // namespace

int compare_chunks(const unsigned char *first, const unsigned char *second) {
    int64_t a = chunk_value(first), b = chunk_value(second);
    return a == b ? 0 : (a > b ? 1 : -1);
}

unique_fd open_examined_file(const char *name, const struct stat &examined) {
    int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    unique_fd fd;
#ifdef O_NOATIME
    // Reading every listed file should not touch their access times.
    fd = unique_fd(open(name, flags | O_NOATIME));
    if (!fd && errno == EPERM)
#endif
        fd = unique_fd(open(name, flags));
    if (!fd) return fd;
    struct stat opened;
    if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || !same_inode(opened, examined))
        return unique_fd();
    return fd;
}

int compare_contents(const char *first, const struct stat &first_status, const char *second,
                     const struct stat &second_status) {
    unique_fd first_fd = open_examined_file(first, first_status);
    if (!first_fd) return -1;
    unique_fd second_fd = open_examined_file(second, second_status);
    if (!second_fd) return 1;
    for (;;) {
        ssize_t first_length = read_block(first_fd.get(), first_block);
        if (first_length < 0) return read_error(first, -1);
        ssize_t second_length = read_block(second_fd.get(), second_block);
        if (second_length < 0) return read_error(second, 1);
        if (first_length == 0 && second_length == 0) return 0;
        if (int order = compare_blocks(static_cast<size_t>(first_length),
                                       static_cast<size_t>(second_length)))
            return order;
        if (static_cast<size_t>(first_length) < block_size) return 0;  // both ended together
    }
}
