// What the comparators remember between calls. The answers, lines, counts and
// changes on disk stay those of the tool with that memory switched off
// (every call examining both names and reading both files from the start); a
// file changed between two comparisons is seen as it is now before anything
// is linked or marked; links made during the sort are seen by the comparisons
// after them; and each file is read about once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "compare/file_knowledge.h"
#include "fs/stamp_trust.h"
#include "merge/compare_and_link.h"
#include "merge/delete_mode.h"
#include "merge/name_index.h"
#include "run/entry_sort.h"
#include "run/intake.h"
#include "scratch_tree.h"
#include "state/run_state.h"
#include "tool_run.h"

// The file list that the intake builds lives until the process ends, in a
// run as in these tests, which take several lists in one process.
extern "C" const char *__asan_default_options() {
    return "detect_leaks=0";
}

namespace {

void set_mtime(const std::string &path, time_t seconds) {
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// Rewrites a file in place: same inode, the bytes of contents.
void write_file_in_place(const std::string &path, const std::string &contents) {
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, contents.data(), contents.size(), 0),
              static_cast<ssize_t>(contents.size()));
    close(fd);
}

void set_mtime_exactly(const std::string &path, const timespec &modified) {
    const timespec times[2] = {{0, UTIME_OMIT}, modified};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// Waits until every file made so far is at rest: its change time is older
// than the margin by which the comparisons trust time stamps.
void wait_until_at_rest() {
    const int64_t pause_ns = stamp_margin_ns + 200000000;
    const timespec pause{static_cast<time_t>(pause_ns / 1000000000), pause_ns % 1000000000};
    nanosleep(&pause, nullptr);
}

std::string random_bytes(std::mt19937 &generator, size_t size) {
    std::string bytes(size, '\0');
    for (char &c : bytes) c = static_cast<char>(generator());
    return bytes;
}

// A tree of many files of a few sizes: groups of equal files, and files that
// differ from them in the first chunk, just past the first chunk or two, in
// the middle, at a piece or block edge of a large file, or in the last byte;
// empty files, hard links made beforehand, a symbolic link, a pair of equal
// files without blocks, other owners and modes, mixed modification times, a
// name listed twice and a name that does not exist. Built alike from one seed.
std::vector<std::string> make_mixed_tree(const std::string &root) {
    std::mt19937 generator(6);
    std::vector<std::string> names;
    const size_t sizes[] = {5, 8, 16, 23, 4096, 20000, 131071, 131072, 131172, 300000};
    for (size_t size : sizes) {
        const std::string base = random_bytes(generator, size);
        const size_t flips[] = {0, 7, 8, 15, 16, 100, size / 2, 4096, 131072, size - 9, size - 1};
        std::vector<std::string> contents(1 + generator() % 4, base);  // an equal group
        for (size_t at : flips) {
            if (at >= size) continue;
            std::string variant = base;
            variant[at] = static_cast<char>(variant[at] ^ (1 + generator() % 255));
            for (unsigned copies = 1 + generator() % 2; copies > 0; --copies)
                contents.push_back(variant);
        }
        for (size_t i = 0; i < contents.size(); ++i) {
            const std::string name = "s" + std::to_string(size) + "/f" + std::to_string(i);
            write_file(root + "/" + name, contents[i]);
            set_mtime(root + "/" + name, 1000000000 + 1000 * static_cast<time_t>(generator() % 3));
            names.push_back(name);
        }
        // Another owner and other permission bits among the equal ones.
        if (contents.size() > 2) {
            EXPECT_EQ(chown((root + "/" + names[names.size() - contents.size()]).c_str(), 1, 1), 0);
        }
        EXPECT_EQ(chmod((root + "/" + names.back()).c_str(), 0600), 0);
        // A second name of one file, made beforehand.
        const std::string linked = "s" + std::to_string(size) + "/hard";
        EXPECT_EQ(link((root + "/" + names.back()).c_str(), (root + "/" + linked).c_str()), 0);
        names.push_back(linked);
    }
    for (const char *empty : {"e1", "e2", "e3"}) {
        write_file(root + "/" + empty, "");
        names.push_back(empty);
    }
    // Equal files of 8 KiB without blocks.
    for (const char *hole : {"h1", "h2"}) {
        int fd = open((root + "/" + hole).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, 8192), 0);
        close(fd);
        names.push_back(hole);
    }
    // A symbolic link whose own size is one of the sizes above.
    EXPECT_EQ(symlink("abcde", (root + "/sym").c_str()), 0);
    names.push_back("sym");
    names.push_back("missing");
    names.push_back(names[3]);
    std::shuffle(names.begin(), names.end(), generator);
    return names;
}

// Every listed name as the tool left it: its kind, which listed names share
// its inode (by the first such name), its link count and its contents.
std::map<std::string, std::string> tree_shape(const std::string &root,
                                              const std::vector<std::string> &names) {
    std::map<std::string, std::string> shape;
    std::map<std::pair<dev_t, ino_t>, std::string> first_name;
    std::set<std::string> sorted(names.begin(), names.end());
    for (const std::string &name : sorted) {
        struct stat st;
        const std::string path = root + "/" + name;
        if (lstat(path.c_str(), &st) != 0) {
            shape[name] = "absent";
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            char target[1024] = {};
            ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            shape[name] = "symlink to " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
            continue;
        }
        auto inserted = first_name.emplace(std::make_pair(st.st_dev, st.st_ino), name);
        shape[name] = "file of " + inserted.first->second + ", links " +
                      std::to_string(st.st_nlink) + ", " + read_file(path);
    }
    return shape;
}

