// A read-only run's picture of block sharing in one set of equal files: what
// the real run would find in each file's extent map at its turn, so that the
// blocks it reports as given back are those the real run gives back.
//
// The real run counts the blocks of a file that no other file shared at the
// moment of its call (the map says so) and that it then shares with the
// source. A block that several listed files share is given back by the last
// of them to move to the source's blocks; the picture counts the references
// to each place from the set's files (their maps as they are now) and takes
// those away as the files would move, in the run's order. A place shared with
// no other file of the set is taken to be held by a file outside it, and is
// never given back; one shared by several is taken to be held by them alone.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "fs/file_extents.h"

struct share_picture {
    // Pieces of the device between any two ends of the extents looked at,
    // by their first address.
    struct place_piece {
        uint64_t end = 0;
        uint32_t references = 0;  // from the set's files other than the source, as now
        uint32_t remaining = 0;   // of those, still held in the picture
        bool source = false;      // the source holds it: never given back
    };
    std::map<uint64_t, place_piece> pieces;
};

// Starts the picture of a set: the source's map and the maps of the other
// files of the set that could be read.
void begin_share_picture(share_picture &picture, const extent_map &source,
                         const std::vector<const extent_map *> &others);

// destination (its map as it is now) would take the source's places: returns
// the bytes of blocks the real run would count as given back, and takes its
// references away. With whole_extents the file system frees an extent only
// once no file holds any part of it, and its map marks the whole extent
// shared while another file holds any part (btrfs): a shared extent the set's
// files explain is given back whole by the last of them to move.
uint64_t picture_sharing(share_picture &picture, const extent_map &destination,
                         bool whole_extents);
