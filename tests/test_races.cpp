// Races with another user of the tree: the directory that holds the listed
// names is swapped for a symbolic link to another tree right before the tool
// changes a name, or a name that a copy is being made of or into is swapped
// for a symbolic link leading out of the list. The change must land on the file that was
// examined, in the directory where it was examined, and nothing outside the
// list may change.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "rewrite_fixtures.h"
#include "scratch_tree.h"
#include "tool_run.h"

namespace fs = std::filesystem;

namespace {

// Everything a change could alter about the entries of a tree.
struct entry_state {
    ino_t inode;
    mode_t mode;
    nlink_t links;
    off_t size;
    blkcnt_t blocks;
    struct timespec modified;
    std::string content;  // the bytes of a regular file, the text of a symbolic link
};

bool operator==(const entry_state &a, const entry_state &b) {
    return a.inode == b.inode && a.mode == b.mode && a.links == b.links && a.size == b.size &&
           a.blocks == b.blocks && a.modified.tv_sec == b.modified.tv_sec &&
           a.modified.tv_nsec == b.modified.tv_nsec && a.content == b.content;
}

std::map<std::string, entry_state> snapshot(const std::string &root) {
    std::map<std::string, entry_state> tree;
    for (const auto &item : fs::recursive_directory_iterator(root)) {
        const std::string path = item.path().string();
        struct stat st = status_of(path);
        entry_state state{st.st_ino,    st.st_mode, st.st_nlink, st.st_size,
                          st.st_blocks, st.st_mtim, ""};
        if (S_ISREG(st.st_mode)) state.content = read_file(path);
        if (S_ISLNK(st.st_mode)) state.content = fs::read_symlink(path).string();
        tree[path.substr(root.size())] = state;
    }
    return tree;
}

const std::string twin_bytes(6000, 't');

std::string zero_region() {
    return dense_bytes(4096, 1) + std::string(1 << 20, '\0') + dense_bytes(4096, 2);
}

struct race_row {
    const char *label;
    std::vector<std::string> args;
    std::vector<std::string> listed;  // names under d/
    const char *hook;                 // call:match:skip, the swap runs right before it
    std::string err;                  // standard error, with D for the listed directory
    // Checks the real directory (where d was) after the run.
    std::function<void(const std::string &real)> check;
};

bool one_inode(const std::string &a, const std::string &b) {
    return same_file(status_of(a), status_of(b));
}

}  // namespace

