#include "rewrite/copy_contents.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "state/output.h"

namespace {

// One buffer for every copy of the run: large transfers keep a copy close to
// the speed of the disk, and the run's memory stays what it locked at the
// start.
constexpr size_t transfer_size = 128 * 1024;
alignas(4096) unsigned char transfer[transfer_size];

// Reads up to count bytes at offset into buffer, as many as the file holds
// there; returns the count read (less only at the end of the file), or -1.
ssize_t read_fully(int from, unsigned char *buffer, size_t count, off_t offset) {
    size_t got = 0;
    while (got < count) {
        const ssize_t n = pread(from, buffer + got, count - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
        progress_bytes(static_cast<uint64_t>(n));
    }
    return static_cast<ssize_t>(got);
}

// Writes count bytes at offset, through short writes; false on failure.
bool write_fully(int to, const unsigned char *bytes, size_t count, off_t offset) {
    size_t put = 0;
    while (put < count) {
        const ssize_t n = pwrite(to, bytes + put, count - put, offset + static_cast<off_t>(put));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        put += static_cast<size_t>(n);
    }
    return true;
}

bool all_zero(const unsigned char *bytes, size_t count) {
    return count == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, count - 1) == 0);
}

// The unit in which zeros become holes: the file system's block size, taken
// as a power of two between 512 bytes and the buffer, so that every chunk of
// the buffer holds whole blocks.
off_t hole_unit(blksize_t block) {
    off_t unit = 512;
    while (unit * 2 <= block && unit * 2 <= static_cast<off_t>(transfer_size)) unit *= 2;
    return unit;
}

// Copies the bytes of from in [start, end) to the same offsets of to, leaving
// out every whole block of zeros, and the last, partial block of the file
// (size bytes long) when it holds only zeros. A file that ends early has been
// changed meanwhile; the copy stops there, and the change check before the
// copy takes the name refuses it.
copy_outcome copy_region(int from, int to, off_t start, off_t end, off_t size, off_t unit) {
    const off_t chunk = static_cast<off_t>(transfer_size);
    for (off_t at = start; at < end;) {
        // Chunks end on multiples of the buffer size, so they hold whole blocks.
        const off_t until = std::min(end, (at / chunk + 1) * chunk);
        const ssize_t got = read_fully(from, transfer, static_cast<size_t>(until - at), at);
        if (got < 0) return copy_outcome::read_failed;
        if (got == 0) return copy_outcome::copied;
        const off_t got_end = at + got;
        // Runs of blocks to be written are written at once.
        off_t run = at;
        for (off_t piece = at; piece < got_end;) {
            const off_t piece_end = std::min(got_end, (piece / unit + 1) * unit);
            const bool whole =
                piece % unit == 0 && (piece_end - piece == unit || piece_end == size);
            if (whole &&
                all_zero(transfer + (piece - at), static_cast<size_t>(piece_end - piece))) {
                if (run < piece &&
                    !write_fully(to, transfer + (run - at), static_cast<size_t>(piece - run), run))
                    return copy_outcome::write_failed;
                run = piece_end;
            }
            piece = piece_end;
        }
        if (run < got_end &&
            !write_fully(to, transfer + (run - at), static_cast<size_t>(got_end - run), run))
            return copy_outcome::write_failed;
        if (got_end < until) return copy_outcome::copied;
        at = got_end;
    }
    return copy_outcome::copied;
}

}  // namespace

copy_outcome copy_sparse(int from, int to, off_t size, blksize_t block) {
    const off_t unit = hole_unit(block);
    // The length is set first, so that no write extends the file: a file
    // system that reserves room beyond the end of a growing file (XFS) would
    // otherwise keep blocks where the copy was meant to have holes.
    if (ftruncate(to, size) != 0) return copy_outcome::truncate_failed;
    for (off_t at = 0; at < size;) {
        off_t start = at, end = size;
#ifdef SEEK_DATA
        // Holes are stepped over without reading them. Where the file system
        // cannot tell (EINVAL on some), the rest is read as data.
        start = lseek(from, at, SEEK_DATA);
        if (start < 0 && errno == ENXIO) break;  // only a hole up to the end
        if (start < 0) {
            start = at;
        } else {
            end = lseek(from, start, SEEK_HOLE);
            if (end < 0 || end > size) end = size;
        }
        if (start >= size) break;
#endif
        const copy_outcome region = copy_region(from, to, start, end, size, unit);
        if (region != copy_outcome::copied) return region;
        at = end;
    }
    if (ftruncate(to, size) != 0) return copy_outcome::truncate_failed;
    return copy_outcome::copied;
}

copy_outcome copy_dense(int from, int to, off_t size) {
    // As in copy_sparse: the copy has its length before it is written, so
    // no room is reserved beyond what the copy holds.
    if (ftruncate(to, size) != 0) return copy_outcome::truncate_failed;
    for (;;) {
        const ssize_t got = read(from, transfer, transfer_size);
        if (got < 0) {
            if (errno == EINTR) continue;
            return copy_outcome::read_failed;
        }
        if (got == 0) return copy_outcome::copied;
        progress_bytes(static_cast<uint64_t>(got));
        for (ssize_t put = 0; put < got;) {
            const ssize_t n = write(to, transfer + put, static_cast<size_t>(got - put));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n == 0) errno = EIO;
                return copy_outcome::write_failed;
            }
            put += n;
        }
    }
}
