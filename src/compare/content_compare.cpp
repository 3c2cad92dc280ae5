#include "compare/content_compare.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fs/examined_open.h"
#include "fs/file_picture.h"
#include "fs/file_status.h"
#include "fs/stamp_trust.h"
#include "state/output.h"

namespace {

constexpr size_t block_size = comparison_block_size;
constexpr size_t chunk_size = 8;

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

// The bytes that take part in the comparison: a failed read spoils the whole
// chunk in which it failed, an end of file only the bytes past it.
size_t usable_length(const block_read &side) {
    return side.failed ? side.length & ~(chunk_size - 1) : side.length;
}

// The chunk at offset, its bytes past the usable length set to zero.
void take_chunk(const block_read &side, size_t offset, unsigned char *chunk) {
    std::memset(chunk, 0, chunk_size);
    size_t length = usable_length(side);
    if (offset < length)
        std::memcpy(chunk, side.data + offset,
                    length - offset < chunk_size ? length - offset : chunk_size);
}

// The offset of the first byte in which a and b differ; they are known to
// differ somewhere in their first length bytes.
size_t first_difference(const unsigned char *a, const unsigned char *b, size_t length) {
    size_t at = 0;
    while (at + 4096 <= length && std::memcmp(a + at, b + at, 4096) == 0) at += 4096;
    while (a[at] == b[at]) ++at;
    return at;
}

}  // namespace

// Walks the chunks of two blocks read at one offset, as if each file were
// read 8 bytes at a time, from the first chunk where anything can happen: a
// difference, an end of file or a failed read. Sets decided and returns the
// result when the pair of blocks settles it; otherwise both blocks were full
// and equal and the next pair must be read.
int compare_blocks(const block_read &first, const block_read &second, bool &decided) {
    decided = true;
    const size_t first_usable = usable_length(first);
    const size_t second_usable = usable_length(second);
    size_t start = first_usable < second_usable ? first_usable : second_usable;
    if (std::memcmp(first.data, second.data, start) != 0)
        start = first_difference(first.data, second.data, start);
    for (size_t offset = start & ~(chunk_size - 1); offset < block_size; offset += chunk_size) {
        // The first file is read before the second, and its error is tested first.
        if (first.failed && offset >= first_usable) return read_error(first.name, -1);
        const bool first_ended = offset >= first.length;
        const bool second_ended = !second.failed && offset >= second.length;
        // A file that ends before the other, even inside the last chunk, sorts first.
        if (first_ended && second_ended)
            return first.length == second.length ? 0 : (first.length < second.length ? -1 : 1);
        if (first_ended) return -1;
        if (second.failed && offset >= second_usable) return read_error(second.name, 1);
        if (second_ended) return 1;
        unsigned char a[chunk_size], b[chunk_size];
        take_chunk(first, offset, a);
        take_chunk(second, offset, b);
        if (int order = compare_chunks(a, b)) return order;
    }
    // One file ended inside the last chunk of the block, the other did not.
    if (first.length != second.length) return first.length < second.length ? -1 : 1;
    decided = false;
    return 0;
}

namespace {

// Fills block with up to want bytes: from the descriptor's position when
// offset is negative, else from offset without moving the position.
block_read fill_block(int fd, const char *name, unsigned char *block, size_t want, off_t offset) {
    size_t filled = 0;
    while (filled < want) {
        const ssize_t n = offset < 0 ? read(fd, block + filled, want - filled)
                                     : pread(fd, block + filled, want - filled,
                                             offset + static_cast<off_t>(filled));
        if (n < 0) {
            if (errno == EINTR) continue;
            return {name, block, filled, true};
        }
        if (n == 0) break;
        filled += static_cast<size_t>(n);
        progress_bytes(static_cast<uint64_t>(n));
    }
    return {name, block, filled, false};
}

}  // namespace

block_read read_block(int fd, const char *name, unsigned char *block, size_t want) {
    return fill_block(fd, name, block, want, -1);
}

block_read read_block_at(int fd, const char *name, unsigned char *block, size_t want,
                         off_t offset) {
    return fill_block(fd, name, block, want, offset);
}

int compare_chunks(const unsigned char *first, const unsigned char *second) {
    int64_t a = chunk_value(first), b = chunk_value(second);
    return a == b ? 0 : (a > b ? 1 : -1);
}

int compare_contents(const file_view &view, comparison_buffers &buffers, const char *first,
                     const struct stat &first_status, const char *second,
                     const struct stat &second_status, bool *proven) {
    const int64_t moment = read_moment();
    struct stat first_opened, second_opened;
    unique_fd first_fd = view_open(view, first, first_status, first_opened);
    if (!first_fd) return -1;
    unique_fd second_fd = view_open(view, second, second_status, second_opened);
    if (!second_fd) return 1;
    if (proven)
        *proven = same_version(first_opened, first_status) &&
                  same_version(second_opened, second_status) &&
                  stamps_prove(first_opened, moment) && stamps_prove(second_opened, moment);
    return compare_open_files(buffers, first_fd.get(), first, second_fd.get(), second);
}

int compare_open_files(comparison_buffers &buffers, int first_fd, const char *first, int second_fd,
                       const char *second) {
    for (;;) {
        block_read first_read = read_block(first_fd, first, buffers.block[0], block_size);
        block_read second_read = read_block(second_fd, second, buffers.block[1], block_size);
        bool decided;
        int order = compare_blocks(first_read, second_read, decided);
        if (decided) return order;
    }
}