TEST(Races, DirectorySwappedForASymbolicLinkBeforeAChange) {
    const race_row rows[] = {
        {"link: before the temporary link",
         {"-q"},
         {"alpha", "beta"},
         "link:*:0",
         "",
         [](const std::string &real) { EXPECT_TRUE(one_inode(real + "/alpha", real + "/beta")); }},
        {"link: before the rename",
         {"-q"},
         {"alpha", "beta"},
         "rename:*:0",
         "",
         [](const std::string &real) { EXPECT_TRUE(one_inode(real + "/alpha", real + "/beta")); }},
        {"symbolic link: before the rename",
         {"-q", "-s"},
         {"alpha", "beta"},
         "rename:*:0",
         "",
         [](const std::string &real) {
             const std::string replaced =
                 S_ISLNK(status_of(real + "/alpha").st_mode) ? "/alpha" : "/beta";
             const std::string survivor = replaced == "/alpha" ? "/beta" : "/alpha";
             EXPECT_EQ(fs::read_symlink(real + replaced).string(), survivor.substr(1));
             struct stat reached {};
             ASSERT_EQ(stat((real + replaced).c_str(), &reached), 0);
             EXPECT_TRUE(same_file(reached, status_of(real + survivor)));
         }},
        // The first removal lands in the real directory; the next marked name
        // now leads into the other tree, shows another file and is kept.
        {"delete: before the removal",
         {"-q", "-d"},
         {"a", "b", "c"},
         "unlink:*:0",
         "D/b was kept: it or D/c changed since they were found equal.\n",
         [](const std::string &real) {
             EXPECT_FALSE(exists(real + "/a"));
             EXPECT_EQ(read_file(real + "/b"), twin_bytes);
             EXPECT_EQ(read_file(real + "/c"), twin_bytes);
         }},
        {"expansion: before the temporary file",
         {"-q", "-i"},
         {"victim"},
         "mkstemp:*:0",
         "",
         [](const std::string &real) {
             EXPECT_FALSE(one_inode(real + "/victim", real + "/twin"));
             EXPECT_EQ(read_file(real + "/victim"), twin_bytes);
             EXPECT_EQ(status_of(real + "/twin").st_nlink, 1u);
         }},
        {"expansion: before the rename",
         {"-q", "-i"},
         {"victim"},
         "rename:*:0",
         "",
         [](const std::string &real) {
             EXPECT_FALSE(one_inode(real + "/victim", real + "/twin"));
             EXPECT_EQ(read_file(real + "/victim"), twin_bytes);
         }},
        {"sparse: while the copy is made",
         {"-q", "-S"},
         {"holey"},
         "read:d/holey:0",
         "",
         [](const std::string &real) {
             EXPECT_EQ(read_file(real + "/holey"), zero_region());
             EXPECT_LT(status_of(real + "/holey").st_blocks, 1000);
         }},
        {"sparse: before the rename",
         {"-q", "-S"},
         {"holey"},
         "rename:*:0",
         "",
         [](const std::string &real) {
             EXPECT_EQ(read_file(real + "/holey"), zero_region());
             EXPECT_LT(status_of(real + "/holey").st_blocks, 1000);
         }},
    };
    for (const race_row &row : rows) {
        SCOPED_TRACE(row.label);
        scratch_dir dir;
        // The listed tree.
        write_file(dir / "d/alpha", twin_bytes);
        write_file(dir / "d/beta", twin_bytes);
        for (const char *name : {"a", "b", "c"})
            write_file(dir / ("d/" + std::string(name)), twin_bytes);
        write_file(dir / "d/victim", twin_bytes);
        ASSERT_EQ(link((dir / "d/victim").c_str(), (dir / "d/twin").c_str()), 0);
        write_file(dir / "d/holey", zero_region());
        ASSERT_GT(status_of(dir / "d/holey").st_blocks, 2000);
        // The other tree: the same names, owned by someone else, other bytes
        // (a pair of equal files among them), a symbolic link and a hard link.
        for (const char *name : {"alpha", "beta", "a", "b", "c", "victim", "holey"}) {
            write_file(dir / ("other/" + std::string(name)), std::string("outside ") + name, 0640);
            ASSERT_EQ(chown((dir / ("other/" + std::string(name))).c_str(), 4321, 4321), 0);
        }
        write_file(dir / "other/zeros", zero_region());
        ASSERT_EQ(link((dir / "other/victim").c_str(), (dir / "other/twin").c_str()), 0);
        ASSERT_EQ(symlink("alpha", (dir / "other/link").c_str()), 0);
        const auto other_before = snapshot(dir / "other");

        std::vector<std::string> names;
        for (const std::string &name : row.listed) names.push_back("d/" + name);
        const std::string swap = "mv d d.real && ln -s other d";
        tool_result result =
            run_tool(row.args, nul_list(names),
                     {.cwd = dir.path,
                      .hooks = std::string(row.hook) + ":cd " + dir.path + " && " + swap,
                      .timeout_seconds = 60});

        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.status, 0);
        ASSERT_TRUE(S_ISLNK(status_of(dir / "d").st_mode)) << "the swap did not happen";
        std::string err = row.err;
        for (size_t at = err.find("D/"); at != std::string::npos; at = err.find("D/", at))
            err.replace(at, 1, "d");
        EXPECT_EQ(result.err, err);
        EXPECT_TRUE(snapshot(dir / "other") == other_before);
        EXPECT_TRUE(temporary_files_under(dir.path).empty());
        row.check(dir / "d.real");
    }
}

// Another user who can write to the directory swaps the temporary file for a
// symbolic link to a file outside the list (which a copy written through
// names would then overwrite, as root), or swaps the listed name for a link
// to a FIFO (which a copy read through names would block on). The copy is
// only ever read from the file examined and written to the file created: the
// file outside and the FIFO are untouched, the run does not hang, the listed
// bytes stay whole, and the copy never takes the name.
TEST(Races, CopyReadsAndWritesOnlyTheFilesItWasGiven) {
    struct row {
        const char *label;
        std::vector<std::string> args;
        const char *hook;     // call:match:skip, the swap runs right before it
        const char *swap;     // run in the listed directory
        const char *err;      // standard error, with TEMP for the temporary name
        const char *kept_as;  // the name that holds the listed bytes afterwards
        const char *link_at;  // where a planted link must still be, pointing outside
        const char *link_to;
    };
    // The temporary name, as the hook sees the copy being written.
    const std::string temp_swap =
        "t=$(printf %s \"$TWINFOLD_HOOK_PATH\" | grep -o 'dup__[A-Za-z0-9]*' | head -n 1) && "
        "rm -f \"$t\" && ln -s ../outside/victim \"$t\"";
    const std::string source_swap = "mv holey moved && ln -s ../outside/fifo holey";
    const row rows[] = {
        {"temporary file swapped for a link, as the copy is written",
         {"-q", "-S"},
         "write:dup__:0",
         temp_swap.c_str(),
         "d/TEMP is not the copy of d/holey that was made, left as it is\n",
         "holey",
         "TEMP",
         "../outside/victim"},
        {"temporary file swapped for a link, as the copy is written, under -n",
         {"-q", "-S", "-n"},
         "write:dup__:0",
         temp_swap.c_str(),
         "d/TEMP is not the copy of d/holey that was made, left as it is\n",
         "holey",
         "TEMP",
         "../outside/victim"},
        {"listed name swapped for a link to a FIFO, as the copy is read",
         {"-q", "-S"},
         "read:d/holey:0",
         source_swap.c_str(),
         "d/holey changed while it was copied, left as it is\n",
         "moved",
         "holey",
         "../outside/fifo"},
        {"listed name swapped for a link to a FIFO, before it is opened",
         {"-q", "-S"},
         "open:d/holey:0",
         source_swap.c_str(),
         "d/holey changed before it was copied, left as it is\n",
         "moved",
         "holey",
         "../outside/fifo"},
    };
    for (const row &row : rows) {
        SCOPED_TRACE(row.label);
        scratch_dir dir;
        write_file(dir / "d/holey", zero_region());
        const struct stat listed = status_of(dir / "d/holey");
        write_file(dir / "outside/victim", "root's secrets\n", 0600);
        ASSERT_EQ(mkfifo((dir / "outside/fifo").c_str(), 0644), 0);
        const auto outside_before = snapshot(dir / "outside");

        tool_result result =
            run_tool(row.args, nul_list({"d/holey"}),
                     {.cwd = dir.path,
                      .hooks = std::string(row.hook) + ":cd " + dir.path + "/d && " + row.swap,
                      .timeout_seconds = 30});

        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(normalised(result.err), row.err);
        EXPECT_TRUE(snapshot(dir / "outside") == outside_before);
        EXPECT_EQ(read_file(dir / "outside/victim"), "root's secrets\n");
        const struct stat kept = status_of(dir / ("d/" + std::string(row.kept_as)));
        EXPECT_TRUE(same_file(kept, listed));
        EXPECT_EQ(read_file(dir / ("d/" + std::string(row.kept_as))), zero_region());

        // The planted link is another user's entry: it stays as it was.
        const auto temps = temporary_files_under(dir / "d");
        std::string link_at = row.link_at;
        if (link_at == "TEMP") {
            EXPECT_EQ(temps.size(), 1u);
            if (temps.size() != 1) continue;
            link_at = fs::path(temps[0]).filename().string();
        } else {
            EXPECT_TRUE(temps.empty());
        }
        const std::string planted = dir / ("d/" + link_at);
        EXPECT_TRUE(S_ISLNK(status_of(planted).st_mode)) << "the swap did not happen";
        EXPECT_EQ(fs::read_symlink(planted).string(), row.link_to);
    }
}

