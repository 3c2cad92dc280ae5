// The content comparison that uses what is remembered (status_cache.h,
// version_table.h): each side of a call reads its file only as far as what
// is known of it leaves the order open, and learns on the way what will
// spare the next call a read. Also what the link door tells the knowledge of
// its own changes (note_same_inode, note_link_attempt).
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "compare/content_compare.h"
#include "compare/file_knowledge.h"
#include "compare/piece_digest.h"
#include "compare/status_cache.h"
#include "compare/version_table.h"
#include "fs/examined_open.h"
#include "fs/file_handles.h"
#include "fs/file_status.h"
#include "fs/stamp_trust.h"
#include "state/run_state.h"

namespace {

constexpr size_t block_size = comparison_block_size;
// Digests are kept per piece of this size, so that two files whose digests
// first differ in one piece are told apart by reading that piece alone.
constexpr size_t piece_size = 4096;
constexpr size_t page_size = 4096;
constexpr size_t chunk_size = 8;
// Files of one size whose first bytes agree keep as many more than the
// first bytes' cell holds as it took to tell them apart, up to a limit.
constexpr size_t prefix_limit = 1024;

// ---- Pieces -----------------------------------------------------------------

uint32_t piece_count(off_t size) {
    return static_cast<uint32_t>((static_cast<uint64_t>(size) + piece_size - 1) / piece_size);
}

off_t piece_start(uint32_t piece) {
    return static_cast<off_t>(piece) * piece_size;
}

// The length of a piece: piece_size, or what is left of the file for its last.
size_t piece_length(uint32_t piece, off_t size) {
    return static_cast<size_t>(std::min<off_t>(piece_size, size - piece_start(piece)));
}

bool is_large(off_t size) {
    return size >= static_cast<off_t>(block_size);
}

// ---- One side of a call: opening and reading --------------------------------

// One side of a content comparison during one call.
struct side {
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

enum class step { decided, changed, go_on };

int side_order(const side &s) {
    return s.index == 0 ? -1 : 1;
}

size_t usable(const block_read &read) {
    return read.failed ? read.length & ~(chunk_size - 1) : read.length;
}

// Opens the side's file when it is not open yet. A file that cannot be opened
// decides the comparison against itself, silently; a file that is not the
// size examined, or not the version its record describes, makes the call
// start over with fresh looks. The opened file's status is as fresh as an
// lstat of the name, and the look takes it.
step open_side(side &s, off_t size, int &order) {
    if (s.opened) return step::go_on;
    struct stat now;
    ++knowledge_counts.opens;
    const int64_t moment = read_moment();
    s.fd = open_examined_file(s.look->name, s.look->status, now);
    if (!s.fd) {
        order = side_order(s);
        return step::decided;
    }
    if (now.st_size != size || !pack_change_time(now.st_ctim, s.opened_change))
        return step::changed;
    if (s.look->fresh && !same_version(now, s.look->status)) return step::changed;
    if (s.number && !(version_at(s.number).change == s.opened_change)) return step::changed;
    if (!s.look->fresh) {
        s.look->status = now;
        s.look->fresh = true;
        update_link_extremes(now.st_nlink);
    }
    s.opened = true;
    s.proven_read = stamps_prove(now, moment);
    s.position = 0;
    return step::go_on;
}

// Reads want bytes at offset into the side's buffer, from its start: on from
// the descriptor's position, or from another offset without moving it (one
// call instead of a seek and a read).
block_read read_at(side &s, off_t offset, size_t want) {
    const bool in_turn = s.position == offset;
    block_read read = in_turn ? read_block(s.fd.get(), s.look->name, s.buffer, want)
                              : read_block_at(s.fd.get(), s.look->name, s.buffer, want, offset);
    knowledge_counts.bytes_read += read.length;
    if (in_turn) s.position += static_cast<off_t>(read.length);
    s.holds = true;
    s.held_offset = offset;
    s.held_want = want;
    s.held = read;
    return read;
}

// How much of a file a side-by-side reading takes in one go from offset 0:
// a small file whole, exactly the size that the opened file has (so that no
// read is spent on finding its end), a large one a block.
size_t first_block_length(off_t size) {
    return is_large(size) ? block_size : static_cast<size_t>(size);
}

// The first block of the side's file: what this call read of it already,
// completed by reading on from where that read stopped.
block_read read_first_block(side &s, off_t size) {
    const size_t length = first_block_length(size);
    if (!s.holds || s.held_offset != 0) return read_at(s, 0, length);
    // A read that failed or ended early stands for this call.
    if (s.held.failed || s.held.length < s.held_want || s.held_want >= length) return s.held;
    const size_t have = s.held.length;
    if (s.position != static_cast<off_t>(have)) return read_at(s, 0, length);
    block_read rest = read_block(s.fd.get(), s.look->name, s.buffer + have, length - have);
    knowledge_counts.bytes_read += rest.length;
    s.position += static_cast<off_t>(rest.length);
    s.held = {s.look->name, s.buffer, have + rest.length, rest.failed};
    s.held_want = length;
    return s.held;
}

// ---- What a side learns -----------------------------------------------------

// The side's version record, made now from the file opened during this call
// when there is none yet (null when no more can be made).
version_record *version_of(side &s) {
    if (!s.number) {
        s.number = new_version(s.opened_change);
        if (!s.number) return nullptr;
        // The prefix is taken again from the bytes that this version holds.
        if (s.holds && s.held_offset == 0) {
            hold_first_bytes(*s.cell, s.held.data, std::min(usable(s.held), cell_prefix_size));
        }
        s.cell->version = s.number;
    }
    return &version_at(s.number);
}

extra_bytes *extra_of(const side &s) {
    return extra_of_version(s.number);
}

// Records the digests of the pieces that a read at offset delivered whole,
// as long as they continue the ones already known.
void learn_digests(const side &s, off_t offset, const block_read &read, off_t size) {
    extra_bytes *extra = extra_of(s);
    if (!extra || !extra->digests || offset % piece_size != 0) return;
    const size_t have = usable(read);
    for (uint32_t piece = static_cast<uint32_t>(offset / piece_size); piece < extra->count;
         ++piece) {
        if (piece < extra->known) continue;
        if (piece > extra->known) break;
        const off_t start = piece_start(piece);
        const size_t length = piece_length(piece, size);
        if (static_cast<size_t>(start - offset) + length > have) break;
        extra->digests[piece] = digest_of(read.data + (start - offset), length);
        ++extra->known;
    }
}

// Keeps the bytes of the piece in which a large file parted from another,
// when they are the bytes its digest was learnt from: the next comparison
// whose digests first differ in that piece takes them from here instead of
// opening the file. One piece per version, replaced by a later parting.
void learn_parting_piece(const side &s, uint32_t piece, const unsigned char *bytes, size_t length) {
    extra_bytes *extra = extra_of(s);
    if (!extra || !extra->digests || piece >= extra->known) return;
    if (extra->parting && extra->parting_piece == piece) return;
    if (digest_of(bytes, length) != extra->digests[piece]) return;
    if (!extra->parting) {
        if (parting_pieces_held >= parting_pieces_limit) return;
        extra->parting = new unsigned char[piece_size];
        ++parting_pieces_held;
    }
    std::memcpy(extra->parting, bytes, length);
    extra->parting_piece = piece;
}

// The bytes of the piece that the side's version keeps from its last
// parting, when that is the piece asked for; else null.
const unsigned char *remembered_piece(const side &s, uint32_t piece) {
    const extra_bytes *extra = extra_of(s);
    return extra && extra->parting && extra->parting_piece == piece ? extra->parting : nullptr;
}

// The first bytes known of a side's file.
const unsigned char *known_prefix(const side &s, size_t &length) {
    if (const extra_bytes *extra = extra_of(s); extra && extra->prefix) {
        length = extra->known;
        return extra->prefix;
    }
    length = s.cell->length;
    return s.cell->prefix;
}

// Keeps the first length bytes of a small file, read during this call.
void learn_prefix(side &s, size_t length) {
    size_t known;
    known_prefix(s, known);
    if (length <= known || !s.holds || s.held_offset != 0 || usable(s.held) < length) return;
    version_record *record = version_of(s);
    if (!record) return;
    if (!record->link) record->link = new_extra({});
    extra_bytes &extra = extra_bytes_table[record->link];
    unsigned char *bytes = new unsigned char[length];
    std::memcpy(bytes, s.held.data, length);
    delete[] extra.prefix;
    extra.prefix = bytes;
    extra.known = static_cast<uint32_t>(length);
}

// Opens a file that nothing is known of and learns its first block (all of it
// when it is smaller): the prefix, and for a large file its version and the
// digests.
step learn_first_block(side &s, off_t size, int &order) {
    step opened = open_side(s, size, order);
    if (opened != step::go_on) return opened;
    // Most files of one size part in their first bytes: one page is read.
    const size_t expected = static_cast<size_t>(std::min<off_t>(size, page_size));
    block_read read = read_at(s, 0, expected);
    if (!read.failed && read.length != expected) return step::changed;
    s.cell = first_bytes_of(s.look->entry, true);
    hold_first_bytes(*s.cell, read.data, std::min({usable(read), cell_prefix_size, expected}));
    s.number = 0;
    if (version_record *record = is_large(size) ? version_of(s) : nullptr) {
        const uint32_t count = piece_count(size);
        record->link = new_extra({.digests = new uint64_t[count], .count = count});
        learn_digests(s, 0, read, size);
    }
    return step::go_on;
}

// ---- Deciding the order -----------------------------------------------------

// The offset of the first chunk in which two runs of bytes of one length
// differ, or length when they do not.
size_t first_differing_chunk(const unsigned char *a, const unsigned char *b, size_t length) {
    size_t at = 0;
    while (at + 256 <= length && std::memcmp(a + at, b + at, 256) == 0) at += 256;
    while (at < length && a[at] == b[at]) ++at;
    return at < length ? at & ~(chunk_size - 1) : length;
}

// The order of two runs of bytes of one length from one offset, chunk by
// chunk; a short last chunk is filled with zeros on both sides alike.
int order_of_bytes(const unsigned char *a, const unsigned char *b, size_t length) {
    const size_t at = first_differing_chunk(a, b, length);
    if (at == length) return 0;
    const size_t n = std::min(chunk_size, length - at);
    unsigned char x[chunk_size] = {}, y[chunk_size] = {};
    std::memcpy(x, a + at, n);
    std::memcpy(y, b + at, n);
    return compare_chunks(x, y);
}

// The prefixes decide where they differ. A prefix cut short by a failed read
// ends on a chunk boundary; one shorter than its full length otherwise is the
// whole file.
bool prefixes_differ(const side &a, const side &b, int &order) {
    size_t a_length, b_length;
    const unsigned char *x = known_prefix(a, a_length);
    const unsigned char *y = known_prefix(b, b_length);
    order = order_of_bytes(x, y, std::min(a_length, b_length));
    return order != 0;
}

bool same_class(const side &a, const side &b) {
    return a.number && b.number && find_ordering_root(a.number) == find_ordering_root(b.number);
}

// Whether the proven forest says that the two sides' versions hold equal
// bytes: the pairs that joined them were all read at moments their stamps
// proved, so the bytes are those of the versions still shown.
bool proven_class(const side &a, const side &b) {
    forget_proofs_after_clock_steps();
    return a.number && b.number && find_proven_root(a.number) == find_proven_root(b.number);
}

// Both files were opened during this call and read whole: they are equal.
void unite(side &a, side &b) {
    if (!version_of(a) || !version_of(b)) return;
    join_equal_versions(a.number, b.number, a.proven_read && b.proven_read);
}

// Keeps the bytes copied from a side that was read whole from a moment its
// stamps prove, when its file is still the version opened.
void keep_copy(side &s, size_t copied, off_t size) {
    if (copied != static_cast<size_t>(size) ||
        still_version_opened(s.fd.get(), s.look->status) != 1 || !version_of(s))
        return;
    copy_of_version.version = s.number;
    copy_of_version.size = copied;
}

// Both files read side by side from the start, block by block, with the
// order and messages of compare_contents; digests are learnt on the way, and
// equality found this way is remembered. Small files that differ keep enough
// of their first bytes to be told apart again without reading. copying: the
// bytes of a side whose stamps prove its read are copied on the way (the
// file no larger than the copy's limit), and kept when the files are equal.
step read_side_by_side(side &a, side &b, off_t size, int &order, bool copying = false) {
    side *copied_side = nullptr;
    unsigned char *copy = nullptr;
    size_t copied = 0;
    for (off_t offset = 0;; offset += block_size) {
        block_read blocks[2];
        side *sides[2] = {&a, &b};
        for (int i = 0; i < 2; ++i) {
            side &s = *sides[i];
            step opened = open_side(s, size, order);
            if (opened != step::go_on) return opened;
            blocks[i] = offset == 0 ? read_first_block(s, size) : read_at(s, offset, block_size);
        }
        if (offset == 0 && copying) {
            copied_side = b.proven_read ? &b : a.proven_read ? &a : nullptr;
            if (copied_side) copy = room_for_version_copy(static_cast<size_t>(size));
        }
        if (copy) {
            const block_read &read = blocks[copied_side == &a ? 0 : 1];
            const size_t length = usable(read);
            if (copied == static_cast<size_t>(offset) &&
                length <= static_cast<size_t>(size) - copied) {
                std::memcpy(copy + copied, read.data, length);
                copied += length;
            }
        }
        learn_digests(a, offset, blocks[0], size);
        learn_digests(b, offset, blocks[1], size);
        bool decided;
        order = compare_blocks(blocks[0], blocks[1], decided);
        if (!decided) continue;
        const bool whole =
            !blocks[0].failed && !blocks[1].failed && blocks[0].length == blocks[1].length;
        if (order == 0) {
            if (whole) unite(a, b);
            if (whole && copy) keep_copy(*copied_side, copied, size);
        } else if (is_large(size) && whole) {
            const size_t at =
                first_differing_chunk(blocks[0].data, blocks[1].data, blocks[0].length);
            const uint32_t piece = static_cast<uint32_t>((offset + static_cast<off_t>(at)) /
                                                         static_cast<off_t>(piece_size));
            const off_t start = piece_start(piece);
            const size_t length = piece_length(piece, size);
            const size_t within = static_cast<size_t>(start - offset);
            if (at < blocks[0].length && within + length <= blocks[0].length) {
                learn_parting_piece(a, piece, blocks[0].data + within, length);
                learn_parting_piece(b, piece, blocks[1].data + within, length);
            }
        } else if (!is_large(size) && whole && blocks[0].length == static_cast<size_t>(size)) {
            const size_t at =
                first_differing_chunk(blocks[0].data, blocks[1].data, static_cast<size_t>(size));
            const size_t wanted = std::min<size_t>(at + chunk_size, static_cast<size_t>(size));
            if (wanted <= prefix_limit) {
                learn_prefix(a, wanted);
                learn_prefix(b, wanted);
            }
        }
        return step::decided;
    }
}

// Whether what this call read of the side's file holds one piece whole.
bool holds_piece(const side &s, uint32_t piece, off_t size) {
    const off_t start = piece_start(piece);
    const size_t length = piece_length(piece, size);
    return s.holds && s.held_offset <= start &&
           static_cast<size_t>(start - s.held_offset) + length <= usable(s.held);
}

// The bytes of one piece of a side's file: from what this call read, or read now.
const unsigned char *piece_bytes(side &s, uint32_t piece, off_t size, int &order, step &result) {
    const off_t start = piece_start(piece);
    const size_t length = piece_length(piece, size);
    if (holds_piece(s, piece, size)) {
        result = step::go_on;
        return s.held.data + (start - s.held_offset);
    }
    result = open_side(s, size, order);
    if (result != step::go_on) return nullptr;
    block_read read = read_at(s, start, length);
    if (read.failed || read.length != length) {
        result = step::changed;
        return nullptr;
    }
    return read.data;
}

// The pieces at index piece differ in their digests: the first differing
// chunk in them orders the files. Each side's bytes come from what this call
// read, else from what its version kept of its last parting, else from the
// file; the bytes read are kept for the next parting in that piece. Kept
// bytes only order: when they show no difference, the files are read.
step decide_in_piece(side &a, side &b, uint32_t piece, off_t size, int &order) {
    const size_t length = piece_length(piece, size);
    const unsigned char *bytes[2];
    bool kept[2];
    side *sides[2] = {&a, &b};
    for (bool use_kept : {true, false}) {
        for (int i = 0; i < 2; ++i) {
            side &s = *sides[i];
            kept[i] = false;
            if (use_kept && !holds_piece(s, piece, size)) {
                bytes[i] = remembered_piece(s, piece);
                kept[i] = bytes[i] != nullptr;
                if (kept[i]) continue;
            }
            step result;
            bytes[i] = piece_bytes(s, piece, size, order, result);
            if (!bytes[i]) return result;
        }
        order = order_of_bytes(bytes[0], bytes[1], length);
        if (order != 0) {
            for (int i = 0; i < 2; ++i)
                if (!kept[i]) learn_parting_piece(*sides[i], piece, bytes[i], length);
            return step::decided;
        }
        if (!kept[0] && !kept[1]) break;
    }
    // Equal bytes under differing digests: a file changed since its digest.
    return step::changed;
}

// Reads the unknown file alone, learning its digests, until they part from
// those of the known one (which has them all); that piece orders the two.
step read_alone(side &a, side &b, side &unknown, side &known, off_t size, int &order) {
    extra_bytes *u = extra_of(unknown), *k = extra_of(known);
    step opened = open_side(unknown, size, order);
    if (opened != step::go_on) return opened;
    for (;;) {
        const uint32_t from = u->known;
        if (from >= u->count) return step::changed;
        block_read read = read_at(unknown, piece_start(from), block_size);
        if (read.failed) return step::changed;
        learn_digests(unknown, piece_start(from), read, size);
        if (u->known == from) return step::changed;
        for (uint32_t piece = from; piece < u->known; ++piece)
            if (u->digests[piece] != k->digests[piece])
                return decide_in_piece(a, b, piece, size, order);
    }
}

// Files larger than a block: digests locate the first differing piece; a
// file known whole against one known in part has its last piece looked at
// first, so that files which differ only near their end are read once.
step compare_large(side &a, side &b, off_t size, int &order) {
    extra_bytes *x = extra_of(a), *y = extra_of(b);
    if (!x || !x->digests || !y || !y->digests) return read_side_by_side(a, b, size, order);
    const uint32_t count = piece_count(size);
    const uint32_t common = std::min(x->known, y->known);
    for (uint32_t piece = 0; piece < common; ++piece)
        if (x->digests[piece] != y->digests[piece])
            return decide_in_piece(a, b, piece, size, order);
    const bool a_whole = x->known == count, b_whole = y->known == count;
    if (a_whole != b_whole) {
        side &known = a_whole ? a : b, &unknown = a_whole ? b : a;
        step result;
        const unsigned char *tail = piece_bytes(unknown, count - 1, size, order, result);
        if (!tail) return result;
        if (digest_of(tail, piece_length(count - 1, size)) != extra_of(known)->digests[count - 1])
            return read_alone(a, b, unknown, known, size, order);
    }
    return read_side_by_side(a, b, size, order);
}

// ---- Reading again before a link ---------------------------------------------

// A side's file holds the copied bytes: its version is one of the class of
// the copy in the proven forest, on a device whose clock was seen.
bool holds_copy(const side &s, off_t size) {
    if (!s.number || !copy_of_version.version ||
        copy_of_version.size != static_cast<size_t>(size) ||
        !device_clock_checked(s.look->status.st_dev))
        return false;
    forget_proofs_after_clock_steps();
    return find_proven_root(s.number) == find_proven_root(copy_of_version.version);
}

// Reads the side's file whole and compares it with the copied bytes:
// decided when it holds them. A file that cannot be opened or changed ends
// the comparison as opening it does. Any other outcome (a difference, a
// failed read, an early end) goes on to a reading of both files, which tells
// the order and prints the messages.
step read_as_copy(side &s, off_t size, int &order) {
    step opened = open_side(s, size, order);
    if (opened != step::go_on) return opened;
    const unsigned char *copy = copy_of_version.bytes.get();
    for (off_t offset = 0;; offset += block_size) {
        const size_t want = offset == 0 ? first_block_length(size) : block_size;
        const block_read read = offset == 0 ? read_first_block(s, size) : read_at(s, offset, want);
        if (read.failed || read.length > static_cast<size_t>(size - offset) ||
            std::memcmp(read.data, copy + offset, read.length) != 0)
            return step::go_on;
        if (offset + static_cast<off_t>(read.length) == size) {
            order = 0;
            return step::decided;
        }
        if (read.length < want) return step::go_on;
    }
}

// Both files read whole during this call, before a link that the stamps do
// not let rest on earlier reads: the survivor of an earlier link, whose
// change time that link moved, or a file changed just before it was read.
// When one side's file holds the copied bytes, the other alone is read and
// compared with them; else both side by side, the copy taken on the way.
step read_before_link(side &a, side &b, off_t size, int &order) {
    for (side *known : {&b, &a}) {
        side &other = known == &a ? b : a;
        if (!holds_copy(*known, size)) continue;
        const step read = read_as_copy(other, size, order);
        if (read == step::decided && order == 0 && version_of(other))
            join_equal_versions(other.number, copy_of_version.version, other.proven_read);
        if (read != step::go_on) return read;
        break;
    }
    return read_side_by_side(a, b, size, order, static_cast<size_t>(size) <= version_copy_limit);
}

// Compares two sides with what is known of them. An answer of equality rests
// on the ordering forest (remembered), on the proven forest, or on reading
// both files whole during this call; with read_anew, only the last will do.
step compare_with_knowledge(side &a, side &b, off_t size, int &order, bool read_anew,
                            equality_basis &basis) {
    for (side *s : {&a, &b}) {
        first_bytes *cell = first_bytes_of(s->look->entry, false);
        s->cell = cell && cell->read ? cell : nullptr;
        s->number = version_number(s->cell);
        s->buffer = comparison_block(s->index);
    }
    // Files that nothing is known of are opened, the first before the second.
    for (side *s : {&a, &b}) {
        if (s->cell) continue;
        step learnt = learn_first_block(*s, size, order);
        if (learnt != step::go_on) return learnt;
    }
    if (read_anew) return read_before_link(a, b, size, order);
    if (prefixes_differ(a, b, order)) return step::decided;
    if (same_class(a, b)) {
        // Taken at the moment of the answer, so that a step back of the
        // wall clock since the bytes were read is noticed.
        read_moment();
        order = 0;
        basis = proven_class(a, b) ? equality_basis::proven : equality_basis::remembered;
        return step::decided;
    }
    if (!is_large(size)) return read_side_by_side(a, b, size, order);
    return compare_large(a, b, size, order);
}

// ---- Looks ------------------------------------------------------------------

// Examines a look that was not examined during this call, and tells whether
// it is still the version that was remembered.
look_outcome confirm_look(file_look &look, bool is_first) {
    if (look.fresh) return look_outcome::settled;
    const struct stat remembered = look.status;
    const uint32_t number = version_number_of(look);
    if (!examine_fresh(look))
        return is_first ? look_outcome::failed_first : look_outcome::failed_second;
    fold_link_count(look);
    const bool same = same_inode(remembered, look.status) &&
                      remembered.st_size == look.status.st_size &&
                      (remembered.st_mode & S_IFMT) == (look.status.st_mode & S_IFMT) &&
                      version_number_of(look) == number;
    return same ? look_outcome::settled : look_outcome::changed;
}

}  // namespace

look_outcome compare_looked_contents(file_look &first, file_look &second, int &order,
                                     equality_basis &basis, bool read_anew) {
    const off_t size = first.status.st_size;
    basis = equality_basis::read_now;
    if (remembering(first) && remembering(second)) {
        side a, b;
        a.look = &first;
        a.index = 0;
        b.look = &second;
        b.index = 1;
        switch (compare_with_knowledge(a, b, size, order, read_anew, basis)) {
            case step::decided:
                if (basis == equality_basis::read_now && a.proven_read && b.proven_read)
                    basis = equality_basis::proven;
                return look_outcome::settled;
            case step::changed: return look_outcome::changed;
            case step::go_on: break;
        }
    }
    bool proven = false;
    order = compare_contents(first.name, first.status, second.name, second.status, &proven);
    basis = proven ? equality_basis::proven : equality_basis::read_now;
    return look_outcome::settled;
}

look_outcome complete_looks(file_look &first, file_look &second) {
    for (file_look *look : {&first, &second}) {
        uint32_t number = version_number_of(*look);
        if (!look->fresh) {
            if (number && recall_details(version_at(number), look->status)) continue;
            look_outcome outcome = confirm_look(*look, look == &first);
            if (outcome != look_outcome::settled) return outcome;
            number = version_number_of(*look);
        }
        if (number) keep_details(version_at(number), look->status);
    }
    return look_outcome::settled;
}

look_outcome confirm_looks(file_look &first, file_look &second) {
    look_outcome outcome = confirm_look(first, true);
    if (outcome == look_outcome::failed_first) return outcome;
    look_outcome second_outcome = confirm_look(second, false);
    return second_outcome != look_outcome::settled ? second_outcome : outcome;
}

look_outcome look_again(file_look &first, file_look &second, bool keep_remembering) {
    for (file_look *look : {&first, &second}) {
        look->fresh = false;
        if (!keep_remembering) look->entry = -1;
        if (!examine_fresh(*look))
            return look == &first ? look_outcome::failed_first : look_outcome::failed_second;
    }
    return look_outcome::settled;
}

void note_same_inode(const file_look &first, const file_look &second) {
    if (!remembering(first) || !remembering(second) || !same_status_slot(first.entry, second.entry))
        return;
    const uint32_t x = version_number_of(first), y = version_number_of(second);
    const first_bytes *a = first_bytes_of(first.entry, false),
                      *b = first_bytes_of(second.entry, false);
    const bool a_known = a && a->read, b_known = b && b->read;
    if ((x && !y) || (a_known && !b_known))
        share_first_bytes(first.entry, second.entry);
    else if ((y && !x) || (b_known && !a_known))
        share_first_bytes(second.entry, first.entry);
}

void note_link_attempt(const file_look &survivor, const file_look &replaced, bool linked, bool soft,
                       const struct stat *survivor_after) {
    // The replaced name's entry, under whichever of its listed names, may
    // lead to another file now.
    const bool remembered = remembering(survivor) && remembering(replaced);
    if (file_knowledge_enabled && replaced.entry >= 0 && prepare_status_cache())
        forget_entry(replaced.entry);
    if (!remembered) return;
    status_slots[survivor.entry].current = 0;
    if (!linked) return;
    // The replaced file lost a name; its other names are known again by the
    // exact status the link left (remember): until then, the link count that
    // is remembered of it is not used.
    if (const uint32_t number = version_number(first_bytes_of(replaced.entry, false));
        number && replaced.status.st_nlink > 1)
        version_at(number).owner = 0;
    if (first_bytes *cell = first_bytes_of(replaced.entry, false)) forget_first_bytes(*cell);
    if (soft || !survivor_after) return;
    // The survivor's link count moved: what is remembered of it is not used.
    if (const uint32_t number = version_number(first_bytes_of(survivor.entry, false)))
        version_at(number).owner = 0;
    // The survivor gained a name: its change time and link count moved, its
    // bytes did not. Both names now lead to it, and share what is known.
    const struct stat &after = *survivor_after;
    remember_status(survivor.entry, after);
    if (!remembering(survivor)) return;
    update_link_extremes(after.st_nlink);
    status_slots[survivor.entry].folded = 1;
    status_slots[replaced.entry] = status_slots[survivor.entry];
    share_first_bytes(survivor.entry, replaced.entry);
}