// Reads the list into work_list, name_index and delete_marks as a run does,
// with name_index in name order.
void take_list(const std::vector<std::string> &names) {
    const std::string list = nul_list(names);
    FILE *input = fmemopen(const_cast<char *>(list.data()), list.size(), "r");
    ASSERT_NE(input, nullptr);
    FILE *spool = std::tmpfile();
    ASSERT_NE(spool, nullptr);
    file_count = 0;
    int status = 0;
    const int quiet = run_options.quiet;
    run_options.quiet = 1;
    read_name_list(input, spool, status, "test");
    run_options.quiet = quiet;
    std::fclose(input);
    sort_entries(name_index, static_cast<size_t>(file_count), compare_names);
}

struct call_result {
    int order;
    std::string out, err;
};

call_result call(int (*compare)(const void *, const void *), int first, int second) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int order = compare(&work_list[first], &work_list[second]);
    std::string out = testing::internal::GetCapturedStdout();
    return {order, out, testing::internal::GetCapturedStderr()};
}

class FileKnowledge : public testing::Test {
protected:
    void SetUp() override {
        run_options = run_options_record{};
        run_stats = run_stats_record{};
        file_knowledge_enabled = true;
    }
    scratch_dir dir;
};

}  // namespace

// Every option set that compares files, on copies of one mixed tree: the
// tool, the tool whose second thread cannot start (it reads ahead of the sort
// alone) and the tool without memory (which reads nothing ahead) print the
// same lines, end alike and leave the same trees behind.
TEST(FileKnowledgeRuns, SameOutputAndTreesAsWithoutMemory) {
    const std::vector<std::vector<std::string>> option_sets = {
        {"-n"}, {"-d", "-n"}, {}, {"-d"}, {"-s"}, {"-c", "-S", "-n"},
    };
    for (const auto &options : option_sets) {
        SCOPED_TRACE(testing::PrintToString(options));
        scratch_dir with, one_thread, without;
        const std::vector<std::string> names = make_mixed_tree(with.path);
        ASSERT_EQ(make_mixed_tree(one_thread.path), names);
        ASSERT_EQ(make_mixed_tree(without.path), names);
        tool_result remembered = run_tool(options, nul_list(names), {.cwd = with.path});
        tool_result alone = run_tool(options, nul_list(names),
                                     {.cwd = one_thread.path, .faults = "pthread_create:*:EAGAIN"});
        tool_result plain = run_tool(options, nul_list(names),
                                     {.cwd = without.path, .binary = TWINFOLD_PLAIN_BINARY});
        for (const tool_result *run : {&remembered, &alone}) {
            EXPECT_EQ(run->status, plain.status);
            EXPECT_EQ(without_preamble(run->out), without_preamble(plain.out));
            EXPECT_EQ(run->err, plain.err);
        }
        EXPECT_NE(remembered.err.find("lstat(missing) failed"), std::string::npos);
        EXPECT_EQ(tree_shape(with.path, names), tree_shape(without.path, names));
        EXPECT_EQ(tree_shape(one_thread.path, names), tree_shape(without.path, names));
    }
}

// A file rewritten in place between two comparisons, to the same size and
// with its modification time put back: the second comparison neither links
// nor marks it, and orders the two files by their contents as they are now.
// The file is small (read whole), or large with the change in its middle
// (known by the digests of its pieces).
TEST_F(FileKnowledge, AFileChangedBetweenComparisonsIsSeenAsItIsNow) {
    for (size_t size : {size_t(40), size_t(300000)}) {
        SCOPED_TRACE(size);
        scratch_dir tree;
        std::mt19937 generator(static_cast<unsigned>(size));
        const std::string shared = random_bytes(generator, size);
        std::string changed = shared;
        changed[size / 2] = static_cast<char>(changed[size / 2] ^ 0x40);
        const std::string a = tree / "a", b = tree / "b";
        write_file(a, shared);
        write_file(b, shared);
        set_mtime(a, 1000000000);
        set_mtime(b, 1000000000);
        take_list({a, b});
        const int name_order = std::strncmp(a.c_str(), b.c_str(), 1024);

        // Found equal: reported by a read-only run.
        run_options.nodo = 1;
        call_result before = call(compare_and_link, 0, 1);
        EXPECT_EQ(before.order, name_order);
        EXPECT_EQ(before.out.rfind("ln  ", 0), 0u) << before.out;

        const struct stat old = status_of(b);
        write_file(b, changed);
        set_mtime(b, 1000000000);
        ASSERT_EQ(status_of(b).st_ino, old.st_ino);

        // The order of the contents now: their first difference is byte size / 2.
        const int expected = static_cast<unsigned char>(changed[size / 2]) >
                                     static_cast<unsigned char>(shared[size / 2])
                                 ? -1
                                 : 1;
        run_options.nodo = 0;
        call_result linking = call(compare_and_link, 0, 1);
        EXPECT_EQ(linking.order, expected);
        EXPECT_EQ(linking.out, "");
        EXPECT_EQ(linking.err, "");
        EXPECT_NE(status_of(a).st_ino, status_of(b).st_ino);
        EXPECT_EQ(read_file(b), changed);

        call_result marking = call(compare_and_mark, 0, 1);
        EXPECT_EQ(marking.order, expected);
        EXPECT_EQ(marking.out, "");
        EXPECT_EQ(delete_marks[0] | delete_marks[1], 0);
    }
}

