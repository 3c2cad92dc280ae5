// What is known of the contents of the listed files, by file version: per
// listed name a cell with the first bytes read of its file, and per version
// whose bytes were compared a record that the listed names of its inode
// share. The records also stand for their versions in two union-find forests
// of versions found byte-equal. The status cache ties names to versions; the
// comparison reads and fills the table.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

// A change time in eight bytes, seconds below 2^34; times that do not fit are
// never remembered.
struct __attribute__((packed, aligned(4))) change_stamp {
    uint64_t nanoseconds : 30;
    uint64_t seconds : 34;
    bool operator==(const change_stamp &) const = default;
};
static_assert(sizeof(change_stamp) == 8);

inline bool pack_change_time(const struct timespec &time, change_stamp &packed) {
    if (time.tv_sec < 0 || time.tv_sec >= (int64_t(1) << 34) || time.tv_nsec < 0 ||
        time.tv_nsec >= 1000000000)
        return false;
    packed.seconds = static_cast<uint64_t>(time.tv_sec);
    packed.nanoseconds = static_cast<uint64_t>(time.tv_nsec);
    return true;
}

inline struct timespec unpacked_change_time(change_stamp packed) {
    struct timespec time {};
    time.tv_sec = static_cast<time_t>(packed.seconds);
    time.tv_nsec = static_cast<long>(packed.nanoseconds);
    return time;
}

// ---- First bytes, per listed name -------------------------------------------

// The first two chunks of every file read are kept: many kinds of file share
// their first eight bytes.
constexpr size_t cell_prefix_size = 16;

// Per work_list entry whose file was read: its first bytes, and the version
// record of the file when one was needed. A prefix alone serves to order; it
// is not trusted to tell that two files are equal.
struct first_bytes {
    unsigned char prefix[cell_prefix_size];
    uint32_t read : 1;      // the cell holds what was read of the file
    uint32_t length : 5;    // prefix bytes held
    uint32_t version : 26;  // the version record; 0: none
};
static_assert(sizeof(first_bytes) == 20);

// Version numbers share a word with the prefix length: past the last one
// that fits, no more versions are remembered.
constexpr uint32_t version_number_limit = uint32_t(1) << 26;

// Cells are kept in pages allocated on first use.
constexpr size_t first_bytes_page = 1024;

struct version_table;

inline uint32_t version_number(const first_bytes *cell) {
    return cell ? cell->version : 0;
}

// The cell holds length bytes read from the start of its file, of no
// version record yet.
inline void hold_first_bytes(first_bytes &cell, const unsigned char *data, size_t length) {
    std::memcpy(cell.prefix, data, length);
    cell.read = 1;
    cell.length = static_cast<uint32_t>(length);
    cell.version = 0;
}

inline void forget_first_bytes(first_bytes &cell) {
    cell.read = 0;
    cell.length = 0;
    cell.version = 0;
}

// Copies what is known of one name's file to another name of the same inode.
void share_first_bytes(version_table &table, long from, long to);

// ---- Versions ---------------------------------------------------------------

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
    change_stamp change;
    uint32_t parent;
    uint32_t proven_parent;
    uint32_t link;  // index in extra_bytes_table: digests or a longer prefix; 0: none
    // The status fields that the handling of an equal pair reads, so that a
    // read-only run reports every comparison of equal files without examining
    // them again (keep_details); owner is 0 when they are not kept.
    uint32_t blocks;
    uint32_t modified;  // whole seconds
    uint16_t links;
    uint16_t mode;
    uint16_t owner;  // 1 + index in the status cache's owner pairs
    uint16_t spare;
};
static_assert(sizeof(version_record) == 36);

constexpr size_t version_page = 1024;

// ---- Extra bytes, per version -----------------------------------------------

// Digests of the pieces of a file larger than a block, learnt in order while
// it is read, and the bytes of the one piece in which the file last parted
// from another; or the longer prefix of a smaller file.
struct extra_bytes {
    uint64_t *digests = nullptr;
    unsigned char *prefix = nullptr;
    unsigned char *parting = nullptr;  // one piece's bytes, matching its digest; null: none
    uint32_t known = 0;                // digests known, or prefix bytes held
    uint32_t count = 0;                // digests in all
    uint32_t parting_piece = 0;        // which piece parting holds
};