// Another process moves a listed directory away and puts a new one in its
// place, with files of the same names and other bytes, after the run has
// begun. Every later look finds each name where its path leads then: nothing
// is linked or removed, no file is touched, and the read-only run says what
// the real run does.
TEST(Races, ADirectoryReplacedDuringTheRunIsSeenWhereItsPathLeads) {
    const std::string zeros(5000, '\0');
    auto comparable = [](const std::string &out) {
        std::string kept;
        for (std::string line : lines_of(without_preamble(out))) {
            for (const std::string words : {" which can be", " can be", " have been"})
                for (size_t at; (at = line.find(words)) != std::string::npos;)
                    line.erase(at, words.size());
            kept += line + "\n";
        }
        return kept;
    };
    const std::vector<std::vector<std::string>> modes = {{}, {"-s"}, {"-d"}};
    for (const std::vector<std::string> &mode : modes) {
        SCOPED_TRACE(mode.empty() ? "link" : mode[0]);
        tool_result runs[2];
        for (bool read_only : {true, false}) {
            scratch_dir dir;
            for (const char *name : {"a1", "a2", "a3"}) {
                write_file(dir / ("d/" + std::string(name)), zeros);
                timespec old[2] = {{1700000000, 0}, {1700000000, 0}};
                ASSERT_EQ(utimensat(AT_FDCWD, (dir / ("d/" + std::string(name))).c_str(), old, 0),
                          0);
            }
            const std::string swap = "cd " + dir.path +
                                     " && mv d d.old && mkdir d && for i in 1 2 3; do yes a$i | "
                                     "head -c 5000 > d/a$i; done";
            std::vector<std::string> args = mode;
            if (read_only) args.push_back("-n");
            tool_result &run = runs[read_only ? 0 : 1];
            run = run_tool(args, nul_list({"d/a1", "d/a2", "d/a3"}),
                           {.cwd = dir.path, .hooks = "open:d/a:2:" + swap});
            EXPECT_EQ(run.status, 0);
            ASSERT_TRUE(exists(dir / "d.old/a1")) << "the swap did not happen";
            for (const char *name : {"a1", "a2", "a3"}) {
                const std::string now = dir / ("d/" + std::string(name));
                const std::string before = dir / ("d.old/" + std::string(name));
                std::string expected;
                for (std::string line = std::string("a") + name[1] + "\n"; expected.size() < 5000;)
                    expected += line;
                expected.resize(5000);
                EXPECT_EQ(read_file(now), expected) << now;
                EXPECT_TRUE(S_ISREG(status_of(now).st_mode) && status_of(now).st_nlink == 1);
                EXPECT_EQ(read_file(before), zeros) << before;
                EXPECT_EQ(status_of(before).st_nlink, 1u);
            }
            EXPECT_TRUE(temporary_files_under(dir.path).empty());
        }
        EXPECT_EQ(comparable(runs[0].out), comparable(runs[1].out));
        EXPECT_EQ(runs[0].err, runs[1].err);
    }
}
