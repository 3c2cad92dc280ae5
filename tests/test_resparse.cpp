// Sparse rewriting: resparse_file and differs_in_inode called directly, and the
// expansion pass followed by desparsing (-c -i) end to end through the binary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "rewrite/expand_hard_link.h"
#include "rewrite/install_copy.h"
#include "rewrite/resparse_file.h"
#include "rewrite_fixtures.h"
#include "run/held_entry.h"
#include "run/run_state.h"
#include "scratch_tree.h"
#include "tool_run.h"

namespace {

struct call_result {
    int result;
    std::string out;
    std::string err;
};

// Runs resparse_file on one name with the given options, capturing both streams.
call_result resparse(std::string name, unsigned char sparsing, int nodo = 0) {
    run_options = {};
    run_options.nodo = nodo;
    char *slot = name.data();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = resparse_file(&slot, sparsing);
    std::string out = testing::internal::GetCapturedStdout();
    return {result, out, testing::internal::GetCapturedStderr()};
}

// 4 KiB of data, 1 MiB of written zeros, 4 KiB of data.
std::string with_zero_region() {
    return dense_bytes(4096, 1) + std::string(1 << 20, '\0') + dense_bytes(4096, 2);
}

class Resparse : public testing::Test {
protected:
    void SetUp() override {
        run_options = {};
        reset_stats();
    }
    scratch_dir dir;
};

}  // namespace

TEST_F(Resparse, SparseCopyWithFewerBlocksTakesTheNameAsTheSameFile) {
    const std::string name = dir / "zeros";
    const std::string content = with_zero_region();
    write_file(name, content, 0640);
    ASSERT_EQ(chown(name.c_str(), 1234, 5678), 0);
    set_times(name, {1100000000, 111111111}, {1300000000, 222222222});
    ASSERT_EQ(link(name.c_str(), (dir / "other").c_str()), 0);
    const struct stat before = status_of(name);
    ASSERT_EQ(before.st_blocks, 2064);

    const call_result r = resparse(name, 1);
    const struct stat after = status_of(name);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, name + ": 2064 -> " + std::to_string(after.st_blocks) + " blocks\n");
    EXPECT_LT(after.st_blocks, 64);
    EXPECT_FALSE(same_file(after, before));
    EXPECT_EQ(read_file(name), content);
    // The other name keeps the old inode and its blocks.
    EXPECT_TRUE(same_file(status_of(dir / "other"), before));
    EXPECT_EQ(status_of(dir / "other").st_blocks, 2064);

    const int64_t gain = 2064 - after.st_blocks;
    EXPECT_EQ(run_stats.reclaim_files, 1u);
    EXPECT_EQ(run_stats.reclaim_blocks, static_cast<uint32_t>(gain));
    EXPECT_EQ(run_stats.declaim_files, 0u);
    EXPECT_EQ(run_stats.min_copy_gain, gain);
    EXPECT_EQ(run_stats.max_copy_gain, gain);

    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, 1234u);
    EXPECT_EQ(after.st_gid, 5678u);
    EXPECT_EQ(after.st_atim.tv_sec, 1100000000);
    EXPECT_EQ(after.st_atim.tv_nsec, 111111111);
    EXPECT_EQ(after.st_mtim.tv_sec, 1300000000);
    EXPECT_EQ(after.st_mtim.tv_nsec, 222222222);
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

TEST_F(Resparse, NodoMakesMeasuresReportsAndCountsButKeepsTheFile) {
    const std::string name = dir / "zeros";
    write_file(name, with_zero_region());
    const struct stat before = status_of(name);

    const call_result r = resparse(name, 1, 1);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, "");
    std::smatch figures;
    ASSERT_TRUE(std::regex_match(r.out, figures, std::regex(".*: 2064 -> ([0-9]+) blocks\n")))
        << r.out;
    const int64_t copy_blocks = std::stoll(figures[1]);
    EXPECT_LT(copy_blocks, 64);
    EXPECT_EQ(run_stats.reclaim_files, 1u);
    EXPECT_EQ(run_stats.reclaim_blocks, static_cast<uint32_t>(2064 - copy_blocks));
    EXPECT_EQ(run_stats.max_copy_gain, 2064 - copy_blocks);
    EXPECT_TRUE(same_file(status_of(name), before));
    EXPECT_EQ(status_of(name).st_blocks, 2064);
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