// The comparisons after each link see it: the summary counts exactly the
// files whose last name went (the listed files had one name each) and their
// blocks, as the disk shows afterwards, and every name keeps its contents.
TEST(FileKnowledgeRuns, LinksMadeDuringTheSortAreSeenByLaterComparisons) {
    scratch_dir tree;
    std::mt19937 generator(11);
    std::vector<std::string> names;
    std::map<std::string, std::string> contents;
    for (int group = 0; group < 12; ++group) {
        // Groups of one size share it with a file of other contents.
        const size_t size = group % 2 ? 3000 : 200000;
        const std::string bytes = random_bytes(generator, size);
        for (unsigned copy = 0; copy < 2 + generator() % 6; ++copy) {
            const std::string name = "g" + std::to_string(group) + "_" + std::to_string(copy);
            write_file(tree / name, bytes);
            set_mtime(tree / name, 1000000000 + static_cast<time_t>(generator() % 3));
            names.push_back(name);
            contents[name] = bytes;
        }
        std::string other = bytes;
        other[size - 1] = static_cast<char>(other[size - 1] ^ 1);
        write_file(tree / ("other" + std::to_string(group)), other);
        names.push_back("other" + std::to_string(group));
        contents[names.back()] = other;
    }
    std::shuffle(names.begin(), names.end(), generator);
    long long blocks_before = 0;
    for (const std::string &name : names) blocks_before += status_of(tree / name).st_blocks;

    tool_result run = run_tool({}, nul_list(names), {.cwd = tree.path});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");

    std::map<ino_t, long long> inodes;
    for (const std::string &name : names) {
        EXPECT_EQ(read_file(tree / name), contents[name]) << name;
        const struct stat st = status_of(tree / name);
        inodes[st.st_ino] = st.st_blocks;
    }
    long long blocks_after = 0;
    for (const auto &[inode, blocks] : inodes) blocks_after += blocks;
    EXPECT_LT(inodes.size(), names.size() / 2);
    const std::string summary =
        "Files linked: " + std::to_string(names.size() - inodes.size()) + " of " +
        std::to_string(names.size()) +
        ", Disk blocks reclaimed: " + std::to_string(blocks_before - blocks_after) + "\n";
    EXPECT_NE(run.out.find(summary), std::string::npos) << run.out;
}

// A sort of many files of one size, a third of them equal, reads each of
// them about once (never twice as many bytes as they hold together), and
// orders them as the design without memory does.
TEST_F(FileKnowledge, EachFileIsReadAboutOnce) {
    std::mt19937 generator(3);
    const size_t size = 200000;
    const std::string base = random_bytes(generator, size);
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) {
        std::string bytes = base;
        // A third are equal; the others differ near their end or in the middle.
        if (i % 3) bytes[i % 2 ? size - 1 - i : size / 2 + i] = static_cast<char>(i);
        names.push_back(dir / ("f" + std::to_string(i)));
        write_file(names.back(), bytes);
    }
    run_options.nodo = 1;
    run_options.quiet = 1;
    std::vector<std::string> orders[2];
    for (bool remembering : {false, true}) {
        file_knowledge_enabled = remembering;
        take_list(names);
        knowledge_counts = knowledge_counters{};
        sort_entries(work_list, static_cast<size_t>(file_count), compare_and_link);
        for (int i = 0; i < file_count; ++i) orders[remembering].push_back(work_list[i]);
    }
    EXPECT_EQ(orders[1], orders[0]);
    EXPECT_GE(knowledge_counts.bytes_read, names.size() * size / 2);
    EXPECT_LE(knowledge_counts.bytes_read, 2 * names.size() * size);
}

namespace {

// Sleeps into the first part of a new second of the wall clock, so that
// files made now and rewritten within the next moments keep the same whole
// second as their change time.
void wait_for_a_new_second() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const timespec pause{0, 1000000000L - now.tv_nsec + 1000000L};
    nanosleep(&pause, nullptr);
}

// A file of the run rewritten in place by another process while the run goes
// on (same size, one byte other, its modification time put back), right
// after a chosen call of the tool.
struct rewrite_row {
    const char *label;
    std::vector<std::string> args;
    bool whole_second_stamps;  // the tool sees its time stamps cut to seconds
    std::string call;          // the hook's call ...
    std::string after;         // ... on this name of the tree
    std::string rewritten;     // the name rewritten
    std::string err;           // with D for the tree
    int wall_ahead = 0;        // seconds by which the file system's clock lags the tool's
};

}  // namespace

