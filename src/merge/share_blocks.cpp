#include "merge/share_blocks.h"

#include <sys/stat.h>

#include <memory>
#include <unordered_map>
#include <vector>

#include "fs/dedupe_call.h"
#include "fs/file_status.h"
#include "merge/compare_and_link.h"
#include "merge/share_door.h"
#include "merge/share_picture.h"
#include "state/output.h"
#include "state/run_state.h"

namespace {

// What sharing reads of a status: the file (device, inode, size) and what
// chooses the source. Kept for every noted name, so smaller than a whole
// status.
struct compared_status {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    blkcnt_t blocks = 0;
    nlink_t links = 0;
    time_t modified = 0;  // whole seconds
    mode_t mode = 0;
};

compared_status kept_of(const struct stat &status) {
    return {status.st_dev,   status.st_ino,         status.st_size, status.st_blocks,
            status.st_nlink, status.st_mtim.tv_sec, status.st_mode};
}

struct stat as_status(const compared_status &kept) {
    struct stat status {};
    status.st_dev = kept.device;
    status.st_ino = kept.inode;
    status.st_size = kept.size;
    status.st_blocks = kept.blocks;
    status.st_nlink = kept.links;
    status.st_mtim.tv_sec = kept.modified;
    status.st_mode = kept.mode;
    return status;
}

// What the comparisons told of one listed name.
struct noted_name {
    compared_status seen;     // device and inode always; the rest when complete
    bool has_status = false;  // seen holds a whole look, as compared
};

// What the sharing pass's comparisons noted: its sets, as a union-find over
// input positions. One record for the run.
struct noted_shares {
    std::vector<int32_t> set_parent;     // -1: not noted
    std::vector<int32_t> slot_of_entry;  // index in names; -1: none
    std::vector<noted_name> names;
    std::unordered_map<inode_key, int32_t, inode_key_hash> entry_of_inode;
};
noted_shares shares_noted;

int32_t find_set(int32_t entry) {
    while (shares_noted.set_parent[entry] != entry) {
        shares_noted.set_parent[entry] = shares_noted.set_parent[shares_noted.set_parent[entry]];
        entry = shares_noted.set_parent[entry];
    }
    return entry;
}

void join_sets(int32_t a, int32_t b) {
    a = find_set(a);
    b = find_set(b);
    if (a != b) shares_noted.set_parent[std::max(a, b)] = std::min(a, b);
}

noted_name &noted_as(int32_t entry) {
    return shares_noted.names[static_cast<size_t>(shares_noted.slot_of_entry[entry])];
}

// Notes one look, complete when every field that sharing reads was filled
// in; returns its position, or -1 when the name has none.
int32_t note_look(const file_look &look, bool complete) {
    const long position = work_entry_number(look.name);
    if (position < 0) return -1;
    const int32_t entry = static_cast<int32_t>(position);
    if (shares_noted.set_parent.size() != static_cast<size_t>(file_count)) {
        shares_noted.set_parent.assign(static_cast<size_t>(file_count), -1);
        shares_noted.slot_of_entry.assign(static_cast<size_t>(file_count), -1);
    }
    if (shares_noted.set_parent[entry] < 0) {
        shares_noted.set_parent[entry] = entry;
        shares_noted.slot_of_entry[entry] = static_cast<int32_t>(shares_noted.names.size());
        shares_noted.names.emplace_back();
    }
    noted_name &name = noted_as(entry);
    if (complete) {
        name.seen = kept_of(look.status);
        name.has_status = true;
    } else if (!name.has_status) {
        name.seen.device = look.status.st_dev;
        name.seen.inode = look.status.st_ino;
    }
    // Every name of one inode joins its set.
    const auto [known, added] =
        shares_noted.entry_of_inode.emplace(inode_key{name.seen.device, name.seen.inode}, entry);
    if (!added) join_sets(known->second, entry);
    return entry;
}

// One file of a set: an inode, under the first of its names in the order of
// work_list.
struct set_member {
    const char *name = nullptr;
    struct stat status {};
    bool has_status = false;
    std::vector<const char *> other_names;
};

// The survivor that the link pass would keep, linking the set in its order:
// of the first two, the one first_survives keeps; it then gathers a link from
// each further file unless first_survives keeps that one instead. Then the
// sparsest file, when another occupies fewer blocks than that survivor.
size_t choose_source(const std::vector<set_member> &members, const std::vector<bool> &usable) {
    size_t survivor = members.size();
    uint64_t gathered = 0;
    for (size_t i = 0; i < members.size(); ++i) {
        if (!usable[i]) continue;
        if (survivor == members.size()) {
            survivor = i;
            gathered = members[i].status.st_nlink;
            continue;
        }
        struct stat kept = members[survivor].status;
        kept.st_nlink = static_cast<nlink_t>(gathered);
        if (first_survives(kept, members[i].status)) {
            ++gathered;
        } else {
            survivor = i;
            gathered = members[i].status.st_nlink + 1;
        }
    }
    if (survivor == members.size()) return survivor;
    size_t sparsest = survivor;
    for (size_t i = 0; i < members.size(); ++i)
        if (usable[i] && members[i].status.st_blocks < members[sparsest].status.st_blocks)
            sparsest = i;
    return sparsest;
}

share_file file_of(const set_member &member) {
    share_file file;
    file.name = member.name;
    file.compared = member.status;
    return file;
}

// The files of one set, in the order of work_list.
std::vector<set_member> members_of(const std::vector<int32_t> &positions) {
    std::vector<set_member> members;
    std::unordered_map<inode_key, size_t, inode_key_hash> member_of_inode;
    for (const int32_t position : positions) {
        const char *name = work_list[position];
        const noted_name &noted = noted_as(static_cast<int32_t>(work_entry_number(name)));
        const inode_key inode{noted.seen.device, noted.seen.inode};
        const auto [at, added] = member_of_inode.emplace(inode, members.size());
        if (added) members.push_back({name, {}, false, {}});
        set_member &member = members[at->second];
        if (!added) member.other_names.push_back(name);
        if (noted.has_status && !member.has_status) {
            member.status = as_status(noted.seen);
            member.has_status = true;
        }
    }
    // An inode seen only as another name's partner was not compared itself.
    std::vector<set_member> compared;
    for (set_member &member : members)
        if (member.has_status) compared.push_back(std::move(member));
    return compared;
}

// The read-only run: the maps of every file but the source, as they are.
void picture_set(share_picture &picture, const std::vector<set_member> &members, size_t source,
                 const extent_map &source_map, uint64_t end) {
    std::vector<std::unique_ptr<extent_map>> maps;
    std::vector<const extent_map *> others;
    for (size_t i = 0; i < members.size(); ++i) {
        if (i == source) continue;
        share_file file = file_of(members[i]);
        auto map = std::make_unique<extent_map>();
        if (open_quietly(file) && read_extent_map(file.fd.get(), end, *map)) {
            others.push_back(map.get());
            maps.push_back(std::move(map));
        }
    }
    begin_share_picture(picture, source_map, others);
}

void share_set(const pass_context &pass, const std::vector<set_member> &members,
               share_devices &devices, share_totals &totals) {
    if (members.size() < 2) return;
    const dev_t device = members[0].status.st_dev;
    if (device_refused(devices, device)) return;
    // Names of one file are one file: no call is made between them.
    for (const set_member &member : members)
        for (const char *other : member.other_names)
            fail_line(nullptr, "file %s: another name of %s, left alone.\n", other, member.name);

    // The source: the first choice that can be opened and may be shared.
    std::vector<bool> usable(members.size(), true);
    size_t source = members.size();
    share_file source_file;
    for (;;) {
        if (device_refused(devices, device)) return;
        source = choose_source(members, usable);
        if (source == members.size()) return;
        source_file = file_of(members[source]);
        if (open_for_sharing(source_file, devices)) break;
        usable[source] = false;
    }
    const share_geometry geometry = geometry_of(source_file, devices);
    const uint64_t block = geometry.block;
    const uint64_t end =
        (static_cast<uint64_t>(members[source].status.st_size) + block - 1) / block * block;
    // Bytes kept among the file system's own records (btrfs's inline data)
    // cannot be shared: XFS keeps none, others only in files smaller than a
    // block. The source's map is read when it can hold such bytes, and when
    // a file's map does not tell by itself that its blocks are not the
    // source's.
    const bool may_be_packed = !geometry.singly && members[source].status.st_size < off_t(block);
    // XFS has no files without copy-on-write; elsewhere (btrfs) such a file
    // shares blocks only with another of its kind.
    const bool source_without_copy = !geometry.singly && copy_on_write_off(source_file.fd.get());
    extent_map source_map;
    bool source_mapped = false;
    share_picture picture;
    // Reads the source's map once; false when the set is to be left.
    const auto map_source = [&] {
        if (source_mapped) return true;
        if (!read_share_map(source_file, end, source_map, devices) ||
            map_has_packed_data(source_map))
            return false;
        if (pass.options.nodo) picture_set(picture, members, source, source_map, end);
        source_mapped = true;
        return true;
    };

    for (size_t i = 0; i < members.size(); ++i) {
        if (i == source || !usable[i]) continue;
        if (stop_requested()) return;
        share_file file = file_of(members[i]);
        if (!open_for_sharing(file, devices)) {
            if (device_refused(devices, device)) return;
            continue;
        }
        if (!geometry.singly && copy_on_write_off(file.fd.get()) != source_without_copy) {
            fail_line(nullptr, "file %s: copy-on-write is %s for it and %s for %s, not shared.\n",
                      file.name, source_without_copy ? "on" : "off",
                      source_without_copy ? "off" : "on", source_file.name);
            continue;
        }
        // Whether the file system shares blocks at all is asked before
        // anything else, once a device.
        const bool asked = !devices.sharing.count(device);
        if (asked && !may_share(source_file, file, devices)) {
            if (device_refused(devices, device)) return;
            continue;
        }
        if (may_be_packed && !map_source()) return;
        extent_map before;
        if (!read_share_map(file, end, before, devices)) return;
        if (map_has_packed_data(before)) continue;
        // A file that holds only blocks of its own is not in the source's.
        if (!holds_only_own_blocks(before)) {
            if (!map_source()) return;
            if (bytes_in_same_place(source_map, before, 0, end) == end) continue;  // shared already
        }
        uint64_t given_back;
        if (pass.options.nodo) {
            // Whether this file may share them: the answer that the real
            // run's first call gets.
            if (!asked && !may_share(source_file, file, devices)) {
                if (device_refused(devices, device)) return;
                continue;
            }
            // Blocks other files share too are told by the picture, which
            // exists as soon as such a file is met.
            given_back =
                source_mapped ? picture_sharing(picture, before, !geometry.singly)
                              : bytes_held_alone(before);
        } else {
            const share_result result =
                share_blocks_of(source_file, source_mapped ? &source_map : nullptr, file, before,
                                end, geometry, devices);
            if (stop_requested()) return;
            if (!result.shared) {
                if (device_refused(devices, device)) return;
                continue;
            }
            given_back = result.given_back;
        }
        const int64_t blocks = static_cast<int64_t>(given_back / 512);
        totals.files += 1;
        totals.blocks += blocks;
        report("share %s %s: freed +%lld blocks\n", source_file.name, file.name,
               static_cast<long long>(blocks));
    }
}

}  // namespace

