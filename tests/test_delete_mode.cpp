// Delete mode end to end: which names are marked and removed, what is printed
// and counted, and that every set of equal files keeps exactly one name with
// its bytes intact, also when names alias, are not regular files, or change
// while the run goes on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "scratch_tree.h"
#include "tool_run.h"

namespace fs = std::filesystem;

namespace {

const std::string shared_bytes(5000, 's');  // spans several blocks

std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix) {
    std::vector<std::string> found;
    for (const auto &line : lines_of(text))
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
}

std::string equal_line(const std::string &deleted, const std::string &preserved) {
    return "Equal files: " + deleted + " will get deleted, " + preserved + " will get preserved.";
}

std::string deleting_line(const std::string &name, long long blocks) {
    return "deleting " + name + ", freeing " + std::to_string(blocks) + " blocks";
}

std::string summary_line(int files, int count, long long blocks, bool nodo = false) {
    return std::string("Duplicate files (") + (nodo ? "which can be" : "which have been") +
           " deleted): " + std::to_string(files) + " of " + std::to_string(count) +
           ", Disk blocks" + (nodo ? " which can be" : "") +
           " reclaimed: " + std::to_string(blocks);
}

// Runs -d (with -i when inverse) on input and expects a clean run: it ends
// in time, with status 0 and nothing on standard error.
tool_result run_clean_delete(const std::string &input, bool inverse,
                             const tool_options &options = {}) {
    std::vector<std::string> args = {"-d"};
    if (inverse) args.push_back("-i");
    tool_result result = run_tool(args, input, options);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    return result;
}

// The names announced for deletion by the "Equal files" lines, sorted.
std::vector<std::string> announced(const std::string &out) {
    std::vector<std::string> names;
    const std::string head = "Equal files: ", tail = " will get deleted, ";
    for (const auto &line : lines_starting(out, head))
        names.push_back(line.substr(head.size(), line.find(tail) - head.size()));
    std::sort(names.begin(), names.end());
    return names;
}

// The directory entry a name reaches, whatever route the name takes to it.
std::string entry_of(const std::string &name) {
    fs::path path(name);
    return (fs::canonical(path.parent_path()) / path.filename()).string();
}

// The bytes of every listed regular file, by name.
std::map<std::string, std::string> contents_of(const std::vector<std::string> &names) {
    std::map<std::string, std::string> contents;
    for (const auto &name : names) {
        struct stat st;
        if (lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) contents[name] = read_file(name);
    }
    return contents;
}

// After a real run: for each set of listed files with equal bytes, exactly one
// directory entry among the listed names still holds those bytes.
void expect_one_entry_per_content(const std::vector<std::string> &names,
                                  const std::map<std::string, std::string> &before) {
    std::map<std::string, std::set<std::string>> entries;  // content -> entries holding it
    for (const auto &[name, content] : before) entries[content];
    for (const auto &name : names) {
        struct stat st;
        if (lstat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        std::string content = read_file(name);
        if (entries.count(content)) entries[content].insert(entry_of(name));
    }
    for (const auto &[content, holders] : entries)
        EXPECT_EQ(holders.size(), 1u) << "content of " << content.size() << " bytes";
}

std::vector<std::string> in_dir(const scratch_dir &dir, const std::vector<std::string> &names) {
    std::vector<std::string> paths;
    for (const auto &name : names) paths.push_back(dir / name);
    return paths;
}

}  // namespace