// Whatever the run remembers of the files, every name ends holding the bytes
// it held after the rewrite: the rewritten file is neither linked to another
// nor removed in favour of one, and no name is replaced by it. In link mode
// the comparison before the link sees the files as they are and says
// nothing; in delete mode the name marked is kept with the line that says
// why. Each row runs with the tool and with the tool that remembers nothing.
TEST(FileKnowledgeRuns, AFileRewrittenInPlaceDuringTheRunKeepsItsBytes) {
    const rewrite_row rows[] = {
        // a is linked to b, then b to c (which keeps a second name outside the
        // list, so c survives): the second link moves the change time of the
        // file that a still names. Then a is rewritten.
        {"link mode, after the run's own link", {}, false, "after-rename", "b", "a", ""},
        // a, x equal, y other: x is rewritten right after it was first read,
        // within the second of its change time.
        {"link mode, whole-second stamps", {}, true, "after-close", "x", "x", ""},
        {"-d, whole-second stamps",
         {"-d"},
         true,
         "after-close",
         "x",
         "x",
         "D/a was kept: it or D/x changed since they were found equal.\n"},
        {"-d -i, whole-second stamps",
         {"-d", "-i"},
         true,
         "after-close",
         "x",
         "x",
         "D/x was kept: it or D/a changed since they were found equal.\n"},
        // The files look older than they are by the tool's clock: only the
        // clock that the run's own changes show tells.
        {"link mode, whole-second stamps, file system's clock behind",
         {},
         true,
         "after-close",
         "x",
         "x",
         "",
         10},
        {"-d, whole-second stamps, file system's clock behind",
         {"-d"},
         true,
         "after-close",
         "x",
         "x",
         "D/a was kept: it or D/x changed since they were found equal.\n",
         10},
    };
    std::mt19937 generator(12);
    const std::string shared = random_bytes(generator, 5000);
    std::string other = shared;
    other[2500] = static_cast<char>(other[2500] ^ 0x11);
    const size_t flipped_at = 3000;
    const unsigned char flipped = static_cast<unsigned char>(shared[flipped_at] ^ 0x5a);
    std::string rewritten_bytes = shared;
    rewritten_bytes[flipped_at] = static_cast<char>(flipped);

    for (const rewrite_row &row : rows) {
        for (const char *binary : {TWINFOLD_BINARY, TWINFOLD_PLAIN_BINARY}) {
            SCOPED_TRACE(std::string(row.label) + " with " + binary);
            scratch_dir tree;
            std::vector<std::string> names;
            if (row.whole_second_stamps) {
                wait_for_a_new_second();
                names = {tree / "a", tree / "x", tree / "y"};
                write_file(tree / "a", shared);
                write_file(tree / "x", shared);
                write_file(tree / "y", other);
            } else {
                names = {tree / "a", tree / "b", tree / "c"};
                for (const std::string &name : names) {
                    write_file(name, shared);
                    set_mtime(name, 1000000000);
                }
                ASSERT_EQ(mkdir((tree / "outside").c_str(), 0755), 0);
                ASSERT_EQ(link((tree / "c").c_str(), (tree / "outside/c").c_str()), 0);
            }
            // What each name holds once the rewrite is done.
            std::map<std::string, std::string> expected;
            for (const std::string &name : names) expected[name] = read_file(name);
            expected[tree / row.rewritten] = rewritten_bytes;

            const std::string hook =
                row.call + ":" + (tree / row.after) +
                ":0:" + rewrite_in_place_command(tree / row.rewritten, flipped_at, flipped);
            std::vector<std::string> env;
            if (row.wall_ahead)
                env.push_back("TWINFOLD_WALL_AHEAD=" + std::to_string(row.wall_ahead));
            const auto started = std::chrono::steady_clock::now();
            tool_result run = run_tool(row.args, nul_list(names),
                                       {.hooks = hook,
                                        .whole_second_stamps = row.whole_second_stamps,
                                        .env = env,
                                        .binary = binary});
            const auto took = std::chrono::steady_clock::now() - started;
            EXPECT_EQ(run.status, 0);
            std::string err = row.err;
            for (size_t at = err.find("D/"); at != std::string::npos;
                 at = err.find("D/", at + tree.path.size())) {
                err.replace(at, 1, tree.path);
            }
            // With whole-second stamps the rewrite shows only to a run that
            // reads the file again before its stamps are 3 seconds old. A run
            // slowed beyond that (under valgrind) may read the new bytes
            // before it pairs the files: then it never finds them equal, and
            // has nothing to say.
            if (row.whole_second_stamps && took > std::chrono::seconds(2))
                EXPECT_TRUE(run.err == err || run.err.empty()) << run.err;
            else
                EXPECT_EQ(run.err, err);
            for (const std::string &name : names) {
                EXPECT_TRUE(exists(name) && read_file(name) == expected[name])
                    << name << " lost its bytes";
            }
            // Nothing else names the rewritten file.
            EXPECT_EQ(status_of(tree / row.rewritten).st_nlink, 1u);
        }
    }
}