// A copy is taken only for a strictly positive gain; every measured gain,
// also zero or negative, enters the extremes.
TEST_F(Resparse, CopiesWithoutGainAreRemoved) {
    struct row {
        const char *label;
        unsigned char sparsing;
        bool preallocated;  // 1 MiB reserved past the end of a 4 KiB file
        bool negative;      // the copy has fewer blocks than the file
    };
    const row rows[] = {
        {"sparsing a file without zero blocks", 1, false, false},
        {"desparsing a file without holes", 0, false, false},
        {"desparsing a file with blocks reserved past its end", 0, true, true},
    };
    for (const row &row : rows) {
        SCOPED_TRACE(row.label);
        reset_stats();
        const std::string name = dir / "file";
        write_file(name, dense_bytes(4096));
        if (row.preallocated) {
            int fd = open(name.c_str(), O_WRONLY);
            ASSERT_EQ(fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, 1 << 20), 0);
            close(fd);
        }
        const struct stat before = status_of(name);

        const call_result r = resparse(name, row.sparsing);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(same_file(status_of(name), before));
        EXPECT_EQ(status_of(name).st_blocks, before.st_blocks);
        EXPECT_EQ(run_stats.max_copy_gain, 0);
        if (row.negative) {
            EXPECT_LT(run_stats.min_copy_gain, -2000);
        } else {
            EXPECT_EQ(run_stats.min_copy_gain, 0);
        }
        EXPECT_EQ(run_stats.reclaim_files + run_stats.declaim_files, 0u);
        EXPECT_TRUE(temporary_files_under(dir.path).empty());
    }
}

// The copier would follow a symbolic link (putting a copy of its target in
// its place), block on a FIFO or read a device.
TEST_F(Resparse, NamesOfOtherThanRegularFilesAreLeftAlone) {
    write_file(dir / "target", with_zero_region());
    ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    for (const char *n : {"link", "fifo", "sub"}) {
        SCOPED_TRACE(n);
        const struct stat before = status_of(dir / n);
        for (unsigned char sparsing : {0, 1}) {
            const call_result r = resparse(dir / n, sparsing);
            EXPECT_EQ(r.result, 0);
            EXPECT_EQ(r.out + r.err, "");
        }
        EXPECT_TRUE(same_file(status_of(dir / n), before));
        EXPECT_EQ(status_of(dir / n).st_mode, before.st_mode);
    }
    EXPECT_EQ(run_stats.min_copy_gain, INT64_MAX);
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

TEST_F(Resparse, DiffersInInode) {
    write_file(dir / "a", "same");
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "a2").c_str()), 0);
    write_file(dir / "b", "same");
    struct row {
        std::string first, second;
        bool differs;
        std::string err;
    };
    const std::string missing = dir / "missing";
    const std::vector<row> rows = {
        {dir / "a", dir / "a2", false, ""},
        {dir / "a", dir / "a", false, ""},
        {dir / "a", dir / "b", true, ""},
        {dir / "a", missing, true,
         "lstat(" + missing + ") failed\nlstat: No such file or directory\n"},
        {missing, dir / "a", true,
         "lstat(" + missing + ") failed\nlstat: No such file or directory\n"},
    };
    for (row row : rows) {
        char *a = row.first.data(), *b = row.second.data();
        testing::internal::CaptureStderr();
        EXPECT_EQ(differs_in_inode(&a, &b), row.differs) << row.first << " " << row.second;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.err);
    }

    // Equal inode numbers on two devices.
    std::string proc = "/proc", sys = "/sys";
    const struct stat p = status_of(proc), s = status_of(sys);
    if (p.st_ino != s.st_ino || p.st_dev == s.st_dev)
        GTEST_SKIP() << "/proc and /sys do not share an inode number here";
    char *a = proc.data(), *b = sys.data();
    EXPECT_TRUE(differs_in_inode(&a, &b));
}

