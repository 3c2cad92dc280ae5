// Trial copies whose block counts have not settled yet, on a file system that
// counts blocks late (fs/settled_counts.h). They wait, open, until one
// sentinel per file system written after them has settled, and are then
// measured and finished in the order they were made. A batch holds at most
// 4096 copies (fewer where the system allows fewer descriptors) and 1 GiB of
// copied files; the sparse pass settles what is left at its end.
#pragma once

#include <sys/stat.h>

#include "rewrite/trial_copy.h"

// Parks a trial copy; settles the batch when it is full.
void park_trial(trial_copy &&trial);

// Settles and finishes every parked copy. A copy whose count does not settle
// within the bound is removed, and its file is named on standard error and
// left as it is; after an interruption every parked copy is removed.
void settle_parked_copies();

// Whether a copy of the file (by device and inode) waits in the batch: the
// same file listed under another spelling of its name.
bool copy_parked_for(const struct stat &original);
