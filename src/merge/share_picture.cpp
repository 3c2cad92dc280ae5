#include "merge/share_picture.h"

#include <algorithm>

namespace {

// The extents whose places other files may hold too.
bool counted_shared(const file_extent &extent) {
    return extent_has_place(extent) && !extent_is_exclusive(extent);
}

// Calls visit(piece, overlap) for every piece that [start, start + length)
// overlaps.
template <class visit_function>
void for_each_overlap(share_picture &picture, uint64_t start, uint64_t length,
                      visit_function visit) {
    const uint64_t end = start + length;
    auto at = picture.pieces.upper_bound(start);
    if (at != picture.pieces.begin()) --at;
    for (; at != picture.pieces.end() && at->first < end; ++at) {
        const uint64_t from = std::max(at->first, start), to = std::min(at->second.end, end);
        if (from < to) visit(at->second, to - from);
    }
}

}  // namespace

void begin_share_picture(share_picture &picture, const extent_map &source,
                         const std::vector<const extent_map *> &others) {
    picture.pieces.clear();
    std::vector<uint64_t> ends;
    for (const file_extent &extent : source.extents)
        if (extent_has_place(extent)) {
            ends.push_back(extent.physical);
            ends.push_back(extent.physical + extent.length);
        }
    for (const extent_map *map : others)
        for (const file_extent &extent : map->extents)
            if (counted_shared(extent)) {
                ends.push_back(extent.physical);
                ends.push_back(extent.physical + extent.length);
            }
    std::sort(ends.begin(), ends.end());
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
    for (size_t i = 0; i + 1 < ends.size(); ++i) picture.pieces[ends[i]].end = ends[i + 1];
    for (const file_extent &extent : source.extents)
        if (extent_has_place(extent))
            for_each_overlap(
                picture, extent.physical, extent.length,
                [](share_picture::place_piece &piece, uint64_t) { piece.source = true; });
    for (const extent_map *map : others)
        for (const file_extent &extent : map->extents)
            if (counted_shared(extent))
                for_each_overlap(picture, extent.physical, extent.length,
                                 [](share_picture::place_piece &piece, uint64_t) {
                                     ++piece.references;
                                     ++piece.remaining;
                                 });
}

uint64_t picture_sharing(share_picture &picture, const extent_map &destination,
                         bool whole_extents) {
    uint64_t given_back = 0;
    for (const file_extent &extent : destination.extents) {
        if (!extent_has_place(extent)) continue;
        if (extent_is_exclusive(extent)) {
            if (extent_counts_length(extent)) given_back += extent.length;
            continue;
        }
        if (!extent_counts_length(extent)) continue;
        if (whole_extents) {
            // Marked shared because another file of the set holds part of
            // it, and every other such file has moved before this one.
            bool explained = false, last = true;
            for_each_overlap(picture, extent.physical, extent.length,
                             [&](const share_picture::place_piece &piece, uint64_t) {
                                 if (piece.references >= 2) explained = true;
                                 if (piece.source || piece.remaining > 1) last = false;
                             });
            if (explained && last) given_back += extent.length;
            continue;
        }
        // Held by this file alone at its turn: every other holder in the set
        // has moved before it.
        for_each_overlap(picture, extent.physical, extent.length,
                         [&](share_picture::place_piece &piece, uint64_t overlap) {
                             if (!piece.source && piece.references >= 2 && piece.remaining == 1)
                                 given_back += overlap;
                         });
    }
    for (const file_extent &extent : destination.extents)
        if (counted_shared(extent))
            for_each_overlap(picture, extent.physical, extent.length,
                             [](share_picture::place_piece &piece, uint64_t) {
                                 if (piece.remaining > 0) --piece.remaining;
                             });
    return given_back;
}
