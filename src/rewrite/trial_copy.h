// A trial copy of the sparse pass: made beside the file it copies, open, and
// waiting to be measured, then kept or removed.
#pragma once

#include <sys/stat.h>

#include <string>

#include "compare/pass_context.h"
#include "fs/file_handles.h"
#include "fs/held_entry.h"

struct trial_copy {
    pass_context *pass = nullptr;  // the sparse pass that made it
    std::string name;              // the listed name, as the lines show it
    held_entry entry;              // the name, held in its directory
    struct stat original;          // the file as it was copied
    std::string temp_name;         // the copy's whole name
    unique_fd copy;                // the copy, open from its creation to its installation
    unsigned char sparsing = 1;
};

// Measures the finished copy, whose block count has settled (its status is
// made), against the original: counts its gain, and keeps it in the name's
// place when it gains blocks in the wanted direction (in a read-only run it
// only reports that), or removes it. Returns 0, or -1 after a line saying
// what failed.
int finish_trial(trial_copy &trial, struct stat made);

// Removes the copy of a trial that is not to be finished, unless another
// entry has taken its name meanwhile. Returns 0 when it is gone, -1 (after
// saying why) when not.
int discard_trial(trial_copy &trial);
