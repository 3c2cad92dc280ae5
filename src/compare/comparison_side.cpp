#include "compare/comparison_side.h"

#include <cstring>

#include "compare/piece_digest.h"
#include "fs/file_status.h"
#include "fs/stamp_trust.h"
#include "state/run_state.h"

namespace {

constexpr size_t page_size = 4096;

}  // namespace

// ---- Opening and reading ----------------------------------------------------

step open_side(side &s, off_t size, int &order) {
    if (s.opened) return step::go_on;
    struct stat now;
    ++s.pass->known->counts.opens;
    const int64_t moment = read_moment();
    s.fd = view_open(s.pass->view, s.look->name, s.look->status, now);
    if (!s.fd) {
        order = side_order(s);
        return step::decided;
    }
    if (now.st_size != size || !pack_change_time(now.st_ctim, s.opened_change))
        return step::changed;
    if (s.look->fresh && !same_version(now, s.look->status)) return step::changed;
    if (s.number && !(version_at(versions_of(s), s.number).change == s.opened_change))
        return step::changed;
    if (!s.look->fresh) {
        s.look->status = now;
        s.look->fresh = true;
        update_link_extremes(*s.pass->stats, now.st_nlink);
    }
    s.opened = true;
    s.proven_read = stamps_prove(now, moment);
    s.position = 0;
    return step::go_on;
}

// On from the descriptor's position, or from another offset without moving
// it (one call instead of a seek and a read).
block_read read_at(side &s, off_t offset, size_t want) {
    const bool in_turn = s.position == offset;
    block_read read = in_turn ? read_block(s.fd.get(), s.look->name, s.buffer, want)
                              : read_block_at(s.fd.get(), s.look->name, s.buffer, want, offset);
    s.pass->known->counts.bytes_read += read.length;
    if (in_turn) s.position += static_cast<off_t>(read.length);
    s.holds = true;
    s.held_offset = offset;
    s.held_want = want;
    s.held = read;
    return read;
}

// Exactly the size that the opened file has for a small one, so that no read
// is spent on finding its end.
size_t first_block_length(off_t size) {
    return is_large(size) ? block_size : static_cast<size_t>(size);
}

block_read read_first_block(side &s, off_t size) {
    const size_t length = first_block_length(size);
    if (!s.holds || s.held_offset != 0) return read_at(s, 0, length);
    // A read that failed or ended early stands for this call.
    if (s.held.failed || s.held.length < s.held_want || s.held_want >= length) return s.held;
    const size_t have = s.held.length;
    if (s.position != static_cast<off_t>(have)) return read_at(s, 0, length);
    block_read rest = read_block(s.fd.get(), s.look->name, s.buffer + have, length - have);
    s.pass->known->counts.bytes_read += rest.length;
    s.position += static_cast<off_t>(rest.length);
    s.held = {s.look->name, s.buffer, have + rest.length, rest.failed};
    s.held_want = length;
    return s.held;
}

bool holds_piece(const side &s, uint32_t piece, off_t size) {
    const off_t start = piece_start(piece);
    const size_t length = piece_length(piece, size);
    return s.holds && s.held_offset <= start &&
           static_cast<size_t>(start - s.held_offset) + length <= usable(s.held);
}

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

// ---- What a side learns -----------------------------------------------------

version_record *version_of(side &s) {
    version_table &table = versions_of(s);
    if (!s.number) {
        s.number = new_version(table, s.opened_change);
        if (!s.number) return nullptr;
        // The prefix is taken again from the bytes that this version holds.
        if (s.holds && s.held_offset == 0) {
            hold_first_bytes(*s.cell, s.held.data, std::min(usable(s.held), cell_prefix_size));
        }
        s.cell->version = s.number;
    }
    return &version_at(table, s.number);
}

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

// The next comparison whose digests first differ in that piece takes its
// bytes from here instead of opening the file. One piece per version,
// replaced by a later parting.
void learn_parting_piece(const side &s, uint32_t piece, const unsigned char *bytes, size_t length) {
    extra_bytes *extra = extra_of(s);
    if (!extra || !extra->digests || piece >= extra->known) return;
    if (extra->parting && extra->parting_piece == piece) return;
    if (digest_of(bytes, length) != extra->digests[piece]) return;
    if (!extra->parting) {
        version_table &table = versions_of(s);
        if (table.parting_pieces_held >= parting_pieces_limit) return;
        extra->parting = new unsigned char[piece_size];
        ++table.parting_pieces_held;
    }
    std::memcpy(extra->parting, bytes, length);
    extra->parting_piece = piece;
}

const unsigned char *remembered_piece(const side &s, uint32_t piece) {
    const extra_bytes *extra = extra_of(s);
    return extra && extra->parting && extra->parting_piece == piece ? extra->parting : nullptr;
}

const unsigned char *known_prefix(const side &s, size_t &length) {
    if (const extra_bytes *extra = extra_of(s); extra && extra->prefix) {
        length = extra->known;
        return extra->prefix;
    }
    length = s.cell->length;
    return s.cell->prefix;
}

void learn_prefix(side &s, size_t length) {
    size_t known;
    known_prefix(s, known);
    if (length <= known || !s.holds || s.held_offset != 0 || usable(s.held) < length) return;
    version_record *record = version_of(s);
    if (!record) return;
    version_table &table = versions_of(s);
    if (!record->link) record->link = new_extra(table, {});
    extra_bytes &extra = table.extra_bytes_table[record->link];
    unsigned char *bytes = new unsigned char[length];
    std::memcpy(bytes, s.held.data, length);
    delete[] extra.prefix;
    extra.prefix = bytes;
    extra.known = static_cast<uint32_t>(length);
}

step learn_first_block(side &s, off_t size, int &order) {
    step opened = open_side(s, size, order);
    if (opened != step::go_on) return opened;
    // Most files of one size part in their first bytes: one page is read.
    const size_t expected = static_cast<size_t>(std::min<off_t>(size, page_size));
    block_read read = read_at(s, 0, expected);
    if (!read.failed && read.length != expected) return step::changed;
    s.cell = first_bytes_of(versions_of(s), s.look->entry, true);
    hold_first_bytes(*s.cell, read.data, std::min({usable(read), cell_prefix_size, expected}));
    s.number = 0;
    if (version_record *record = is_large(size) ? version_of(s) : nullptr) {
        const uint32_t count = piece_count(size);
        record->link = new_extra(versions_of(s), {.digests = new uint64_t[count], .count = count});
        learn_digests(s, 0, read, size);
    }
    return step::go_on;
}
