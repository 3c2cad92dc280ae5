// The process-wide records every pass works on: the options, the counters of
// the current pass, the interruption flag and the file list.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>

// Set by the driver from the command line, otherwise read only; the sparse
// pre-sort changes nodo and quiet for its duration and restores them.
struct run_options_record {
    int nodo = 0;          // -n: report what would be done, change no listed file
    int quiet = 0;         // -q: no progress, action or summary lines
    int soft = 0;          // -s: link by symbolic links (read by compare_and_link)
    bool inverse = false;  // -i: expand hard links, desparse, reverse the name order
    bool sparse = false;   // -S: sparse mode (read by the driver)
    bool combo = false;    // -c: chain passes (read by the driver)
    bool share = false;    // -B: share blocks where the link pass would link (read by the driver)
};
extern run_options_record run_options;

// Counters of one pass, reset by reset_stats and read by the summaries. The
// file and block counters are 32-bit accumulators that wrap.
struct run_stats_record {
    uint32_t reclaim_files = 0;         // files linked, deleted or made sparse
    uint32_t reclaim_blocks = 0;        // blocks freed by those
    uint32_t declaim_files = 0;         // files expanded or desparsed
    uint32_t declaim_blocks = 0;        // blocks newly taken by those
    int32_t min_links = 1;              // smallest hard-link count seen
    int32_t max_links = 1;              // largest hard-link count seen
    int64_t min_copy_gain = INT64_MAX;  // smallest block gain of a trial copy
    int64_t max_copy_gain = 0;          // largest block gain of a trial copy
};
extern run_stats_record run_stats;

// What the running pass has done, for the progress line on a terminal
// (state/output.h). The driver names the pass and each of its steps; the
// loops over the list and the sorts count the names, the reads and copies
// the bytes.
struct run_progress_record {
    const char *pass = nullptr;  // the running pass; null between passes
    bool sorting = false;        // done and total count the steps of a sort
    bool copying = false;        // the pass copies its bytes rather than reads them
    uint64_t done = 0;           // names examined in the current step (or sort steps)
    uint64_t total = 0;          // of these
    // Bytes read or copied since the pass began, by any thread of the run.
    std::atomic<uint64_t> bytes{0};
};
extern run_progress_record run_progress;

// Set to 1 by the signal catcher, never cleared. Every worker routine tests it
// on entry and returns at once, doing nothing; the sorts and loops that call
// them stop, and the driver ends the process with status 0. A lock-free
// atomic: the catcher may store it, and every thread of the run sees it.
extern std::atomic<int> interrupted;
static_assert(std::atomic<int>::is_always_lock_free);

// Whether a signal asked the run to stop.
inline bool stop_requested() {
    return interrupted.load(std::memory_order_relaxed) != 0;
}

// The file list, built once by the intake.
extern int file_count;               // number of non-empty names read
extern char **work_list;             // names in input order, then sorted by the passes
extern char **name_index;            // the same names, sorted by compare_names once
extern unsigned char *delete_marks;  // one byte per name_index entry; 1 = delete
// The names are stored one after the other in one block, each preceded by
// its 4-byte position in input order. Nothing changes a name once it is
// read, so work_list and name_index point to the same copy: the name list is
// most of what a run holds in memory.
extern char *work_arena;
extern size_t work_arena_size;

// The position in input order of a name held in work_list, or -1 for a name
// that the intake did not store there. Lets later passes keep per-file
// records without searching.
long work_entry_number(const char *name);

void reset_stats();

// Folds a link count into min_links and max_links. The counters are widened
// with their sign and compared as unsigned 64-bit values with the count, then
// stored truncated to 32 bits.
void update_link_extremes(run_stats_record &stats, uint64_t nlink);

// Adds to a 32-bit counter with wrap-around.
inline void add_wrapping(uint32_t &counter, int64_t amount) {
    counter += static_cast<uint32_t>(static_cast<uint64_t>(amount));
}