// How many versions may hold the bytes of a parting piece: one piece each.
constexpr size_t parting_pieces_limit = 16384;

// ---- A copy of one version's bytes ------------------------------------------

// The bytes of one version of a file no larger than the limit, read whole
// from a moment that its stamps prove and found the same version after the
// read: every version of its class in the proven forest holds these bytes as
// long as a name shows it. A read before a link compares with the copy
// instead of reading such a file again.
constexpr size_t version_copy_limit = size_t(16) << 20;
struct version_copy {
    uint32_t version = 0;  // whose bytes; 0: none
    size_t size = 0;
    std::unique_ptr<unsigned char[]> bytes;
    size_t capacity = 0;
};

// ---- The table --------------------------------------------------------------

// Everything above for one name list: the cells by work_list entry, the
// version records, their extra bytes and the one copy.
struct version_table {
    std::vector<first_bytes *> first_bytes_pages;
    std::vector<version_record *> version_pages;
    uint32_t versions_used = 1;  // record 0 stands for none
    // A deque, so that a record's extra bytes stay where they are when more
    // are added.
    std::deque<extra_bytes> extra_bytes_table{1};
    size_t parting_pieces_held = 0;  // versions that hold a parting piece
    version_copy copy_of_version;
    // A version whose change time the run's own change moved (see
    // made_by_own_changes) goes on as a new record with the new change time:
    // in the ordering forest it joins the class of the old one, in the proven
    // forest it stands alone until its bytes are read at a moment that its
    // stamps prove. Maps the old record to the new one, for the other names
    // of the inode.
    std::unordered_map<uint32_t, uint32_t> moved_to;
    // How many steps back of the wall clock the proven forest has taken into
    // account: after a step, nothing in it is proven any more.
    uint64_t clock_steps_seen = 0;

    version_table() = default;
    version_table(const version_table &) = delete;
    version_table &operator=(const version_table &) = delete;
    ~version_table();
};

inline first_bytes *first_bytes_of(version_table &table, long entry, bool create) {
    first_bytes *&page = table.first_bytes_pages[static_cast<size_t>(entry) / first_bytes_page];
    if (!page) {
        if (!create) return nullptr;
        page = new first_bytes[first_bytes_page]();
    }
    return &page[static_cast<size_t>(entry) % first_bytes_page];
}

inline version_record &version_at(version_table &table, uint32_t number) {
    return table.version_pages[number / version_page][number % version_page];
}

// A new record for the version of the given change time, a class of its own
// in both forests; 0 when no more can be made.
uint32_t new_version(version_table &table, change_stamp change);

// The root of number's class in the forest of the given parent field,
// halving the path on the way.
inline uint32_t find_class_root(version_table &table, uint32_t version_record::*parent_of,
                                uint32_t number) {
    while (version_at(table, number).*parent_of != number) {
        uint32_t &parent = version_at(table, number).*parent_of;
        parent = version_at(table, parent).*parent_of;
        number = parent;
    }
    return number;
}

inline uint32_t find_ordering_root(version_table &table, uint32_t number) {
    return find_class_root(table, &version_record::parent, number);
}

inline uint32_t find_proven_root(version_table &table, uint32_t number) {
    return find_class_root(table, &version_record::proven_parent, number);
}

// After a step back of the wall clock, a file changed since may show a
// change time it had before: what the stamps proved is forgotten.
void forget_proofs_after_clock_steps(version_table &table);

// Two versions were found byte-equal by reading both whole; proven tells
// whether both were read at moments their stamps prove.
void join_equal_versions(version_table &table, uint32_t first, uint32_t second, bool proven);

// The record that stands for version number after the run's own changes
// gave its inode the change time change: found, or made and joined to the
// old one's class for ordering. 0 when no more can be made.
uint32_t version_after_own_change(version_table &table, uint32_t number, change_stamp change);

inline extra_bytes *extra_of_version(version_table &table, uint32_t number) {
    return number && version_at(table, number).link
               ? &table.extra_bytes_table[version_at(table, number).link]
               : nullptr;
}

uint32_t new_extra(version_table &table, const extra_bytes &extra);

// Room for a copy of size bytes (within the limit); the copy held before is
// let go of.
unsigned char *room_for_version_copy(version_table &table, size_t size);

// Lets go of everything known and makes room for the cells of entries names.
void reset_version_table(version_table &table, size_t entries);