TEST_F(Resparse, NullSlots) {
    std::string name = dir / "a";
    write_file(name, "x");
    char *slot = name.data();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(resparse_file(nullptr, 1), -1);
    EXPECT_EQ(expand_hard_link(nullptr), -1);
    EXPECT_TRUE(differs_in_inode(nullptr, &slot));
    EXPECT_TRUE(differs_in_inode(&slot, nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
}

// A set interruption flag ends the process at the entry of either routine,
// before anything is looked at or created.
TEST_F(Resparse, InterruptionEndsTheRunAtEntry) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    std::string name = dir / "zeros";
    write_file(name, with_zero_region());
    ASSERT_EQ(link(name.c_str(), (dir / "twin").c_str()), 0);
    const struct stat before = status_of(name);
    char *slot = name.data();
    EXPECT_EXIT(
        {
            interrupted = 1;
            resparse_file(&slot, 1);
            std::exit(3);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            interrupted = 1;
            expand_hard_link(&slot);
            std::exit(3);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_TRUE(same_file(status_of(name), before));
    EXPECT_EQ(status_of(name).st_nlink, 2u);
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

// The door through which a copy takes a name never goes through a symbolic
// link put in the copy's place, never hands the original's owner to a file
// that another user put there, and never replaces a name that moved on.
TEST_F(Resparse, InstallCopyRefusesAForeignCopyOrAChangedName) {
    const std::string name = dir / "name";
    write_file(name, "old contents");
    const struct stat original = status_of(name);
    write_file(dir / "elsewhere", "not a copy");
    held_entry entry;
    ASSERT_TRUE(hold_entry(name.c_str(), entry));

    const std::string temp = dir / "dup__AAAAAAA";
    ASSERT_EQ(symlink("elsewhere", temp.c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(install_copy(unique_fd(), entry, temp, name.c_str(), original),
              install_outcome::refused);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "open(" + temp + ") failed\nopen: Too many levels of symbolic links\n");
    ASSERT_EQ(unlink(temp.c_str()), 0);

    write_file(temp, "planted by another user", 0644);
    ASSERT_EQ(chown(temp.c_str(), 4321, 4321), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(install_copy(unique_fd(), entry, temp, name.c_str(), original),
              install_outcome::foreign);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              temp + " is not the copy of " + name + " that was made, left as it is\n");
    EXPECT_EQ(status_of(temp).st_uid, 4321u);
    EXPECT_EQ(read_file(name), "old contents");
    ASSERT_EQ(unlink(temp.c_str()), 0);

    write_file(temp, "new contents");
    write_file(name, "newer contents, written meanwhile");
    testing::internal::CaptureStderr();
    EXPECT_EQ(install_copy(unique_fd(), entry, temp, name.c_str(), original),
              install_outcome::refused);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              name + " changed while it was copied, left as it is\n");
    EXPECT_EQ(read_file(name), "newer contents, written meanwhile");
    EXPECT_EQ(read_file(dir / "elsewhere"), "not a copy");
}

// -c -i: the expansion pass, then desparsing of the last name of every run of
// one inode.
TEST(ResparseRun, ExpansionThenDesparsing) {
    scratch_dir dir;
    write_holed_file(dir / "a", 1 << 20);
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "b").c_str()), 0);
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "c").c_str()), 0);
    write_file(dir / "plain", dense_bytes(8192));
    const struct stat holed = status_of(dir / "a");
    ASSERT_LT(holed.st_blocks, 64) << "the file system keeps no holes";
    const std::string bf = std::to_string(holed.st_blocks);

    tool_result r = run_tool({"-c", "-i"}, nul_list({"a", "b", "c", "plain"}), {.cwd = dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // a and b are fully written copies already (no gain); c keeps the holed inode.
    const struct stat c = status_of(dir / "c");
    EXPECT_TRUE(c.st_blocks >= 2048);
    const long long gain = c.st_blocks - holed.st_blocks;
    const std::string unfreed = ", unfreed " + bf + " blocks";
    EXPECT_EQ(
        lines_of(without_preamble(r.out)),
        (std::vector<std::string>{
            "Input: 4 files, processing ...",
            "Scanning for hard links ...",
            "expand a: 3 -> 2" + unfreed,
            "expand b: 2 -> 1" + unfreed,
            "Files expanded: 2 of 4, Disk blocks declaimed: " + std::to_string(2 * holed.st_blocks),
            "Minimum of found hard links: 1, Maximum: 3.",
            "c: " + bf + " -> " + std::to_string(c.st_blocks) + " blocks",
            "Files desparsed: 1 of 4, Disk blocks declaimed: " + std::to_string(gain),
            "Minimum of disk blocks which could be declaimed by desparse copying: 0, "
            "Maximum: " +
                std::to_string(gain) + ".",
        }));
    EXPECT_FALSE(same_file(c, holed));
    for (const char *n : {"a", "b", "c"}) {
        EXPECT_EQ(read_file(dir / n), read_file(dir / "a")) << n;
        EXPECT_EQ(status_of(dir / n).st_nlink, 1u) << n;
    }
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

// With -n nothing is expanded, so the two names of one inode stay one run and
// only the later is tried; its copy is made, measured, counted and removed.
TEST(ResparseRun, NodoTriesEveryRunOfOneInodeOnce) {
    scratch_dir dir;
    write_holed_file(dir / "a", 1 << 20);
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "b").c_str()), 0);
    const struct stat before = status_of(dir / "a");

    tool_result r = run_tool({"-c", "-i", "-n"}, nul_list({"a", "b"}), {.cwd = dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = lines_of(without_preamble(r.out));
    ASSERT_EQ(lines.size(), 9u) << r.out;
    std::smatch figures;
    ASSERT_TRUE(std::regex_match(lines[6], figures, std::regex("b: ([0-9]+) -> ([0-9]+) blocks")))
        << lines[6];
    EXPECT_EQ(std::stoll(figures[1]), before.st_blocks);
    const long long gain = std::stoll(figures[2]) - before.st_blocks;
    EXPECT_GE(gain, 2040);
    EXPECT_EQ(lines[7], "Files which can be desparsed: 1 of 2, Disk blocks can be declaimed: " +
                            std::to_string(gain));
    for (const char *n : {"a", "b"}) {
        EXPECT_TRUE(same_file(status_of(dir / n), before));
        EXPECT_EQ(status_of(dir / n).st_blocks, before.st_blocks);
    }
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

TEST(ResparseRun, NameThatCannotBeExamined) {
    scratch_dir dir;
    write_file(dir / "x", "x");
    write_file(dir / "y", "y");
    const std::string gone = "lstat(gone) failed\nlstat: No such file or directory\n";
    // Once in the expansion pass, then for the pair ending with it, the pair
    // starting with it, and the name itself.
    tool_result r = run_tool({"-c", "-i", "-q"}, nul_list({"x", "gone", "y"}), {.cwd = dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, gone + gone + gone + gone);

    // No copy measured: the extremes keep their starting values.
    r = run_tool({"-c", "-i"}, nul_list({"gone"}), {.cwd = dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, gone + gone);
    EXPECT_NE(r.out.find("Files desparsed: 0 of 1, Disk blocks declaimed: 0\n"
                         "Minimum of disk blocks which could be declaimed by desparse copying: "
                         "9223372036854775807, Maximum: 0.\n"),
              std::string::npos)
        << r.out;
}

// A signal while the copier runs lets the call finish (the copy takes the
// name); the run then ends at the next name, leaving no temporary file.
TEST(ResparseRun, InterruptionDuringACopyFinishesThatCall) {
    scratch_dir dir;
    write_holed_file(dir / "first", 1 << 20);
    write_holed_file(dir / "second", 1 << 20);
    const struct stat second = status_of(dir / "second");

    tool_result r = run_tool({"-c", "-i"}, nul_list({"first", "second"}),
                             {.cwd = dir.path, .hooks = "waitpid:*:0:kill -TERM $PPID"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex("first: [0-9]+ -> [0-9]+ blocks")))
        << r.out;
    EXPECT_EQ(r.out.find("Files desparsed"), std::string::npos);
    EXPECT_GE(status_of(dir / "first").st_blocks, 2048);
    EXPECT_TRUE(same_file(status_of(dir / "second"), second));
    EXPECT_EQ(status_of(dir / "second").st_blocks, second.st_blocks);
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

enum class left_behind { nothing, empty_temp, full_copy };

// Every way a desparsing call can fail, with "victim" a holed file of one
// name (or a fully written one where the row says so): the lines on standard
// error, whether the copy was counted, and what is left on disk.
TEST(ResparseRun, FailuresLeaveTheFileWholeAndNoLitter) {
    struct row {
        const char *label;
        bool nodo;
        bool dense;
        const char *faults;
        const char *hooks;
        const char *err;  // normalised: TEMP, PID
        bool counted;
        left_behind left;
    };
    const row rows[] = {
        {"lstat of the name", false, false, "lstat:victim:EIO:1", "",
         "lstat(victim) failed\nlstat: Input/output error\n", false, left_behind::nothing},
        {"mkstemp", false, false, "mkstemp:dup__:EIO", "",
         "Could not create temporary file.\nmkstemp: Input/output error\n", false,
         left_behind::nothing},
        {"open of the name", false, false, "open:victim:EACCES", "",
         "open(victim) failed\nopen: Permission denied\n", false, left_behind::nothing},
        {"fstat of the opened name", false, false, "fstat@twinfold:victim:EIO", "",
         "fstat(victim) failed\nfstat: Input/output error\n", false, left_behind::nothing},
        {"vfork", false, false, "vfork:*:EAGAIN", "",
         "vfork: Resource temporarily unavailable\nvfork failed.\n", false, left_behind::nothing},
        {"exec of the copier", false, false, "execl:*:ENOENT", "",
         "execlp(cp --sparse=never victim TEMP) failed, return value -1\n"
         "fork: No such file or directory\n"
         "copying failed; child with pid PID returned 65280\n",
         false, left_behind::nothing},
        {"copier ending with 1", false, false, "open:/dev/stdin:EACCES", "",
         "cp: cannot open '/dev/stdin' for reading: Permission denied\n"
         "copying failed; child with pid PID returned 256\n",
         false, left_behind::nothing},
        {"copier ending with 1, then the removal", false, false,
         "open:/dev/stdin:EACCES;unlink:dup__:EIO", "",
         "cp: cannot open '/dev/stdin' for reading: Permission denied\n"
         "copying failed; child with pid PID returned 256\n"
         "unlink(TEMP) failed\nunlink: Input/output error\n",
         false, left_behind::empty_temp},
        {"copier stopped", false, false, "", "execl:*:0:kill -STOP $PPID",
         "copying failed; child with pid PID returned 4991\n", false, left_behind::nothing},
        {"measuring the copy", false, false, "fstat@twinfold:dup__:EIO", "",
         "lstat(TEMP) failed\nlstat: Input/output error\n", false, left_behind::nothing},
        {"removing a copy without gain", false, true, "unlink:dup__:EIO", "",
         "unlink(TEMP) failed\nunlink: Input/output error\n", false, left_behind::full_copy},
        {"removing a measured copy under -n", true, false, "unlink:dup__:EIO", "",
         "unlink(TEMP) failed\nunlink: Input/output error\n", true, left_behind::full_copy},
        {"fchown of the copy", false, false, "fchown:dup__:EPERM", "",
         "fchown(TEMP) failed\nfchown: Operation not permitted\n", true, left_behind::nothing},
        {"fsync of the copy", false, false, "fsync:dup__:EIO", "",
         "fsync(TEMP) failed\nfsync: Input/output error\n", true, left_behind::nothing},
        {"changed during the copy", false, false, "", "execl:*:0:printf more >> victim",
         "victim changed while it was copied, left as it is\n", true, left_behind::nothing},
        {"rename", false, false, "rename:victim:EBUSY", "",
         "rename(TEMP, victim) failed\nunlink: Device or resource busy\n", true,
         left_behind::nothing},
        {"rename, then the removal", false, false, "rename:victim:EBUSY;unlink:dup__:EIO", "",
         "rename(TEMP, victim) failed\nunlink: Device or resource busy\n"
         "unlink(TEMP) failed\nunlink: Input/output error\n",
         true, left_behind::full_copy},
    };
    for (const row &row : rows) {
        SCOPED_TRACE(row.label);
        scratch_dir dir;
        if (row.dense) {
            write_file(dir / "victim", dense_bytes(8192));
        } else {
            write_holed_file(dir / "victim", 1 << 20);
        }
        const std::string content = read_file(dir / "victim");
        const struct stat before = status_of(dir / "victim");

        std::vector<std::string> args{"-c", "-i"};
        if (row.nodo) args.push_back("-n");
        tool_result r = run_tool(
            args, nul_list({"victim"}),
            {.cwd = dir.path, .faults = row.faults, .hooks = row.hooks, .timeout_seconds = 30});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(normalised(r.err), row.err);
        const std::string counted = std::string(row.nodo ? "Files which can be" : "Files") +
                                    " desparsed: " + (row.counted ? "1" : "0") + " of 1,";
        EXPECT_NE(r.out.find(counted), std::string::npos) << r.out;

        EXPECT_TRUE(same_file(status_of(dir / "victim"), before));
        EXPECT_EQ(read_file(dir / "victim").substr(0, content.size()), content);
        const auto temps = temporary_files_under(dir.path);
        ASSERT_EQ(temps.size(), row.left == left_behind::nothing ? 0u : 1u);
        if (row.left != left_behind::nothing) {
            EXPECT_EQ(read_file(temps[0]), row.left == left_behind::full_copy ? content : "");
        }
        // A copier that stopped does not outlive the call.
        std::smatch pid;
        if (std::regex_search(r.err, pid, std::regex("child with pid ([0-9]+)"))) {
            EXPECT_EQ(kill(std::stoi(pid[1]), 0), -1);
            EXPECT_EQ(errno, ESRCH);
        }
    }
}

// The end of the copier is waited for; when the wait itself fails the copy is
// not trusted, and the copier is ended rather than left running.
TEST(ResparseRun, FailedWaitDiscardsTheCopy) {
    scratch_dir dir;
    write_holed_file(dir / "victim", 1 << 20);
    const struct stat before = status_of(dir / "victim");
    tool_result r = run_tool({"-c", "-i", "-q"}, nul_list({"victim"}),
                             {.cwd = dir.path, .faults = "waitpid:*:ECHILD:0:1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(normalised(r.err), "waitpid(PID) failed\nwaitpid: No child processes\n");
    EXPECT_TRUE(same_file(status_of(dir / "victim"), before));
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}
