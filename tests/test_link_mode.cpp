// Link mode end to end: the built tool on small trees, checked by its output,
// exit status and the files left on disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "scratch_tree.h"
#include "tool_run.h"

namespace {

void set_mtime(const std::string &path, time_t seconds) {
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

bool same_file(const std::string &a, const std::string &b) {
    struct stat x = status_of(a), y = status_of(b);
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

std::vector<std::string> ln_lines(const std::string &out) {
    std::vector<std::string> found;
    for (const std::string &line : lines_of(out))
        if (line.rfind("ln ", 0) == 0) found.push_back(line);
    return found;
}

std::string without_ln_lines(const std::string &out) {
    std::string kept;
    for (const std::string &line : lines_of(without_preamble(out)))
        if (line.rfind("ln ", 0) != 0) kept += line + "\n";
    return kept;
}

// Whether text is one or more copies of unit (or empty when unit is).
int copies_of(const std::string &text, const std::string &unit) {
    if (unit.empty()) return text.empty() ? 0 : -1;
    if (text.size() % unit.size() != 0) return -1;
    for (size_t at = 0; at < text.size(); at += unit.size())
        if (text.compare(at, unit.size(), unit) != 0) return -1;
    return static_cast<int>(text.size() / unit.size());
}

std::string summary(int files, int count, int blocks) {
    return "Files linked: " + std::to_string(files) + " of " + std::to_string(count) +
           ", Disk blocks reclaimed: " + std::to_string(blocks) + "\n";
}

// A pair of equal files, alpha newer than beta (so beta survives), next to a
// file of the same size with other contents and two empty files.
struct small_tree {
    scratch_dir dir;
    small_tree() {
        write_file(dir / "alpha", "twin contents");
        write_file(dir / "beta", "twin contents");
        write_file(dir / "gamma", "twin CONTENTS");
        write_file(dir / "delta", "");
        write_file(dir / "epsilon", "");
        set_mtime(dir / "alpha", 2000000000);
        set_mtime(dir / "beta", 1000000000);
    }
    std::string list() const { return nul_list({"alpha", "beta", "gamma", "delta", "epsilon"}); }
};

}  // namespace

// The sequences of a run without -d, -i and -S: -c alone is the default run.
TEST(LinkMode, DefaultComboNodoAndQuietRuns) {
    struct row {
        std::vector<std::string> args;
        bool nodo, quiet;
    } rows[] = {
        {{}, false, false},          {{"-c"}, false, false}, {{"-n"}, true, false},
        {{"-c", "-n"}, true, false}, {{"-q"}, false, true},  {{"-n", "-q"}, true, true},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.args.empty() ? "default" : r.args[0] + (r.args.size() > 1 ? r.args[1] : ""));
        small_tree tree;
        const struct stat alpha = status_of(tree.dir / "alpha");
        const struct stat beta = status_of(tree.dir / "beta");
        const std::string ln =
            "ln  beta alpha: 1, 1 -> 2, freed +" + std::to_string(beta.st_blocks) + " blocks";

        tool_result result = run_tool(r.args, tree.list(), {.cwd = tree.dir.path});

        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(same_file(tree.dir / "alpha", tree.dir / "beta"), !r.nodo);
        EXPECT_EQ(read_file(tree.dir / "alpha"), "twin contents");
        EXPECT_EQ(status_of(tree.dir / "beta").st_ino, beta.st_ino);
        if (r.nodo) {
            EXPECT_EQ(status_of(tree.dir / "alpha").st_ino, alpha.st_ino);
        }
        EXPECT_FALSE(same_file(tree.dir / "delta", tree.dir / "epsilon"));
        if (r.quiet) {
            EXPECT_EQ(result.out, "");
            continue;
        }
        // The equal pair is linked once, and a read-only run reports it once.
        std::vector<std::string> lines = ln_lines(result.out);
        ASSERT_EQ(lines.size(), 1u);
        for (const std::string &line : lines) EXPECT_EQ(line, ln);
        const int n = static_cast<int>(lines.size());
        const int blocks = n * static_cast<int>(alpha.st_blocks);
        EXPECT_EQ(without_ln_lines(result.out),
                  "Input: 5 files, processing ...\n"
                  "Scanning for more dups ...\n" +
                      (r.nodo ? "Files which can be linked: " + std::to_string(n) +
                                    " of 5, Disk blocks which can be reclaimed: " +
                                    std::to_string(blocks) + "\n"
                              : summary(1, 5, blocks)) +
                      "Minimum of found hard links: 1, Maximum: 2.\n");
    }
}

// A spool that cannot be read back gives empty names: the run goes on, every
// such entry fails its status query, and the run ends with 255.
TEST(LinkMode, IntakeReadErrorEndsTheRunWith255) {
    small_tree tree;
    tool_result result = run_tool({}, nul_list({"alpha", "beta"}),
                                  {.cwd = tree.dir.path, .faults = "tmpfile:*:WRONLY"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(without_preamble(result.out),
              "Input: 2 files, processing ...\n"
              "Scanning for more dups ...\n" +
                  summary(0, 2, 0) + "Minimum of found hard links: 1, Maximum: 1.\n");
    const std::string intake = "tmpfile: error 1.\ntmpfile: error 1.\n";
    ASSERT_EQ(result.err.compare(0, intake.size(), intake), 0) << result.err;
    EXPECT_GE(copies_of(result.err.substr(intake.size()),
                        "lstat() failed\nlstat: No such file or directory\n"),
              1)
        << result.err;
    EXPECT_FALSE(same_file(tree.dir / "alpha", tree.dir / "beta"));
}

// A tree with sets of equal files of several sizes, some with names outside
// the list, various times, owners and modes, run twice. Whatever pairs the
// sort compares: every name keeps its bytes, owner and mode; only equal files
// of one owner and mode share an inode; the first run leaves every set of two
// or more on fewer inodes than names; no temporary name remains; and the
// summary counts exactly the inodes that went away and their blocks.
TEST(LinkMode, LinksEqualFilesAndCountsTheInodesFreed) {
    scratch_dir dir;
    std::mt19937 generator(99);
    std::vector<std::string> names, outside;
    struct original {
        std::string content;
        uid_t uid;
        mode_t mode;
    };
    std::map<std::string, original> before;
    int serial = 0;
    for (size_t size : {1, 100, 4097, 200000}) {
        for (int set = 0; set < 3; ++set) {
            std::string content(size, '\0');
            for (char &c : content) c = static_cast<char>(generator() % 4);
            const int members = 1 + set * 2;
            for (int m = 0; m < members; ++m) {
                std::string name = "d";
                name += std::to_string(m % 3) + "/f" + std::to_string(serial++);
                const bool other_owner = set == 2 && m % 2 == 1;
                const mode_t mode = set == 1 && m == 0 ? 0600 : 0644;
                write_file(dir / name, content, mode);
                if (other_owner) {
                    ASSERT_EQ(chown((dir / name).c_str(), 7, 7), 0);
                }
                set_mtime(dir / name, 1000000000 + static_cast<time_t>(generator() % 3));
                if (generator() % 4 == 0) {
                    outside.push_back("outside" + std::to_string(serial));
                    ASSERT_EQ(link((dir / name).c_str(), (dir / outside.back()).c_str()), 0);
                }
                names.push_back(name);
                before[name] = {content, other_owner ? 7u : 0u, mode};
            }
        }
    }
    std::shuffle(names.begin(), names.end(), generator);
    const int count = static_cast<int>(names.size());

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        std::map<ino_t, blkcnt_t> listed_before;
        for (const auto &name : names) {
            struct stat st = status_of(dir / name);
            listed_before[st.st_ino] = st.st_blocks;
        }
        tool_result result = run_tool({}, nul_list(names), {.cwd = dir.path});
        ASSERT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(temporary_files_under(dir.path).empty());

        std::set<ino_t> alive;
        std::map<std::tuple<std::string, uid_t, mode_t>, std::set<ino_t>> sets;
        std::map<std::tuple<std::string, uid_t, mode_t>, size_t> members;
        std::map<ino_t, std::string> content_of;
        for (const auto &name : names) {
            struct stat st = status_of(dir / name);
            const original &was = before[name];
            EXPECT_EQ(read_file(dir / name), was.content) << name;
            EXPECT_EQ(st.st_uid, was.uid) << name;
            EXPECT_EQ(st.st_mode & 07777, was.mode) << name;
            alive.insert(st.st_ino);
            sets[{was.content, was.uid, was.mode}].insert(st.st_ino);
            ++members[{was.content, was.uid, was.mode}];
        }
        for (const auto &name : outside) alive.insert(status_of(dir / name).st_ino);
        // No inode is shared across sets.
        size_t inodes_in_sets = 0;
        for (const auto &[key, inodes] : sets) inodes_in_sets += inodes.size();
        std::set<ino_t> listed_after;
        for (const auto &name : names) listed_after.insert(status_of(dir / name).st_ino);
        EXPECT_EQ(inodes_in_sets, listed_after.size());
        if (run == 0)
            for (const auto &[key, inodes] : sets)
                if (members[key] > 1) {
                    EXPECT_LT(inodes.size(), members[key]);
                }

        int freed_files = 0, freed_blocks = 0;
        for (const auto &[inode, blocks] : listed_before) {
            if (alive.count(inode)) continue;
            ++freed_files;
            freed_blocks += static_cast<int>(blocks);
        }
        if (run == 0) {
            EXPECT_GT(freed_files, 0);
        }
        EXPECT_NE(result.out.find(summary(freed_files, count, freed_blocks)), std::string::npos)
            << result.out;
    }
}

// With -s the replaced name becomes a symbolic link that reaches the survivor
// from its own directory, however the two names are written; the "ln" line
// shows them as listed.
TEST(LinkMode, SymbolicLinksResolveFromTheReplacedNamesDirectory) {
    struct row {
        std::string survivor, replaced;  // as listed, from the working directory w
        std::string text;                // the expected link text ("@" + name: absolute)
    } rows[] = {
        {"a", "b", "a"},
        {"./x/a", "y/b", "../x/a"},
        {"x/a", "./x/b", "a"},
        {"../o/a", "b", "../o/a"},
        {"x/../a", "x/b", "../a"},
        {"a", "../o/b", "@w/a"},
        {"@w/x/a", "b", "@w/x/a"},
        {"a", "@o/b", "@w/a"},
        // deep leads to a directory three levels away: climbing out of it by
        // ".." does not come back, so the link must hold the whole path.
        {"../o/a", "deep/b", "@w/../o/a"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.survivor + " " + r.replaced);
        scratch_dir dir;
        auto full = [&](const std::string &name) {
            return name[0] == '@' ? dir / name.substr(1) : dir / ("w/" + name);
        };
        auto listed = [&](const std::string &name) {
            return name[0] == '@' ? dir / name.substr(1) : name;
        };
        ASSERT_EQ(mkdir((dir / "f").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "f/g").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "f/g/h").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "w").c_str(), 0755), 0);
        ASSERT_EQ(symlink("../f/g/h", (dir / "w/deep").c_str()), 0);
        write_file(full(r.survivor), "linked by name");
        write_file(full(r.replaced), "linked by name");
        set_mtime(full(r.survivor), 1000000000);
        set_mtime(full(r.replaced), 2000000000);
        const struct stat survivor = status_of(full(r.survivor));

