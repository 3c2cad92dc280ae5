// Sparse rewriting: resparse_file and differs_in_inode called directly, the
// copies' block layouts, and the expansion pass followed by desparsing (-c -i)
// and the failures of a copy end to end through the binary.
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

#include "fs/held_entry.h"
#include "rewrite/expand_hard_link.h"
#include "rewrite/install_copy.h"
#include "rewrite/resparse_file.h"
#include "rewrite_fixtures.h"
#include "scratch_tree.h"
#include "state/run_state.h"
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
    const struct stat before = status_of(name);
    ASSERT_EQ(before.st_blocks, 2064);

    const call_result r = resparse(name, 1);
    const struct stat after = status_of(name);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, name + ": 2064 -> " + std::to_string(after.st_blocks) + " blocks\n");
    EXPECT_EQ(after.st_blocks, 16);
    EXPECT_FALSE(same_file(after, before));
    EXPECT_EQ(read_file(name), content);

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

// Where the copy has data and holes. Sparsing: a block of the file system
// that holds only zeros, written or a hole, becomes a hole, and so does the
// last, partial block when it holds only zeros; every other block keeps its
// bytes. Desparsing: every block is written, holes included.
TEST_F(Resparse, BlockLayoutsOfTheCopy) {
    const off_t unit = status_of(dir.path).st_blksize;
    ASSERT_GE(unit, 512);
    struct row {
        const char *label;
        unsigned char sparsing;
        std::string content;
        std::vector<std::pair<off_t, off_t>> holes;  // left unwritten when the file is made
    };
    const std::string data = dense_bytes(static_cast<size_t>(unit), 7);
    const std::string zeros(static_cast<size_t>(unit), '\0');
    const row rows[] = {
        {"written zeros", 1, std::string(1 << 20, '\0'), {}},
        {"written zeros between holes",
         1,
         data + std::string(3 << 20, '\0') + data,
         {{unit, unit + (1 << 20)}, {unit + (2 << 20), unit + (3 << 20)}}},
        {"zeros not on a block boundary",
         1,
         data.substr(0, 100) + std::string(2 * unit, '\0') + data,
         {}},
        {"last block partly zero",
         1,
         data + zeros + zeros + data.substr(0, 100) + std::string(200, '\0'),
         {}},
        {"last block partial and all zero", 1, data + zeros + zeros + std::string(300, '\0'), {}},
        {"desparsing holes, written zeros and a hole at the end",
         0,
         data + std::string(1 << 20, '\0') + data + std::string(1 << 20, '\0'),
         {{unit, unit + (1 << 19)}, {2 * unit + (1 << 20), 2 * unit + (2 << 20)}}},
    };
    for (const row &row : rows) {
        SCOPED_TRACE(row.label);
        reset_stats();
        const std::string name = dir / "file";
        {
            const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            off_t at = 0;
            for (const auto &[start, end] : row.holes) {
                ASSERT_EQ(pwrite(fd, row.content.data() + at, static_cast<size_t>(start - at), at),
                          start - at);
                at = end;
            }
            const off_t size = static_cast<off_t>(row.content.size());
            ASSERT_EQ(pwrite(fd, row.content.data() + at, static_cast<size_t>(size - at), at),
                      size - at);
            ASSERT_EQ(ftruncate(fd, size), 0);
            ASSERT_EQ(fsync(fd), 0);
            close(fd);
        }
        off_t unwritten = 0, mapped = 0;
        for (const auto &[start, end] : row.holes) unwritten += end - start;
        for (const auto &[start, end] : data_regions(name)) mapped += end - start;
        ASSERT_EQ(mapped, static_cast<off_t>(row.content.size()) - unwritten)
            << "the file system keeps no holes";
        const struct stat before = status_of(name);

        const call_result r = resparse(name, row.sparsing);
        const struct stat after = status_of(name);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(same_file(after, before)) << "the copy was not taken";
        EXPECT_EQ(r.out, name + ": " + std::to_string(before.st_blocks) + " -> " +
                             std::to_string(after.st_blocks) + " blocks\n");
        EXPECT_EQ(after.st_size, before.st_size);
        EXPECT_EQ(read_file(name), row.content);
        const off_t size = static_cast<off_t>(row.content.size());
        const std::vector<std::pair<off_t, off_t>> expected =
            row.sparsing ? nonzero_blocks(row.content, unit)
                         : std::vector<std::pair<off_t, off_t>>{{0, size}};
        EXPECT_EQ(data_regions(name), expected);
        if (!row.sparsing) {
            EXPECT_GE(after.st_blocks, size / 512);
        }
        EXPECT_TRUE(temporary_files_under(dir.path).empty());
    }
}

