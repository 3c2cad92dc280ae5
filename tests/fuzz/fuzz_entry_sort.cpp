// Fuzz target: the sort of name pointers under comparisons whose answers come
// from the input, as they may when the comparisons act on files that change
// while the sort runs. Whatever the answers, the sort must hand the comparison
// only real entries, stay within the array (the array is allocated at its
// exact size, so AddressSanitizer sees any step outside it), come to an end
// and leave a permutation of its input. With consistent answers it must also
// order the entries.
//
// Both sorts are fuzzed: the merge sort, and the one for arrays expected in
// order (which finds the runs first).
//
// Input: byte 0 chooses the mode (bit 0 set: consistent, by keys; bit 1 set:
// the sort for arrays expected in order), bytes 1-2
// the number of entries, the rest the answers (or the keys), reused
// cyclically after a pseudo-random step when they run out.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "run/entry_sort.h"

namespace {

constexpr size_t most_entries = 2100;  // a little past 2048: sizes on both sides of a power of two

// The entries are the addresses of the cells of one array; an entry is
// real when it points at a cell.
char *cells = nullptr;
size_t cell_count = 0;

const uint8_t *answers = nullptr;
size_t answer_count = 0;
size_t next_answer = 0;
uint32_t scramble = 1;
size_t comparisons = 0;
size_t comparison_limit = 0;
std::vector<uint8_t> keys;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "sort fuzz: %s (%zu entries, %zu comparisons)\n", what, cell_count,
                 comparisons);
    std::abort();
}

size_t cell_of(const void *slot) {
    if (!slot) fail("comparison given a null slot");
    const char *entry = *static_cast<char *const *>(slot);
    if (entry < cells || entry >= cells + cell_count)
        fail("comparison given something not an entry");
    return static_cast<size_t>(entry - cells);
}

uint8_t take_byte() {
    if (answer_count == 0) return 0;
    if (next_answer == answer_count) {
        next_answer = 0;
        scramble = scramble * 1103515245u + 12345u;
    }
    return static_cast<uint8_t>(answers[next_answer++] ^ (scramble >> 16));
}

void count_comparison() {
    if (++comparisons > comparison_limit) fail("too many comparisons: the sort does not end");
}

int answer_from_input(const void *a, const void *b) {
    cell_of(a);
    cell_of(b);
    count_comparison();
    static const int table[] = {-1, 0, 1, INT_MIN, INT_MAX, -1000, 1000, 0};
    return table[take_byte() & 7];
}

int answer_by_keys(const void *a, const void *b) {
    const uint8_t ka = keys[cell_of(a)], kb = keys[cell_of(b)];
    count_comparison();
    return ka < kb ? -1 : ka > kb ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const bool consistent = data[0] & 1;
    const bool nearly_sorted = data[0] & 2;
    const size_t count =
        (static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8) % (most_entries + 1);
    answers = data + 3;
    answer_count = size - 3;
    next_answer = 0;
    scramble = 1;
    comparisons = 0;
    // A merge sort needs fewer than count * log2(count) comparisons; twice
    // that and more is room for any sort that ends, far below a loop.
    size_t depth = 1;
    while ((size_t{1} << depth) < count) ++depth;
    comparison_limit = 2 * count * (depth + 1) + 16;

    cell_count = count;
    cells = static_cast<char *>(std::malloc(count ? count : 1));
    char **base = static_cast<char **>(std::malloc((count ? count : 1) * sizeof(char *)));
    for (size_t i = 0; i < count; ++i) base[i] = cells + i;
    keys.assign(count, 0);
    if (consistent)
        for (size_t i = 0; i < count; ++i) keys[i] = take_byte();

    using sort_routine = void (*)(char **, size_t, entry_compare);
    sort_routine sort = nearly_sorted ? sort_routine{sort_nearly_sorted} : sort_routine{sort_entries};
    sort(base, count, consistent ? answer_by_keys : answer_from_input);

    std::vector<unsigned char> seen(count, 0);
    for (size_t i = 0; i < count; ++i) {
        if (base[i] < cells || base[i] >= cells + count) fail("array holds something not an entry");
        size_t cell = static_cast<size_t>(base[i] - cells);
        if (seen[cell]++) fail("entry twice in the result: not a permutation");
    }
    if (consistent)
        for (size_t i = 1; i < count; ++i)
            if (keys[static_cast<size_t>(base[i - 1] - cells)] >
                keys[static_cast<size_t>(base[i] - cells)])
                fail("consistent answers left the entries out of order");

    std::free(base);
    std::free(cells);
    cells = nullptr;
    return 0;
}