// Of every set of equal files all names but the last in name order are marked
// (the first with -i), whatever the input order; marks are announced once
// each and removed in name order.
TEST(DeleteMode, MarksAllButTheLastNameInNameOrder) {
    struct row {
        std::vector<std::string> input;
        bool inverse;
        std::vector<std::string> deleted;  // in the order of removal
        std::string survivor;
    };
    const std::vector<row> rows = {
        {{"a", "b"}, false, {"a"}, "b"},
        {{"b", "a"}, false, {"a"}, "b"},
        {{"a", "b"}, true, {"b"}, "a"},
        {{"x", "y", "z"}, false, {"x", "y"}, "z"},
        {{"z", "y", "x"}, false, {"x", "y"}, "z"},
        {{"y", "z", "x"}, false, {"x", "y"}, "z"},
        {{"x", "z", "y"}, false, {"x", "y"}, "z"},
        {{"x", "y", "z"}, true, {"z", "y"}, "x"},
        {{"y", "x", "z"}, true, {"z", "y"}, "x"},
        {{"z", "x", "y"}, true, {"z", "y"}, "x"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.input) + (r.inverse ? " -i" : ""));
        scratch_dir dir;
        std::vector<std::string> names = in_dir(dir, r.input);
        for (const auto &name : names) write_file(name, shared_bytes);
        write_file(dir / "other", std::string(5000, 'o'));  // same size, other bytes
        names.push_back(dir / "other");
        const auto before = contents_of(names);
        long long blocks = status_of(names[0]).st_blocks;

        tool_result result = run_clean_delete(nul_list(names), r.inverse);

        std::vector<std::string> expected_deleting, expected_announced;
        for (const auto &name : r.deleted) {
            expected_deleting.push_back(deleting_line(dir / name, blocks));
            expected_announced.push_back(dir / name);
        }
        std::sort(expected_announced.begin(), expected_announced.end());
        EXPECT_EQ(announced(result.out), expected_announced);
        EXPECT_EQ(lines_starting(result.out, "deleting "), expected_deleting);
        if (r.input.size() == 2) {
            EXPECT_EQ(lines_starting(result.out, "Equal files: "),
                      std::vector<std::string>{equal_line(dir / r.deleted[0], dir / r.survivor)});
        }
        const int count = static_cast<int>(names.size());
        const int deleted = static_cast<int>(r.deleted.size());
        EXPECT_EQ(lines_starting(result.out, "Duplicate files"),
                  std::vector<std::string>{summary_line(deleted, count, deleted * blocks)});
        EXPECT_EQ(read_file(dir / r.survivor), shared_bytes);
        EXPECT_TRUE(exists(dir / "other"));
        expect_one_entry_per_content(names, before);
    }
}

// Hard links are duplicates without reading. A file all of whose names are
// marked frees its blocks only at its last removal; -n removes nothing but
// counts as the real run does.
TEST(DeleteMode, HardLinksFreeBlocksAtTheLastName) {
    for (bool nodo : {false, true}) {
        SCOPED_TRACE(nodo ? "-n" : "real");
        scratch_dir dir;
        write_file(dir / "a1", shared_bytes);
        ASSERT_EQ(link((dir / "a1").c_str(), (dir / "a2").c_str()), 0);
        write_file(dir / "z", shared_bytes);  // another inode with the same bytes
        write_file(dir / "h1", std::string(3000, 'h'));
        ASSERT_EQ(link((dir / "h1").c_str(), (dir / "h2").c_str()), 0);
        ASSERT_EQ(link((dir / "h1").c_str(), (dir / "h3").c_str()), 0);
        std::vector<std::string> names = in_dir(dir, {"h2", "z", "a1", "h3", "a2", "h1"});
        const auto before = contents_of(names);
        const long long a_blocks = status_of(dir / "a1").st_blocks;
        const ino_t h_inode = status_of(dir / "h1").st_ino;

        std::vector<std::string> args = {"-d"};
        if (nodo) args.push_back("-n");
        tool_result result = run_tool(args, nul_list(names));
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(announced(result.out),
                  (std::vector<std::string>{dir / "a1", dir / "a2", dir / "h1", dir / "h2"}));
        if (nodo) {
            EXPECT_EQ(lines_starting(result.out, "deleting "), std::vector<std::string>{});
            EXPECT_EQ(lines_starting(result.out, "Duplicate files"),
                      std::vector<std::string>{summary_line(4, 6, a_blocks, true)});
            for (const auto &name : names) EXPECT_TRUE(exists(name)) << name;
        } else {
            EXPECT_EQ(lines_starting(result.out, "deleting "),
                      (std::vector<std::string>{
                          deleting_line(dir / "a1", 0), deleting_line(dir / "a2", a_blocks),
                          deleting_line(dir / "h1", 0), deleting_line(dir / "h2", 0)}));
            EXPECT_EQ(lines_starting(result.out, "Duplicate files"),
                      std::vector<std::string>{summary_line(4, 6, a_blocks)});
            EXPECT_EQ(read_file(dir / "z"), shared_bytes);
            EXPECT_EQ(status_of(dir / "h3").st_ino, h_inode);
            EXPECT_EQ(status_of(dir / "h3").st_nlink, 1u);
            expect_one_entry_per_content(names, before);
        }
        EXPECT_EQ(lines_starting(result.out, "Minimum of found hard links"),
                  std::vector<std::string>{"Minimum of found hard links: 1, Maximum: 3."});
    }
}

