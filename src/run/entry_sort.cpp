#include "run/entry_sort.h"

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "run/memory.h"
#include "state/output.h"

namespace {

// Merges the sorted runs from[lo, mid) and from[mid, hi) into to[lo, hi).
// Each index only ever moves forward and stays below its bound, so no answer
// of the comparison can take it out of the array. Once a signal asked the run
// to stop, the comparator is no longer called: the runs are put one after the
// other, so that the array still holds every entry once.
template <class order_type>
void merge_runs(char **from, char **to, size_t lo, size_t mid, size_t hi, order_type &compare) {
    size_t left = lo, right = mid, out = lo;
    while (left < mid && right < hi && !stop_requested()) {
        // One of the two next elements takes part in the next comparison: its
        // name is fetched into the cache while this comparison runs.
        if (left + 1 < mid) __builtin_prefetch(from[left + 1]);
        if (right + 1 < hi) __builtin_prefetch(from[right + 1]);
        if (compare(&from[left], &from[right]) <= 0)
            to[out++] = from[left++];
        else
            to[out++] = from[right++];
        progress_sort_step();
    }
    run_progress.done += (mid - left) + (hi - right);
    while (left < mid) to[out++] = from[left++];
    while (right < hi) to[out++] = from[right++];
}

// Rounds of merging that make one run of runs: log2 of runs, rounded up.
size_t merge_rounds(size_t runs) {
    size_t rounds = 0;
    for (size_t width = 1; width < runs; width *= 2) ++rounds;
    return rounds;
}

char **allocate_scratch(size_t count) {
    char **scratch = static_cast<char **>(allocate_zeroed(count, sizeof(char *)));
    if (!scratch) {
        error_cause("sort");
        std::exit(-1);
    }
    return scratch;
}

template <class order_type>
void sort_all(char **base, size_t count, order_type &compare) {
    if (count < 2) return;
    char **scratch = allocate_scratch(count);
    progress_step_begins(true, count * merge_rounds(count));
    // Bottom-up: runs of width 1, 2, 4, ... merged back and forth between the
    // array and the scratch copy.
    char **from = base, **to = scratch;
    for (size_t width = 1; width < count; width *= 2) {
        for (size_t lo = 0; lo < count; lo += 2 * width) {
            size_t mid = lo + width < count ? lo + width : count;
            size_t hi = lo + 2 * width < count ? lo + 2 * width : count;
            merge_runs(from, to, lo, mid, hi, compare);
        }
        std::swap(from, to);
    }
    if (from != base) std::memcpy(base, from, count * sizeof(char *));
    std::free(scratch);
}

template <class order_type>
void sort_nearly(char **base, size_t count, order_type &compare) {
    if (count < 2) return;
    // Where each ascending run starts, and the end of the last one.
    std::vector<size_t> starts{0};
    progress_step_begins(true, count - 1);
    for (size_t k = 0; k + 1 < count && !stop_requested(); ++k) {
        if (compare(&base[k], &base[k + 1]) > 0) starts.push_back(k + 1);
        progress_sort_step();
    }
    if (starts.size() == 1) return;
    starts.push_back(count);
    char **scratch = allocate_scratch(count);
    progress_step_begins(true, count * merge_rounds(starts.size() - 1));
    char **from = base, **to = scratch;
    // Neighbouring runs merged pairwise, back and forth, until one is left.
    while (starts.size() > 2) {
        const size_t runs = starts.size() - 1;
        std::vector<size_t> merged;
        merged.reserve(runs / 2 + 2);
        for (size_t i = 0; i < runs; i += 2) {
            const size_t lo = starts[i], mid = starts[i + 1];
            const size_t hi = i + 1 < runs ? starts[i + 2] : mid;
            merge_runs(from, to, lo, mid, hi, compare);
            merged.push_back(lo);
        }
        merged.push_back(count);
        starts.swap(merged);
        std::swap(from, to);
    }
    if (from != base) std::memcpy(base, from, count * sizeof(char *));
    std::free(scratch);
}

}  // namespace

void sort_entries(char **base, size_t count, entry_compare compare) {
    sort_all(base, count, compare);
}

void sort_entries(char **base, size_t count, pass_compare compare, pass_context &pass) {
    auto in_pass = [&](const void *a, const void *b) { return compare(pass, a, b); };
    sort_all(base, count, in_pass);
}

void sort_nearly_sorted(char **base, size_t count, entry_compare compare) {
    sort_nearly(base, count, compare);
}

void sort_nearly_sorted(char **base, size_t count, pass_compare compare, pass_context &pass) {
    auto in_pass = [&](const void *a, const void *b) { return compare(pass, a, b); };
    sort_nearly(base, count, in_pass);
}
