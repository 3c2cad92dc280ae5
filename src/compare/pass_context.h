// What one pass works with, handed to every comparison and routine it calls:
// its options, how it sees the files, where it counts, what the run knows of
// the listed files, the record of the run's own changes and the buffers that
// comparisons read into. The driver makes one for each pass; nothing a pass
// needs is found elsewhere.
#pragma once

#include "fs/file_picture.h"
#include "fs/stamp_trust.h"
#include "state/run_state.h"

struct list_knowledge;
struct comparison_buffers;

struct pass_context {
    // The run's options as this pass takes them: an ordering that acts on
    // nothing runs with nodo set.
    run_options_record options;
    file_view view;                     // the files as they are, or this pass's picture
    run_stats_record *stats = nullptr;  // the counters this pass adds to
    list_knowledge *known = nullptr;    // null: every comparison examines and reads afresh
    own_change_log *changes = nullptr;  // the run's own changes, written as it makes them
    comparison_buffers *buffers = nullptr;
};

// The context for routines called on their own, in the form the sort hands
// entries to a comparator (compare_and_link(a, b) and the like), outside a
// pass of the driver: the run's options and counters (run_options,
// run_stats), the files as they are, and one record of what is known of
// work_list and of the run's changes, kept from call to call. Remembering is
// on while file_knowledge_enabled is.
pass_context &standalone_pass();

// Off: every comparison examines both names by lstat and compares the files
// with compare_contents, reading both from the start. Tests and the
// reference build switch it off.
extern bool file_knowledge_enabled;