// Files of size 0 are equal like any others, and so are equal files on two
// devices.
TEST(DeleteMode, EmptyFilesAndOtherDevicesAreDuplicates) {
    {
        scratch_dir dir;
        std::vector<std::string> names = in_dir(dir, {"e2", "e1", "e3"});
        for (const auto &name : names) write_file(name, "");
        tool_result result = run_tool({"-d"}, nul_list(names));
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(
            lines_starting(result.out, "deleting "),
            (std::vector<std::string>{deleting_line(dir / "e1", 0), deleting_line(dir / "e2", 0)}));
        EXPECT_TRUE(exists(dir / "e3"));
        EXPECT_FALSE(exists(dir / "e1"));
        EXPECT_FALSE(exists(dir / "e2"));
    }
    scratch_dir here;
    if (!shm_is_other_device(here.path)) GTEST_SKIP() << "/tmp and /dev/shm are one device here";
    scratch_dir there("/dev/shm");
    write_file(here / "copy", shared_bytes);
    write_file(there / "copy", shared_bytes);
    const long long blocks = status_of(there / "copy").st_blocks;
    std::vector<std::string> names = {here / "copy", there / "copy"};
    tool_result result = run_tool({"-d"}, nul_list(names));
    EXPECT_EQ(result.status, 0);
    // "/dev/shm/..." sorts before "/tmp/...", so the copy in /dev/shm goes.
    EXPECT_EQ(lines_starting(result.out, "Equal files: "),
              std::vector<std::string>{equal_line(there / "copy", here / "copy")});
    EXPECT_EQ(lines_starting(result.out, "deleting "),
              std::vector<std::string>{deleting_line(there / "copy", blocks)});
    EXPECT_FALSE(exists(there / "copy"));
    EXPECT_EQ(read_file(here / "copy"), shared_bytes);
}

// -q leaves only the "deleting" lines; -n leaves the "Equal files" lines and
// the summary and removes nothing; together nothing is printed.
TEST(DeleteMode, QuietAndNodoOutput) {
    struct row {
        std::vector<std::string> options;
        bool removes;
    };
    for (const auto &r : std::vector<row>{{{"-q"}, true}, {{"-n"}, false}, {{"-n", "-q"}, false}}) {
        SCOPED_TRACE(testing::PrintToString(r.options));
        scratch_dir dir;
        write_file(dir / "a", shared_bytes);
        write_file(dir / "b", shared_bytes);
        const long long blocks = status_of(dir / "a").st_blocks;
        std::vector<std::string> args = {"-d"};
        args.insert(args.end(), r.options.begin(), r.options.end());
        tool_result result = run_tool(args, nul_list({dir / "a", dir / "b"}));
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        const bool quiet = r.options.back() == "-q";
        std::string expected;
        if (!quiet)
            expected = "Input: 2 files, processing ...\n" + equal_line(dir / "a", dir / "b") +
                       "\n" + summary_line(1, 2, blocks, true) +
                       "\nMinimum of found hard links: 1, Maximum: 1.\n";
        else if (r.removes)
            expected = deleting_line(dir / "a", blocks) + "\n";
        EXPECT_EQ(quiet ? result.out : without_preamble(result.out), expected);
        EXPECT_EQ(exists(dir / "a"), !r.removes);
        EXPECT_EQ(read_file(dir / "b"), shared_bytes);
    }
}

// A marked name that has gone when its turn comes ends the deletion pass:
// later marked names stay, and the summary gives the counts so far.
TEST(DeleteMode, VanishedMarkedNameEndsThePass) {
    scratch_dir dir;
    std::vector<std::string> names = in_dir(dir, {"a", "b", "c", "d", "e"});
    for (const auto &name : {"a", "b", "c"}) write_file(dir / name, shared_bytes);
    for (const auto &name : {"d", "e"}) write_file(dir / name, "other bytes");
    const long long blocks = status_of(dir / "a").st_blocks;
    tool_result result = run_tool({"-d"}, nul_list(names),
                                  {.hooks = "unlink:" + (dir / "a") + ":0:rm " + (dir / "b")});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(announced(result.out), (std::vector<std::string>{dir / "a", dir / "b", dir / "d"}));
    EXPECT_EQ(lines_starting(result.out, "deleting "),
              std::vector<std::string>{deleting_line(dir / "a", blocks)});
    EXPECT_EQ(result.err, "lstat(" + (dir / "b") + ") failed\nlstat: No such file or directory\n");
    EXPECT_EQ(lines_starting(result.out, "Duplicate files"),
              std::vector<std::string>{summary_line(1, 5, blocks)});
    EXPECT_EQ(read_file(dir / "c"), shared_bytes);
    EXPECT_TRUE(exists(dir / "d"));
    EXPECT_TRUE(exists(dir / "e"));
}