// The files the sort compares are read ahead of it on two threads. In a tree
// of many equal pairs, a file rewritten in place (same size, its modification
// time put back) right after that first reading, within the second of its
// stamps, is neither linked to its twin nor removed for the bytes that
// reading saw: the run reads both again before it acts. Every other pair is
// linked, or loses one name.
TEST(FileKnowledgeRuns, AFileRewrittenRightAfterItWasReadAheadKeepsItsBytes) {
    std::mt19937 generator(23);
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"-d"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        scratch_dir tree;
        std::vector<std::string> names;
        std::vector<std::pair<std::string, std::string>> pairs;
        std::map<std::string, std::string> bytes;
        wait_for_a_new_second();
        for (int i = 0; i < 150; ++i) {
            const std::string number = std::to_string(i);
            const std::string first = tree / ("d" + std::to_string(i % 5) + "/p" + number + "a");
            const std::string second = tree / ("e" + std::to_string(i % 3) + "/p" + number + "b");
            const std::string contents = random_bytes(generator, 200);
            for (const std::string &name : {first, second}) {
                write_file(name, contents);
                bytes[name] = contents;
                names.push_back(name);
            }
            pairs.emplace_back(first, second);
        }
        // The later of a pair: its reading ahead compares it with its twin,
        // read again then, before the rewrite.
        const auto &[twin, victim] = pairs[77];
        const unsigned char flipped = static_cast<unsigned char>(bytes[victim][100] ^ 0x5a);
        bytes[victim][100] = static_cast<char>(flipped);
        tool_result run = run_tool(args, nul_list(names),
                                   {.hooks = "after-close:" + victim +
                                             ":0:" + rewrite_in_place_command(victim, 100, flipped),
                                    .whole_second_stamps = true});
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(run.err.empty() || run.err.find(" was kept: ") != std::string::npos) << run.err;
        for (const auto &[first, second] : pairs) {
            if (second == victim) {
                EXPECT_EQ(read_file(victim), bytes[victim]) << victim << " lost its bytes";
                EXPECT_EQ(read_file(twin), bytes[twin]) << twin << " lost its bytes";
                EXPECT_NE(status_of(victim).st_ino, status_of(twin).st_ino);
                continue;
            }
            if (args.empty()) {
                EXPECT_EQ(status_of(first).st_ino, status_of(second).st_ino) << first;
            } else {
                EXPECT_NE(exists(first), exists(second)) << first;
            }
            for (const std::string &name : {first, second})
                if (exists(name)) EXPECT_EQ(read_file(name), bytes[name]) << name;
        }
    }
}

// The run's own link moves the change time of a file that keeps another
// name; what is remembered of that file then stands for the exact status
// the link left, and is not proven by its stamps. p, q1 = q2 (one file, newer
// than p) and r are equal and at rest; the comparisons that find the order
// see them all; the link of q1 to p leaves q2; q2 is rewritten in place, its
// modification time put back; a comparison of q2 and r then sees them differ
// and links nothing, as the tool without memory does.
TEST_F(FileKnowledge, AFileRewrittenAfterTheRunsOwnLinkIsSeenAsItIsNow) {
    std::mt19937 generator(21);
    const std::string shared = random_bytes(generator, 6000);
    std::string rewritten = shared;
    rewritten[4000] = static_cast<char>(rewritten[4000] ^ 0x21);
    scratch_dir trees[2];
    for (const scratch_dir &tree : trees) {
        for (const char *name : {"p", "q1", "r"}) write_file(tree / name, shared);
        set_mtime(tree / "p", 1000000000);
        set_mtime(tree / "q1", 1000000500);
        set_mtime(tree / "r", 1000000000);
        ASSERT_EQ(link((tree / "q1").c_str(), (tree / "q2").c_str()), 0);
    }
    wait_until_at_rest();
    for (bool remembering : {true, false}) {
        SCOPED_TRACE(remembering ? "remembering" : "remembering nothing");
        file_knowledge_enabled = remembering;
        const scratch_dir &tree = trees[remembering];
        const std::string p = tree / "p", q1 = tree / "q1", q2 = tree / "q2", r = tree / "r";
        take_list({p, q1, q2, r});
        begin_comparison_pass(standalone_pass());

        run_options.quiet = 1;
        for (auto [first, second] : {std::pair{1, 3}, {1, 2}, {0, 1}})
            call(order_as_linked, first, second);
        call_result linked = call(compare_and_link, 0, 1);
        EXPECT_EQ(linked.err, "");
        ASSERT_EQ(status_of(q1).st_ino, status_of(p).st_ino);

        const struct stat before = status_of(q2);
        write_file_in_place(q2, rewritten);
        set_mtime_exactly(q2, before.st_mtim);

        call_result after = call(compare_and_link, 2, 3);
        EXPECT_NE(after.order, 0);
        EXPECT_EQ(after.err, "");
        EXPECT_NE(status_of(q2).st_ino, status_of(r).st_ino);
        EXPECT_TRUE(read_file(q2) == rewritten) << "q2 lost its bytes";
        EXPECT_TRUE(read_file(r) == shared) << "r lost its bytes";
        EXPECT_EQ(status_of(q2).st_nlink, 1u);
    }
}

