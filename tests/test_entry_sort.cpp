// The sort must order correctly with a consistent comparison and must stay
// within the array and end, whatever an inconsistent comparison answers.
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "run/entry_sort.h"

namespace {

int by_bytes(const void *a, const void *b) {
    return std::strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

std::mt19937 chaos(12345);
int at_random(const void *, const void *) { return static_cast<int>(chaos() % 3) - 1; }

}  // namespace

TEST(EntrySort, OrdersWithConsistentComparison) {
    std::mt19937 generator(7);
    for (size_t count : {0u, 1u, 2u, 3u, 7u, 64u, 1000u, 4097u}) {
        std::vector<std::string> names;
        for (size_t i = 0; i < count; ++i) names.push_back(std::to_string(generator() % 500));
        std::vector<char *> slots;
        for (auto &n : names) slots.push_back(n.data());
        sort_entries(slots.data(), slots.size(), by_bytes);
        std::vector<std::string> got(slots.begin(), slots.end());
        std::vector<std::string> want = names;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << count;
    }
}

TEST(EntrySort, RandomAnswersKeepEveryElementAndStayInBounds) {
    for (size_t count : {2u, 5u, 33u, 1000u, 10007u}) {
        std::vector<std::string> names;
        for (size_t i = 0; i < count; ++i) names.push_back(std::string("n").append(std::to_string(i)));
        std::vector<char *> slots;
        for (auto &n : names) slots.push_back(n.data());
        sort_entries(slots.data(), slots.size(), at_random);
        // A permutation of the input: nothing lost, nothing duplicated.
        std::vector<std::string> got(slots.begin(), slots.end());
        std::sort(got.begin(), got.end());
        std::vector<std::string> want = names;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << count;
    }
}
