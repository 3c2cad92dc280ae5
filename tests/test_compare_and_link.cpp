// compare_and_link called as the sort calls it: its answers, which file
// survives, what is counted and printed, and what is never linked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "capture_stdout.h"
#include "merge/compare_and_link.h"
#include "merge/link_replace.h"
#include "scratch_tree.h"
#include "state/run_state.h"

namespace {

struct link_call {
    int result;
    std::string out, err;
};

link_call call(const std::string &first, const std::string &second) {
    std::string a = first, b = second;
    char *first_slot = a.data(), *second_slot = b.data();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = compare_and_link(&first_slot, &second_slot);
    std::string out = testing::internal::GetCapturedStdout();
    return {result, out, testing::internal::GetCapturedStderr()};
}

int name_order(const std::string &a, const std::string &b) {
    return std::strncmp(a.c_str(), b.c_str(), 1024);
}

void set_mtime(const std::string &path, time_t seconds, long nanoseconds = 0) {
    timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// 8192 zero bytes taking 16, 8 or 0 blocks of 512 bytes.
enum class fill { whole, half, hole };
void write_zeros(const std::string &path, fill how) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 8192), 0);
    std::string zeros(8192, '\0');
    if (how == fill::whole) {
        ASSERT_EQ(pwrite(fd, zeros.data(), 8192, 0), 8192);
    }
    if (how == fill::half) {
        ASSERT_EQ(pwrite(fd, zeros.data(), 4096, 4096), 4096);
    }
    close(fd);
}

bool same_file(const std::string &a, const std::string &b) {
    struct stat x = status_of(a), y = status_of(b);
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

class CompareAndLink : public testing::Test {
protected:
    void SetUp() override {
        run_options = run_options_record{};
        run_stats = run_stats_record{};
    }
    scratch_dir dir;
};

}  // namespace

TEST_F(CompareAndLink, AnswersWithoutLinking) {
    write_file(dir / "small", "abc");
    write_file(dir / "large", "abcdef");
    write_file(dir / "low", std::string("\x01\0\0\0\0\0\0\0", 8));
    write_file(dir / "high", std::string("\0\x01\0\0\0\0\0\0", 8));
    write_file(dir / "a_empty", "");
    write_file(dir / "c_empty", "");
    ASSERT_EQ(link((dir / "low").c_str(), (dir / "low_too").c_str()), 0);
    const std::string lstat_missing =
        "lstat(" + (dir / "missing") + ") failed\n" + "lstat: No such file or directory\n";
    struct row {
        std::string first, second;
        int expected;
        std::string err;
    } rows[] = {
        {dir / "small", dir / "small", 0, ""},
        {dir / "small", dir / "large", -1, ""},
        {dir / "large", dir / "small", 1, ""},
        {dir / "low", dir / "high", -1, ""},
        {dir / "high", dir / "low", 1, ""},
        {dir / "a_empty", dir / "c_empty", name_order(dir / "a_empty", dir / "c_empty"), ""},
        {dir / "c_empty", dir / "a_empty", name_order(dir / "c_empty", dir / "a_empty"), ""},
        {dir / "low_too", dir / "low", name_order(dir / "low_too", dir / "low"), ""},
        {dir / "missing", dir / "small", -1, lstat_missing},
        {dir / "small", dir / "missing", 1, lstat_missing},
    };
    for (const row &r : rows) {
        link_call c = call(r.first, r.second);
        EXPECT_EQ(c.result, r.expected) << r.first << " " << r.second;
        EXPECT_EQ(c.err, r.err) << r.first << " " << r.second;
        EXPECT_EQ(c.out, "");
    }
    EXPECT_EQ(run_stats.reclaim_files, 0u);
    EXPECT_FALSE(same_file(dir / "a_empty", dir / "c_empty"));
    EXPECT_EQ(run_stats.max_links, 2);  // low has two names

    // Null slots: the first is tested before anything else, the second only
    // after the first name was examined.
    std::string name = dir / "small";
    char *slot = name.data();
    char *null_name = nullptr;
    EXPECT_EQ(compare_and_link(nullptr, &slot), -1);
    EXPECT_EQ(compare_and_link(&slot, nullptr), 1);
    EXPECT_EQ(compare_and_link(&null_name, &slot), -1);
    EXPECT_EQ(compare_and_link(&slot, &null_name), 1);
}

