// The name order (unsigned bytes, reversed under -i) and the lookup of a
// name's fixed position in the sorted name_index, with its failure line.
#include <gtest/gtest.h>
#ifdef __GLIBC__
#include <stdio_ext.h>
#endif
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "capture_stdout.h"
#include "merge/name_index.h"
#include "run/entry_sort.h"
#include "state/run_state.h"

namespace {

int sign(int value) {
    return (value > 0) - (value < 0);
}

int order_of(const std::string &a, const std::string &b) {
    const char *pa = a.c_str(), *pb = b.c_str();
    return sign(compare_names(&pa, &pb));
}

// Holds a list of names and points name_index at copies of them.
class NameIndex : public ::testing::Test {
protected:
    void use_names(const std::vector<std::string> &list) {
        names = list;
        slots.clear();
        for (auto &n : names) slots.push_back(n.data());
        name_index = slots.data();
        file_count = static_cast<int>(slots.size());
        sort_entries(name_index, slots.size(), compare_names);
    }
    void TearDown() override {
        run_options = {};
        name_index = nullptr;
        file_count = 0;
    }
    std::vector<std::string> names;
    std::vector<char *> slots;
};

const std::vector<std::string> sample_names = {
    "./b",
    "./a",
    "./ab",
    "./a b",
    "./a\nb",
    "./\x80",
    "./\x7f",
    "./\xff\xfe",
    "./z",
    "./ab",
    "./A",
    std::string(1023, 'q'),
    std::string(1022, 'q') + "r",
    "./dir/x",
};

}  // namespace

TEST_F(NameIndex, OrderIsUnsignedBytesAndReversesUnderInverse) {
    struct order_case {
        std::string a, b;
        int forward;  // sign of compare_names without -i
    } cases[] = {
        {"a", "ab", -1},
        {"ab", "a", 1},
        {"same", "same", 0},
        {"a\x80", "a\x7f", 1},  // 128 and above count as larger
        {"\xff", "z", 1},
        {"B", "a", -1},
        {"a b", "a\nb", 1},
        {std::string(1022, 'x') + "a", std::string(1022, 'x') + "b", -1},  // whole names compared
    };
    for (const auto &c : cases) {
        run_options.inverse = false;
        EXPECT_EQ(order_of(c.a, c.b), c.forward) << c.a << " / " << c.b;
        run_options.inverse = true;
        EXPECT_EQ(order_of(c.a, c.b), -c.forward) << "inverse: " << c.a << " / " << c.b;
    }
}

TEST_F(NameIndex, SortedIndexFindsEveryNameInBothDirections) {
    for (bool inverse : {false, true}) {
        SCOPED_TRACE(inverse ? "inverse" : "forward");
        run_options.inverse = inverse;
        use_names(sample_names);

        std::vector<std::string> want = sample_names;
        std::sort(want.begin(), want.end());  // char_traits compares bytes as unsigned
        if (inverse) std::reverse(want.begin(), want.end());
        std::vector<std::string> got(slots.begin(), slots.end());
        EXPECT_EQ(got, want);

        for (const auto &name : sample_names) {
            int32_t position = lookup_name(name.c_str());
            ASSERT_GE(position, 0) << name;
            ASSERT_LT(position, file_count);
            EXPECT_EQ(std::string(name_index[position]), name);
        }
    }
}

TEST_F(NameIndex, NameListedTwiceAlwaysGivesTheSamePosition) {
    use_names(sample_names);
    int32_t first = lookup_name("./ab");
    ASSERT_GE(first, 0);
    // The two entries of "./ab" stand next to each other.
    bool neighbour_equal = (first > 0 && std::string(name_index[first - 1]) == "./ab") ||
                           (first + 1 < file_count && std::string(name_index[first + 1]) == "./ab");
    EXPECT_TRUE(neighbour_equal);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(lookup_name("./ab"), first);
}

TEST_F(NameIndex, MissingNameGivesMinusOneAndTheFailureLineAlsoWhenQuiet) {
    use_names({"./a", "./c", "./e"});
    char expected[256];
    std::snprintf(expected, sizeof expected, "Error: bsearch(./b, %p, 3, 8, %p) returned NULL.\n",
                  static_cast<void *>(name_index), reinterpret_cast<void *>(compare_names));
    for (int quiet : {0, 1}) {
        run_options.quiet = quiet;
        int32_t position = 0;
        std::string out = captured_stdout([&] { position = lookup_name("./b"); });
        EXPECT_EQ(position, -1);
        EXPECT_EQ(out, expected) << "quiet " << quiet;
    }
}

TEST_F(NameIndex, FailureLineIsNotFlushed) {
    use_names({"./a"});
    std::string seen_before_flush = "<not run>";
    captured_stdout([&] {
#ifdef __GLIBC__
        if (__flbf(stdout)) return;  // a line-buffered stream flushes at the newline anyway
#endif
        lookup_name("./missing");
        struct stat st;
        fstat(1, &st);
        seen_before_flush = std::to_string(st.st_size);
    });
    if (seen_before_flush == "<not run>") GTEST_SKIP() << "standard output is line-buffered here";
    EXPECT_EQ(seen_before_flush, "0");
}
