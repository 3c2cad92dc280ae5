#include "compare/status_cache.h"

#include <utility>

#include "fs/entry_names.h"
#include "fs/name_walk.h"
#include "fs/stamp_trust.h"
#include "state/output.h"
#include "state/run_state.h"

namespace {

constexpr int64_t size_limit = int64_t(1) << 40;
constexpr uint64_t inode_limit = uint64_t(1) << 40;
constexpr size_t device_limit = 256;

// Everything but the flags: size, device and inode.
bool same_identity(const status_slot &x, const status_slot &y) {
    return x.size == y.size && x.device == y.device && x.inode_high == y.inode_high &&
           x.inode_low == y.inode_low;
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

int device_index(status_cache &cache, dev_t device) {
    return index_in(cache.devices, device, device_limit, cache.last_device);
}

int owner_index(status_cache &cache, uid_t owner, gid_t group) {
    const std::pair<uint32_t, uint32_t> pair{static_cast<uint32_t>(owner),
                                             static_cast<uint32_t>(group)};
    return index_in(cache.owner_pairs, pair, UINT16_MAX, cache.last_owner);
}

// Builds the rings of next_alias. The run changes files, never
// directories, so the rings hold for the run.
void find_aliases(list_knowledge &known) {
    const size_t count = static_cast<size_t>(known.count);
    std::vector<int32_t> &next_alias = known.statuses.next_alias;
    next_alias.resize(count);
    // The name of every position (work_list is in the order of the sort).
    std::vector<const char *> name_at(count, "");
    for (size_t i = 0; i < count; ++i)
        if (const long position = work_entry_number(known.list[i]); position >= 0)
            name_at[static_cast<size_t>(position)] = known.list[i];
    for (size_t i = 0; i < count; ++i) next_alias[i] = static_cast<int32_t>(i);
    for_each_entry_group(
        count, [&](int32_t position) { return name_at[static_cast<size_t>(position)]; },
        [&](const std::vector<int32_t> &group) {
            for (size_t k = 0; k < group.size(); ++k)
                next_alias[static_cast<size_t>(group[k])] = group[(k + 1) % group.size()];
        });
}

// lstat of the look's name as the pass's view shows it.
int examine_in_view(const pass_context &pass, file_look &look, name_walk *walk = nullptr) {
    return view_status(pass.view, look.name, look.status, walk);
}

}  // namespace

bool prepare_knowledge(list_knowledge &known) {
    if (work_list == known.list && file_count == known.count && !known.statuses.slots.empty())
        return true;
    if (!work_list || file_count <= 0) return false;
    const size_t count = static_cast<size_t>(file_count);
    reset_version_table(known.versions, count);
    known.statuses.slots.assign(count, status_slot{});
    known.statuses.next_alias.clear();
    known.list = work_list;
    known.count = file_count;
    return true;
}

bool same_status_slot(const list_knowledge &known, long a, long b) {
    const status_slot &x = known.statuses.slots[a], &y = known.statuses.slots[b];
    return x.known && y.known && same_identity(x, y);
}

// What was known of the entry's contents goes when the name now leads to
// another inode or size, and when its version record shows another version:
// another change time, unless the status is exactly the one that this run's
// own changes of the inode left, and then the version goes on as a new record
// (version_after_own_change).
void remember_status(pass_context &pass, long entry, const struct stat &status) {
    list_knowledge &known = *pass.known;
    const int device = device_index(known.statuses, status.st_dev);
    const uint64_t inode = status.st_ino;
    change_stamp change{};
    const bool storable = device >= 0 && status.st_size >= 0 && status.st_size < size_limit &&
                          inode < inode_limit && pack_change_time(status.st_ctim, change);
    status_slot seen{};
    if (storable) {
        seen.known = 1;
        seen.current = 1;
        seen.type = (status.st_mode & S_IFMT) >> 12;
        seen.device = static_cast<uint64_t>(device);
        seen.inode_high = inode >> 32;
        seen.size = static_cast<uint64_t>(status.st_size);
        seen.inode_low = static_cast<uint32_t>(inode);
    }
    status_slot &slot = known.statuses.slots[entry];
    if (first_bytes *cell = first_bytes_of(known.versions, entry, false); cell && cell->read) {
        bool keep = storable && slot.known && same_identity(slot, seen);
        if (const uint32_t number = version_number(cell); keep && number) {
            const version_record &record = version_at(known.versions, number);
            if (!(record.change == change)) {
                keep = made_by_own_changes(*pass.changes, status.st_dev, status.st_ino,
                                           unpacked_change_time(record.change), status);
                const uint32_t moved =
                    keep ? version_after_own_change(known.versions, number, change) : 0;
                keep = moved != 0;
                if (keep) cell->version = moved;
            }
        }
        if (!keep) forget_first_bytes(*cell);
    }
    slot = seen;
}

bool examine_fresh(pass_context &pass, file_look &look) {
    if (pass.known) ++pass.known->counts.status_queries;
    if (examine_in_view(pass, look) != 0) {
        fail_line("lstat", "lstat(%s) failed\n", look.name);
        if (look.entry >= 0) pass.known->statuses.slots[look.entry].current = 0;
        return false;
    }
    look.fresh = true;
    if (look.entry >= 0) remember_status(pass, look.entry, look.status);
    return true;
}

void examine_listed_names(pass_context &pass) {
    if (!pass.known || file_count < 2 || !prepare_knowledge(*pass.known)) return;
    name_walk in_list_order;
    progress_step_begins(false, static_cast<uint64_t>(file_count));
    for (int i = 0; i < file_count && !stop_requested(); ++i) {
        progress_name();
        file_look look;
        look.name = work_list[i];
        look.entry = work_entry_number(look.name);
        if (look.entry < 0) continue;
        ++pass.known->counts.status_queries;
        if (examine_in_view(pass, look, &in_list_order) != 0) continue;
        look.fresh = true;
        remember_status(pass, look.entry, look.status);
        fold_link_count(pass, look);
    }
}

void forget_entry(list_knowledge &known, long entry) {
    std::vector<status_slot> &slots = known.statuses.slots;
    if (entry < 0 || static_cast<size_t>(entry) >= slots.size()) return;
    if (known.statuses.next_alias.size() != slots.size()) find_aliases(known);
    long position = entry;
    do {
        slots[static_cast<size_t>(position)].current = 0;
        position = known.statuses.next_alias[static_cast<size_t>(position)];
    } while (position != entry);
}

void keep_details(list_knowledge &known, version_record &record, const struct stat &status) {
    if (record.owner || status.st_blocks < 0 || status.st_blocks > UINT32_MAX ||
        status.st_mtim.tv_sec < 0 || status.st_mtim.tv_sec > UINT32_MAX ||
        status.st_nlink > UINT16_MAX || status.st_mode > UINT16_MAX)
        return;
    const int owner = owner_index(known.statuses, status.st_uid, status.st_gid);
    if (owner < 0) return;
    record.blocks = static_cast<uint32_t>(status.st_blocks);
    record.modified = static_cast<uint32_t>(status.st_mtim.tv_sec);
    record.links = static_cast<uint16_t>(status.st_nlink);
    record.mode = static_cast<uint16_t>(status.st_mode);
    record.owner = static_cast<uint16_t>(owner + 1);
}

bool recall_details(const list_knowledge &known, const version_record &record,
                    struct stat &status) {
    if (!record.owner) return false;
    const auto &[owner, group] = known.statuses.owner_pairs[record.owner - 1];
    status.st_blocks = static_cast<blkcnt_t>(record.blocks);
    status.st_mtim.tv_sec = static_cast<time_t>(record.modified);
    status.st_nlink = record.links;
    status.st_uid = static_cast<uid_t>(owner);
    status.st_gid = static_cast<gid_t>(group);
    status.st_mode = static_cast<mode_t>(record.mode);
    return true;
}

bool look_at(pass_context &pass, const char *name, file_look &look) {
    look.name = name;
    look.entry = -1;
    look.fresh = false;
    if (pass.known) {
        look.entry = work_entry_number(name);
        if (look.entry >= 0 && !prepare_knowledge(*pass.known)) look.entry = -1;
    }
    if (look.entry >= 0) {
        const status_cache &cache = pass.known->statuses;
        const status_slot slot = cache.slots[look.entry];
        if (slot.current && slot.folded) {
            look.status.st_size = static_cast<off_t>(slot.size);
            look.status.st_dev = cache.devices[slot.device];
            look.status.st_ino =
                static_cast<ino_t>(uint64_t(slot.inode_high) << 32 | slot.inode_low);
            look.status.st_mode = static_cast<mode_t>(slot.type << 12);
            return true;
        }
    }
    return examine_fresh(pass, look);
}

void begin_comparison_pass(pass_context &pass) {
    if (!pass.known) return;
    for (status_slot &slot : pass.known->statuses.slots) {
        slot.current = 0;
        slot.folded = 0;
    }
}

void fold_link_count(pass_context &pass, file_look &look) {
    // A remembered status was folded when it was taken.
    if (!look.fresh) return;
    update_link_extremes(*pass.stats, look.status.st_nlink);
    if (remembering(pass, look)) pass.known->statuses.slots[look.entry].folded = 1;
}
