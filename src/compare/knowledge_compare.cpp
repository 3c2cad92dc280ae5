// Deciding the order of two files of one size from what the run knows of
// them (status_cache.h, version_table.h): each side of a call
// (comparison_side.h) reads its file only as far as what is known of it
// leaves the order open, and learns on the way what will spare the next call
// a read. Also what the link door tells the knowledge of its own changes
// (note_same_inode, note_link_attempt).
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "compare/comparison_side.h"
#include "compare/content_compare.h"
#include "compare/file_knowledge.h"
#include "compare/piece_digest.h"
#include "compare/status_cache.h"
#include "compare/version_table.h"
#include "fs/file_handles.h"
#include "fs/file_status.h"
#include "fs/stamp_trust.h"
#include "state/run_state.h"

namespace {

// Files of one size whose first bytes agree keep as many more than the
// first bytes' cell holds as it took to tell them apart, up to a limit.
constexpr size_t prefix_limit = 1024;

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
    version_table &table = versions_of(a);
    return a.number && b.number &&
           find_ordering_root(table, a.number) == find_ordering_root(table, b.number);
}

// Whether the proven forest says that the two sides' versions hold equal
// bytes: the pairs that joined them were all read at moments their stamps
// proved, so the bytes are those of the versions still shown.
bool proven_class(const side &a, const side &b) {
    version_table &table = versions_of(a);
    forget_proofs_after_clock_steps(table);
    return a.number && b.number &&
           find_proven_root(table, a.number) == find_proven_root(table, b.number);
}

// Both files were opened during this call and read whole: they are equal.
void unite(side &a, side &b) {
    if (!version_of(a) || !version_of(b)) return;
    join_equal_versions(versions_of(a), a.number, b.number, a.proven_read && b.proven_read);
}

// Keeps the bytes copied from a side that was read whole from a moment its
// stamps prove, when its file is still the version opened.
void keep_copy(side &s, size_t copied, off_t size) {
    if (copied != static_cast<size_t>(size) ||
        still_version_opened(s.fd.get(), s.look->status) != 1 || !version_of(s))
        return;
    version_copy &copy = versions_of(s).copy_of_version;
    copy.version = s.number;
    copy.size = copied;
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
            if (copied_side)
                copy = room_for_version_copy(versions_of(a), static_cast<size_t>(size));
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
    version_table &table = versions_of(s);
    const version_copy &copy = table.copy_of_version;
    if (!s.number || !copy.version || copy.size != static_cast<size_t>(size) ||
        !device_clock_checked(*s.pass->changes, s.look->status.st_dev))
        return false;
    forget_proofs_after_clock_steps(table);
    return find_proven_root(table, s.number) == find_proven_root(table, copy.version);
}

// Reads the side's file whole and compares it with the copied bytes:
// decided when it holds them. A file that cannot be opened or changed ends
// the comparison as opening it does. Any other outcome (a difference, a
// failed read, an early end) goes on to a reading of both files, which tells
// the order and prints the messages.
step read_as_copy(side &s, off_t size, int &order) {
    step opened = open_side(s, size, order);
    if (opened != step::go_on) return opened;
    const unsigned char *copy = versions_of(s).copy_of_version.bytes.get();
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
        version_table &table = versions_of(other);
        if (read == step::decided && order == 0 && version_of(other))
            join_equal_versions(table, other.number, table.copy_of_version.version,
                                other.proven_read);
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
        first_bytes *cell = first_bytes_of(versions_of(*s), s->look->entry, false);
        s->cell = cell && cell->read ? cell : nullptr;
        s->number = version_number(s->cell);
        s->buffer = s->pass->buffers->block[s->index];
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
look_outcome confirm_look(pass_context &pass, file_look &look, bool is_first) {
    if (look.fresh) return look_outcome::settled;
    const struct stat remembered = look.status;
    const uint32_t number = version_number_of(pass, look);
    if (!examine_fresh(pass, look))
        return is_first ? look_outcome::failed_first : look_outcome::failed_second;
    fold_link_count(pass, look);
    const bool same = same_inode(remembered, look.status) &&
                      remembered.st_size == look.status.st_size &&
                      (remembered.st_mode & S_IFMT) == (look.status.st_mode & S_IFMT) &&
                      version_number_of(pass, look) == number;
    return same ? look_outcome::settled : look_outcome::changed;
}

}  // namespace

bool may_act_on(const pass_context &pass, equality_basis basis, dev_t device) {
    return basis == equality_basis::read_now ||
           (basis == equality_basis::proven && device_clock_checked(*pass.changes, device));
}

