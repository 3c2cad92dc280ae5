// The summaries printed after each pass; the driver prints them unless quiet.
#pragma once

void print_link_summary();    // after the link pass; "expanded" form after the expansion pass
void print_sparse_summary();  // after the sparse pass, with the copy-gain line
void print_delete_summary();  // after the delete pass
struct share_totals;
void print_share_summary(const share_totals &totals);  // after the sharing pass
void print_link_extremes();
