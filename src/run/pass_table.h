// Which passes a run makes, in which order, and how it ends: the options
// mapped onto the table of passes, in one place.
#pragma once

#include <vector>

#include "state/run_state.h"

enum class pass_kind {
    // The link comparator orders the list, read-only and silent, so that the
    // names of one inode lie next to each other for the sparse pass.
    sparse_ordering,
    // The same ordering as a read-only link report of the files as they are:
    // its lines are printed, also under -q (-c -S -n).
    link_report,
    link,       // the link pass: sort with the link comparator, then the neighbours
    expansion,  // every multiply linked name gets a private copy
    sparse,     // files rewritten sparse where that frees blocks
    desparse,   // files rewritten with every byte where that takes blocks
    deletion,   // the delete pass
    share,      // the sharing pass: equal files share their blocks, each keeping its inode
};

enum class exit_rule {
    final_status,  // the intake's status: -1 (255) after a read error, else 0
    zero,          // 0 whatever the intake reported
};

struct pass_plan {
    std::vector<pass_kind> passes;
    exit_rule exit = exit_rule::final_status;
};

// The passes and the exit rule that the options and -d select.
pass_plan plan_passes(const run_options_record &options, bool delete_mode);
