#include "compare/version_table.h"

#include "fs/stamp_trust.h"

void share_first_bytes(version_table &table, long from, long to) {
    const first_bytes *source = first_bytes_of(table, from, false);
    if (!source || !source->read) return;
    *first_bytes_of(table, to, true) = *source;
}

uint32_t new_version(version_table &table, change_stamp change) {
    const uint32_t number = table.versions_used;
    if (number >= version_number_limit) return 0;
    if (number / version_page >= table.version_pages.size())
        table.version_pages.push_back(new version_record[version_page]());
    version_record &record = version_at(table, number);
    record.parent = number;
    record.proven_parent = number;
    record.change = change;
    ++table.versions_used;
    return number;
}

void forget_proofs_after_clock_steps(version_table &table) {
    const uint64_t steps = clock_steps_back();
    if (steps == table.clock_steps_seen) return;
    table.clock_steps_seen = steps;
    for (uint32_t number = 1; number < table.versions_used; ++number)
        version_at(table, number).proven_parent = number;
}

void join_equal_versions(version_table &table, uint32_t first, uint32_t second, bool proven) {
    uint32_t x = find_ordering_root(table, first), y = find_ordering_root(table, second);
    if (x != y) version_at(table, x).parent = y;
    forget_proofs_after_clock_steps(table);
    if (!proven) return;
    x = find_proven_root(table, first);
    y = find_proven_root(table, second);
    if (x != y) version_at(table, x).proven_parent = y;
}

uint32_t version_after_own_change(version_table &table, uint32_t number, change_stamp change) {
    for (auto next = table.moved_to.find(number); next != table.moved_to.end();
         next = table.moved_to.find(number)) {
        number = next->second;
        if (version_at(table, number).change == change) return number;
    }
    const uint32_t moved = new_version(table, change);
    if (!moved) return 0;
    version_record &record = version_at(table, moved);
    record.parent = find_ordering_root(table, number);
    record.link = version_at(table, number).link;
    table.moved_to[number] = moved;
    return moved;
}

uint32_t new_extra(version_table &table, const extra_bytes &extra) {
    table.extra_bytes_table.push_back(extra);
    return static_cast<uint32_t>(table.extra_bytes_table.size() - 1);
}

unsigned char *room_for_version_copy(version_table &table, size_t size) {
    version_copy &copy = table.copy_of_version;
    copy.version = 0;
    copy.size = 0;
    if (copy.capacity < size) {
        copy.bytes.reset();
        copy.bytes.reset(new unsigned char[size]);
        copy.capacity = size;
    }
    return copy.bytes.get();
}

namespace {

void free_pages(version_table &table) {
    for (extra_bytes &extra : table.extra_bytes_table) {
        delete[] extra.digests;
        delete[] extra.prefix;
        delete[] extra.parting;
    }
    for (first_bytes *page : table.first_bytes_pages) delete[] page;
    for (version_record *page : table.version_pages) delete[] page;
}

}  // namespace

version_table::~version_table() {
    free_pages(*this);
}

void reset_version_table(version_table &table, size_t entries) {
    table.copy_of_version.version = 0;
    table.copy_of_version.size = 0;
    free_pages(table);
    table.first_bytes_pages.assign((entries + first_bytes_page - 1) / first_bytes_page, nullptr);
    table.version_pages.clear();
    table.versions_used = 1;
    table.moved_to.clear();
    table.extra_bytes_table.assign(1, extra_bytes{});
    table.parting_pieces_held = 0;
}