// A removal that fails is reported on standard error after its announcement;
// the summary counts only the names removed, and the pass goes on. With
// standard error on standard output's pipe (2>&1), the failure's lines follow
// the line that announced it, and come before the next name's.
TEST(DeleteMode, FailedRemovalIsReported) {
    for (const bool shared_pipe : {false, true}) {
        SCOPED_TRACE(shared_pipe ? "one pipe" : "two pipes");
        scratch_dir dir;
        std::vector<std::string> names = in_dir(dir, {"a", "b", "c"});
        for (const auto &name : names) write_file(name, shared_bytes);
        const long long blocks = status_of(dir / "a").st_blocks;
        tool_result result =
            run_tool({"-d"}, nul_list(names),
                     {.faults = "unlink:" + (dir / "a") + ":EBUSY", .shared_pipe = shared_pipe});
        EXPECT_EQ(result.status, 0);
        const std::string failed = "unlink(" + (dir / "a") + ") failed";
        const std::string cause = "unlink: Device or resource busy";
        if (shared_pipe) {
            const std::vector<std::string> lines = lines_of(without_preamble(result.out));
            const std::vector<std::string> expected = {deleting_line(dir / "a", blocks), failed,
                                                       cause, deleting_line(dir / "b", blocks)};
            const auto first = std::find(lines.begin(), lines.end(), expected[0]);
            ASSERT_NE(first, lines.end()) << result.out;
            EXPECT_EQ(std::vector<std::string>(first, std::min(first + 4, lines.end())), expected)
                << result.out;
        } else {
            EXPECT_EQ(result.err, failed + "\n" + cause + "\n");
            EXPECT_EQ(lines_starting(result.out, "deleting "),
                      (std::vector<std::string>{deleting_line(dir / "a", blocks),
                                                deleting_line(dir / "b", blocks)}));
        }
        EXPECT_EQ(lines_starting(result.out, "Duplicate files"),
                  std::vector<std::string>{summary_line(1, 3, blocks)});
        EXPECT_EQ(read_file(dir / "a"), shared_bytes);
        EXPECT_FALSE(exists(dir / "b"));
        EXPECT_EQ(read_file(dir / "c"), shared_bytes);
    }
}