// An equality is acted upon without reading the files again only when their
// bytes were read at moments that their stamps prove: files at rest are
// linked without a second read, files changed just before are read again
// first, and so are files at rest once the wall clock has been seen to step
// back. A file whose change time moved by the run's own link is read again
// before the next link, whichever name is replaced: nothing shows whether it
// was written to within the clock tick of that link.
TEST_F(FileKnowledge, OnlyStampsSafelyOlderThanTheReadSpareTheSecondRead) {
    const size_t size = 20000;
    std::mt19937 generator(5);
    const std::string bytes = random_bytes(generator, size);
    for (const char *name :
         {"rest_a", "rest_b", "step_a", "step_b", "own_u", "own_v", "own_w", "own_z"})
        write_file(dir / name, bytes);
    // own_w keeps a second name that is not listed.
    ASSERT_EQ(link((dir / "own_w").c_str(), (dir / "own_w_outside").c_str()), 0);
    // One modification time for all, so that link counts alone choose the
    // survivor even when the writes straddle a second.
    const timespec modified{1700000000, 0};
    for (const char *name :
         {"rest_a", "rest_b", "step_a", "step_b", "own_u", "own_v", "own_w", "own_z"})
        set_mtime_exactly(dir / name, modified);
    wait_until_at_rest();
    for (const char *name : {"new_a", "new_b"}) {
        write_file(dir / name, bytes);
        set_mtime_exactly(dir / name, modified);
    }
    const std::vector<std::string> names = {
        dir / "rest_a", dir / "rest_b", dir / "new_a", dir / "new_b", dir / "step_a",
        dir / "step_b", dir / "own_u",  dir / "own_v", dir / "own_w", dir / "own_z"};
    take_list(names);
    begin_comparison_pass(standalone_pass());
    run_options.quiet = 1;
    // The device's clock as a change of the run's own would show it.
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    note_device_clock(*standalone_pass().changes, wall.tv_sec * 1000000000LL + wall.tv_nsec,
                      status_of(dir.path));
    for (int pair = 0; pair < 3; ++pair) call(order_as_linked, 2 * pair, 2 * pair + 1);
    for (int second = 7; second < 10; ++second) call(order_as_linked, 6, second);

    struct row {
        const char *label;
        int first, second;
        bool clock_stepped_back;
        uint64_t bytes_read;
        int survivor;
    };
    const row rows[] = {
        {"at rest", 0, 1, false, 0, 1},
        {"just made", 2, 3, false, 2 * size, 3},
        // own_u becomes a name of own_v's file, whose change time moves.
        {"at rest, before the run's own link", 6, 7, false, 0, 7},
        // own_w has more names: own_v's name is the one replaced.
        {"changed by the run's own link, replaced", 7, 8, false, 2 * size, 8},
        // own_w's file gained own_v: it keeps its names, own_z joins them.
        // own_w alone is read again: own_z is at rest, and a copy of the
        // bytes of its class was kept from the read before the last link.
        {"changed by the run's own link, kept", 8, 9, false, size, 8},
        {"at rest, clock stepped back", 4, 5, true, 2 * size, 5},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        if (r.clock_stepped_back) {
            timespec wall, monotonic;
            clock_gettime(CLOCK_REALTIME, &wall);
            clock_gettime(CLOCK_MONOTONIC, &monotonic);
            const uint64_t steps = clock_steps_back();
            take_clock_reading(wall.tv_sec * 1000000000LL + wall.tv_nsec - 10000000000LL,
                               monotonic.tv_sec * 1000000000LL + monotonic.tv_nsec);
            ASSERT_EQ(clock_steps_back(), steps + 1);
        }
        const ino_t survivor = status_of(names[r.survivor]).st_ino;
        knowledge_counts = knowledge_counters{};
        call_result linked = call(compare_and_link, r.first, r.second);
        EXPECT_EQ(linked.err, "");
        EXPECT_EQ(knowledge_counts.bytes_read, r.bytes_read);
        EXPECT_EQ(status_of(names[r.first]).st_ino, survivor);
        EXPECT_EQ(status_of(names[r.second]).st_ino, survivor);
    }
    EXPECT_EQ(status_of(dir / "own_w_outside").st_ino, status_of(dir / "own_z").st_ino);
}

// Before the run links another name to a file that its own link changed, it
// reads that file alone and compares it with a copy of the bytes of the class
// that a proven read kept. The copy never stands for a file that changed:
// p, q, r, s equal and at rest; q gains p's name, then r's (read again with
// r, whose bytes are copied); then q or s is rewritten in place (their
// modification times put back) before the comparison of q and s, which links
// nothing when either changed.
TEST_F(FileKnowledge, ACopyOfAClassNeverStandsForAFileThatChanged) {
    const size_t size = 20000;
    std::mt19937 generator(33);
    const std::string bytes = random_bytes(generator, size);
    std::string rewritten = bytes;
    rewritten[size - 3] = static_cast<char>(rewritten[size - 3] ^ 0x40);
    struct row {
        const char *label;
        const char *rewrite;  // nullptr: nothing changes
        bool linked;
        uint64_t bytes_read;  // by the last comparison, when it links
    };
    const row rows[] = {
        {"nothing changed", nullptr, true, size},
        {"the survivor rewritten", "q", false, 0},
        {"the partner rewritten", "s", false, 0},
    };
    const timespec modified{1700000000, 0};
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        scratch_dir tree;
        const std::vector<std::string> names = {tree / "p", tree / "q", tree / "r", tree / "s"};
        for (const std::string &name : names) {
            write_file(name, bytes);
            set_mtime_exactly(name, modified);
        }
        wait_until_at_rest();
        take_list(names);
        begin_comparison_pass(standalone_pass());
        run_options.quiet = 1;
        // The device's clock as a change of the run's own would show it.
        timespec wall;
        clock_gettime(CLOCK_REALTIME, &wall);
        write_file(tree / "unlisted", "");
        note_device_clock(*standalone_pass().changes, wall.tv_sec * 1000000000LL + wall.tv_nsec,
                          status_of(tree.path));
        for (int second = 1; second < 4; ++second) call(order_as_linked, 0, second);

        knowledge_counts = knowledge_counters{};
        EXPECT_EQ(call(compare_and_link, 0, 1).err, "");
        EXPECT_EQ(knowledge_counts.bytes_read, 0u);
        knowledge_counts = knowledge_counters{};
        EXPECT_EQ(call(compare_and_link, 1, 2).err, "");
        EXPECT_EQ(knowledge_counts.bytes_read, 2 * size);
        const ino_t survivor = status_of(tree / "q").st_ino;
        ASSERT_EQ(status_of(tree / "p").st_ino, survivor);
        ASSERT_EQ(status_of(tree / "r").st_ino, survivor);

        std::map<std::string, std::string> expected;
        for (const std::string &name : names) expected[name] = bytes;
        if (r.rewrite) {
            const std::string target = tree / r.rewrite;
            write_file_in_place(target, rewritten);
            set_mtime_exactly(target, modified);
            // p and r are names of q's file.
            const std::vector<const char *> holders = std::string(r.rewrite) == "q"
                                                          ? std::vector<const char *>{"p", "q", "r"}
                                                          : std::vector<const char *>{"s"};
            for (const char *name : holders) expected[tree / name] = rewritten;
        }
        knowledge_counts = knowledge_counters{};
        call_result last = call(compare_and_link, 1, 3);
        EXPECT_EQ(last.err, "");
        if (!r.linked) {
            EXPECT_NE(last.order, 0);
        }
        EXPECT_EQ(status_of(tree / "s").st_ino == survivor, r.linked);
        if (r.linked) {
            EXPECT_EQ(knowledge_counts.bytes_read, r.bytes_read);
        }
        for (const std::string &name : names)
            EXPECT_TRUE(read_file(name) == expected[name]) << name << " lost its bytes";
    }
}

