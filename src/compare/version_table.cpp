#include "compare/version_table.h"

#include <unordered_map>

#include "fs/stamp_trust.h"

std::vector<first_bytes *> first_bytes_pages;
std::vector<version_record *> version_pages;
std::vector<extra_bytes> extra_bytes_table;
version_copy copy_of_version;
size_t parting_pieces_held = 0;

namespace {

uint32_t versions_used = 0;

// A version whose change time the run's own change moved (see
// made_by_own_changes) goes on as a new record with the new change time: in
// the ordering forest it joins the class of the old one, in the proven forest
// it stands alone until its bytes are read at a moment that its stamps prove.
// Maps the old record to the new one, for the other names of the inode.
std::unordered_map<uint32_t, uint32_t> moved_to;

// How many steps back of the wall clock the proven forest has taken into
// account: after a step, nothing in it is proven any more.
uint64_t clock_steps_seen = 0;

}  // namespace

void share_first_bytes(long from, long to) {
    const first_bytes *source = first_bytes_of(from, false);
    if (!source || !source->read) return;
    *first_bytes_of(to, true) = *source;
}

uint32_t new_version(change_stamp change) {
    if (versions_used >= version_number_limit) return 0;
    if (versions_used / version_page >= version_pages.size())
        version_pages.push_back(new version_record[version_page]());
    version_record &record = version_at(versions_used);
    record.parent = versions_used;
    record.proven_parent = versions_used;
    record.change = change;
    return versions_used++;
}

void forget_proofs_after_clock_steps() {
    if (clock_steps_back() == clock_steps_seen) return;
    clock_steps_seen = clock_steps_back();
    for (uint32_t number = 1; number < versions_used; ++number)
        version_at(number).proven_parent = number;
}

void join_equal_versions(uint32_t first, uint32_t second, bool proven) {
    uint32_t x = find_ordering_root(first), y = find_ordering_root(second);
    if (x != y) version_at(x).parent = y;
    forget_proofs_after_clock_steps();
    if (!proven) return;
    x = find_proven_root(first);
    y = find_proven_root(second);
    if (x != y) version_at(x).proven_parent = y;
}

uint32_t version_after_own_change(uint32_t number, change_stamp change) {
    for (auto next = moved_to.find(number); next != moved_to.end(); next = moved_to.find(number)) {
        number = next->second;
        if (version_at(number).change == change) return number;
    }
    const uint32_t moved = new_version(change);
    if (!moved) return 0;
    version_record &record = version_at(moved);
    record.parent = find_ordering_root(number);
    record.link = version_at(number).link;
    moved_to[number] = moved;
    return moved;
}

uint32_t new_extra(const extra_bytes &extra) {
    extra_bytes_table.push_back(extra);
    return static_cast<uint32_t>(extra_bytes_table.size() - 1);
}

unsigned char *room_for_version_copy(size_t size) {
    copy_of_version.version = 0;
    copy_of_version.size = 0;
    if (copy_of_version.capacity < size) {
        copy_of_version.bytes.reset();
        copy_of_version.bytes.reset(new unsigned char[size]);
        copy_of_version.capacity = size;
    }
    return copy_of_version.bytes.get();
}

void reset_version_table(size_t entries) {
    copy_of_version.version = 0;
    copy_of_version.size = 0;
    for (extra_bytes &extra : extra_bytes_table) {
        delete[] extra.digests;
        delete[] extra.prefix;
        delete[] extra.parting;
    }
    for (first_bytes *page : first_bytes_pages) delete[] page;
    for (version_record *page : version_pages) delete[] page;
    first_bytes_pages.assign((entries + first_bytes_page - 1) / first_bytes_page, nullptr);
    version_pages.clear();
    versions_used = 1;
    moved_to.clear();
    extra_bytes_table.assign(1, extra_bytes{});
    parting_pieces_held = 0;
}