// Which of two equal files keeps its data. The first survives when the second
// has fewer blocks, a later modification second or fewer links; otherwise the
// second survives and the first name is replaced.
TEST_F(CompareAndLink, SurvivorChoice) {
    struct side {
        fill blocks;
        time_t seconds;
        long nanoseconds;
        int links;
    };
    struct row {
        side first, second;
        bool first_survives;
    } rows[] = {
        {{fill::whole, 1000, 0, 1}, {fill::whole, 1000, 0, 1}, false},
        {{fill::whole, 1000, 0, 1}, {fill::whole, 1000, 999, 1}, false},  // nanoseconds ignored
        {{fill::whole, 1000, 0, 1}, {fill::half, 1000, 0, 1}, true},
        {{fill::half, 1000, 0, 1}, {fill::whole, 1000, 0, 1}, false},
        {{fill::hole, 1000, 0, 1}, {fill::half, 1000, 0, 1}, false},
        {{fill::half, 1000, 0, 1}, {fill::hole, 1000, 0, 1}, true},
        {{fill::whole, 1000, 0, 1}, {fill::whole, 2000, 0, 1}, true},
        {{fill::whole, 2000, 0, 1}, {fill::whole, 1000, 0, 1}, false},
        {{fill::whole, 1000, 0, 3}, {fill::whole, 1000, 0, 2}, true},
        {{fill::whole, 1000, 0, 2}, {fill::whole, 1000, 0, 3}, false},
        {{fill::whole, 1000, 0, 2}, {fill::whole, 1000, 0, 2}, false},
        // The three tests weigh alike: any one of them keeps the first.
        {{fill::half, 1000, 0, 1}, {fill::whole, 2000, 0, 1}, true},
        {{fill::half, 2000, 0, 3}, {fill::whole, 1000, 0, 2}, true},
        {{fill::whole, 2000, 0, 1}, {fill::half, 1000, 0, 3}, true},
    };
    int number = 0;
    for (const row &r : rows) {
        SCOPED_TRACE(number);
        run_stats = run_stats_record{};
        const std::string first = dir / ("first" + std::to_string(number));
        const std::string second = dir / ("second" + std::to_string(number));
        ++number;
        write_zeros(first, r.first.blocks);
        write_zeros(second, r.second.blocks);
        for (int i = 1; i < r.first.links; ++i)
            ASSERT_EQ(link(first.c_str(), (first + "_extra" + std::to_string(i)).c_str()), 0);
        for (int i = 1; i < r.second.links; ++i)
            ASSERT_EQ(link(second.c_str(), (second + "_extra" + std::to_string(i)).c_str()), 0);
        set_mtime(first, r.first.seconds, r.first.nanoseconds);
        set_mtime(second, r.second.seconds, r.second.nanoseconds);
        const struct stat before_first = status_of(first), before_second = status_of(second);

        link_call c = call(first, second);

        const std::string &survivor = r.first_survives ? first : second;
        const std::string &replaced = r.first_survives ? second : first;
        const struct stat &kept = r.first_survives ? before_first : before_second;
        const struct stat &gone = r.first_survives ? before_second : before_first;
        EXPECT_EQ(c.result, name_order(first, second));
        EXPECT_EQ(c.err, "");
        EXPECT_EQ(status_of(survivor).st_ino, kept.st_ino);
        EXPECT_EQ(status_of(replaced).st_ino, kept.st_ino);
        EXPECT_EQ(read_file(replaced), std::string(8192, '\0'));
        const int kept_links = static_cast<int>(kept.st_nlink);
        const int gone_links = static_cast<int>(gone.st_nlink);
        EXPECT_EQ(c.out, "ln  " + survivor + " " + replaced + ": " + std::to_string(kept_links) +
                             ", " + std::to_string(gone_links) + " -> " +
                             std::to_string(kept_links + gone_links) + ", freed +" +
                             std::to_string(kept.st_blocks) + " blocks\n");
        // Only a file whose last name went away is counted.
        EXPECT_EQ(run_stats.reclaim_files, gone.st_nlink == 1 ? 1u : 0u);
        EXPECT_EQ(run_stats.reclaim_blocks,
                  gone.st_nlink == 1 ? static_cast<uint32_t>(gone.st_blocks) : 0u);
        EXPECT_EQ(run_stats.max_links, std::max(kept_links, gone_links));
    }
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

TEST_F(CompareAndLink, EqualFilesThatMustStayApart) {
    // Both without blocks, a different owner, group or permission bits.
    write_zeros(dir / "hole1", fill::hole);
    write_zeros(dir / "hole2", fill::hole);
    struct row {
        std::string first, second;
        int expected;
    };
    std::vector<row> rows = {
        {dir / "hole1", dir / "hole2", name_order(dir / "hole1", dir / "hole2")}};
    const std::string content = "equal contents";
    write_file(dir / "root", content, 0644);
    write_file(dir / "user", content, 0644);
    ASSERT_EQ(chown((dir / "user").c_str(), 1, 0), 0);
    write_file(dir / "group", content, 0644);
    ASSERT_EQ(chown((dir / "group").c_str(), 0, 1), 0);
    write_file(dir / "private", content, 0600);
    write_file(dir / "setuid", content, 04644);
    rows.push_back({dir / "root", dir / "user", -1});
    rows.push_back({dir / "user", dir / "root", 1});
    rows.push_back({dir / "group", dir / "root", 1});
    rows.push_back({dir / "private", dir / "root", -1});
    rows.push_back({dir / "setuid", dir / "root", 1});
    for (const row &r : rows) {
        for (int nodo : {0, 1}) {
            run_options.nodo = nodo;
            link_call c = call(r.first, r.second);
            EXPECT_EQ(c.result, r.expected) << r.first << " " << r.second;
            EXPECT_EQ(c.out, "");
            EXPECT_EQ(c.err, "");
            EXPECT_FALSE(same_file(r.first, r.second));
        }
    }
    EXPECT_EQ(run_stats.reclaim_files, 0u);
    EXPECT_EQ(run_stats.reclaim_blocks, 0u);
    EXPECT_EQ(status_of(dir / "user").st_uid, 1u);
    EXPECT_EQ(status_of(dir / "setuid").st_mode & 07777, 04644u);
}

// Read-only: every comparison of an equal pair counts and prints it again,
// and nothing on disk changes.
TEST_F(CompareAndLink, NodoReportsOnEveryCallAndChangesNothing) {
    run_options.nodo = 1;
    write_file(dir / "one", "twin");
    write_file(dir / "two", "twin");
    set_mtime(dir / "one", 5000);
    set_mtime(dir / "two", 5000);
    const struct stat one = status_of(dir / "one"), two = status_of(dir / "two");
    const std::string line = "ln  " + (dir / "two") + " " + (dir / "one") + ": 1, 1 -> 2, freed +" +
                             std::to_string(two.st_blocks) + " blocks\n";
    for (int i = 0; i < 2; ++i) {
        link_call c = call(dir / "one", dir / "two");
        EXPECT_EQ(c.out, line);
        EXPECT_EQ(c.result, name_order(dir / "one", dir / "two"));
    }
    EXPECT_EQ(run_stats.reclaim_files, 2u);
    EXPECT_EQ(run_stats.reclaim_blocks, static_cast<uint32_t>(2 * one.st_blocks));
    EXPECT_EQ(status_of(dir / "one").st_ino, one.st_ino);
    EXPECT_EQ(status_of(dir / "two").st_ino, two.st_ino);
    EXPECT_EQ(status_of(dir / "one").st_ctim.tv_nsec, one.st_ctim.tv_nsec);
}

TEST_F(CompareAndLink, QuietLinksWithoutPrintingAndSoftPrintsDashS) {
    run_options.quiet = 1;
    write_file(dir / "q1", "quiet");
    write_file(dir / "q2", "quiet");
    link_call c = call(dir / "q1", dir / "q2");
    EXPECT_EQ(c.out, "");
    EXPECT_TRUE(same_file(dir / "q1", dir / "q2"));
    EXPECT_EQ(run_stats.reclaim_files, 1u);

    run_options = run_options_record{};
    run_options.soft = 1;
    write_file(dir / "s1", "soft");
    write_file(dir / "s2", "soft");
    set_mtime(dir / "s1", 100);
    set_mtime(dir / "s2", 100);
    const struct stat survivor = status_of(dir / "s2");
    c = call(dir / "s1", dir / "s2");
    EXPECT_EQ(c.out, "ln -s " + (dir / "s2") + " " + (dir / "s1") + ": 1, 1 -> 2, freed +" +
                         std::to_string(survivor.st_blocks) + " blocks\n");
    EXPECT_TRUE(S_ISLNK(status_of(dir / "s1").st_mode));
    struct stat reached {};
    ASSERT_EQ(stat((dir / "s1").c_str(), &reached), 0);
    EXPECT_EQ(reached.st_ino, survivor.st_ino);
}

// Once a signal asked the run to stop, the comparator returns at once: it
// neither looks at nor links anything (the driver then ends the run).
TEST_F(CompareAndLink, AnInterruptedRunLinksNothing) {
    write_file(dir / "x", "same");
    write_file(dir / "y", "same");
    std::string x = dir / "x", y = dir / "y";
    char *first = x.data(), *second = y.data();
    const std::string out = captured_stdout([&] {
        interrupted = 1;
        compare_and_link(&first, &second);
        interrupted = 0;
    });
    EXPECT_EQ(out, "");
    EXPECT_NE(status_of(x).st_ino, status_of(y).st_ino);
    EXPECT_EQ(run_stats.reclaim_files, 0u);
}

TEST(SymlinkText, ReachesTheSurvivorFromTheReplacedNamesDirectory) {
    struct row {
        std::string survivor, replaced, expected;
    } rows[] = {
        {"a", "b", "a"},
        {"./a", "b", "a"},
        {"a", "./b", "a"},
        {"x/a", "b", "x/a"},
        {"a", "x/b", "../a"},
        {"x/a", "y/b", "../x/a"},
        {"x/y/a", "x/z/b", "../y/a"},
        {"x//./y/a", "x/y/b", "a"},
        {"x/../a", "x/b", "../a"},
        {"../a", "b", "../a"},
        {"../p/a", "../q/b", "../p/a"},
        {"a", "../b", ""},
        {"/abs/a", "x/b", "/abs/a"},
        {"/abs/a", "/other/b", "/abs/a"},
        {"x/a", "/abs/b", ""},
    };
    for (const row &r : rows)
        EXPECT_EQ(symlink_text(r.survivor, r.replaced), r.expected)
            << r.survivor << " " << r.replaced;
}