// Holes are found with SEEK_DATA and stepped over, never read: a file of
// some GiB of holes with a little data costs no more reading than its data.
TEST_F(Resparse, HolesAreSteppedOverWithoutReadingThem) {
    const std::string name = dir / "huge";
    const off_t size = off_t{8} << 30;
    const std::string data = dense_bytes(4096, 3);
    const off_t middle = off_t{4} << 30;
    {
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        // Data, a written block of zeros and data again in the middle; data
        // at both ends.
        const std::string region = data + std::string(4096, '\0') + data;
        ASSERT_EQ(pwrite(fd, data.data(), data.size(), 0), 4096);
        ASSERT_EQ(pwrite(fd, region.data(), region.size(), middle),
                  static_cast<ssize_t>(region.size()));
        ASSERT_EQ(pwrite(fd, data.data(), data.size(), size - 4096), 4096);
        ASSERT_EQ(fsync(fd), 0);
        close(fd);
    }
    if (status_of(dir.path).st_blksize != 4096) GTEST_SKIP() << "blocks are not 4 KiB here";
    if (data_regions(name).size() != 3) GTEST_SKIP() << "the file system keeps no holes";
    const struct stat before = status_of(name);

    auto bytes_read = [] {
        const std::string io = read_file("/proc/self/io");
        const size_t at = io.find("rchar: ");
        return at == std::string::npos ? -1LL : std::stoll(io.substr(at + 7));
    };
    const long long read_before = bytes_read();
    if (read_before < 0) GTEST_SKIP() << "/proc/self/io does not count the bytes read";
    const call_result r = resparse(name, 1);
    const long long read_by_the_copy = bytes_read() - read_before;

    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, "");
    const struct stat after = status_of(name);
    EXPECT_EQ(r.out, name + ": " + std::to_string(before.st_blocks) + " -> " +
                         std::to_string(after.st_blocks) + " blocks\n");
    EXPECT_EQ(before.st_blocks - after.st_blocks, 8);
    EXPECT_LT(read_by_the_copy, 1 << 20);
    EXPECT_EQ(after.st_size, size);
    EXPECT_EQ(data_regions(name),
              (std::vector<std::pair<off_t, off_t>>{{0, 4096},
                                                    {middle, middle + 4096},
                                                    {middle + 8192, middle + 12288},
                                                    {size - 4096, size}}));
    const int fd = open(name.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string seen(12288, 'x');
    EXPECT_EQ(pread(fd, seen.data(), seen.size(), middle), 12288);
    EXPECT_EQ(seen, data + std::string(4096, '\0') + data);
    EXPECT_EQ(pread(fd, seen.data(), 4096, size - 4096), 4096);
    EXPECT_EQ(seen.substr(0, 4096), data);
    close(fd);
}

// A copy could replace only one name of a file with several: the others
// would keep the old file and its blocks. Such a file is left as it is by
// both directions: not copied, not measured, not counted.
TEST_F(Resparse, FileWithSeveralNamesIsLeftAlone) {
    for (unsigned char sparsing : {1, 0}) {
        SCOPED_TRACE(sparsing ? "sparsing" : "desparsing");
        reset_stats();
        scratch_dir here;
        if (sparsing)
            write_file(here / "a", std::string(10 << 20, '\0'));
        else
            write_holed_file(here / "a", 10 << 20);
        ASSERT_EQ(link((here / "a").c_str(), (here / "b").c_str()), 0);
        ASSERT_EQ(link((here / "a").c_str(), (here / "c").c_str()), 0);
        const struct stat before = status_of(here / "a");
        for (const char *n : {"a", "b", "c"}) {
            const call_result r = resparse(here / n, sparsing);
            EXPECT_EQ(r.result, 0);
            EXPECT_EQ(r.out + r.err, "");
        }
        for (const char *n : {"a", "b", "c"}) {
            EXPECT_TRUE(same_file(status_of(here / n), before)) << n;
            EXPECT_EQ(status_of(here / n).st_blocks, before.st_blocks) << n;
        }
        EXPECT_EQ(run_stats.min_copy_gain, INT64_MAX);
        EXPECT_EQ(run_stats.max_copy_gain, 0);
        EXPECT_EQ(run_stats.reclaim_files + run_stats.declaim_files, 0u);
        EXPECT_TRUE(temporary_files_under(here.path).empty());
    }
}