        tool_result result = run_tool(
            {"-s", "-q"}, nul_list({listed(r.replaced), listed(r.survivor)}), {.cwd = dir / "w"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        ASSERT_TRUE(S_ISLNK(status_of(full(r.replaced)).st_mode));
        char text[4096];
        ssize_t length = readlink(full(r.replaced).c_str(), text, sizeof text);
        ASSERT_GT(length, 0);
        EXPECT_EQ(std::string(text, static_cast<size_t>(length)),
                  r.text[0] == '@' ? dir / r.text.substr(1) : r.text);
        struct stat reached {};
        ASSERT_EQ(stat(full(r.replaced).c_str(), &reached), 0);
        EXPECT_EQ(reached.st_ino, survivor.st_ino);
        EXPECT_EQ(status_of(full(r.survivor)).st_ino, survivor.st_ino);
        EXPECT_TRUE(temporary_files_under(dir.path).empty());
    }

    scratch_dir dir;
    write_file(dir / "x/one", "soft pair");
    write_file(dir / "y/two", "soft pair");
    set_mtime(dir / "x/one", 1000000000);
    set_mtime(dir / "y/two", 1000000000);
    tool_result result = run_tool({"-s"}, nul_list({"./x/one", "y/two"}), {.cwd = dir.path});
    EXPECT_EQ(
        ln_lines(result.out),
        std::vector<std::string>{"ln -s y/two ./x/one: 1, 1 -> 2, freed +" +
                                 std::to_string(status_of(dir / "y/two").st_blocks) + " blocks"});
    EXPECT_EQ(read_file(dir / "x/one"), "soft pair");
}

// Empty files, files without blocks, names of other kinds and a symbolic link
// whose own size equals the size of a file with its target's contents: none is
// read through, none is linked, and nothing waits on the FIFO. The two regular
// files of equal contents are still linked.
TEST(LinkMode, OnlyRegularFilesWithContentsAreLinked) {
    scratch_dir dir;
    write_file(dir / "empty1", "");
    write_file(dir / "empty2", "");
    for (const char *hole : {"hole1", "hole2"}) {
        int fd = open((dir / hole).c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(ftruncate(fd, 65536), 0);
        close(fd);
    }
    ASSERT_EQ(status_of(dir / "hole1").st_blocks, 0);
    const std::string target_name = "target_name_13";  // 14 bytes, as the contents
    write_file(dir / target_name, "fourteen bytes");
    write_file(dir / "twin", "fourteen bytes");
    ASSERT_EQ(symlink(target_name.c_str(), (dir / "symlink").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (dir / "socket").c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(status_of(dir / "symlink").st_size, status_of(dir / "twin").st_size);

    tool_result result = run_tool({"-q"},
                                  nul_list({"empty1", "empty2", "hole1", "hole2", "symlink",
                                            target_name, "fifo", "socket", "/dev/null", "twin"}),
                                  {.cwd = dir.path, .timeout_seconds = 30});
    close(sock);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(same_file(dir / "empty1", dir / "empty2"));
    EXPECT_FALSE(same_file(dir / "hole1", dir / "hole2"));
    EXPECT_TRUE(same_file(dir / target_name, dir / "twin"));
    EXPECT_TRUE(S_ISLNK(status_of(dir / "symlink").st_mode));
    EXPECT_TRUE(S_ISFIFO(status_of(dir / "fifo").st_mode));
    EXPECT_TRUE(S_ISSOCK(status_of(dir / "socket").st_mode));
    EXPECT_TRUE(S_ISCHR(status_of("/dev/null").st_mode));
}

// A listed file exchanged for a FIFO between its status query and its
// opening is passed over, and the run does not wait on the FIFO.
TEST(LinkMode, AFileTurnedIntoAFifoIsNotWaitedOn) {
    scratch_dir dir;
    write_file(dir / "alpha", "same");
    write_file(dir / "beta", "same");
    tool_result result = run_tool(
        {"-q"}, nul_list({"alpha", "beta"}),
        {.cwd = dir.path, .hooks = "open:beta:0:rm -f beta && mkfifo beta", .timeout_seconds = 30});
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(S_ISFIFO(status_of(dir / "beta").st_mode));
    EXPECT_EQ(read_file(dir / "alpha"), "same");
    EXPECT_EQ(status_of(dir / "alpha").st_nlink, 1u);
}

// Equal files of one size on two devices are neither read nor linked: any
// read would fail here and print its line.
TEST(LinkMode, FilesOnTwoDevicesAreNeverRead) {
    scratch_dir here;
    if (!shm_is_other_device(here.path)) GTEST_SKIP() << "/dev/shm is on the same device as /tmp";
    scratch_dir there("/dev/shm");
    write_file(here / "a", "crossing");
    write_file(there / "b", "crossing");
    tool_result result =
        run_tool({}, nul_list({here / "a", there / "b"}), {.faults = "read:twinfold-test:EIO"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(ln_lines(result.out).empty());
    EXPECT_EQ(status_of(here / "a").st_nlink, 1u);
    EXPECT_TRUE(S_ISREG(status_of(there / "b").st_mode));
}

// Equal files of different owners, groups or permission bits stay apart,
// mixed in name order with those of one owner: every linkable pair is still
// found, by hard or symbolic links, and no name leads to another owner's file.
TEST(LinkMode, DifferentOwnersAndModesAreNeverLinked) {
    for (const char *option : {"-q", "-s"}) {
        SCOPED_TRACE(option);
        scratch_dir dir;
        struct entry {
            std::string name;
            uid_t uid;
            gid_t gid;
            mode_t mode;
        } entries[] = {
            {"a", 0, 0, 0644}, {"b", 5, 0, 0644}, {"c", 0, 0, 0644}, {"d", 5, 0, 0644},
            {"e", 0, 5, 0644}, {"f", 0, 0, 0600}, {"g", 0, 5, 0644}, {"h", 0, 0, 0600},
        };
        std::vector<std::string> names;
        for (const entry &e : entries) {
            write_file(dir / e.name, "shared contents", e.mode);
            ASSERT_EQ(chown((dir / e.name).c_str(), e.uid, e.gid), 0);
            names.push_back(e.name);
        }
        tool_result result = run_tool({option, "-q"}, nul_list(names), {.cwd = dir.path});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        std::map<std::tuple<uid_t, gid_t, mode_t>, std::set<ino_t>> reached;
        for (const entry &e : entries) {
            struct stat st {};
            ASSERT_EQ(stat((dir / e.name).c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, e.uid) << e.name;
            EXPECT_EQ(st.st_gid, e.gid) << e.name;
            EXPECT_EQ(st.st_mode & 07777, e.mode) << e.name;
            EXPECT_EQ(read_file(dir / e.name), "shared contents");
            reached[{e.uid, e.gid, e.mode}].insert(st.st_ino);
        }
        ASSERT_EQ(reached.size(), 4u);
        for (const auto &[key, inodes] : reached) EXPECT_EQ(inodes.size(), 1u);
    }
}

// Failures of one pair, made for real. Each comparison of the pair prints the
// same lines; a failure after the pair was counted stays counted; in every
// case both names keep their contents and no temporary name is left.
TEST(LinkMode, FailuresKeepEveryName) {
    struct row {
        std::vector<std::string> args;
        std::string faults;
        std::string lines;  // what one comparison of the pair prints
        bool counted, linked;
    } rows[] = {
        {{}, "lstat:alpha:EIO", "lstat(alpha) failed\nlstat: Input/output error\n", false, false},
        {{},
         "lstat:beta:ENOENT",
         "lstat(beta) failed\nlstat: No such file or directory\n",
         false,
         false},
        {{}, "open:beta:EACCES", "", false, false},
        {{}, "read:alpha:EIO", "file alpha: error 1.\n", false, false},
        {{}, "read:beta:EIO", "file beta: error 1.\n", false, false},
        {{}, "link:dup__:EMLINK", "link(beta,alpha) failed\nlink: Too many links\n", true, false},
        {{"-s"},
         "symlink:dup__:EACCES",
         "symlink(beta,alpha) failed\nsymlink: Permission denied\n",
         true,
         false},
        {{}, "rename:alpha:EIO", "unlink(alpha) failed\nunlink: Input/output error\n", true, false},
        {{"-s"},
         "rename:alpha:EROFS",
         "unlink(alpha) failed\nunlink: Read-only file system\n",
         true,
         false},
        // A link that does not lead to the survivor is taken away again.
        {{},
         "lstat:dup__:ENOENT",
         "link(beta,alpha) failed\nlink: No such file or directory\n",
         true,
         false},
        {{"-s"},
         "stat:dup__:ELOOP",
         "symlink(beta,alpha) failed\nsymlink: Too many levels of symbolic links\n",
         true,
         false},
        // A temporary name that exists already is passed over for a fresh one.
        {{}, "link:dup__:EEXIST:0:3", "", true, true},
        {{"-s"}, "symlink:dup__:EEXIST:0:3", "", true, true},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.faults);
        small_tree tree;
        const blkcnt_t blocks = status_of(tree.dir / "alpha").st_blocks;
        std::vector<std::string> args = r.args;
        tool_result result =
            run_tool(args, nul_list({"alpha", "beta"}), {.cwd = tree.dir.path, .faults = r.faults});
        EXPECT_EQ(result.status, 0);
        const int calls = copies_of(result.err, r.lines);
        EXPECT_TRUE(r.lines.empty() ? calls == 0 : calls >= 1) << result.err;
        const int files = r.linked ? 1 : r.counted ? calls : 0;
        EXPECT_NE(result.out.find(summary(files, 2, files * static_cast<int>(blocks))),
                  std::string::npos)
            << result.out;
        EXPECT_EQ(ln_lines(result.out).size(), r.linked ? 1u : 0u);
        EXPECT_EQ(read_file(tree.dir / "alpha"), "twin contents");
        EXPECT_EQ(read_file(tree.dir / "beta"), "twin contents");
        struct stat alpha {
        }, beta{};
        ASSERT_EQ(stat((tree.dir / "alpha").c_str(), &alpha), 0);
        ASSERT_EQ(stat((tree.dir / "beta").c_str(), &beta), 0);
        EXPECT_EQ(alpha.st_ino == beta.st_ino, r.linked);
        EXPECT_TRUE(S_ISREG(status_of(tree.dir / "alpha").st_mode) || r.linked);
        EXPECT_TRUE(temporary_files_under(tree.dir.path).empty());
    }
}

// Sets of equal files scattered among files of their size: each name that
// leaves its file is linked once, straight to the file that ends up holding
// the whole set, so a run makes one link per name freed and no more.
TEST(LinkMode, EachNameOfASetIsLinkedOnce) {
    scratch_dir dir;
    std::mt19937 generator(5);
    std::vector<std::string> names;
    std::map<std::string, int> set_of;
    auto contents = [&](int seed) {
        std::string bytes(5000, 'x');
        std::mt19937 fill(static_cast<unsigned>(seed));
        for (char &c : bytes) c = static_cast<char>(fill());
        return bytes;
    };
    const int members[] = {2, 7, 12};
    for (int set = 0; set < 3; ++set) {
        for (int m = 0; m < members[set]; ++m) {
            const std::string name = "s" + std::to_string(set) + "m" + std::to_string(m);
            write_file(dir / name, contents(set));
            names.push_back(name);
            set_of[name] = set;
        }
    }
    for (int u = 0; u < 20; ++u) {
        names.push_back("u" + std::to_string(u));
        write_file(dir / names.back(), contents(100 + u));
    }
    for (const auto &name : names) set_mtime(dir / name, 1000000000);
    std::shuffle(names.begin(), names.end(), generator);

    tool_result result = run_tool({}, nul_list(names), {.cwd = dir.path});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const std::vector<std::string> lines = ln_lines(result.out);
    EXPECT_EQ(lines.size(), 1u + 6u + 11u) << result.out;
    std::set<std::string> replaced;
    for (const std::string &line : lines) {
        // "ln  survivor replaced: n, 1 -> n + 1, ..." : the replaced file had one name.
        const size_t colon = line.find(':');
        const std::string pair = line.substr(4, colon - 4);
        const std::string name = pair.substr(pair.find(' ') + 1);
        EXPECT_TRUE(replaced.insert(name).second) << line;
        EXPECT_NE(line.find(", 1 -> "), std::string::npos) << line;
    }
    EXPECT_NE(result.out.find(summary(18, static_cast<int>(names.size()), 18 * 16)),
              std::string::npos)
        << result.out;
    for (const auto &[name, set] : set_of)
        EXPECT_TRUE(same_file(dir / name, dir / ("s" + std::to_string(set) + "m0"))) << name;
}

// A file that changes after the order was found is seen as it is now: when
// the change lands before the pair is acted on (the files, changed just
// before the run, are read again first), the two files simply differ; when
// it lands right before the replacement (the look at each name when it is
// held for it), one line names it. Either way nothing is counted or changed.
TEST(LinkMode, AFileChangedAfterComparisonIsNotLinked) {
    struct row {
        std::string name;  // beta (older) survives and is looked at first, then alpha
        std::string call;  // the change lands right before the call ...
        int skip;          // ... after this many such calls on the name
        bool refused;
    } rows[] = {{"beta", "open", 1, false},
                {"alpha", "open", 1, false},
                {"beta", "lstat", 1, true},
                {"alpha", "lstat", 1, true}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.name + " " + r.call + " " + std::to_string(r.skip));
        small_tree tree;
        const std::string change =
            "printf X | dd of=" + r.name + " bs=1 count=1 conv=notrunc 2>/dev/null";
        tool_result result = run_tool(
            {}, nul_list({"alpha", "beta"}),
            {.cwd = tree.dir.path,
             .hooks = r.call + ":" + r.name + ":" + std::to_string(r.skip) + ":" + change});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(
            result.err,
            r.refused ? "file " + r.name + ": changed since it was compared, not linked.\n" : "");
        EXPECT_NE(result.out.find(summary(0, 2, 0)), std::string::npos) << result.out;
        EXPECT_TRUE(ln_lines(result.out).empty());
        EXPECT_FALSE(same_file(tree.dir / "alpha", tree.dir / "beta"));
        EXPECT_EQ(read_file(tree.dir / r.name), "Xwin contents");
    }
}

// A read that fails after earlier reads delivered part of the file: a
// difference in the chunks read before the failure decides the order; one in
// the chunk where the failure lies is never seen, and the failure is
// reported. The files span two reads (a block of 128 KiB, then the rest).
// The first read of beta, when the run reads the files ahead of the sort,
// fails (that reading gives up silently); of the comparisons' reads the first
// succeeds and every later one fails: the pair is compared in the sort and
// again as neighbours, and each comparison that meets the failure reports it.
TEST(LinkMode, ADifferenceBeforeAFailedReadDecides) {
    const std::string filler(128 * 1024, 'f');
    struct row {
        std::string alpha;
        std::string err;
    } rows[] = {
        {"F" + filler.substr(1) + "twin contents", ""},
        {filler + "twin contentS", "file beta: error 1.\nfile beta: error 1.\n"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.err);
        small_tree tree;
        write_file(tree.dir / "alpha", r.alpha);
        write_file(tree.dir / "beta", filler + "twin contents");
        tool_result result =
            run_tool({"-q"}, nul_list({"alpha", "beta"}),
                     {.cwd = tree.dir.path, .faults = "read:beta:EIO:0:1;read:beta:EIO:1"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, r.err);
        EXPECT_FALSE(same_file(tree.dir / "alpha", tree.dir / "beta"));
    }
}

// When the replaced name becomes a name of the survivor's inode just before
// the new link is renamed over it, the rename leaves both names in place: the
// temporary one must still go.
TEST(LinkMode, ANameAlreadyLeadingToTheSurvivorLeavesNoTemporaryName) {
    small_tree tree;
    tool_result result =
        run_tool({"-q"}, nul_list({"alpha", "beta"}),
                 {.cwd = tree.dir.path, .hooks = "rename:*:0:env -u LD_PRELOAD ln -f beta alpha"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(same_file(tree.dir / "alpha", tree.dir / "beta"));
    EXPECT_EQ(status_of(tree.dir / "beta").st_nlink, 2u);
    EXPECT_TRUE(temporary_files_under(tree.dir.path).empty());
}

// The replaced name cannot be examined right before the rename, and the
// temporary link cannot be taken away either: each line gives its own
// call's reason, and both names keep their files.
TEST(LinkMode, AFailedLastLookAndAFailedCleanupEachGiveTheirOwnReason) {
    small_tree tree;
    tool_result result =
        run_tool({"-q"}, nul_list({"alpha", "beta"}),
                 {.cwd = tree.dir.path, .faults = "lstat:alpha:EIO:2;unlink:dup__:EPERM"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("lstat(alpha) failed\nlstat: Input/output error\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("lstat: Operation not permitted"), std::string::npos) << result.err;
    const auto temps = temporary_files_under(tree.dir.path);
    ASSERT_FALSE(temps.empty());
    for (const std::string &temp : temps) {
        const std::string last = temp.substr(temp.rfind('/') + 1);
        EXPECT_NE(result.err.find("unlink(" + last + ") failed\nunlink: Operation not permitted\n"),
                  std::string::npos)
            << result.err;
    }
    EXPECT_EQ(read_file(tree.dir / "alpha"), "twin contents");
    EXPECT_EQ(read_file(tree.dir / "beta"), "twin contents");
    EXPECT_FALSE(same_file(tree.dir / "alpha", tree.dir / "beta"));
}
