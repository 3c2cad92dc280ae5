// The sort used for every ordering of the run.
#pragma once

#include <cstddef>

#include "compare/pass_context.h"

using entry_compare = int (*)(const void *, const void *);
// A comparison of one pass, which hands it its context.
using pass_compare = int (*)(pass_context &, const void *, const void *);

// Sorts an array of name pointers with a merge sort. The comparisons act on
// files while the sort runs, so their answers need not be consistent: the sort
// stays within the array and ends whatever they are, and it makes fewer
// comparisons than a quicksort. Elements handed to the comparison may lie in
// the array or in the sort's scratch copy.
void sort_entries(char **base, size_t count, entry_compare compare);
void sort_entries(char **base, size_t count, pass_compare compare, pass_context &pass);

// Sorts an array that is expected to be in order already: one comparison of
// every pair of neighbours finds the ascending runs, and only when there is
// more than one are they merged as above. On an array in order it makes
// count - 1 comparisons, each of two elements that end side by side.
void sort_nearly_sorted(char **base, size_t count, entry_compare compare);
void sort_nearly_sorted(char **base, size_t count, pass_compare compare, pass_context &pass);