// A signal stops the run before the next marked name, with status 0 and
// without a summary.
TEST(DeleteMode, InterruptEndsTheRunBeforeTheNextName) {
    scratch_dir dir;
    std::vector<std::string> names = in_dir(dir, {"a", "b", "c"});
    for (const auto &name : names) write_file(name, shared_bytes);
    const long long blocks = status_of(dir / "a").st_blocks;
    // The hook's shell is a child of the tool.
    tool_result result = run_tool({"-d"}, nul_list(names),
                                  {.hooks = "unlink:" + (dir / "a") + ":0:kill -INT $PPID"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(lines_starting(result.out, "deleting "),
              std::vector<std::string>{deleting_line(dir / "a", blocks)});
    EXPECT_EQ(lines_starting(result.out, "Duplicate files"), std::vector<std::string>{});
    EXPECT_FALSE(exists(dir / "a"));
    EXPECT_EQ(read_file(dir / "b"), shared_bytes);
    EXPECT_EQ(read_file(dir / "c"), shared_bytes);
}

// Two list entries that are one directory entry are never taken for two hard
// links: a file's only name is never removed.
TEST(DeleteMode, OneDirectoryEntryIsNeverItsOwnDuplicate) {
    struct row {
        std::vector<std::string> input;  // names under the scratch directory; l is a link to d
        bool inverse;
        std::vector<std::vector<std::string>> outcomes;  // allowed lists of removed names
    };
    const std::vector<row> rows = {
        {{"d/f", "d/f"}, false, {{}}},
        {{"d/f", "d/f"}, true, {{}}},
        {{"d/f", "d/u", "d/f"}, false, {{"d/f"}}},
        {{"d/f", "d/u", "d/f"}, true, {{"d/u"}}},
        {{"d/f", "l/f"}, false, {{}}},
        {{"l/f", "d/f"}, true, {{}}},
        {{"./d/f", "d/f", "l/./f"}, false, {{}}},
        // d/g is a second link of d/f: one of the two entries goes, whichever
        // pair the sort meets first.
        {{"d/f", "l/f", "d/g"}, false, {{"d/f"}, {"d/g"}}},
        {{"d/f", "l/f", "d/g"}, true, {{"l/f"}, {"d/g"}}},
        // Copies each listed by two routes; the marks chain through both
        // routes, and only the number of removals is fixed.
        {{"l/u", "d/f", "l/f", "d/u"}, false, {}},
        {{"l/u", "d/f", "l/f", "d/u"}, true, {}},
        {{"d/v", "l/f", "l/u", "d/f", "l/v", "d/u"}, false, {}},
        {{"d/v", "l/f", "l/u", "d/f", "l/v", "d/u"}, true, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.input) + (r.inverse ? " -i" : ""));
        scratch_dir dir;
        write_file(dir / "d/f", shared_bytes);
        write_file(dir / "d/u", shared_bytes);  // further files with the same bytes
        write_file(dir / "d/v", shared_bytes);
        ASSERT_EQ(symlink("d", (dir / "l").c_str()), 0);
        if (std::find(r.input.begin(), r.input.end(), "d/g") != r.input.end()) {
            ASSERT_EQ(link((dir / "d/f").c_str(), (dir / "d/g").c_str()), 0);
        }
        std::vector<std::string> names = in_dir(dir, r.input);
        const auto before = contents_of(names);

        tool_result result = run_clean_delete(nul_list(names), r.inverse);
        std::vector<std::string> deleting;
        for (const auto &line : lines_starting(result.out, "deleting ")) {
            size_t from = std::string("deleting ").size() + dir.path.size() + 1;
            deleting.push_back(line.substr(from, line.find(", freeing") - from));
        }
        if (!r.outcomes.empty()) {
            EXPECT_NE(std::find(r.outcomes.begin(), r.outcomes.end(), deleting), r.outcomes.end())
                << testing::PrintToString(deleting);
        }
        expect_one_entry_per_content(names, before);
    }
}

// Only regular files are read: a FIFO never holds the run up, and a symbolic
// link whose own size equals its target's never makes either look like a
// duplicate. Two names of one symbolic link are duplicates like hard links.
TEST(DeleteMode, NamesThatAreNotRegularFiles) {
    for (bool inverse : {false, true}) {
        SCOPED_TRACE(inverse ? "-i" : "");
        scratch_dir dir;
        ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
        write_file(dir / "empty1", "");
        write_file(dir / "empty2", "");
        write_file(dir / "f", "Z");                       // one byte, like the link text "f"
        ASSERT_EQ(symlink("f", (dir / "s").c_str()), 0);  // size 1 too
        ASSERT_EQ(symlink("f", (dir / "t1").c_str()), 0);
        ASSERT_EQ(linkat(AT_FDCWD, (dir / "t1").c_str(), AT_FDCWD, (dir / "t2").c_str(), 0), 0);
        ASSERT_TRUE(S_ISLNK(status_of(dir / "t2").st_mode));
        std::vector<std::string> names =
            in_dir(dir, {"pipe", "s", "empty1", "f", "t2", "empty2", "t1"});
        const auto before = contents_of(names);

        tool_result result = run_clean_delete(nul_list(names), inverse, {.timeout_seconds = 60});
        ASSERT_FALSE(result.timed_out);
        const std::string empty_gone = inverse ? "empty2" : "empty1";
        const std::string link_gone = inverse ? "t2" : "t1";
        EXPECT_EQ(announced(result.out),
                  (std::vector<std::string>{dir / empty_gone, dir / link_gone}));
        EXPECT_FALSE(exists(dir / empty_gone));
        EXPECT_FALSE(exists(dir / link_gone));
        EXPECT_TRUE(S_ISFIFO(status_of(dir / "pipe").st_mode));
        EXPECT_TRUE(S_ISLNK(status_of(dir / "s").st_mode));
        EXPECT_TRUE(S_ISLNK(status_of(dir / (inverse ? "t1" : "t2")).st_mode));
        EXPECT_EQ(read_file(dir / "f"), "Z");
        expect_one_entry_per_content(names, before);
    }
}

// An entry listed under several names (relative names in the working
// directory, "b" and "./b") is kept when any of its names is the one the rule
// keeps: the last in byte order, the first with -i. The lines name what
// really happens: the deleted name reaches the entry removed, the preserved
// one the entry kept.
TEST(DeleteMode, AnEntryListedTwiceKeepsItsBestName) {
    struct row {
        std::vector<std::string> input;  // b and x hold equal bytes
        bool inverse;
        std::string removed;  // the entry that goes
    };
    // The kept name of each row: b, ./b, ./b, x, ./b, x, ./x, x, ./b.
    const std::vector<row> rows = {
        {{"b", "./b", "./x"}, false, "x"},     {{"b", "./b", "./x"}, true, "x"},
        {{"./x", "./b", "b"}, true, "x"},      {{"x", "./b", "./x"}, false, "b"},
        {{"x", "./b", "./x"}, true, "x"},      {{"./x", "x", "b"}, false, "b"},
        {{"./x", "x", "b"}, true, "b"},        {{"b", "./x", "./b", "x"}, false, "b"},
        {{"b", "./x", "./b", "x"}, true, "x"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.input) + (r.inverse ? " -i" : ""));
        scratch_dir dir;
        write_file(dir / "b", shared_bytes);
        write_file(dir / "x", shared_bytes);
        const long long blocks = status_of(dir / "b").st_blocks;
        const std::string kept = r.removed == "x" ? "b" : "x";

        tool_result result = run_clean_delete(nul_list(r.input), r.inverse, {.cwd = dir.path});
        EXPECT_FALSE(exists(dir / r.removed));
        EXPECT_EQ(read_file(dir / kept), shared_bytes);
        const auto equal_lines = lines_starting(result.out, "Equal files: ");
        ASSERT_EQ(equal_lines.size(), 1u) << result.out;
        const std::string head = "Equal files: ", middle = " will get deleted, ",
                          tail = " will get preserved.";
        const std::string &line = equal_lines[0];
        const size_t at = line.find(middle);
        ASSERT_NE(at, std::string::npos);
        const std::string deleted = line.substr(head.size(), at - head.size());
        const std::string preserved =
            line.substr(at + middle.size(), line.size() - at - middle.size() - tail.size());
        EXPECT_EQ(fs::path(deleted).filename(), r.removed) << line;
        EXPECT_EQ(fs::path(preserved).filename(), kept) << line;
        const auto deleting = lines_starting(result.out, "deleting ");
        ASSERT_EQ(deleting.size(), 1u);
        EXPECT_EQ(deleting[0], deleting_line(deleted, blocks));
        EXPECT_EQ(
            lines_starting(result.out, "Duplicate files"),
            std::vector<std::string>{summary_line(1, static_cast<int>(r.input.size()), blocks)});
    }
}

