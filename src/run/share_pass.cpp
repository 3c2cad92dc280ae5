#include "run/share_pass.h"

#include "compare/file_knowledge.h"
#include "fs/file_picture.h"
#include "merge/compare_and_link.h"
#include "merge/share_blocks.h"
#include "run/entry_sort.h"
#include "run/summaries.h"
#include "state/output.h"
#include "state/run_state.h"

void share_pass() {
    reset_stats();
    // No name changes: a read-only run needs no picture of names.
    end_picture();
    begin_noting_shares();
    const size_t count = static_cast<size_t>(file_count);
    // The order the link pass finds, silently; then every pair of neighbours
    // once more (and any pair a merge of runs meets), noting the equal ones.
    {
        muted_output ordering_only;
        begin_comparison_pass();
        examine_listed_names();
        sort_entries(work_list, count, order_as_linked);
    }
    sort_nearly_sorted(work_list, count, compare_and_share);
    const share_totals totals = share_noted_sets();
    print_share_summary(totals);
    report_flush();
}
