#include "run/pass_table.h"

namespace {

// -B takes the place of the link pass where a row runs one (-s and -i are
// refused with it): after the sparse pass with -c -S.
pass_plan sharing_plan(bool sparse_first) {
    using enum pass_kind;
    if (sparse_first) return {{sparse_ordering, sparse, share}, exit_rule::final_status};
    return {{share}, exit_rule::final_status};
}

}  // namespace

pass_plan plan_passes(const run_options_record &options, bool delete_mode) {
    using enum pass_kind;
    const bool c = options.combo, i = options.inverse, S = options.sparse, n = options.nodo != 0;
    const bool B = options.share;
    constexpr exit_rule intake = exit_rule::final_status, zero = exit_rule::zero;
    // One line per row of the table of passes, the first that matches;
    // each ends with the options of its row.
    if (delete_mode) return {{deletion}, intake};                  // -d with anything
    if (B && (c || !S)) return sharing_plan(S);                    // -B, -c -B, -c -S -B
    if (c && i) return {{expansion, desparse}, zero};              // -c -i, -c -i -S
    if (c && S && n) return {{link_report, sparse}, zero};         // -c -S -n
    if (c && S) return {{sparse_ordering, sparse, link}, intake};  // -c -S
    if (i && S) return {{sparse_ordering, desparse}, zero};        // -i -S
    if (S) return {{sparse_ordering, sparse}, intake};             // -S
    if (i) return {{expansion}, intake};                           // -i
    return {{link}, intake};                                       // none, or -c alone
}