// Hard links of one FIFO or one symbolic link are duplicates: the names of
// one inode meet in the sort wherever the list puts them, among other FIFOs,
// symbolic links of the same size and empty files. Of each such inode the
// first name goes (the last with -i); other inodes stay.
TEST(DeleteMode, NamesOfOneFifoOrSymbolicLinkMeet) {
    for (bool inverse : {false, true}) {
        SCOPED_TRACE(inverse ? "-i" : "");
        scratch_dir dir;
        for (const char *fifo : {"p1", "p3", "p5", "q"})
            ASSERT_EQ(mkfifo((dir / fifo).c_str(), 0644), 0);
        ASSERT_EQ(link((dir / "p1").c_str(), (dir / "p2").c_str()), 0);
        ASSERT_EQ(link((dir / "p3").c_str(), (dir / "p4").c_str()), 0);
        for (const char *link_name : {"s1", "s3", "s5"})
            ASSERT_EQ(symlink("abc", (dir / link_name).c_str()), 0);  // all of size 3
        ASSERT_EQ(linkat(AT_FDCWD, (dir / "s1").c_str(), AT_FDCWD, (dir / "s2").c_str(), 0), 0);
        ASSERT_EQ(linkat(AT_FDCWD, (dir / "s3").c_str(), AT_FDCWD, (dir / "s4").c_str(), 0), 0);
        write_file(dir / "e", "");
        write_file(dir / "r", "xyz");  // a regular file of the links' size
        // The names of one inode lie far apart in the list.
        const std::vector<std::string> input = {"p1", "s1", "q",  "p3", "e",  "s3", "s5",
                                                "p5", "r",  "p4", "s4", "p2", "s2"};
        std::vector<std::string> names = in_dir(dir, input);

        tool_result result = run_clean_delete(nul_list(names), inverse, {.timeout_seconds = 60});
        ASSERT_FALSE(result.timed_out);
        const std::vector<std::string> gone =
            inverse ? std::vector<std::string>{"p2", "p4", "s2", "s4"}
                    : std::vector<std::string>{"p1", "p3", "s1", "s3"};
        EXPECT_EQ(announced(result.out), in_dir(dir, gone));
        for (const auto &name : input) {
            const bool removed = std::find(gone.begin(), gone.end(), name) != gone.end();
            EXPECT_EQ(exists(dir / name), !removed) << name;
        }
        const std::vector<std::string> left =
            inverse ? std::vector<std::string>{"p1", "p3", "s1", "s3"}
                    : std::vector<std::string>{"p2", "p4", "s2", "s4"};
        for (const auto &name : left) EXPECT_EQ(status_of(dir / name).st_nlink, 1u) << name;
        EXPECT_EQ(read_file(dir / "r"), "xyz");
        EXPECT_EQ(lines_starting(result.out, "Duplicate files"),
                  std::vector<std::string>{summary_line(4, static_cast<int>(input.size()), 0)});
    }
}