void begin_noting_shares() {
    shares_noted.set_parent.clear();
    shares_noted.slot_of_entry.clear();
    shares_noted.names.clear();
    shares_noted.entry_of_inode.clear();
}

void note_shareable_pair(const file_look &first, const file_look &second) {
    const struct stat &a = first.status, &b = second.status;
    if (!S_ISREG(a.st_mode) || !S_ISREG(b.st_mode) || a.st_dev != b.st_dev || a.st_size <= 0 ||
        a.st_size != b.st_size)
        return;
    // Of two names of one inode only the inode is known for sure.
    const bool complete = a.st_ino != b.st_ino;
    const int32_t x = note_look(first, complete), y = note_look(second, complete);
    if (x >= 0 && y >= 0) join_sets(x, y);
}

share_totals share_noted_sets(const pass_context &pass) {
    share_totals totals;
    if (shares_noted.set_parent.empty()) return totals;
    // The sets in the order of work_list, each with its names in that order.
    std::unordered_map<int32_t, size_t> set_index;
    std::vector<std::vector<int32_t>> sets;
    for (int32_t k = 0; k < file_count; ++k) {
        const long entry = work_entry_number(work_list[k]);
        if (entry < 0 || shares_noted.set_parent[entry] < 0) continue;
        const auto [at, added] =
            set_index.emplace(find_set(static_cast<int32_t>(entry)), sets.size());
        if (added) sets.emplace_back();
        sets[at->second].push_back(k);
    }
    uint64_t names = 0;
    for (const auto &positions : sets) names += positions.size();
    progress_step_begins(false, names);
    share_devices devices;
    for (const auto &positions : sets) {
        if (stop_requested()) break;
        share_set(pass, members_of(positions), devices, totals);
        for (size_t i = 0; i < positions.size(); ++i) progress_name();
    }
    begin_noting_shares();
    return totals;
}
