// The summaries read run_options, run_stats and file_count: each wording under
// nodo and inverse, the 32-bit counters printed signed after wrapping, the
// 64-bit copy gains, the link extremes, and silence under quiet.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "capture_stdout.h"
#include "run/summaries.h"
#include "state/run_state.h"

namespace {

class Summaries : public ::testing::Test {
protected:
    void SetUp() override {
        run_options = {};
        reset_stats();
        file_count = 0;
    }
    void TearDown() override {
        run_options = {};
        reset_stats();
        file_count = 0;
    }
};

struct wording_case {
    int nodo;
    bool inverse;
    int64_t min_gain, max_gain;
    const char *link, *sparse, *delete_line;
};

// Forward counters 3 files / 48 blocks, inverse counters 2 / 16, 20 names.
const wording_case wording_cases[] = {
    {0, false, INT64_MAX, 0, "Files linked: 3 of 20, Disk blocks reclaimed: 48\n",
     "Files sparsed: 3 of 20, Disk blocks reclaimed: 48\n"
     "Minimum of disk blocks which could be reclaimed by sparse copying: 9223372036854775807, "
     "Maximum: 0.\n",
     "Duplicate files (which have been deleted): 3 of 20, Disk blocks reclaimed: 48\n"},
    {1, false, 4, 5000000000,
     "Files which can be linked: 3 of 20, Disk blocks which can be reclaimed: 48\n",
     "Files which can be sparsed: 3 of 20, Disk blocks can be reclaimed: 48\n"
     "Minimum of disk blocks which could be reclaimed by sparse copying: 4, Maximum: 5000000000.\n",
     "Duplicate files (which can be deleted): 3 of 20, Disk blocks which can be reclaimed: 48\n"},
    {0, true, -8, 0, "Files expanded: 2 of 20, Disk blocks declaimed: 16\n",
     "Files desparsed: 2 of 20, Disk blocks declaimed: 16\n"
     "Minimum of disk blocks which could be declaimed by desparse copying: -8, Maximum: 0.\n",
     "Duplicate files (which have been deleted): 3 of 20, Disk blocks reclaimed: 48\n"},
    {1, true, INT64_MIN, INT64_MAX,
     "Files which can be expanded: 2 of 20, Disk blocks which can be declaimed: 16\n",
     "Files which can be desparsed: 2 of 20, Disk blocks can be declaimed: 16\n"
     "Minimum of disk blocks which could be declaimed by desparse copying: -9223372036854775808, "
     "Maximum: 9223372036854775807.\n",
     "Duplicate files (which can be deleted): 3 of 20, Disk blocks which can be reclaimed: 48\n"},
};

void set_counters() {
    file_count = 20;
    run_stats.reclaim_files = 3;
    run_stats.reclaim_blocks = 48;
    run_stats.declaim_files = 2;
    run_stats.declaim_blocks = 16;
}

}  // namespace

TEST_F(Summaries, WordingFollowsNodoAndInverse) {
    for (const auto &c : wording_cases) {
        SCOPED_TRACE(testing::Message() << "nodo " << c.nodo << " inverse " << c.inverse);
        run_options.nodo = c.nodo;
        run_options.inverse = c.inverse;
        set_counters();
        run_stats.min_copy_gain = c.min_gain;
        run_stats.max_copy_gain = c.max_gain;
        EXPECT_EQ(captured_stdout(print_link_summary), c.link);
        EXPECT_EQ(captured_stdout(print_sparse_summary), c.sparse);
        EXPECT_EQ(captured_stdout(print_delete_summary), c.delete_line);
    }
}

TEST_F(Summaries, QuietPrintsNothingAndKeepsTheCounters) {
    run_options.quiet = 1;
    set_counters();
    std::string all = captured_stdout([] {
        print_link_summary();
        print_sparse_summary();
        print_delete_summary();
        print_link_extremes();
    });
    EXPECT_EQ(all, "");
    EXPECT_EQ(run_stats.reclaim_files, 3u);
    EXPECT_EQ(run_stats.declaim_blocks, 16u);
}

TEST_F(Summaries, CountersWrapAt32BitsAndPrintSigned) {
    file_count = 1;
    add_wrapping(run_stats.reclaim_files, 0xffffffff);
    add_wrapping(run_stats.reclaim_files, 0xffffffff);               // 0xfffffffe
    add_wrapping(run_stats.reclaim_blocks, (int64_t{1} << 32) + 7);  // the carry is lost
    add_wrapping(run_stats.declaim_files, INT32_MAX);
    add_wrapping(run_stats.declaim_files, 1);  // one past the largest int
    add_wrapping(run_stats.declaim_blocks, 10);
    add_wrapping(run_stats.declaim_blocks, -3);  // a negative gain subtracts
    EXPECT_EQ(captured_stdout(print_link_summary),
              "Files linked: -2 of 1, Disk blocks reclaimed: 7\n");
    run_options.inverse = true;
    EXPECT_EQ(captured_stdout(print_link_summary),
              "Files expanded: -2147483648 of 1, Disk blocks declaimed: 7\n");
}

TEST_F(Summaries, LinkExtremes) {
    struct extremes_case {
        std::vector<uint64_t> counts;
        const char *line;
    } cases[] = {
        {{}, "Minimum of found hard links: 1, Maximum: 1.\n"},
        {{1, 1, 1}, "Minimum of found hard links: 1, Maximum: 1.\n"},
        {{3, 1, 7, 2}, "Minimum of found hard links: 1, Maximum: 7.\n"},
        // Stored truncated to 32 bits; the negative maximum, widened with its
        // sign, then compares larger than any later count.
        {{0x80000000u, 9}, "Minimum of found hard links: 1, Maximum: -2147483648.\n"},
        {{0x100000002u}, "Minimum of found hard links: 1, Maximum: 2.\n"},
    };
    for (const auto &c : cases) {
        reset_stats();
        for (uint64_t n : c.counts) update_link_extremes(run_stats, n);
        EXPECT_EQ(captured_stdout(print_link_extremes), c.line) << c.line;
    }
}

TEST_F(Summaries, ResetRestoresStartingValuesOnly) {
    run_options = {1, 1, 1, true, true, true};
    interrupted = 1;
    run_stats = {7, 8, 9, 10, -1, 99, 5, 6};
    reset_stats();
    EXPECT_EQ(run_stats.reclaim_files, 0u);
    EXPECT_EQ(run_stats.reclaim_blocks, 0u);
    EXPECT_EQ(run_stats.declaim_files, 0u);
    EXPECT_EQ(run_stats.declaim_blocks, 0u);
    EXPECT_EQ(run_stats.min_links, 1);
    EXPECT_EQ(run_stats.max_links, 1);
    EXPECT_EQ(run_stats.min_copy_gain, INT64_MAX);
    EXPECT_EQ(run_stats.max_copy_gain, 0);
    EXPECT_EQ(run_options.nodo, 1);
    EXPECT_EQ(run_options.quiet, 1);
    EXPECT_TRUE(run_options.inverse && run_options.sparse && run_options.combo);
    EXPECT_EQ(interrupted, 1);
    interrupted = 0;
}