// A marked name is removed only while it and the name it was found equal to
// are still the files that were compared. Each row changes the tree right
// before the first removal; the second marked name must then be kept.
TEST(DeleteMode, ChangeBeforeRemovalKeepsTheName) {
    struct row {
        const char *what;
        std::string command;  // run in the scratch directory
        bool y_changed;
    };
    const std::vector<row> rows = {
        {"marked file rewritten", "printf %5000s x > y", true},
        {"marked file touched", "touch -m -d '2001-01-01' y", true},
        {"partner rewritten", "printf %5000s x > z", false},
        {"partner removed", "rm z", false},
        {"partner replaced by a copy", "cp z z.new && mv z.new z", false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        scratch_dir dir;
        std::vector<std::string> names = in_dir(dir, {"x", "y", "z"});
        for (const auto &name : names) write_file(name, shared_bytes);
        const long long blocks = status_of(dir / "x").st_blocks;
        tool_result result =
            run_tool({"-d"}, nul_list(names),
                     {.hooks = "unlink:" + (dir / "x") + ":0:cd " + dir.path + " && " + r.command});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(announced(result.out), (std::vector<std::string>{dir / "x", dir / "y"}));
        EXPECT_EQ(lines_starting(result.out, "deleting "),
                  std::vector<std::string>{deleting_line(dir / "x", blocks)});
        EXPECT_EQ(result.err, dir / "y" + " was kept: it or " + (dir / "z") +
                                  " changed since they were found equal.\n");
        EXPECT_EQ(lines_starting(result.out, "Duplicate files"),
                  std::vector<std::string>{summary_line(1, 3, blocks)});
        EXPECT_FALSE(exists(dir / "x"));
        ASSERT_TRUE(exists(dir / "y"));
        // The bytes that x held survive somewhere.
        EXPECT_TRUE(read_file(dir / "y") == shared_bytes ||
                    (exists(dir / "z") && read_file(dir / "z") == shared_bytes));
        if (!r.y_changed) {
            EXPECT_EQ(read_file(dir / "y"), shared_bytes);
        }
    }
}

// The bytes compared right before a removal are only those of the versions
// examined if neither file changed while they were read: a marked name is
// removed only when both files, looked at once the reading is done, are still
// those versions. x, y and z are equal; x goes first, then y, whose bytes are
// compared with z's again. The file system's clock is made to look behind the
// tool's, so that no removal rests on the stamps and each compares the bytes
// anew. Each row acts once x has gone, while z is read in the check of y: y
// rewritten in place (its modification time put back) once it was read, z
// likewise once its bytes were read, or the look at z after the read failing.
TEST(DeleteMode, ChangeWhileTheBytesAreComparedKeepsTheName) {
    struct row {
        const char *what;
        const char *rewritten;  // the name rewritten (nullptr: none) ...
        int reads_before;       // ... once this many reads of z went ahead after x had gone
        std::string fault;      // armed once x has gone, with D for the scratch directory
        std::string err;        // with D for the scratch directory
    };
    const size_t offset = 4000;
    const unsigned char other_byte = 'o';
    const std::string kept_line = "D/y was kept: it or D/z changed since they were found equal.\n";
    const std::vector<row> rows = {
        // y's bytes were all read before z's first read.
        {"marked file rewritten after its read", "y", 0, "", kept_line},
        // z's bytes came with its first read; the second found its end.
        {"kept file rewritten after its read", "z", 1, "", kept_line},
        // The first fstat of each is made when it is opened.
        {"kept file's status unreadable after its read", nullptr, 0, "fstat:D/z:EIO:1:1",
         "fstat(D/z) failed\nfstat: Input/output error\n"},
        {"marked file's status unreadable after its read", nullptr, 0, "fstat:D/y:EIO:1:1",
         "fstat(D/y) failed\nfstat: Input/output error\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        scratch_dir dir;
        auto in_tree = [&](std::string text) {
            for (size_t at = text.find("D/"); at != std::string::npos;
                 at = text.find("D/", at + dir.path.size()))
                text.replace(at, 1, dir.path);
            return text;
        };
        std::vector<std::string> names = in_dir(dir, {"x", "y", "z"});
        for (const auto &name : names) write_file(name, shared_bytes);
        const long long blocks = status_of(dir / "x").st_blocks;
        std::string hooks = "unlink:" + (dir / "x") + ":0:true";
        if (r.rewritten)
            hooks += "\nthen-read:" + (dir / "z") + ":" + std::to_string(r.reads_before) + ":" +
                     rewrite_in_place_command(dir / r.rewritten, offset, other_byte);
        tool_result result = run_tool({"-d"}, nul_list(names),
                                      {.faults = r.fault.empty() ? "" : "then-" + in_tree(r.fault),
                                       .hooks = hooks,
                                       .env = {"TWINFOLD_WALL_AHEAD=10"}});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(announced(result.out), (std::vector<std::string>{dir / "x", dir / "y"}));
        EXPECT_EQ(lines_starting(result.out, "deleting "),
                  std::vector<std::string>{deleting_line(dir / "x", blocks)});
        EXPECT_EQ(result.err, in_tree(r.err));
        EXPECT_EQ(lines_starting(result.out, "Duplicate files"),
                  std::vector<std::string>{summary_line(1, 3, blocks)});
        EXPECT_FALSE(exists(dir / "x"));
        // y and z are both still there, each with the bytes it holds now.
        for (const char *name : {"y", "z"}) {
            std::string expected = shared_bytes;
            if (r.rewritten && std::string(name) == r.rewritten)
                expected[offset] = static_cast<char>(other_byte);
            ASSERT_TRUE(exists(dir / name)) << name;
            EXPECT_EQ(read_file(dir / name), expected) << name;
        }
    }
}

// -d runs the delete pass alone whatever -c, -S and -i say, and ends with
// the intake's status: 255 after a read error on the spool.
TEST(DeleteMode, TakesPrecedenceOverOtherModes) {
    struct row {
        std::vector<std::string> options;
        std::string faults;
        int status;
        const char *deleted;  // nullptr: nothing
    };
    const std::vector<row> rows = {
        {{"-d", "-c"}, "", 0, "a"},
        {{"-d", "-S"}, "", 0, "a"},
        {{"-d", "-c", "-S"}, "", 0, "a"},
        {{"-d", "-i"}, "", 0, "b"},
        {{"-d", "-c", "-i"}, "", 0, "b"},
        {{"-d", "-c", "-S", "-i"}, "", 0, "b"},
        {{"-d", "-S", "-n"}, "tmpfile:*:WRONLY", 255, nullptr},
        {{"-d", "-c", "-i"}, "tmpfile:*:WRONLY", 255, nullptr},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.options) + " " + r.faults);
        scratch_dir dir;
        write_file(dir / "a", shared_bytes);
        write_file(dir / "b", shared_bytes);
        const long long blocks = status_of(dir / "a").st_blocks;
        std::vector<std::string> names = {dir / "a", dir / "b"};
        const auto before = contents_of(names);
        tool_result result = run_tool(r.options, nul_list(names), {.faults = r.faults});
        EXPECT_EQ(result.status, r.status);
        const bool nodo = std::count(r.options.begin(), r.options.end(), "-n") > 0;
        std::string expected = "Input: 2 files, processing ...\n";
        if (r.deleted) {
            const std::string gone = dir / r.deleted,
                              kept = dir / (r.deleted[0] == 'a' ? "b" : "a");
            expected += equal_line(gone, kept) + "\n" + deleting_line(gone, blocks) + "\n" +
                        summary_line(1, 2, blocks) + "\n";
            EXPECT_EQ(result.err, "");
            EXPECT_FALSE(exists(gone));
            expect_one_entry_per_content(names, before);
        } else {
            expected += summary_line(0, 2, 0, nodo) + "\n";
            EXPECT_NE(result.err.find("tmpfile: error 1.\n"), std::string::npos) << result.err;
            EXPECT_NE(result.err.find("lstat() failed\n"), std::string::npos) << result.err;
            EXPECT_TRUE(exists(dir / "a") && exists(dir / "b"));
        }
        expected += "Minimum of found hard links: 1, Maximum: 1.\n";
        EXPECT_EQ(without_preamble(result.out), expected);
    }
}