namespace {

// Files of one size made from base, each with its own bytes at the offsets
// given (all within one piece), so that any two of them part there and
// nowhere else.
std::vector<std::string> write_late_parting_files(const scratch_dir &dir, const std::string &base,
                                                  const std::vector<size_t> &offsets, int count,
                                                  std::mt19937 &generator) {
    std::vector<std::string> names;
    std::set<std::string> made;
    while (static_cast<int>(names.size()) < count) {
        std::string bytes = base;
        for (size_t at : offsets) bytes[at] = static_cast<char>(generator());
        if (!made.insert(bytes).second) continue;
        names.push_back(dir / ("late" + std::to_string(names.size())));
        write_file(names.back(), bytes);
    }
    return names;
}

}  // namespace

// Large files of one size that part only in one late piece (the last, shorter
// than the others or whole, or one before it): once each of them has parted
// from another, every comparison of two of them is decided from the bytes of
// that piece that their versions kept, opening neither file, and gives the
// order that a comparison without memory gives. A sort of them opens each
// file about once, and orders them as the sort without memory does.
TEST_F(FileKnowledge, LargeFilesThatPartLateAreToldApartWithoutOpeningThem) {
    struct row {
        const char *label;
        size_t size;
        std::vector<size_t> offsets;
    };
    const size_t short_last = 300000;      // 73 whole pieces and 992 bytes
    const size_t whole_last = 68 * 4096;   // 68 whole pieces
    const size_t before_last = 61 * 4096;  // the start of piece 61 of 74
    const row rows[] = {
        {"last 8 bytes of a short last piece",
         short_last,
         {short_last - 8, short_last - 5, short_last - 1}},
        {"first and last chunk of a whole last piece",
         whole_last,
         {whole_last - 4096, whole_last - 4096 + 7, whole_last - 1}},
        {"a piece before the last", short_last, {before_last + 100, before_last + 4095}},
    };
    const int count = 12;
    run_options.nodo = 1;
    run_options.quiet = 1;
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        scratch_dir tree;
        std::mt19937 generator(static_cast<unsigned>(r.size + r.offsets.front()));
        const std::vector<std::string> names = write_late_parting_files(
            tree, random_bytes(generator, r.size), r.offsets, count, generator);

        // Every ordered pair, compared by the tool without memory.
        file_knowledge_enabled = false;
        take_list(names);
        std::map<std::pair<int, int>, int> fresh;
        for (int i = 0; i < count; ++i)
            for (int j = 0; j < count; ++j)
                if (i != j) fresh[{i, j}] = call(compare_and_link, i, j).order;

        file_knowledge_enabled = true;
        take_list(names);
        begin_comparison_pass(standalone_pass());
        // Each file parts once from its neighbour: read whole, its digests known.
        for (int i = 0; i + 1 < count; ++i)
            EXPECT_EQ(call(compare_and_link, i, i + 1).order, (fresh[{i, i + 1}]));
        knowledge_counts = knowledge_counters{};
        for (const auto &[pair, order] : fresh) {
            call_result remembered = call(compare_and_link, pair.first, pair.second);
            EXPECT_EQ(remembered.order, order) << pair.first << " against " << pair.second;
            EXPECT_EQ(remembered.out + remembered.err, "");
        }
        EXPECT_EQ(knowledge_counts.opens, 0u);
        EXPECT_EQ(knowledge_counts.bytes_read, 0u);

        std::vector<std::string> orders[2];
        for (bool remembering : {false, true}) {
            file_knowledge_enabled = remembering;
            take_list(names);
            begin_comparison_pass(standalone_pass());
            knowledge_counts = knowledge_counters{};
            sort_entries(work_list, static_cast<size_t>(file_count), compare_and_link);
            for (int i = 0; i < file_count; ++i) orders[remembering].push_back(work_list[i]);
        }
        EXPECT_EQ(orders[1], orders[0]);
        EXPECT_LE(knowledge_counts.opens, 2u * count);
        EXPECT_LE(knowledge_counts.bytes_read, 2u * count * r.size);
    }
}

