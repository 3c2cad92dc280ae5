// Where a file's bytes lie on disk, as the kernel's extent map (FIEMAP)
// tells: which ranges of the file share their blocks with another file's, and
// which blocks a change of the map gave back to the file system.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

struct file_extent {
    uint64_t logical = 0;   // offset in the file
    uint64_t physical = 0;  // address on the device
    uint64_t length = 0;    // bytes
    uint32_t flags = 0;     // FIEMAP_EXTENT_* (see extent_* below)
};

// The extents of a file from offset 0 up to an end, in order and apart;
// what lies between them is a hole.
struct extent_map {
    std::vector<file_extent> extents;
};

// Reads the map of the open file from 0 to end (clipped there), its dirty
// bytes written out first so that every extent has its place. False, with
// errno set, when the file system gives no map.
bool read_extent_map(int fd, uint64_t end, extent_map &map);

// An extent whose address is the place of its bytes, so that two files
// whose extents have one address share those blocks.
bool extent_has_place(const file_extent &extent);
// An extent whose blocks hold no other file's bytes at the time of the map.
bool extent_is_exclusive(const file_extent &extent);
// An extent whose blocks take its length on disk (not compressed or packed),
// so that the blocks it gives back can be counted from its length.
bool extent_counts_length(const file_extent &extent);
// Bytes kept with the file system's own records (btrfs's inline data, a
// tail packed with other files): such bytes cannot be shared.
bool extent_is_packed(const file_extent &extent);
bool map_has_packed_data(const extent_map &map);

// What one map shows over a piece of the file: a hole, or an extent and the
// address of the piece's first byte.
struct extent_place {
    const file_extent *extent = nullptr;  // null: a hole
    uint64_t physical = 0;
};

// Two places hold the same blocks: both holes, or both at one address.
bool same_place(const extent_place &a, const extent_place &b);

// Cuts [from, to) into the pieces over which every map shows one place, and
// calls piece(offset, length, places) for each in order, places holding one
// entry per map.
template <class piece_function>
void for_each_piece(std::initializer_list<const extent_map *> maps, uint64_t from, uint64_t to,
                    piece_function piece);

// Bytes of [from, to) where the two maps show the same place.
uint64_t bytes_in_same_place(const extent_map &a, const extent_map &b, uint64_t from, uint64_t to);

// Whether every extent of the map has a place that no other file shares, and
// there is at least one: then no part of the file lies in another file's
// blocks, and some part lies elsewhere than in any other file's.
bool holds_only_own_blocks(const extent_map &map);

// Bytes of [0, end) that a change of a file's map from before to after gave
// back to the file system: where before held blocks that no other file
// shared, and after holds them no more. With whole_extents, for a file system
// that frees an extent only once no part of it is referenced (btrfs), an
// extent of before counts only when after holds nothing of it.
uint64_t bytes_given_back(const extent_map &before, const extent_map &after, uint64_t end,
                          bool whole_extents);

// The bytes of blocks that the map holds alone, counted by length: what the
// file gives back when all of its bytes move to another file's blocks.
uint64_t bytes_held_alone(const extent_map &map);

// ---- Implementation of the template ------------------------------------------

namespace extent_detail {

// The index of the first extent of map that ends after offset, from hint on.
inline size_t extent_after(const extent_map &map, uint64_t offset, size_t hint) {
    while (hint < map.extents.size() &&
           map.extents[hint].logical + map.extents[hint].length <= offset)
        ++hint;
    return hint;
}

}  // namespace extent_detail

template <class piece_function>
void for_each_piece(std::initializer_list<const extent_map *> maps, uint64_t from, uint64_t to,
                    piece_function piece) {
    std::vector<size_t> at(maps.size(), 0);
    std::vector<extent_place> places(maps.size());
    uint64_t offset = from;
    while (offset < to) {
        uint64_t next = to;
        size_t i = 0;
        for (const extent_map *map : maps) {
            at[i] = extent_detail::extent_after(*map, offset, at[i]);
            places[i] = {};
            if (at[i] < map->extents.size()) {
                const file_extent &extent = map->extents[at[i]];
                if (extent.logical <= offset) {
                    places[i].extent = &extent;
                    places[i].physical = extent.physical + (offset - extent.logical);
                    next = std::min(next, extent.logical + extent.length);
                } else {
                    next = std::min(next, extent.logical);
                }
            }
            ++i;
        }
        piece(offset, next - offset, places);
        offset = next;
    }
}
