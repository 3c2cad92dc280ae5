#include "compare/file_knowledge.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "compare/content_compare.h"
#include "compare/piece_digest.h"
#include "fs/entry_names.h"
#include "fs/examine_name.h"
#include "fs/file_handles.h"
#include "fs/file_picture.h"
#include "fs/file_status.h"
#include "fs/stamp_trust.h"
#include "state/output.h"
#include "state/run_state.h"

bool file_knowledge_enabled = true;
knowledge_counters knowledge_counts;

namespace {

constexpr size_t block_size = comparison_block_size;
// Digests are kept per piece of this size, so that two files whose digests
// first differ in one piece are told apart by reading that piece alone.
constexpr size_t piece_size = 4096;
constexpr size_t page_size = 4096;
constexpr size_t chunk_size = 8;
// The first two chunks of every file read are kept (many kinds of file share
// their first eight bytes); files of one size whose first bytes agree keep as
// many more as it took to tell them apart, up to a limit.
constexpr size_t prefix_size = 2 * chunk_size;
constexpr size_t prefix_limit = 1024;
constexpr size_t page_entries = 1024;

// ---- What is remembered of each name's status --------------------------------

// Twelve bytes per work_list entry, read by every comparison: one word holds
// the size, the high bits of the inode, a device index and the flags, and a
// second half word the low bits of the inode. A status that does not fit
// (sizes from 1 TiB, inodes from 2^40, more than 256 devices) is not kept,
// and its name is examined on every call.
enum : uint64_t {
    status_known = 1,    // the slot holds the last status seen
    status_current = 2,  // ... and may be used without a new lstat
    status_folded = 4,   // its link count went into the extremes
};
constexpr int type_shift = 3;  // four bits of file type
constexpr int device_shift = 8;
constexpr int inode_shift = 16;
constexpr int size_shift = 24;
constexpr uint64_t flag_mask = 0xff;
constexpr int64_t size_limit = int64_t(1) << 40;
constexpr uint64_t inode_limit = uint64_t(1) << 40;
constexpr size_t device_limit = 256;

struct __attribute__((packed, aligned(4))) status_slot {
    uint64_t word;
    uint32_t inode_low;
};

std::vector<status_slot> slots;
std::vector<dev_t> devices;  // device index -> device number

// Everything but the flags: size, device and inode.
bool same_identity(const status_slot &x, const status_slot &y) {
    return x.word >> device_shift == y.word >> device_shift && x.inode_low == y.inode_low;
}

// ---- What is known of the contents -----------------------------------------

// Per work_list entry whose file was read: its first bytes, and the version
// record of the file when one was needed. Kept in pages allocated on first use.
// A prefix alone serves to order; it is not trusted to tell that two files
// are equal.
struct first_bytes {
    unsigned char prefix[prefix_size];
    uint32_t state;  // bytes_read, the prefix length, and the version record number
};
enum : uint32_t { bytes_read = 1 };
constexpr int length_shift = 1;
constexpr uint32_t length_mask = 0x1f;
constexpr int version_shift = 6;

std::vector<first_bytes *> first_pages;

// One record per file version whose equality to another was found by reading,
// or that is large or needed a longer prefix; shared by the listed names of
// its inode. It holds the change time of the version read: a name seen with
// another lets go of it. Its number also stands for the version in two
// union-find forests of versions found byte-equal: parent joins every pair
// found equal, and serves answers that only order files; proven_parent joins
// only pairs whose bytes were read at moments when the stamps of both proved
// them (see stamps_prove), and alone lets an equality be acted upon without
// reading the files again. A record let go of stays in the forests, standing
// for the bytes that were compared.
struct version_record {
    uint32_t change_low, change_high;
    uint32_t parent;
    uint32_t proven_parent;
    uint32_t link;  // digests of a large file, or a longer prefix; 0: none
    // The status fields that the handling of an equal pair reads, so that a
    // read-only run reports every comparison of equal files without examining
    // them again; owner is 0 when they are not kept.
    uint32_t blocks;
    uint32_t modified;  // whole seconds
    uint16_t links;
    uint16_t mode;
    uint16_t owner;  // 1 + index in owner_pairs
    uint16_t spare;
};
constexpr size_t version_page = 1024;
std::vector<version_record *> version_pages;
uint32_t versions_used = 0;
std::vector<std::pair<uint32_t, uint32_t>> owner_pairs;  // owner and group

// A version whose change time the run's own change moved (see
// made_by_own_changes) goes on as a new record with the new change time: in
// the ordering forest it joins the class of the old one, in the proven forest
// it stands alone until its bytes are read at a moment that its stamps prove.
// Maps the old record to the new one, for the other names of the inode.
std::unordered_map<uint32_t, uint32_t> moved_to;

// How many steps back of the wall clock the proven forest has taken into
// account: after a step, nothing in it is proven any more.
uint64_t clock_steps_seen = 0;

// Digests of the pieces of a file larger than a block, learnt in order while
// it is read; or the longer prefix of a smaller file.
struct extra_bytes {
    uint64_t *digests;
    unsigned char *prefix;
    uint32_t known;  // digests known, or prefix bytes held
    uint32_t count;  // digests in all
};
std::vector<extra_bytes> extras;

// Positions of the list that name one directory entry ("./a" and "a", or a
// name through a symbolic link to its directory): each points to the next of
// its entry, in a ring; a name listed once points to itself. Empty until the
// run first replaces a name.
std::vector<int32_t> next_alias;

// The list the cache belongs to; another list (a new intake) starts afresh.
char **cache_list = nullptr;
int cache_count = 0;

bool prepare_cache() {
    if (work_list == cache_list && file_count == cache_count && !slots.empty()) return true;
    if (!work_list || file_count <= 0) return false;
    for (extra_bytes &extra : extras) {
        delete[] extra.digests;
        delete[] extra.prefix;
    }
    for (first_bytes *page : first_pages) delete[] page;
    for (version_record *page : version_pages) delete[] page;
    const size_t count = static_cast<size_t>(file_count);
    slots.assign(count, status_slot{0, 0});
    first_pages.assign((count + page_entries - 1) / page_entries, nullptr);
    version_pages.clear();
    versions_used = 1;
    moved_to.clear();
    next_alias.clear();
    extras.assign(1, extra_bytes{nullptr, nullptr, 0, 0});
    cache_list = work_list;
    cache_count = file_count;
    return true;
}

// The index of value in a short table, added when it is new and the table
// has room (-1 when not); last is the index found the time before, tried
// first since a list holds long runs of files with one value.
template <class value_type>
int index_in(std::vector<value_type> &table, const value_type &value, size_t limit, size_t &last) {
    if (last < table.size() && table[last] == value) return static_cast<int>(last);
    for (size_t i = 0; i < table.size(); ++i)
        if (table[i] == value) return static_cast<int>(last = i);
    if (table.size() >= limit) return -1;
    table.push_back(value);
    return static_cast<int>(last = table.size() - 1);
}

int device_index(dev_t device) {
    static size_t last = 0;
    return index_in(devices, device, device_limit, last);
}

// Times are kept as seconds and nanoseconds in one word; times that do not
// fit are never remembered.
bool pack_time(const struct timespec &time, uint64_t &packed) {
    if (time.tv_sec < 0 || time.tv_sec >= (int64_t(1) << 34) || time.tv_nsec < 0 ||
        time.tv_nsec >= 1000000000)
        return false;
    packed = static_cast<uint64_t>(time.tv_sec) << 30 | static_cast<uint64_t>(time.tv_nsec);
    return true;
}

first_bytes *cell_of(long entry, bool create) {
    first_bytes *&page = first_pages[static_cast<size_t>(entry) / page_entries];
    if (!page) {
        if (!create) return nullptr;
        page = new first_bytes[page_entries]();
    }
    return &page[static_cast<size_t>(entry) % page_entries];
}

uint32_t version_number(const first_bytes *cell) {
    return cell ? cell->state >> version_shift : 0;
}

void set_version_number(first_bytes &cell, uint32_t number) {
    cell.state = (cell.state & ((1u << version_shift) - 1)) | number << version_shift;
}

version_record &version(uint32_t number) {
    return version_pages[number / version_page][number % version_page];
}

uint64_t version_time(const version_record &record) {
    return uint64_t(record.change_high) << 32 | record.change_low;
}

void set_version_time(version_record &record, uint64_t packed) {
    record.change_low = static_cast<uint32_t>(packed);
    record.change_high = static_cast<uint32_t>(packed >> 32);
}

// Version numbers share a word with the prefix length: past the last one
// that fits, no more versions are remembered.
constexpr uint32_t version_limit = uint32_t(1) << (32 - version_shift);

uint32_t new_version(uint64_t change) {
    if (versions_used >= version_limit) return 0;
    if (versions_used / version_page >= version_pages.size())
        version_pages.push_back(new version_record[version_page]());
    version_record &record = version(versions_used);
    record.parent = versions_used;
    record.proven_parent = versions_used;
    set_version_time(record, change);
    return versions_used++;
}

// The root of number's class in the forest of the given parent field,
// halving the path on the way.
uint32_t find_class_root(uint32_t version_record::*parent_of, uint32_t number) {
    while (version(number).*parent_of != number) {
        uint32_t &parent = version(number).*parent_of;
        parent = version(parent).*parent_of;
        number = parent;
    }
    return number;
}

uint32_t find_root(uint32_t number) {
    return find_class_root(&version_record::parent, number);
}

uint32_t find_proven_root(uint32_t number) {
    return find_class_root(&version_record::proven_parent, number);
}

// After a step back of the wall clock, a file changed since may show a
// change time it had before: what the stamps proved is forgotten.
void forget_proofs_after_clock_steps() {
    if (clock_steps_back() == clock_steps_seen) return;
    clock_steps_seen = clock_steps_back();
    for (uint32_t number = 1; number < versions_used; ++number)
        version(number).proven_parent = number;
}

struct timespec unpacked_time(uint64_t packed) {
    struct timespec time {};
    time.tv_sec = static_cast<time_t>(packed >> 30);
    time.tv_nsec = static_cast<long>(packed & ((uint64_t(1) << 30) - 1));
    return time;
}

// The record that stands for version number after the run's own changes
// gave its inode the change time change: found, or made and joined to the
// old one's class for ordering. 0 when no more can be made.
uint32_t version_after_own_change(uint32_t number, uint64_t change) {
    for (auto next = moved_to.find(number); next != moved_to.end(); next = moved_to.find(number)) {
        number = next->second;
        if (version_time(version(number)) == change) return number;
    }
    const uint32_t moved = new_version(change);
    if (!moved) return 0;
    version_record &record = version(moved);
    record.parent = find_root(number);
    record.link = version(number).link;
    moved_to[number] = moved;
    return moved;
}

bool same_slot(long a, long b) {
    const status_slot &x = slots[a], &y = slots[b];
    return (x.word & status_known) && (y.word & status_known) && same_identity(x, y);
}

// Takes a fresh status of entry's name into the cache. What was known of its
// contents goes when the name now leads to another inode or size, and when
// its version record shows another version: another change time, unless the
// status is exactly the one that this run's own changes of the inode left,
// and then the version goes on as a new record (version_after_own_change).
void remember(long entry, const struct stat &status) {
    const int device = device_index(status.st_dev);
    const uint64_t inode = status.st_ino;
    uint64_t change = 0;
    const bool storable = device >= 0 && status.st_size >= 0 && status.st_size < size_limit &&
                          inode < inode_limit && pack_time(status.st_ctim, change);
    status_slot seen{0, static_cast<uint32_t>(inode)};
    seen.word = static_cast<uint64_t>(status.st_size) << size_shift | (inode >> 32) << inode_shift |
                static_cast<uint64_t>(device < 0 ? 0 : device) << device_shift |
                uint64_t((status.st_mode & S_IFMT) >> 12) << type_shift | status_known |
                status_current;
    status_slot &slot = slots[entry];
    if (first_bytes *cell = cell_of(entry, false); cell && cell->state) {
        bool keep = storable && (slot.word & status_known) && same_identity(slot, seen);
        if (const uint32_t number = version_number(cell); keep && number) {
            version_record &record = version(number);
            if (version_time(record) != change) {
                keep = made_by_own_changes(status.st_dev, status.st_ino,
                                           unpacked_time(version_time(record)), status);
                const uint32_t moved = keep ? version_after_own_change(number, change) : 0;
                keep = moved != 0;
                if (keep) set_version_number(*cell, moved);
            }
        }
        if (!keep) cell->state = 0;
    }
    slot = storable ? seen : status_slot{0, 0};
}

bool examine_fresh(file_look &look) {
    ++knowledge_counts.status_queries;
    const int examined = picture_in_use() ? picture_status(look.name, look.status)
                                          : examine_name(look.name, look.status);
    if (examined != 0) {
        fail_line("lstat", "lstat(%s) failed\n", look.name);
        if (look.entry >= 0) slots[look.entry].word &= ~uint64_t(status_current);
        return false;
    }
    look.fresh = true;
    if (look.entry >= 0) remember(look.entry, look.status);
    return true;
}

int owner_index(uid_t owner, gid_t group) {
    static size_t last = 0;
    const std::pair<uint32_t, uint32_t> pair{static_cast<uint32_t>(owner),
                                             static_cast<uint32_t>(group)};
    return index_in(owner_pairs, pair, UINT16_MAX, last);
}

// Remembers the fields an equal pair's handling reads, from a fresh status.
// Fields that do not fit are not kept: the name is then examined afresh.
void keep_details(version_record &record, const struct stat &status) {
    if (record.owner || status.st_blocks < 0 || status.st_blocks > UINT32_MAX ||
        status.st_mtim.tv_sec < 0 || status.st_mtim.tv_sec > UINT32_MAX ||
        status.st_nlink > UINT16_MAX || status.st_mode > UINT16_MAX)
        return;
    const int owner = owner_index(status.st_uid, status.st_gid);
    if (owner < 0) return;
    record.blocks = static_cast<uint32_t>(status.st_blocks);
    record.modified = static_cast<uint32_t>(status.st_mtim.tv_sec);
    record.links = static_cast<uint16_t>(status.st_nlink);
    record.mode = static_cast<uint16_t>(status.st_mode);
    record.owner = static_cast<uint16_t>(owner + 1);
}

// ---- Pieces ---------------------------------------------------------------------

uint32_t piece_count(off_t size) {
    return static_cast<uint32_t>((static_cast<uint64_t>(size) + piece_size - 1) / piece_size);
}

bool is_large(off_t size) {
    return size >= static_cast<off_t>(block_size);
}

// ---- One comparison ---------------------------------------------------------------

// One side of a content comparison during one call.
struct side {
    file_look *look = nullptr;
    int index = 0;                // 0 for the first file, 1 for the second
    first_bytes *cell = nullptr;  // what is known of its first bytes; null: nothing
    uint32_t number = 0;          // its version record, 0: none
    unique_fd fd;
    bool opened = false;
    off_t position = 0;  // of the descriptor
    uint64_t opened_change = 0;
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
    if (now.st_size != size || !pack_time(now.st_ctim, s.opened_change)) return step::changed;
    if (s.look->fresh && !same_version(now, s.look->status)) return step::changed;
    if (s.number && version_time(version(s.number)) != s.opened_change) return step::changed;
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

// Reads want bytes at offset into the side's buffer, from its start.
block_read read_at(side &s, off_t offset, size_t want) {
    if (s.position != offset) {
        if (lseek(s.fd.get(), offset, SEEK_SET) != offset) return {s.look->name, s.buffer, 0, true};
        s.position = offset;
    }
    block_read read = read_block(s.fd.get(), s.look->name, s.buffer, want);
    knowledge_counts.bytes_read += read.length;
    s.position += static_cast<off_t>(read.length);
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
block_read first_block(side &s, off_t size) {
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

// The side's version record, made now from the file opened during this call
// when there is none yet (null when no more can be made).
version_record *version_of(side &s) {
    if (!s.number) {
        s.number = new_version(s.opened_change);
        if (!s.number) return nullptr;
        // The prefix is taken again from the bytes that this version holds.
        if (s.holds && s.held_offset == 0) {
            const size_t have = std::min(usable(s.held), prefix_size);
            std::memcpy(s.cell->prefix, s.held.data, have);
            s.cell->state = bytes_read | static_cast<uint32_t>(have) << length_shift;
        }
        set_version_number(*s.cell, s.number);
    }
    return &version(s.number);
}

extra_bytes *extra_of(const side &s) {
    return s.number && version(s.number).link ? &extras[version(s.number).link] : nullptr;
}

uint32_t new_extra(const extra_bytes &extra) {
    extras.push_back(extra);
    return static_cast<uint32_t>(extras.size() - 1);
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
        const off_t start = static_cast<off_t>(piece) * piece_size;
        const size_t length = static_cast<size_t>(std::min<off_t>(piece_size, size - start));
        if (static_cast<size_t>(start - offset) + length > have) break;
        extra->digests[piece] = digest_of(read.data + (start - offset), length);
        ++extra->known;
    }
}

// The first bytes known of a side's file.
const unsigned char *known_prefix(const side &s, size_t &length) {
    if (const extra_bytes *extra = extra_of(s); extra && extra->prefix) {
        length = extra->known;
        return extra->prefix;
    }
    length = (s.cell->state >> length_shift) & length_mask;
    return s.cell->prefix;
}

// Keeps the first length bytes of a small file, read during this call.
void learn_prefix(side &s, size_t length) {
    size_t known;
    known_prefix(s, known);
    if (length <= known || !s.holds || s.held_offset != 0 || usable(s.held) < length) return;
    version_record *record = version_of(s);
    if (!record) return;
    if (!record->link) record->link = new_extra({nullptr, nullptr, 0, 0});
    extra_bytes &extra = extras[record->link];
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
    s.cell = cell_of(s.look->entry, true);
    const size_t have = std::min({usable(read), prefix_size, expected});
    std::memcpy(s.cell->prefix, read.data, have);
    s.cell->state = bytes_read | static_cast<uint32_t>(have) << length_shift;
    s.number = 0;
    if (version_record *record = is_large(size) ? version_of(s) : nullptr) {
        const uint32_t count = piece_count(size);
        record->link = new_extra({new uint64_t[count], nullptr, 0, count});
        learn_digests(s, 0, read, size);
    }
    return step::go_on;
}

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
    return a.number && b.number && find_root(a.number) == find_root(b.number);
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
    uint32_t x = find_root(a.number), y = find_root(b.number);
    if (x != y) version(x).parent = y;
    forget_proofs_after_clock_steps();
    if (!a.proven_read || !b.proven_read) return;
    x = find_proven_root(a.number);
    y = find_proven_root(b.number);
    if (x != y) version(x).proven_parent = y;
}

// Both files read side by side from the start, block by block, with the
// plain design's order and messages; digests are learnt on the way, and
// equality found this way is remembered. Small files that differ keep enough
// of their first bytes to be told apart again without reading.
step read_side_by_side(side &a, side &b, off_t size, int &order) {
    for (off_t offset = 0;; offset += block_size) {
        block_read blocks[2];
        side *sides[2] = {&a, &b};
        for (int i = 0; i < 2; ++i) {
            side &s = *sides[i];
            step opened = open_side(s, size, order);
            if (opened != step::go_on) return opened;
            blocks[i] = offset == 0 ? first_block(s, size) : read_at(s, offset, block_size);
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

// The bytes of one piece of a side's file: from what this call read, or read now.
const unsigned char *piece_bytes(side &s, uint32_t piece, off_t size, int &order, step &result) {
    const off_t start = static_cast<off_t>(piece) * piece_size;
    const size_t length = static_cast<size_t>(std::min<off_t>(piece_size, size - start));
    if (s.holds && s.held_offset <= start &&
        static_cast<size_t>(start - s.held_offset) + length <= usable(s.held)) {
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
// chunk in them orders the files.
step decide_in_piece(side &a, side &b, uint32_t piece, off_t size, int &order) {
    step result;
    const unsigned char *x = piece_bytes(a, piece, size, order, result);
    if (!x) return result;
    const unsigned char *y = piece_bytes(b, piece, size, order, result);
    if (!y) return result;
    const off_t start = static_cast<off_t>(piece) * piece_size;
    order = order_of_bytes(x, y, static_cast<size_t>(std::min<off_t>(piece_size, size - start)));
    // Equal bytes under differing digests: a file changed since its digest.
    return order != 0 ? step::decided : step::changed;
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
        block_read read = read_at(unknown, static_cast<off_t>(from) * piece_size, block_size);
        if (read.failed) return step::changed;
        learn_digests(unknown, static_cast<off_t>(from) * piece_size, read, size);
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
        const size_t tail_length =
            static_cast<size_t>(size - static_cast<off_t>(count - 1) * piece_size);
        if (digest_of(tail, tail_length) != extra_of(known)->digests[count - 1])
            return read_alone(a, b, unknown, known, size, order);
    }
    return read_side_by_side(a, b, size, order);
}

// Compares two sides with what is known of them. An answer of equality rests
// on the ordering forest (remembered), on the proven forest, or on reading
// both files whole during this call; with read_anew, only the last will do.
step compare_with_knowledge(side &a, side &b, off_t size, int &order, bool read_anew,
                            equality_basis &basis) {
    for (side *s : {&a, &b}) {
        first_bytes *cell = cell_of(s->look->entry, false);
        s->cell = cell && cell->state ? cell : nullptr;
        s->number = version_number(s->cell);
        s->buffer = comparison_block(s->index);
    }
    // Files that nothing is known of are opened, the first before the second.
    for (side *s : {&a, &b}) {
        if (s->cell) continue;
        step learnt = learn_first_block(*s, size, order);
        if (learnt != step::go_on) return learnt;
    }
    if (read_anew) return read_side_by_side(a, b, size, order);
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

bool remembering(const file_look &look) {
    return look.entry >= 0 && (slots[look.entry].word & status_current);
}

uint32_t version_number_of(const file_look &look) {
    return remembering(look) ? version_number(cell_of(look.entry, false)) : 0;
}

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

// Copies what is known of one name's file to another name of the same inode.
void share_knowledge(long from, long to) {
    const first_bytes *source = cell_of(from, false);
    if (!source || !source->state) return;
    *cell_of(to, true) = *source;
}

// Builds the rings of next_alias. The run changes files, never
// directories, so the rings hold for the run.
void find_aliases() {
    const size_t count = static_cast<size_t>(file_count);
    next_alias.resize(count);
    // The name of every position (work_list is in the order of the sort).
    std::vector<const char *> name_at(count, "");
    for (size_t i = 0; i < count; ++i)
        if (const long position = work_entry_number(work_list[i]); position >= 0)
            name_at[static_cast<size_t>(position)] = work_list[i];
    for (size_t i = 0; i < count; ++i) next_alias[i] = static_cast<int32_t>(i);
    for_each_entry_group(
        count, [&](int32_t position) { return name_at[static_cast<size_t>(position)]; },
        [](const std::vector<int32_t> &group) {
            for (size_t k = 0; k < group.size(); ++k)
                next_alias[static_cast<size_t>(group[k])] = group[(k + 1) % group.size()];
        });
}

// Every position that names entry's directory entry is examined afresh when
// it is next met: the entry may lead to another file now.
void forget_entry(long entry) {
    if (entry < 0 || static_cast<size_t>(entry) >= slots.size()) return;
    if (next_alias.size() != slots.size()) find_aliases();
    long position = entry;
    do {
        slots[static_cast<size_t>(position)].word &= ~uint64_t(status_current);
        position = next_alias[static_cast<size_t>(position)];
    } while (position != entry);
}

}  // namespace

bool look_at(const char *name, file_look &look) {
    look.name = name;
    look.entry = -1;
    look.fresh = false;
    if (file_knowledge_enabled) {
        look.entry = work_entry_number(name);
        if (look.entry >= 0 && !prepare_cache()) look.entry = -1;
    }
    if (look.entry >= 0) {
        const status_slot slot = slots[look.entry];
        constexpr uint64_t usable_now = status_current | status_folded;
        if ((slot.word & usable_now) == usable_now) {
            look.status.st_size = static_cast<off_t>(slot.word >> size_shift);
            look.status.st_dev = devices[(slot.word >> device_shift) & 0xff];
            look.status.st_ino =
                static_cast<ino_t>(((slot.word >> inode_shift) & 0xff) << 32 | slot.inode_low);
            look.status.st_mode =
                static_cast<mode_t>(((slot.word & flag_mask) >> type_shift) << 12);
            return true;
        }
    }
    return examine_fresh(look);
}

void begin_comparison_pass() {
    for (status_slot &slot : slots) slot.word &= ~uint64_t(status_current | status_folded);
}

void fold_link_count(file_look &look) {
    // A remembered status was folded when it was taken.
    if (!look.fresh) return;
    update_link_extremes(look.status.st_nlink);
    if (remembering(look)) slots[look.entry].word |= status_folded;
}

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
            const version_record *record = number ? &version(number) : nullptr;
            if (record && record->owner) {
                const auto &[owner, group] = owner_pairs[record->owner - 1];
                look->status.st_blocks = static_cast<blkcnt_t>(record->blocks);
                look->status.st_mtim.tv_sec = static_cast<time_t>(record->modified);
                look->status.st_nlink = record->links;
                look->status.st_uid = static_cast<uid_t>(owner);
                look->status.st_gid = static_cast<gid_t>(group);
                look->status.st_mode = static_cast<mode_t>(record->mode);
                continue;
            }
            look_outcome outcome = confirm_look(*look, look == &first);
            if (outcome != look_outcome::settled) return outcome;
            number = version_number_of(*look);
        }
        if (number) keep_details(version(number), look->status);
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
    if (!remembering(first) || !remembering(second) || !same_slot(first.entry, second.entry))
        return;
    const uint32_t x = version_number_of(first), y = version_number_of(second);
    const first_bytes *a = cell_of(first.entry, false), *b = cell_of(second.entry, false);
    const bool a_known = a && a->state, b_known = b && b->state;
    if ((x && !y) || (a_known && !b_known))
        share_knowledge(first.entry, second.entry);
    else if ((y && !x) || (b_known && !a_known))
        share_knowledge(second.entry, first.entry);
}

void note_link_attempt(const file_look &survivor, const file_look &replaced, bool linked, bool soft,
                       const struct stat *survivor_after) {
    // The replaced name's entry, under whichever of its listed names, may
    // lead to another file now.
    const bool remembered = remembering(survivor) && remembering(replaced);
    if (file_knowledge_enabled && replaced.entry >= 0 && prepare_cache())
        forget_entry(replaced.entry);
    if (!remembered) return;
    slots[survivor.entry].word &= ~uint64_t(status_current);
    if (!linked) return;
    // The replaced file lost a name; its other names are known again by the
    // exact status the link left (remember): until then, the link count that
    // is remembered of it is not used.
    if (const uint32_t number = version_number(cell_of(replaced.entry, false));
        number && replaced.status.st_nlink > 1)
        version(number).owner = 0;
    if (first_bytes *cell = cell_of(replaced.entry, false)) cell->state = 0;
    if (soft || !survivor_after) return;
    // The survivor's link count moved: what is remembered of it is not used.
    if (const uint32_t number = version_number(cell_of(survivor.entry, false)))
        version(number).owner = 0;
    // The survivor gained a name: its change time and link count moved, its
    // bytes did not. Both names now lead to it, and share what is known.
    const struct stat &after = *survivor_after;
    remember(survivor.entry, after);
    if (!remembering(survivor)) return;
    update_link_extremes(after.st_nlink);
    slots[survivor.entry].word |= status_folded;
    slots[replaced.entry] = slots[survivor.entry];
    share_knowledge(survivor.entry, replaced.entry);
}
