// Hard-link expansion, end to end through the binary (-i, -i -n).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "rewrite_fixtures.h"
#include "scratch_tree.h"
#include "tool_run.h"

namespace {

std::string link_summary(int files, int of, long long blocks) {
    return "Files expanded: " + std::to_string(files) + " of " + std::to_string(of) +
           ", Disk blocks declaimed: " + std::to_string(blocks) + "\n";
}

}  // namespace

TEST(ExpandHardLink, ThreeNamesOfOneFileGiveTwoCopies) {
    scratch_dir dir;
    const std::string content = dense_bytes(20000);
    write_file(dir / "a", content);
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "b").c_str()), 0);
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "c").c_str()), 0);
    const struct stat before = status_of(dir / "a");
    const long long blocks = before.st_blocks;

    // Names without a directory part: the temporary files go to the current directory.
    tool_result r = run_tool({"-i"}, nul_list({"a", "b", "c"}), {.cwd = dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string unfreed = ", unfreed " + std::to_string(blocks) + " blocks";
    EXPECT_EQ(lines_of(without_preamble(r.out)),
              (std::vector<std::string>{
                  "Input: 3 files, processing ...",
                  "Scanning for hard links ...",
                  "expand a: 3 -> 2" + unfreed,
                  "expand b: 2 -> 1" + unfreed,
                  "Files expanded: 2 of 3, Disk blocks declaimed: " + std::to_string(2 * blocks),
                  "Minimum of found hard links: 1, Maximum: 3.",
              }));

    const struct stat a = status_of(dir / "a"), b = status_of(dir / "b"), c = status_of(dir / "c");
    EXPECT_TRUE(same_file(c, before));
    EXPECT_FALSE(same_file(a, before));
    EXPECT_FALSE(same_file(b, before));
    EXPECT_FALSE(same_file(a, b));
    for (const auto *s : {&a, &b, &c}) EXPECT_EQ(s->st_nlink, 1u);
    for (const char *n : {"a", "b", "c"}) EXPECT_EQ(read_file(dir / n), content) << n;
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

TEST(ExpandHardLink, NodoCountsAndReportsWithoutCreatingAnything) {
    scratch_dir dir;
    write_file(dir / "a", dense_bytes(9000));
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "b").c_str()), 0);
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "c").c_str()), 0);
    const struct stat before = status_of(dir / "a");
    const std::string blocks = std::to_string(before.st_blocks);

    tool_result r = run_tool({"-i", "-n"}, nul_list({dir / "a", dir / "b", dir / "c"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // Nothing changes, but each name sees the links the real run would
    // have left: the last name is alone on the file and stays as it is.
    std::string expected = "Input: 3 files, processing ...\nScanning for hard links ...\n";
    expected += "expand " + (dir / "a") + ": 3 -> 2, unfreed " + blocks + " blocks\n";
    expected += "expand " + (dir / "b") + ": 2 -> 1, unfreed " + blocks + " blocks\n";
    expected += "Files which can be expanded: 2 of 3, Disk blocks which can be declaimed: ";
    expected += std::to_string(2 * before.st_blocks) + "\n";
    expected += "Minimum of found hard links: 1, Maximum: 3.\n";
    EXPECT_EQ(without_preamble(r.out), expected);

    tool_result quiet = run_tool({"-i", "-n", "-q"}, nul_list({dir / "a", dir / "b"}));
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "");

    for (const char *n : {"a", "b", "c"}) {
        EXPECT_TRUE(same_file(status_of(dir / n), before)) << n;
        EXPECT_EQ(status_of(dir / n).st_nlink, 3u);
    }
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

TEST(ExpandHardLink, EmptyAndHoledFilesBecomeFullyWrittenCopies) {
    scratch_dir dir;
    write_file(dir / "empty", "");
    ASSERT_EQ(link((dir / "empty").c_str(), (dir / "empty2").c_str()), 0);
    write_holed_file(dir / "holed", 1 << 20);
    ASSERT_EQ(link((dir / "holed").c_str(), (dir / "holed2").c_str()), 0);
    const struct stat holed_before = status_of(dir / "holed");
    ASSERT_LT(holed_before.st_blocks, 64) << "the file system keeps no holes";

    tool_result r = run_tool({"-i"}, nul_list({dir / "empty", dir / "holed"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string out = without_preamble(r.out);
    EXPECT_NE(out.find("expand " + (dir / "empty") + ": 2 -> 1, unfreed 0 blocks\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("expand " + (dir / "holed") + ": 2 -> 1, unfreed " +
                       std::to_string(holed_before.st_blocks) + " blocks\n"),
              std::string::npos)
        << out;

    EXPECT_EQ(status_of(dir / "empty").st_size, 0);
    EXPECT_FALSE(same_file(status_of(dir / "empty"), status_of(dir / "empty2")));
    // The hole is written out: every one of the 2048 blocks of 512 bytes is allocated.
    const struct stat holed_after = status_of(dir / "holed");
    EXPECT_FALSE(same_file(holed_after, holed_before));
    EXPECT_GE(holed_after.st_blocks, (1 << 20) / 512);
    EXPECT_EQ(read_file(dir / "holed"), read_file(dir / "holed2"));
    EXPECT_EQ(status_of(dir / "holed2").st_blocks, holed_before.st_blocks);
}

// The copy is the same file to its users: owner and group (set before the mode,
// which the owner change would strip of its set-id bits), mode and both times.
TEST(ExpandHardLink, CopyKeepsOwnerModeAndTimes) {
    struct row {
        mode_t mode;
        uid_t uid;
        gid_t gid;
    };
    const row rows[] = {{0755, 0, 0}, {0640, 1234, 5678}, {06755, 1234, 5678}, {01600, 4321, 0}};
    scratch_dir dir;
    std::vector<std::string> names;
    for (const row &row : rows) {
        const std::string name = (dir / "m").append(std::to_string(names.size()));
        write_file(name, dense_bytes(5000));
        ASSERT_EQ(chown(name.c_str(), row.uid, row.gid), 0);
        ASSERT_EQ(chmod(name.c_str(), row.mode), 0);
        set_times(name, {1000000000, 123456789}, {1200000000, 987654321});
        ASSERT_EQ(link(name.c_str(), (name + ".twin").c_str()), 0);
        names.push_back(name);
    }
    tool_result r = run_tool({"-i", "-q"}, nul_list(names));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (size_t i = 0; i < names.size(); ++i) {
        const struct stat s = status_of(names[i]);
        EXPECT_EQ(s.st_nlink, 1u) << names[i];
        EXPECT_EQ(s.st_mode & 07777, rows[i].mode) << names[i];
        EXPECT_EQ(s.st_uid, rows[i].uid) << names[i];
        EXPECT_EQ(s.st_gid, rows[i].gid) << names[i];
        EXPECT_EQ(s.st_atim.tv_sec, 1000000000);
        EXPECT_EQ(s.st_atim.tv_nsec, 123456789);
        EXPECT_EQ(s.st_mtim.tv_sec, 1200000000);
        EXPECT_EQ(s.st_mtim.tv_nsec, 987654321);
    }
}

TEST(ExpandHardLink, LongDirectoryPartAndNonRegularFiles) {
    scratch_dir dir;
    // A directory part of 1015 bytes: its temporary name is longer than 1024 bytes.
    std::string relative;
    while (relative.size() + 201 <= 1015) relative += std::string(200, 'd') + "/";
    relative += std::string(1015 - relative.size() - 1, 'e') + "/";
    ASSERT_EQ(relative.size(), 1015u);
    const std::string name = relative + "f";
    write_file(dir / name, "long");
    ASSERT_EQ(link((dir / name).c_str(), (dir / (relative + "g")).c_str()), 0);
    // A directory and a symbolic link with two names are left as they are.
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("f", (dir / "sym").c_str()), 0);
    ASSERT_EQ(link((dir / "sym").c_str(), (dir / "sym2").c_str()), 0);

    tool_result r = run_tool({"-i"}, nul_list({name, "sub", "sym"}), {.cwd = dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(without_preamble(r.out).find(link_summary(1, 3, status_of(dir / name).st_blocks)),
              std::string::npos)
        << r.out;
    EXPECT_EQ(status_of(dir / name).st_nlink, 1u);
    EXPECT_EQ(read_file(dir / name), "long");
    EXPECT_TRUE(S_ISLNK(status_of(dir / "sym").st_mode));
    EXPECT_EQ(status_of(dir / "sym").st_nlink, 2u);
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

// A signal during a copy lets that expansion finish; the run ends at the next
// name with status 0 and leaves no temporary file.
TEST(ExpandHardLink, InterruptionDuringACopyFinishesThatCopy) {
    scratch_dir dir;
    const std::string content = dense_bytes(300000);
    for (const char *n : {"first", "second"}) {
        write_file(dir / n, content);
        ASSERT_EQ(link((dir / n).c_str(), (dir / n + std::string(".twin")).c_str()), 0);
    }
    tool_result r = run_tool({"-i"}, nul_list({dir / "first", dir / "second"}),
                             {.hooks = "read:first:0:kill -TERM $PPID"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lines_of(without_preamble(r.out)),
              (std::vector<std::string>{
                  "Input: 2 files, processing ...", "Scanning for hard links ...",
                  "expand " + (dir / "first") + ": 2 -> 1, unfreed " +
                      std::to_string(status_of(dir / "first").st_blocks) + " blocks"}));
    EXPECT_EQ(status_of(dir / "first").st_nlink, 1u);
    EXPECT_EQ(read_file(dir / "first"), content);
    EXPECT_EQ(status_of(dir / "second").st_nlink, 2u);
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

enum class left_behind { nothing, empty_temp, full_copy };

// Every way an expansion can fail: the lines on standard error, what was
// counted, and what is left on disk. "victim" has a second name, "twin".
TEST(ExpandHardLink, FailuresLeaveTheNameWholeAndNoLitter) {
    struct row {
        const char *label;
        const char *faults;
        const char *hooks;
        const char *err;  // normalised: TEMP for the temporary name
        bool counted;     // the file entered the summary's counts
        left_behind left;
    };
    const row rows[] = {
        {"lstat", "lstat:victim:EIO", "", "lstat(victim) failed\nlstat: Input/output error\n",
         false, left_behind::nothing},
        {"mkstemp", "mkstemp:dup__:EACCES", "",
         "Could not create temporary file.\nfile_create: Permission denied\n", true,
         left_behind::nothing},
        {"open", "open:victim:EACCES", "",
         "Expanding the hard link(victim) failed.\nexpand: Permission denied\n", true,
         left_behind::nothing},
        // A symbolic link put in the name's place: refused with ELOOP here and
        // with EMLINK on FreeBSD, said in the same words.
        {"open: a symbolic link", "open:victim:ELOOP", "",
         "Expanding the hard link(victim) failed.\nexpand: is a symbolic link\n", true,
         left_behind::nothing},
        {"open: a symbolic link, as FreeBSD refuses it", "open:victim:EMLINK", "",
         "Expanding the hard link(victim) failed.\nexpand: is a symbolic link\n", true,
         left_behind::nothing},
        {"open, then the removal", "open:victim:EACCES;unlink:dup__:EIO", "",
         "Expanding the hard link(victim) failed.\nexpand: Permission denied\n"
         "unlink(TEMP) failed\nunlink: Input/output error\n",
         true, left_behind::empty_temp},
        {"read", "read:victim:EIO", "", "file victim: error 1.\n", true, left_behind::nothing},
        {"write", "write:dup__:ENOSPC", "", "file TEMP: error 1.\n", true, left_behind::nothing},
        {"fchown", "fchown:dup__:EPERM", "",
         "fchown(TEMP) failed\nfchown: Operation not permitted\n", true, left_behind::nothing},
        {"fchmod", "fchmod:dup__:EPERM", "",
         "fchmod(TEMP) failed\nfchmod: Operation not permitted\n", true, left_behind::nothing},
        {"futimens", "futimens:dup__:EPERM", "",
         "futimens(TEMP) failed\nfutimens: Operation not permitted\n", true, left_behind::nothing},
        {"fsync", "fsync:dup__:EIO", "", "fsync(TEMP) failed\nfsync: Input/output error\n", true,
         left_behind::nothing},
        {"close", "close:dup__:EIO", "", "close(TEMP) failed\nclose: Input/output error\n", true,
         left_behind::nothing},
        {"changed during the copy", "", "read:victim:0:printf more >> victim",
         "victim changed while it was copied, left as it is\n", true, left_behind::nothing},
        {"rename", "rename:victim:EBUSY", "",
         "rename(TEMP, victim) failed\nunlink: Device or resource busy\n", true,
         left_behind::nothing},
        {"rename, then the removal", "rename:victim:EBUSY;unlink:dup__:EIO", "",
         "rename(TEMP, victim) failed, tempfile TEMP remains\nunlink: Device or resource busy\n",
         true, left_behind::full_copy},
    };
    const std::string content = dense_bytes(70000);
    for (const row &row : rows) {
        SCOPED_TRACE(row.label);
        scratch_dir dir;
        write_file(dir / "victim", content);
        ASSERT_EQ(link((dir / "victim").c_str(), (dir / "twin").c_str()), 0);
        const struct stat before = status_of(dir / "victim");

        tool_result r = run_tool(
            {"-i"}, nul_list({"victim"}),
            {.cwd = dir.path, .faults = row.faults, .hooks = row.hooks, .timeout_seconds = 30});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(normalised(r.err), row.err);
        const std::string summary =
            row.counted ? link_summary(1, 1, before.st_blocks) : link_summary(0, 1, 0);
        EXPECT_NE(r.out.find(summary), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("expand victim"), std::string::npos);

        // The name still holds the old file, with both names.
        EXPECT_TRUE(same_file(status_of(dir / "victim"), before));
        EXPECT_EQ(status_of(dir / "victim").st_nlink, 2u);
        EXPECT_EQ(read_file(dir / "victim").substr(0, content.size()), content);
        const auto temps = temporary_files_under(dir.path);
        ASSERT_EQ(temps.size(), row.left == left_behind::nothing ? 0u : 1u);
        if (row.left != left_behind::nothing) {
            EXPECT_EQ(read_file(temps[0]), row.left == left_behind::full_copy ? content : "");
        }
    }
}
