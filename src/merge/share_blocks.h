// Block sharing (-B): sets of byte-equal files found as the link pass finds
// them, across owners, groups and modes, each then made to share the blocks
// of one of its files. Every name keeps its inode, owner, group, mode, times
// and link count.
#pragma once

#include <cstdint>

#include "compare/file_knowledge.h"
#include "compare/pass_context.h"

// Forgets the pairs noted by an earlier pass.
void begin_noting_shares();

// The comparison of the sharing pass met two equal regular files on one
// device (different inodes, as compared and confirmed), or two names of one
// inode: they belong to one set.
void note_shareable_pair(const file_look &first, const file_look &second);

struct share_totals {
    uint32_t files = 0;  // files that now share the blocks of their set's source
    int64_t blocks = 0;  // 512-byte blocks they gave back to the file system
};

// Acts on every set noted, in the order of work_list: of each set, the file
// whose blocks the others take (the source) is the survivor that the link
// pass would keep, unless another file of the set occupies fewer blocks (a
// sparser copy); every other file is made to share its blocks (share_door.h),
// or with nodo, reported as the real run would report it. Prints
// "share SOURCE NAME: freed +N blocks" for each file that shares blocks.
// A read-only pass (nodo) reports what the real run would do. A run asked
// to stop returns at the next file, leaving each file shared as far as it
// went.
share_totals share_noted_sets(const pass_context &pass);