TEST_F(Resparse, NodoMakesMeasuresReportsAndCountsButKeepsTheFile) {
    const std::string name = dir / "zeros";
    write_file(name, with_zero_region());
    // An access time older than the change: a read would move it (relatime).
    set_times(name, {1000000000, 0}, {1100000000, 0});
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
    EXPECT_EQ(status_of(name).st_atim.tv_sec, 1000000000) << "reading moved the access time";
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

// A copy through the name would follow a symbolic link (putting a copy of
// its target in its place), block on a FIFO or read a device.
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

// A set interruption flag makes either routine return at its entry, before
// anything is looked at or created; the driver then ends the run.
TEST_F(Resparse, InterruptionReturnsAtEntry) {
    std::string name = dir / "zeros";
    write_file(name, with_zero_region());
    ASSERT_EQ(link(name.c_str(), (dir / "twin").c_str()), 0);
    const struct stat before = status_of(name);
    char *slot = name.data();
    interrupted = 1;
    resparse_file(&slot, 1);
    expand_hard_link(&slot);
    interrupted = 0;
    EXPECT_EQ(run_stats.reclaim_files + run_stats.declaim_files, 0u);
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
              "open(" + temp + ") failed\nopen: is a symbolic link\n");
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

// With -n nothing is expanded: the expansion pass reports what the real run
// does (the first name gets a copy, the last is then alone on the file), and
// the desparsing pass, which sees the files as they are, leaves the file of
// two names alone: no copy is made or measured.
TEST(ResparseRun, NodoLeavesAFileOfSeveralNamesAlone) {
    scratch_dir dir;
    write_holed_file(dir / "a", 1 << 20);
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "b").c_str()), 0);
    const struct stat before = status_of(dir / "a");

    tool_result r = run_tool({"-c", "-i", "-n"}, nul_list({"a", "b"}), {.cwd = dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string unfreed = ", unfreed " + std::to_string(before.st_blocks) + " blocks";
    EXPECT_EQ(lines_of(without_preamble(r.out)),
              (std::vector<std::string>{
                  "Input: 2 files, processing ...",
                  "Scanning for hard links ...",
                  "expand a: 2 -> 1" + unfreed,
                  "Files which can be expanded: 1 of 2, Disk blocks which can be declaimed: " +
                      std::to_string(before.st_blocks),
                  "Minimum of found hard links: 1, Maximum: 2.",
                  "Files which can be desparsed: 0 of 2, Disk blocks can be declaimed: 0",
                  "Minimum of disk blocks which could be declaimed by desparse copying: "
                  "9223372036854775807, Maximum: 0.",
              }));
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

// A signal while a copy is made lets the call finish (the copy takes the
// name); the run then ends at the next name, leaving no temporary file.
TEST(ResparseRun, InterruptionDuringACopyFinishesThatCall) {
    scratch_dir dir;
    write_holed_file(dir / "first", 1 << 20);
    write_holed_file(dir / "second", 1 << 20);
    const struct stat second = status_of(dir / "second");

    tool_result r = run_tool({"-c", "-i"}, nul_list({"first", "second"}),
                             {.cwd = dir.path, .hooks = "read:first:0:kill -TERM $PPID"});
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

// What a failure may leave under the temporary name: nothing, a copy that
// holds no byte of the file yet (zeros only: its length is set before it is
// written), or the whole copy.
enum class left_behind { nothing, unwritten_copy, full_copy };

// Every way a call can fail, made real through the shim. Desparsing (-c -i)
// works on "victim", a holed file of one name (or a fully written one where
// the row says so); sparsing (-S) on a file with a megabyte of written zeros.
// The lines on standard error, whether the copy was counted, and what is
// left on disk: the file always as it was.
TEST(ResparseRun, FailuresLeaveTheFileWholeAndNoLitter) {
    enum direction { desparse, sparse };
    struct row {
        const char *label;
        direction way;
        bool nodo;
        bool dense;
        const char *faults;
        const char *hooks;
        const char *err;  // normalised: TEMP
        bool counted;
        left_behind left;
    };
    const row rows[] = {
        {"lstat of the name", desparse, false, false, "lstat:victim:EIO:1", "",
         "lstat(victim) failed\nlstat: Input/output error\n", false, left_behind::nothing},
        {"mkstemp", desparse, false, false, "mkstemp:dup__:EIO", "",
         "Could not create temporary file.\nmkstemp: Input/output error\n", false,
         left_behind::nothing},
        {"open of the name", desparse, false, false, "open:victim:EACCES", "",
         "open(victim) failed\nopen: Permission denied\n", false, left_behind::nothing},
        {"fstat of the opened name", desparse, false, false, "fstat@twinfold:victim:EIO", "",
         "fstat(victim) failed\nfstat: Input/output error\n", false, left_behind::nothing},
        {"reading the file", desparse, false, false, "read:victim:EIO", "",
         "read(victim) failed\nread: Input/output error\n", false, left_behind::nothing},
        {"reading the file after a part", desparse, false, false, "read:victim:EIO:3", "",
         "read(victim) failed\nread: Input/output error\n", false, left_behind::nothing},
        {"writing the copy", desparse, false, false, "write:dup__:ENOSPC", "",
         "write(TEMP) failed\nwrite: No space left on device\n", false, left_behind::nothing},
        {"a short write, then no space", desparse, false, false,
         "write:dup__:SHORT:0:1;write:dup__:ENOSPC", "",
         "write(TEMP) failed\nwrite: No space left on device\n", false, left_behind::nothing},
        {"writing the copy, then the removal", desparse, false, false,
         "write:dup__:ENOSPC;unlink:dup__:EIO", "",
         "write(TEMP) failed\nwrite: No space left on device\n"
         "unlink(TEMP) failed\nunlink: Input/output error\n",
         false, left_behind::unwritten_copy},
        {"measuring the copy", desparse, false, false, "fstat@twinfold:dup__:EIO", "",
         "lstat(TEMP) failed\nlstat: Input/output error\n", false, left_behind::nothing},
        {"writing out a copy that gains", desparse, false, false, "fsync:dup__:EIO", "",
         "fsync(TEMP) failed\nfsync: Input/output error\n", false, left_behind::nothing},
        {"measuring it again", desparse, false, false, "fstat@twinfold:dup__:EIO:1:1", "",
         "lstat(TEMP) failed\nlstat: Input/output error\n", false, left_behind::nothing},
        {"removing a copy without gain", desparse, false, true, "unlink:dup__:EIO", "",
         "unlink(TEMP) failed\nunlink: Input/output error\n", false, left_behind::full_copy},
        {"removing a measured copy under -n", desparse, true, false, "unlink:dup__:EIO", "",
         "unlink(TEMP) failed\nunlink: Input/output error\n", true, left_behind::full_copy},
        {"fchown of the copy", desparse, false, false, "fchown:dup__:EPERM", "",
         "fchown(TEMP) failed\nfchown: Operation not permitted\n", true, left_behind::nothing},
        {"fsync before the copy takes the name", desparse, false, false, "fsync:dup__:EIO:1", "",
         "fsync(TEMP) failed\nfsync: Input/output error\n", true, left_behind::nothing},
        {"changed during the copy", desparse, false, false, "",
         "read:victim:0:printf more >> victim",
         "victim changed while it was copied, left as it is\n", true, left_behind::nothing},
        // The last look before the rename is at the file itself, after the
        // look at the temporary name.
        {"changed after the copy was checked", desparse, false, false, "",
         "lstat:dup__:0:printf more >> victim",
         "victim changed while it was copied, left as it is\n", true, left_behind::nothing},
        {"rename", desparse, false, false, "rename:victim:EBUSY", "",
         "rename(TEMP, victim) failed\nunlink: Device or resource busy\n", true,
         left_behind::nothing},
        {"rename, then the removal", desparse, false, false, "rename:victim:EBUSY;unlink:dup__:EIO",
         "",
         "rename(TEMP, victim) failed\nunlink: Device or resource busy\n"
         "unlink(TEMP) failed\nunlink: Input/output error\n",
         true, left_behind::full_copy},
        {"sparse: the copy's block size", sparse, false, false, "fstat@twinfold:dup__:EIO:0:1", "",
         "fstat(TEMP) failed\nfstat: Input/output error\n", false, left_behind::nothing},
        {"sparse: reading the file", sparse, false, false, "read:victim:EIO", "",
         "read(victim) failed\nread: Input/output error\n", false, left_behind::nothing},
        {"sparse: reading the file under -n", sparse, true, false, "read:victim:EIO", "",
         "read(victim) failed\nread: Input/output error\n", false, left_behind::nothing},
        {"sparse: writing the copy", sparse, false, false, "write:dup__:ENOSPC", "",
         "write(TEMP) failed\nwrite: No space left on device\n", false, left_behind::nothing},
        {"sparse: a short write, then no space", sparse, false, false,
         "write:dup__:SHORT:0:1;write:dup__:ENOSPC", "",
         "write(TEMP) failed\nwrite: No space left on device\n", false, left_behind::nothing},
        {"sparse: setting the copy's length", sparse, false, false, "ftruncate:dup__:EIO", "",
         "ftruncate(TEMP) failed\nftruncate: Input/output error\n", false, left_behind::nothing},
        {"sparse: measuring the copy", sparse, false, false, "fstat@twinfold:dup__:EIO:1:1", "",
         "lstat(TEMP) failed\nlstat: Input/output error\n", false, left_behind::nothing},
        {"sparse: changed during the copy", sparse, false, false, "",
         "read:victim:0:printf more >> victim",
         "victim changed while it was copied, left as it is\n", true, left_behind::nothing},
    };
    for (const row &row : rows) {
        SCOPED_TRACE(row.label);
        scratch_dir dir;
        if (row.way == sparse) {
            write_file(dir / "victim",
                       dense_bytes(4096, 1) + std::string(1 << 20, '\0') + dense_bytes(4096, 2));
        } else if (row.dense) {
            write_file(dir / "victim", dense_bytes(8192));
        } else {
            write_holed_file(dir / "victim", 1 << 20);
        }
        const std::string content = read_file(dir / "victim");
        const struct stat before = status_of(dir / "victim");

        std::vector<std::string> args = row.way == sparse ? std::vector<std::string>{"-S"}
                                                          : std::vector<std::string>{"-c", "-i"};
        if (row.nodo) args.push_back("-n");
        tool_result r = run_tool(
            args, nul_list({"victim"}),
            {.cwd = dir.path, .faults = row.faults, .hooks = row.hooks, .timeout_seconds = 30});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(normalised(r.err), row.err);
        const std::string counted = std::string(row.nodo ? "Files which can be" : "Files") +
                                    (row.way == sparse ? " sparsed: " : " desparsed: ") +
                                    (row.counted ? "1" : "0") + " of 1,";
        EXPECT_NE(r.out.find(counted), std::string::npos) << r.out;

        EXPECT_TRUE(same_file(status_of(dir / "victim"), before));
        if (!*row.hooks) {
            EXPECT_EQ(status_of(dir / "victim").st_blocks, before.st_blocks);
        }
        EXPECT_EQ(read_file(dir / "victim").substr(0, content.size()), content);
        const auto temps = temporary_files_under(dir.path);
        ASSERT_EQ(temps.size(), row.left == left_behind::nothing ? 0u : 1u);
        if (row.left != left_behind::nothing) {
            const std::string left = read_file(temps[0]);
            if (row.left == left_behind::full_copy)
                EXPECT_TRUE(left == content) << "the copy left behind is not the file's bytes";
            else
                EXPECT_EQ(left.find_first_not_of('\0'), std::string::npos)
                    << "the copy left behind holds bytes of the file";
        }
    }
}

// A copy takes a name only with the original's owner, group and every one of
// its permission bits. FreeBSD refuses the sticky bit on a file to a user
// other than root (EFTYPE) and the set-group-ID bit to a user outside the
// file's group (EPERM), where the copy could have the rest; a system may also
// drop a bit or keep a new file's group without a word (the shim's SILENT).
// Either way, by expansion (-i) or sparse rewriting (-S), the original keeps
// its name, no temporary file stays, and one line says what could not be
// kept.
TEST(ResparseRun, ACopyThatCannotKeepAModeBitOwnerOrGroupTakesNoName) {
    struct row {
        const char *label;
        mode_t mode;
        uid_t owner;
        gid_t group;
        const char *faults;
        const char *what;  // as the line names it
    };
    const row rows[] = {
        {"sticky bit refused", 01644, 0, 0, "fchmod:dup__:EFTYPE:0:1", "sticky bit"},
        {"set-group-ID bit refused", 02755, 0, 5678, "fchmod:dup__:EPERM:0:1", "set-group-ID bit"},
        {"set-user-ID bit refused", 04755, 1234, 0, "fchmod:dup__:EPERM:0:1", "set-user-ID bit"},
        {"set-group-ID bit dropped", 02755, 0, 5678, "fchmod:dup__:SILENT", "set-group-ID bit"},
        {"permission bits dropped", 0644, 0, 0, "fchmod:dup__:SILENT", "permission bits"},
        {"group not taken", 0644, 0, 5678, "fchown:dup__:SILENT", "group"},
        {"owner not taken", 0644, 1234, 0, "fchown:dup__:SILENT", "owner"},
    };
    const std::string content = dense_bytes(4096, 1) + std::string(1 << 20, '\0');
    for (const row &row : rows) {
        for (const bool expanding : {true, false}) {
            SCOPED_TRACE(std::string(row.label) + (expanding ? ", -i" : ", -S"));
            scratch_dir dir;
            write_file(dir / "victim", content);
            if (expanding) {
                ASSERT_EQ(link((dir / "victim").c_str(), (dir / "twin").c_str()), 0);
            }
            ASSERT_EQ(chown((dir / "victim").c_str(), row.owner, row.group), 0);
            ASSERT_EQ(chmod((dir / "victim").c_str(), row.mode), 0);
            const struct stat before = status_of(dir / "victim");

            const tool_result r =
                run_tool({expanding ? "-i" : "-S"}, nul_list({"victim"}),
                         {.cwd = dir.path, .faults = row.faults, .timeout_seconds = 30});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, std::string("victim: its copy could not keep the ") + row.what +
                                 ", left as it is\n");
            const struct stat after = status_of(dir / "victim");
            EXPECT_TRUE(same_file(after, before));
            EXPECT_EQ(after.st_mode, before.st_mode);
            EXPECT_EQ(after.st_uid, before.st_uid);
            EXPECT_EQ(after.st_gid, before.st_gid);
            EXPECT_EQ(after.st_nlink, before.st_nlink);
            EXPECT_EQ(read_file(dir / "victim"), content);
            EXPECT_TRUE(temporary_files_under(dir.path).empty());
        }
    }
}

// However the system hands the bytes over, the copy is the same: reads and
// writes that move only part of what was asked, and a file system that
// cannot tell where the holes are (SEEK_DATA refused), whose zero blocks are
// then found by reading them.
TEST(ResparseRun, ShortTransfersAndNoHoleMapGiveTheSameCopy) {
    const char *const ways[] = {
        "",
        "read:victim:SHORT;write:dup__:SHORT",
        "lseek:victim:EINVAL",
    };
    for (const bool sparsing : {true, false}) {
        for (const char *faults : ways) {
            SCOPED_TRACE(std::string(sparsing ? "sparsing" : "desparsing") + " with '" + faults +
                         "'");
            scratch_dir dir;
            const off_t unit = status_of(dir.path).st_blksize;
            // Data, a hole, data, written zeros, data and a partial last block.
            const std::string content = dense_bytes(300000, 5).substr(0, 3 * unit) +
                                        std::string(8 * unit, '\0') + dense_bytes(unit, 6) +
                                        std::string(8 * unit, '\0') + dense_bytes(777, 7);
            const int fd = open((dir / "victim").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(pwrite(fd, content.data(), 3 * unit, 0), 3 * unit);
            const off_t rest = 11 * unit;
            ASSERT_EQ(pwrite(fd, content.data() + rest, content.size() - rest, rest),
                      static_cast<ssize_t>(content.size() - rest));
            close(fd);
            ASSERT_EQ(data_regions(dir / "victim").size(), 2u) << "the file system keeps no holes";
            const struct stat before = status_of(dir / "victim");

            const std::vector<std::string> args = sparsing
                                                      ? std::vector<std::string>{"-S", "-q"}
                                                      : std::vector<std::string>{"-c", "-i", "-q"};
            tool_result r =
                run_tool(args, nul_list({"victim"}), {.cwd = dir.path, .faults = faults});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.out, "");
            const struct stat after = status_of(dir / "victim");
            EXPECT_FALSE(same_file(after, before));
            EXPECT_EQ(read_file(dir / "victim"), content);
            const std::vector<std::pair<off_t, off_t>> whole{
                {0, static_cast<off_t>(content.size())}};
            EXPECT_EQ(data_regions(dir / "victim"),
                      sparsing ? nonzero_blocks(content, unit) : whole);
            EXPECT_TRUE(temporary_files_under(dir.path).empty());
        }
    }
}