look_outcome compare_looked_contents(pass_context &pass, file_look &first, file_look &second,
                                     int &order, equality_basis &basis, bool read_anew) {
    const off_t size = first.status.st_size;
    basis = equality_basis::read_now;
    if (remembering(pass, first) && remembering(pass, second)) {
        side a, b;
        a.pass = b.pass = &pass;
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
    order = compare_contents(pass.view, *pass.buffers, first.name, first.status, second.name,
                             second.status, &proven);
    basis = proven ? equality_basis::proven : equality_basis::read_now;
    return look_outcome::settled;
}

look_outcome complete_looks(pass_context &pass, file_look &first, file_look &second) {
    for (file_look *look : {&first, &second}) {
        uint32_t number = version_number_of(pass, *look);
        if (!look->fresh) {
            if (number &&
                recall_details(*pass.known, version_at(pass.known->versions, number), look->status))
                continue;
            look_outcome outcome = confirm_look(pass, *look, look == &first);
            if (outcome != look_outcome::settled) return outcome;
            number = version_number_of(pass, *look);
        }
        if (number)
            keep_details(*pass.known, version_at(pass.known->versions, number), look->status);
    }
    return look_outcome::settled;
}

look_outcome confirm_looks(pass_context &pass, file_look &first, file_look &second) {
    look_outcome outcome = confirm_look(pass, first, true);
    if (outcome == look_outcome::failed_first) return outcome;
    look_outcome second_outcome = confirm_look(pass, second, false);
    return second_outcome != look_outcome::settled ? second_outcome : outcome;
}

look_outcome look_again(pass_context &pass, file_look &first, file_look &second,
                        bool keep_remembering) {
    for (file_look *look : {&first, &second}) {
        look->fresh = false;
        if (!keep_remembering) look->entry = -1;
        if (!examine_fresh(pass, *look))
            return look == &first ? look_outcome::failed_first : look_outcome::failed_second;
    }
    return look_outcome::settled;
}

void note_same_inode(pass_context &pass, const file_look &first, const file_look &second) {
    if (!remembering(pass, first) || !remembering(pass, second) ||
        !same_status_slot(*pass.known, first.entry, second.entry))
        return;
    version_table &table = pass.known->versions;
    const uint32_t x = version_number_of(pass, first), y = version_number_of(pass, second);
    const first_bytes *a = first_bytes_of(table, first.entry, false),
                      *b = first_bytes_of(table, second.entry, false);
    const bool a_known = a && a->read, b_known = b && b->read;
    if ((x && !y) || (a_known && !b_known))
        share_first_bytes(table, first.entry, second.entry);
    else if ((y && !x) || (b_known && !a_known))
        share_first_bytes(table, second.entry, first.entry);
}

void note_link_attempt(pass_context &pass, const file_look &survivor, const file_look &replaced,
                       bool linked, const struct stat *survivor_after) {
    // The replaced name's entry, under whichever of its listed names, may
    // lead to another file now.
    const bool remembered = remembering(pass, survivor) && remembering(pass, replaced);
    if (pass.known && replaced.entry >= 0 && prepare_knowledge(*pass.known))
        forget_entry(*pass.known, replaced.entry);
    if (!remembered) return;
    list_knowledge &known = *pass.known;
    version_table &table = known.versions;
    std::vector<status_slot> &slots = known.statuses.slots;
    slots[survivor.entry].current = 0;
    if (!linked) return;
    // The replaced file lost a name; its other names are known again by the
    // exact status the link left (remember): until then, the link count that
    // is remembered of it is not used.
    if (const uint32_t number = version_number(first_bytes_of(table, replaced.entry, false));
        number && replaced.status.st_nlink > 1)
        version_at(table, number).owner = 0;
    if (first_bytes *cell = first_bytes_of(table, replaced.entry, false)) forget_first_bytes(*cell);
    if (pass.options.soft || !survivor_after) return;
    // The survivor's link count moved: what is remembered of it is not used.
    if (const uint32_t number = version_number(first_bytes_of(table, survivor.entry, false)))
        version_at(table, number).owner = 0;
    // The survivor gained a name: its change time and link count moved, its
    // bytes did not. Both names now lead to it, and share what is known.
    const struct stat &after = *survivor_after;
    remember_status(pass, survivor.entry, after);
    if (!remembering(pass, survivor)) return;
    update_link_extremes(*pass.stats, after.st_nlink);
    slots[survivor.entry].folded = 1;
    slots[replaced.entry] = slots[survivor.entry];
    share_first_bytes(table, survivor.entry, replaced.entry);
}
