#include "run/summaries.h"

#include <cinttypes>

#include "merge/share_blocks.h"
#include "state/output.h"
#include "state/run_state.h"

// Counters are printed with %d, as their 32-bit value taken signed.
static int as_int(uint32_t v) {
    return static_cast<int>(v);
}

void print_link_summary() {
    const bool inv = run_options.inverse;
    const char *can = run_options.nodo ? " which can be" : "";
    report_unflushed(
        "Files%s %s: %d of %d, Disk blocks%s %sclaimed: %d\n", can, inv ? "expanded" : "linked",
        as_int(inv ? run_stats.declaim_files : run_stats.reclaim_files), file_count, can,
        inv ? "de" : "re", as_int(inv ? run_stats.declaim_blocks : run_stats.reclaim_blocks));
}

void print_sparse_summary() {
    const bool inv = run_options.inverse;
    report_unflushed("Files%s %ssparsed: %d of %d, Disk blocks%s %sclaimed: %d\n",
                     run_options.nodo ? " which can be" : "", inv ? "de" : "",
                     as_int(inv ? run_stats.declaim_files : run_stats.reclaim_files), file_count,
                     run_options.nodo ? " can be" : "", inv ? "de" : "re",
                     as_int(inv ? run_stats.declaim_blocks : run_stats.reclaim_blocks));
    report_unflushed("Minimum of disk blocks which could be %s by %s copying: %" PRId64
                     ", Maximum: %" PRId64 ".\n",
                     inv ? "declaimed" : "reclaimed", inv ? "desparse" : "sparse",
                     run_stats.min_copy_gain, run_stats.max_copy_gain);
}

void print_delete_summary() {
    report_unflushed("Duplicate files (%s deleted): %d of %d, Disk blocks%s reclaimed: %d\n",
                     run_options.nodo ? "which can be" : "which have been",
                     as_int(run_stats.reclaim_files), file_count,
                     run_options.nodo ? " which can be" : "", as_int(run_stats.reclaim_blocks));
}

void print_share_summary(const share_totals &totals) {
    if (run_options.nodo)
        report_unflushed(
            "Files which can share blocks: %u of %u, Disk blocks which can be reclaimed: %lld\n",
            totals.files, static_cast<unsigned>(file_count), static_cast<long long>(totals.blocks));
    else
        report_unflushed("Files sharing blocks: %u of %u, Disk blocks reclaimed: %lld\n",
                         totals.files, static_cast<unsigned>(file_count),
                         static_cast<long long>(totals.blocks));
}

void print_link_extremes() {
    report_unflushed("Minimum of found hard links: %d, Maximum: %d.\n", run_stats.min_links,
                     run_stats.max_links);
}
