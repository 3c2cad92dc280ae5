#include "fs/file_extents.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>

#ifdef __linux__
#include <linux/fiemap.h>
#include <linux/fs.h>
#endif

namespace {

#ifdef __linux__
constexpr uint32_t no_place = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                              FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_DATA_TAIL |
                              FIEMAP_EXTENT_NOT_ALIGNED;
constexpr uint32_t packed =
    FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_DATA_TAIL | FIEMAP_EXTENT_NOT_ALIGNED;
constexpr uint32_t other_length = FIEMAP_EXTENT_ENCODED | FIEMAP_EXTENT_DATA_ENCRYPTED;
constexpr uint32_t shared = FIEMAP_EXTENT_SHARED;
// Extents asked for per call: one page of them.
constexpr uint32_t extents_per_call = 72;
#else
constexpr uint32_t no_place = 0x2 | 0x4 | 0x200 | 0x400 | 0x100;
constexpr uint32_t packed = 0x200 | 0x400 | 0x100;
constexpr uint32_t other_length = 0x8 | 0x80;
constexpr uint32_t shared = 0x2000;
#endif

}  // namespace

bool extent_has_place(const file_extent &extent) {
    return (extent.flags & no_place) == 0;
}

bool extent_is_exclusive(const file_extent &extent) {
    return (extent.flags & shared) == 0;
}

bool extent_counts_length(const file_extent &extent) {
    return extent_has_place(extent) && (extent.flags & other_length) == 0;
}

bool extent_is_packed(const file_extent &extent) {
    return (extent.flags & packed) != 0;
}

bool map_has_packed_data(const extent_map &map) {
    for (const file_extent &extent : map.extents)
        if (extent_is_packed(extent)) return true;
    return false;
}

bool same_place(const extent_place &a, const extent_place &b) {
    if (!a.extent || !b.extent) return !a.extent && !b.extent;
    return extent_has_place(*a.extent) && extent_has_place(*b.extent) && a.physical == b.physical;
}

bool read_extent_map(int fd, uint64_t end, extent_map &map) {
    map.extents.clear();
#ifdef __linux__
    // One request buffer serves every call of the run; the kernel fills in
    // the extents, the header is set anew each time.
    static uint64_t
        buffer[(sizeof(struct fiemap) + extents_per_call * sizeof(struct fiemap_extent) + 7) / 8];
    auto *request = reinterpret_cast<struct fiemap *>(buffer);
    uint64_t next = 0;
    bool first = true;
    while (next < end) {
        *request = {};
        request->fm_start = next;
        request->fm_length = end - next;
        // Bytes not yet written have no place: the first call writes them out.
        request->fm_flags = first ? FIEMAP_FLAG_SYNC : 0;
        request->fm_extent_count = extents_per_call;
        first = false;
        if (ioctl(fd, FS_IOC_FIEMAP, request) != 0) return false;
        if (request->fm_mapped_extents == 0) break;
        bool last = false;
        for (uint32_t i = 0; i < request->fm_mapped_extents; ++i) {
            const struct fiemap_extent &got = request->fm_extents[i];
            last = last || (got.fe_flags & FIEMAP_EXTENT_LAST);
            uint64_t logical = got.fe_logical, physical = got.fe_physical, length = got.fe_length;
            const uint64_t got_end = logical + length;
            next = std::max(next, got_end);
            // Extents overlapping the part already taken are cut to the rest.
            const uint64_t taken =
                map.extents.empty() ? 0 : map.extents.back().logical + map.extents.back().length;
            if (got_end <= taken || logical >= end) continue;
            if (logical < taken) {
                physical += taken - logical;
                length -= taken - logical;
                logical = taken;
            }
            if (logical + length > end) length = end - logical;
            map.extents.push_back({logical, physical, length, got.fe_flags});
        }
        if (last) break;
    }
    return true;
#else
    (void)fd;
    (void)end;
    errno = EOPNOTSUPP;
    return false;
#endif
}

uint64_t bytes_in_same_place(const extent_map &a, const extent_map &b, uint64_t from, uint64_t to) {
    uint64_t same = 0;
    for_each_piece({&a, &b}, from, to,
                   [&](uint64_t, uint64_t length, const std::vector<extent_place> &places) {
                       if (same_place(places[0], places[1])) same += length;
                   });
    return same;
}

namespace {

// Whether any extent of map lies on the addresses [physical, physical + length).
bool holds_addresses(const extent_map &map, uint64_t physical, uint64_t length) {
    for (const file_extent &extent : map.extents)
        if (extent_has_place(extent) && extent.physical < physical + length &&
            physical < extent.physical + extent.length)
            return true;
    return false;
}

}  // namespace

uint64_t bytes_given_back(const extent_map &before, const extent_map &after, uint64_t end,
                          bool whole_extents) {
    // Per extent of before, so that an extent still held in part can be let go.
    std::vector<uint64_t> given(before.extents.size(), 0);
    for_each_piece({&before, &after}, 0, end,
                   [&](uint64_t, uint64_t length, const std::vector<extent_place> &places) {
                       const extent_place &was = places[0];
                       if (!was.extent || !extent_counts_length(*was.extent) ||
                           !extent_is_exclusive(*was.extent))
                           return;
                       if (!same_place(was, places[1]))
                           given[static_cast<size_t>(was.extent - before.extents.data())] += length;
                   });
    uint64_t total = 0;
    for (size_t i = 0; i < given.size(); ++i) {
        const file_extent &extent = before.extents[i];
        if (given[i] && whole_extents && holds_addresses(after, extent.physical, extent.length))
            continue;
        total += given[i];
    }
    return total;
}

bool holds_only_own_blocks(const extent_map &map) {
    for (const file_extent &extent : map.extents)
        if (!extent_has_place(extent) || !extent_is_exclusive(extent)) return false;
    return !map.extents.empty();
}

uint64_t bytes_held_alone(const extent_map &map) {
    uint64_t alone = 0;
    for (const file_extent &extent : map.extents)
        if (extent_counts_length(extent) && extent_is_exclusive(extent)) alone += extent.length;
    return alone;
}
