// One side of a content comparison during one call: its file opened and read
// as far as the comparison needs, and what it learns on the way into what the
// run knows of its version (the first bytes, digests of its pieces, the piece
// where it last parted from another file, a longer prefix). Deciding the
// order from what the sides know is knowledge_compare.cpp's.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "compare/content_compare.h"
#include "compare/file_knowledge.h"
#include "compare/list_knowledge.h"
#include "compare/version_table.h"
#include "fs/file_handles.h"

constexpr size_t block_size = comparison_block_size;
// Digests are kept per piece of this size, so that two files whose digests
// first differ in one piece are told apart by reading that piece alone.
constexpr size_t piece_size = 4096;
constexpr size_t chunk_size = 8;

inline uint32_t piece_count(off_t size) {
    return static_cast<uint32_t>((static_cast<uint64_t>(size) + piece_size - 1) / piece_size);
}

inline off_t piece_start(uint32_t piece) {
    return static_cast<off_t>(piece) * piece_size;
}

// The length of a piece: piece_size, or what is left of the file for its last.
inline size_t piece_length(uint32_t piece, off_t size) {
    return static_cast<size_t>(std::min<off_t>(piece_size, size - piece_start(piece)));
}

inline bool is_large(off_t size) {
    return size >= static_cast<off_t>(block_size);
}

// The bytes of a read that take part in the comparison: a failed read spoils
// the chunk in which it failed.
inline size_t usable(const block_read &read) {
    return read.failed ? read.length & ~(chunk_size - 1) : read.length;
}

struct side {
    pass_context *pass = nullptr;
    file_look *look = nullptr;
    int index = 0;                // 0 for the first file, 1 for the second
    first_bytes *cell = nullptr;  // what is known of its first bytes; null: nothing
    uint32_t number = 0;          // its version record, 0: none
    unique_fd fd;
    bool opened = false;
    off_t position = 0;  // of the descriptor
    change_stamp opened_change{};
    bool proven_read = false;  // read from a moment that the file's stamps prove
    unsigned char *buffer = nullptr;
    bool holds = false;  // buffer holds bytes read during this call
    off_t held_offset = 0;
    size_t held_want = 0;  // how many bytes that read asked for
    block_read held{};
};

inline version_table &versions_of(const side &s) {
    return s.pass->known->versions;
}

// How a step of a comparison ended.
enum class step { decided, changed, go_on };

// The order that a side's file decides against itself (a file that cannot
// be opened sorts first).
inline int side_order(const side &s) {
    return s.index == 0 ? -1 : 1;
}

// Opens the side's file when it is not open yet. A file that cannot be opened
// decides the comparison against itself, silently; a file that is not the
// size examined, or not the version its record describes, makes the call
// start over with fresh looks. The opened file's status is as fresh as an
// lstat of the name, and the look takes it.
step open_side(side &s, off_t size, int &order);

// Reads want bytes at offset into the side's buffer, from its start.
block_read read_at(side &s, off_t offset, size_t want);

// How much of a file a side-by-side reading takes in one go from offset 0:
// a small file whole, a large one a block.
size_t first_block_length(off_t size);

// The first block of the side's file: what this call read of it already,
// completed by reading on from where that read stopped.
block_read read_first_block(side &s, off_t size);

// The side's version record, made now from the file opened during this call
// when there is none yet (null when no more can be made).
version_record *version_of(side &s);

inline extra_bytes *extra_of(const side &s) {
    return extra_of_version(versions_of(s), s.number);
}

// Records the digests of the pieces that a read at offset delivered whole,
// as long as they continue the ones already known.
void learn_digests(const side &s, off_t offset, const block_read &read, off_t size);

// Keeps the bytes of the piece in which a large file parted from another,
// when they are the bytes its digest was learnt from.
void learn_parting_piece(const side &s, uint32_t piece, const unsigned char *bytes, size_t length);

// The bytes of the piece that the side's version keeps from its last
// parting, when that is the piece asked for; else null.
const unsigned char *remembered_piece(const side &s, uint32_t piece);

// The first bytes known of a side's file.
const unsigned char *known_prefix(const side &s, size_t &length);

// Keeps the first length bytes of a small file, read during this call.
void learn_prefix(side &s, size_t length);

// Opens a file that nothing is known of and learns its first block (all of it
// when it is smaller): the prefix, and for a large file its version and the
// digests.
step learn_first_block(side &s, off_t size, int &order);

// Whether what this call read of the side's file holds one piece whole.
bool holds_piece(const side &s, uint32_t piece, off_t size);

// The bytes of one piece of a side's file: from what this call read, or read
// now; null with result set when it cannot be read whole.
const unsigned char *piece_bytes(side &s, uint32_t piece, off_t size, int &order, step &result);