// Files that part late, one of them rewritten in place in that piece between
// two comparisons (same size, its modification time put back):
// - a and c kept piece 70, where they part; c is rewritten there to a's bytes
//   or to bytes that turn their order. Within the pass the kept bytes still
//   order the two (as digests do) and nothing is found equal or linked; in the
//   next pass, which examines every name afresh, c is read again and the
//   answer is that of a comparison without memory.
// - b kept piece 72 (where it parts from d) and differs from a in piece 70
//   too; b is rewritten so that its piece 70 holds a's bytes. a against b then
//   takes a's kept bytes and opens b for its piece 70, finds it another
//   version than the one its digests were learnt of, and starts over with
//   both names examined afresh: the answer is that of a comparison without
//   memory, within the pass as in the next one.
TEST_F(FileKnowledge, AFileRewrittenInThePieceWhereItPartedIsReadAgain) {
    const size_t size = 300000;
    const size_t in_70 = 70 * 4096 + 10, also_in_70 = 70 * 4096 + 20, in_72 = 72 * 4096 + 5;
    std::mt19937 generator(31);
    std::string base = random_bytes(generator, size);
    base[in_70] = 0x10;
    base[in_72] = 0x40;
    std::string a = base, b = base, c = base;
    a[in_70] = 0x20;
    c[in_70] = 0x30;
    b[also_in_70] = static_cast<char>(base[also_in_70] ^ 0x44);
    b[in_72] = 0x50;
    std::string d = b;
    d[in_72] = 0x60;

    struct row {
        const char *label;
        int rewritten;       // 1: b, 2: c
        std::string bytes;   // its bytes after the rewrite
        bool one_side_kept;  // a against b: only a's piece 70 is kept
    };
    std::string c_equal_to_a = c, c_before_a = c, b_with_as_piece = b;
    c_equal_to_a[in_70] = 0x20;
    c_before_a[in_70] = 0x05;
    b_with_as_piece[in_70] = 0x20;
    b_with_as_piece[also_in_70] = base[also_in_70];
    const row rows[] = {
        {"c rewritten equal to a", 2, c_equal_to_a, false},
        {"c rewritten to come before a", 2, c_before_a, false},
        {"b rewritten to a's bytes in the piece a kept", 1, b_with_as_piece, true},
    };
    run_options.nodo = 1;
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        scratch_dir tree;
        const std::vector<std::string> names = {tree / "a", tree / "b", tree / "c", tree / "d"};
        const std::string contents[] = {a, b, c, d};
        for (int i = 0; i < 4; ++i) {
            write_file(names[i], contents[i]);
            set_mtime(names[i], 1000000000);
        }
        file_knowledge_enabled = true;
        take_list(names);
        begin_comparison_pass(standalone_pass());
        const int first_order = call(compare_and_link, 0, r.rewritten).order;
        EXPECT_EQ(call(compare_and_link, 0, 2).order, -1);  // a and c part in piece 70
        EXPECT_EQ(call(compare_and_link, 1, 3).order, -1);  // b and d part in piece 72
        knowledge_counts = knowledge_counters{};
        EXPECT_EQ(call(compare_and_link, 0, r.rewritten).order, first_order);
        EXPECT_EQ(knowledge_counts.opens, r.one_side_kept ? 1u : 0u);
        // That kept b's piece 70: b parts from d in piece 72 once more.
        EXPECT_EQ(call(compare_and_link, 1, 3).order, -1);

        const struct stat before = status_of(names[r.rewritten]);
        write_file_in_place(names[r.rewritten], r.bytes);
        set_mtime_exactly(names[r.rewritten], before.st_mtim);

        file_knowledge_enabled = false;
        const call_result fresh = call(compare_and_link, 0, r.rewritten);
        if (r.bytes == c_equal_to_a)
            EXPECT_EQ(fresh.out.rfind("ln  ", 0), 0u) << fresh.out;
        else
            EXPECT_EQ(fresh.order, -first_order);
        file_knowledge_enabled = true;
        knowledge_counts = knowledge_counters{};
        const call_result within = call(compare_and_link, 0, r.rewritten);
        if (r.one_side_kept) {
            EXPECT_EQ(within.order, fresh.order);
            EXPECT_EQ(within.out, fresh.out);
            EXPECT_GE(knowledge_counts.opens, 2u);
        } else {
            // What a and c kept still orders them; no equality rests on it.
            EXPECT_EQ(within.order, first_order);
            EXPECT_EQ(within.out, "");
            EXPECT_EQ(knowledge_counts.opens, 0u);
        }
        EXPECT_EQ(within.err, "");

        begin_comparison_pass(standalone_pass());
        knowledge_counts = knowledge_counters{};
        const call_result next_pass = call(compare_and_link, 0, r.rewritten);
        EXPECT_EQ(next_pass.order, fresh.order);
        EXPECT_EQ(next_pass.out, fresh.out);
        EXPECT_EQ(next_pass.err, fresh.err);
        // c is read again; b was read again within the pass already.
        if (!r.one_side_kept) {
            EXPECT_GE(knowledge_counts.opens, 1u);
        }
        EXPECT_EQ(read_file(names[r.rewritten]), r.bytes);
        EXPECT_EQ(read_file(names[0]), a);
    }
}
