// The sort must order correctly with a consistent comparison and must stay
// within the array and end, whatever an inconsistent comparison answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "run/entry_sort.h"

namespace {

int by_bytes(const void *a, const void *b) {
    return std::strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

std::mt19937 chaos(12345);
int at_random(const void *, const void *) {
    return static_cast<int>(chaos() % 3) - 1;
}

struct sorter {
    const char *name;
    void (*sort)(char **, size_t, entry_compare);
};
const sorter sorters[] = {{"sort_entries", sort_entries},
                          {"sort_nearly_sorted", sort_nearly_sorted}};

// The pairs a comparison was asked about, as the names they held.
std::vector<std::pair<std::string, std::string>> asked;
int by_bytes_noted(const void *a, const void *b) {
    asked.emplace_back(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
    return by_bytes(a, b);
}

}  // namespace

// Random input, input in order, and input in order but for a few swaps.
TEST(EntrySort, OrdersWithConsistentComparison) {
    std::mt19937 generator(7);
    for (const sorter &s : sorters) {
        for (int swaps : {-1, 0, 3}) {
            for (size_t count : {0u, 1u, 2u, 3u, 7u, 64u, 1000u, 4097u}) {
                SCOPED_TRACE(std::string(s.name) + " swaps " + std::to_string(swaps) + " count " +
                             std::to_string(count));
                std::vector<std::string> names;
                for (size_t i = 0; i < count; ++i)
                    names.push_back(std::to_string(generator() % 500));
                if (swaps >= 0) std::sort(names.begin(), names.end());
                for (int k = 0; k < swaps && count > 1; ++k)
                    std::swap(names[generator() % count], names[generator() % count]);
                std::vector<char *> slots;
                for (auto &n : names) slots.push_back(n.data());
                s.sort(slots.data(), slots.size(), by_bytes);
                std::vector<std::string> got(slots.begin(), slots.end());
                std::vector<std::string> want = names;
                std::sort(want.begin(), want.end());
                EXPECT_EQ(got, want);
            }
        }
    }
}

// In order already: one comparison of each pair of neighbours, nothing else.
TEST(EntrySort, InputInOrderIsComparedOnlyAsNeighbours) {
    std::vector<std::string> names;
    for (int i = 0; i < 100; ++i) names.push_back(std::to_string(1000 + i / 3));
    std::vector<char *> slots;
    for (auto &n : names) slots.push_back(n.data());
    asked.clear();
    sort_nearly_sorted(slots.data(), slots.size(), by_bytes_noted);
    ASSERT_EQ(asked.size(), names.size() - 1);
    for (size_t k = 0; k + 1 < names.size(); ++k) {
        EXPECT_EQ(asked[k].first, names[k]);
        EXPECT_EQ(asked[k].second, names[k + 1]);
    }
}

TEST(EntrySort, RandomAnswersKeepEveryElementAndStayInBounds) {
    for (const sorter &s : sorters) {
        for (size_t count : {2u, 5u, 33u, 1000u, 10007u}) {
            SCOPED_TRACE(s.name);
            std::vector<std::string> names;
            for (size_t i = 0; i < count; ++i)
                names.push_back(std::string("n").append(std::to_string(i)));
            std::vector<char *> slots;
            for (auto &n : names) slots.push_back(n.data());
            s.sort(slots.data(), slots.size(), at_random);
            // A permutation of the input: nothing lost, nothing duplicated.
            std::vector<std::string> got(slots.begin(), slots.end());
            std::sort(got.begin(), got.end());
            std::vector<std::string> want = names;
            std::sort(want.begin(), want.end());
            EXPECT_EQ(got, want) << count;
        }
    }
}
