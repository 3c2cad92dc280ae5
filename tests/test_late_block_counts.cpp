// Block counts that settle late. ZFS counts a file's blocks only once the
// transaction group that wrote them is on disk, seconds after the write: a
// file just written shows 1 block, whatever fsync says. The fault shim
// simulates that (TWINFOLD_LATE_BLOCKS): a file whose data changed less than
// N seconds ago shows 1 block, and statfs names ZFS.
//
// Under that rule every mode prints, line for line, what it prints on a tree
// built alike where counts settle at once, and leaves the same tree: no
// figure that the disk does not show, no dense file rewritten, no gain left
// unseen. The files are dense, rich in written zeros, with holes, all zeros,
// a pair of equal files and two names of one file; made just before the run
// (their own counts not settled yet) or long before (only the copies the run
// makes are new).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "rewrite_fixtures.h"
#include "scratch_tree.h"
#include "tool_run.h"

namespace {

constexpr int late_seconds = 2;

const std::vector<std::string> listed = {"dense", "zeros",  "zeros_twin", "holey",
                                         "blank", "linked", "linked_twin"};

std::string zero_rich() {
    return dense_bytes(4096, 1) + std::string(1 << 20, '\0') + dense_bytes(4096, 2);
}

struct late_tree {
    scratch_dir dir;
    std::map<std::string, std::string> bytes;

    // made_long_ago: every file's times lie in 2001, so that the shim takes
    // its data as settled; otherwise they are the whole second the tree was
    // made in. Either way all files share them, as the choice of which of two
    // equal files survives a link looks at their modification times.
    explicit late_tree(bool made_long_ago) {
        const timespec when = {made_long_ago ? 1000000000 : time(nullptr), 0};
        write_file(dir / "dense", dense_bytes(64 * 1024, 3));
        write_file(dir / "zeros", zero_rich());
        write_file(dir / "zeros_twin", zero_rich());
        write_holed_file(dir / "holey", 1 << 20);
        write_file(dir / "blank", std::string(256 * 1024, '\0'));
        write_holed_file(dir / "linked", 512 * 1024);
        EXPECT_EQ(link((dir / "linked").c_str(), (dir / "linked_twin").c_str()), 0);
        for (const auto &name : listed) {
            bytes[name] = read_file(dir / name);
            set_times(dir / name, when, when);
        }
    }
};

// What a run left: for each name whether it is there, the earlier name it
// shares an inode with, its link count, its blocks, and whether it holds its
// bytes.
std::vector<std::string> shape_of(const late_tree &tree) {
    std::vector<std::string> shape;
    std::map<std::pair<dev_t, ino_t>, std::string> first_name;
    for (const auto &name : listed) {
        struct stat st;
        if (lstat((tree.dir / name).c_str(), &st) != 0) {
            shape.push_back(name + ": gone");
            continue;
        }
        const std::string group =
            first_name.emplace(std::make_pair(st.st_dev, st.st_ino), name).first->second;
        shape.push_back(name + ": " + group + " " + std::to_string(st.st_nlink) + " " +
                        std::to_string(st.st_blocks) +
                        (read_file(tree.dir / name) == tree.bytes.at(name) ? "" : " changed"));
    }
    return shape;
}

// Runs args over a tree where counts settle at once and over one built alike
// where they settle late: the same lines, the same tree after, the dense
// file never rewritten, no temporary file. expect_rewrite: the settled run
// changes or reports blocks (so the case shows something).
void expect_as_where_counts_settle(const std::vector<std::string> &args, bool made_long_ago,
                                   bool expect_rewrite, long long files_limit = -1) {
    SCOPED_TRACE(made_long_ago ? "files made long ago" : "files just made");
    late_tree settled(made_long_ago);
    const tool_result reference = run_tool(args, nul_list(listed), {.cwd = settled.dir.path});
    ASSERT_EQ(reference.status, 0) << reference.err;
    ASSERT_EQ(reference.err, "");
    if (expect_rewrite) {
        EXPECT_TRUE(std::regex_search(reference.out, std::regex(" -> [0-9]+ blocks|freed|freeing")))
            << reference.out;
    }

    late_tree late(made_long_ago);
    const ino_t dense_inode = status_of(late.dir / "dense").st_ino;
    const tool_result r = run_tool(
        args, nul_list(listed),
        {.cwd = late.dir.path, .late_blocks_seconds = late_seconds, .files_limit = files_limit});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(without_preamble(r.out), without_preamble(reference.out));
    EXPECT_EQ(shape_of(late), shape_of(settled));
    // Spelled out: the dense file is never rewritten.
    EXPECT_EQ(status_of(late.dir / "dense").st_ino, dense_inode);
    EXPECT_TRUE(temporary_files_under(late.dir.path).empty());
}

struct late_mode {
    const char *label;
    std::vector<std::string> args;
};

class LateBlockCounts : public testing::TestWithParam<late_mode> {};

}  // namespace

TEST_P(LateBlockCounts, PrintAndLeaveWhatSettledCountsGive) {
    for (const bool made_long_ago : {true, false})
        expect_as_where_counts_settle(GetParam().args, made_long_ago, true);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, LateBlockCounts,
    testing::Values(late_mode{"link", {}}, late_mode{"delete", {"-d"}}, late_mode{"expand", {"-i"}},
                    late_mode{"sparse", {"-S"}}, late_mode{"sparse_read_only", {"-S", "-n"}},
                    late_mode{"desparse", {"-i", "-S"}}, late_mode{"combo_sparse", {"-c", "-S"}},
                    late_mode{"combo_sparse_read_only", {"-c", "-S", "-n"}},
                    late_mode{"combo_inverse", {"-c", "-i"}}),
    [](const testing::TestParamInfo<late_mode> &info) { return std::string(info.param.label); });

// A file listed a second time under another spelling, with files of its
// size between the two: its copy still waits for its count to settle when
// the second spelling is met. The second is looked at once the first copy
// has taken the name, and finds nothing to gain, as where counts settle at
// once; nothing is said about a change the run made itself.
TEST(LateBlockCounts, ANameListedTwiceIsRewrittenOnce) {
    std::vector<std::string> names = {"z0", "z1", "z2", "z3", "z4", "z5"};
    std::string outputs[2];
    for (const int late : {0, late_seconds}) {
        SCOPED_TRACE(late ? "counts settle late" : "counts settle at once");
        scratch_dir dir;
        for (const std::string &name : names) {
            write_file(dir / name, std::string(4096, '\0'));
            set_times(dir / name, {1000000000, 0}, {1000000000, 0});
        }
        std::vector<std::string> list = names;
        list.push_back("./z2");
        const tool_result r =
            run_tool({"-S"}, nul_list(list), {.cwd = dir.path, .late_blocks_seconds = late});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("z2: 8 -> 0 blocks"), std::string::npos) << r.out;
        EXPECT_EQ(read_file(dir / "z2"), std::string(4096, '\0'));
        EXPECT_TRUE(temporary_files_under(dir.path).empty());
        outputs[late ? 1 : 0] = without_preamble(r.out);
    }
    EXPECT_EQ(outputs[1], outputs[0]);
}

// Where few descriptors are allowed, the trial copies wait in batches of a
// few (here three of the five): each batch is settled on its own, and the
// run is the same.
TEST(LateBlockCounts, SmallBatchesGiveTheSameRun) {
    expect_as_where_counts_settle({"-S"}, true, true, 70);
    expect_as_where_counts_settle({"-i", "-S"}, true, true, 70);
}

// A file system whose counts do not settle within the run's bound: one line
// says so, every file that the sparse pass would copy is left as it is and
// named on standard error; no figure is printed or counted, no copy stays.
TEST(LateBlockCounts, CountsThatNeverSettleLeaveTheFilesAlone) {
    late_tree tree(true);
    const std::vector<std::string> before = shape_of(tree);
    std::map<std::string, ino_t> inodes;
    for (const auto &name : listed) inodes[name] = status_of(tree.dir / name).st_ino;
    const tool_result r =
        run_tool({"-S"}, nul_list(listed), {.cwd = tree.dir.path, .late_blocks_seconds = 100000});
    EXPECT_EQ(r.status, 0);
    std::string left =
        "twinfold: block counts on the file system of dense did not settle within 30 seconds\n";
    // In the order of the sparse pass: by size.
    for (const char *name : {"dense", "blank", "holey", "zeros", "zeros_twin"})
        left += std::string(name) + ": its block count did not settle, left as it is\n";
    EXPECT_EQ(r.err, left);
    EXPECT_EQ(lines_of(without_preamble(r.out)),
              (std::vector<std::string>{
                  "Input: 7 files, processing ...",
                  "Files sparsed: 0 of 7, Disk blocks reclaimed: 0",
                  "Minimum of disk blocks which could be reclaimed by sparse copying: "
                  "9223372036854775807, Maximum: 0.",
              }));
    EXPECT_EQ(shape_of(tree), before);
    for (const auto &name : listed) EXPECT_EQ(status_of(tree.dir / name).st_ino, inodes[name]);
    EXPECT_TRUE(temporary_files_under(tree.dir.path).empty());
}

// An interrupt while trial copies wait for their counts, or while the run
// waits for a sentinel, ends the run with status 0 and leaves every file as
// it was and no copy or sentinel behind. The shim's hook sends SIGTERM from
// within the creation of a temporary file: in the sparse pass the third is
// the second trial copy, the seventh the sentinel after the five copies.
TEST(LateBlockCounts, AnInterruptLeavesNoParkedCopyOrSentinel) {
    for (const int skipped : {2, 6}) {
        SCOPED_TRACE("interrupted at temporary file " + std::to_string(skipped + 1));
        late_tree tree(true);
        std::map<std::string, ino_t> inodes;
        for (const auto &name : listed) inodes[name] = status_of(tree.dir / name).st_ino;
        const tool_result r =
            run_tool({"-S"}, nul_list(listed),
                     {.cwd = tree.dir.path,
                      .hooks = "mkstemp:dup__:" + std::to_string(skipped) + ":kill -TERM $PPID",
                      .late_blocks_seconds = late_seconds});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.find(" -> "), std::string::npos) << r.out;
        for (const auto &name : listed) {
            EXPECT_EQ(status_of(tree.dir / name).st_ino, inodes[name]) << name;
            EXPECT_EQ(read_file(tree.dir / name), tree.bytes[name]) << name;
        }
        EXPECT_TRUE(temporary_files_under(tree.dir.path).empty());
    }
}
