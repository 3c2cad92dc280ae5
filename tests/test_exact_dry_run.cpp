// The read-only run tells exactly what the real run does: on two identical
// trees, the output of -n on one equals the output of the real run on the
// other line for line (the words "which can be" aside, and the "deleting"
// lines that only the real delete pass prints), and -n changes nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "scratch_tree.h"
#include "tool_run.h"

namespace fs = std::filesystem;

namespace {

// One copy of a tree: a directory in /tmp that holds the listed names, with
// "shm" leading to a directory on /dev/shm (another device where it is one).
struct tree_copy {
    std::string root;
    std::string other;
};

void set_mtime(const std::string &path, time_t seconds, long nanoseconds = 0) {
    timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// Builds the tree that seed describes under copy and returns the list of
// names (relative to copy.root). The same seed builds the same tree, in the
// same order, every time.
std::vector<std::string> build_tree(const tree_copy &copy, uint32_t seed) {
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
    fs::create_directories(copy.root + "/d");
    fs::create_directories(copy.other);
    fs::create_symlink(copy.other, copy.root + "/shm");
    fs::create_symlink("d", copy.root + "/ld");
    const std::vector<std::string> contents = {
        "", "abc", "abd", std::string(5000, 's'), std::string(5000, 't'), std::string(4096, '\0')};
    std::vector<std::string> files, names;
    const int count = 4 + pick(9);
    for (int i = 0; i < count; ++i) {
        const std::string place = pick(4) == 0 ? "shm/" : (pick(2) ? "d/" : "");
        const std::string name = place + "f" + std::to_string(i);
        const std::string path = copy.root + "/" + name;
        const int kind = pick(12);
        if (kind == 0) {
            EXPECT_EQ(mkfifo(path.c_str(), 0644), 0);
        } else if (kind == 1) {
            EXPECT_EQ(symlink("abc", path.c_str()), 0);  // the size of a small file
        } else if (kind == 2 && !files.empty()) {
            // A second name of a file made before, in this directory.
            const std::string &from =
                files[static_cast<size_t>(pick(static_cast<int>(files.size())))];
            if (fs::path(from).parent_path() == fs::path(name).parent_path())
                EXPECT_EQ(link((copy.root + "/" + from).c_str(), path.c_str()), 0);
            else
                write_file(path, contents[1]);
        } else {
            const size_t content = static_cast<size_t>(pick(static_cast<int>(contents.size())));
            if (content == 5 && pick(2)) {
                // A file of zeros with no blocks at all.
                write_file(path, "");
                EXPECT_EQ(truncate(path.c_str(), 4096), 0);
            } else {
                write_file(path, contents[content], pick(3) == 0 ? 0600 : 0644);
            }
            if (pick(4) == 0) {
                EXPECT_EQ(chown(path.c_str(), 1000, 1000), 0);
            }
            set_mtime(path, 1600000000 + pick(3));
            files.push_back(name);
        }
        names.push_back(name);
        // Names listed twice, or by another route to the same entry: "./",
        // through "..", through a symbolic link to the directory.
        const int alias = pick(8);
        if (alias == 0) names.push_back(name);
        if (alias == 1) names.push_back("./" + name);
        if (alias == 2) names.push_back("d/../" + name);
        if (alias == 3 && name.rfind("d/", 0) == 0) names.push_back("ld/" + name.substr(2));
        if (alias == 3 && name.rfind("shm/", 0) == 0) names.push_back("ld/../" + name);
    }
    std::shuffle(names.begin(), names.end(), random);
    return names;
}

// Everything that -n must leave as it is: each name's type, inode, link
// count, size, blocks, owner, mode, times and bytes.
std::string snapshot(const tree_copy &copy) {
    std::string text;
    for (const std::string &top : {copy.root, copy.other}) {
        if (top.empty()) continue;
        std::vector<std::string> paths;
        for (const auto &entry : fs::recursive_directory_iterator(top))
            paths.push_back(entry.path());
        std::sort(paths.begin(), paths.end());
        for (const auto &path : paths) {
            struct stat st = status_of(path);
            // The sparse pass makes and removes its trial copies beside the
            // files even under -n: directories are compared by their entries.
            if (S_ISDIR(st.st_mode)) continue;
            text += path + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_ino) +
                    " " + std::to_string(st.st_nlink) + " " + std::to_string(st.st_size) + " " +
                    std::to_string(st.st_blocks) + " " + std::to_string(st.st_uid) + " " +
                    std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
                    " " + std::to_string(st.st_ctim.tv_sec) + "." +
                    std::to_string(st.st_ctim.tv_nsec);
            if (S_ISREG(st.st_mode))
                text += " " + std::to_string(std::hash<std::string>()(read_file(path)));
            text += "\n";
        }
    }
    return text;
}

// The output with the words of a read-only run and the lines of removals
// taken out; with up_to_links, only what comes before the end of the link
// or expansion pass.
std::string comparable(const std::string &out, bool up_to_links) {
    std::string kept;
    for (std::string line : lines_of(without_preamble(out))) {
        if (line.rfind("deleting ", 0) == 0) continue;
        for (const std::string words : {" which can be", " can be", " have been"})
            for (size_t at; (at = line.find(words)) != std::string::npos;)
                line.erase(at, words.size());
        kept += line + "\n";
        if (up_to_links && line.rfind("Minimum of found hard links", 0) == 0) break;
    }
    return kept;
}

// The "ln" lines of a link pass's sort.
std::string link_lines(const std::string &out) {
    std::string kept;
    for (const std::string &line : lines_of(out)) {
        if (line.rfind("Scanning for more dups", 0) == 0) break;
        if (line.rfind("ln ", 0) == 0) kept += line + "\n";
    }
    return kept;
}

struct mode_row {
    std::vector<std::string> options;
    bool up_to_links = false;
};

}  // namespace

// Seeded trees of equal sets with several names, names listed twice and as
// "./x", "x", "d/../x" or through a symbolic link to their directory, hard links, mixed owners and
// modes, two devices, files without blocks, empty files, symbolic links and FIFOs, in every mode.
TEST(ExactDryRun, SameLinesAsTheRealRun) {
    const std::vector<mode_row> modes = {
        {{}},
        {{"-s"}},
        {{"-i"}},
        {{"-d"}},
        {{"-d", "-i"}},
        {{"-q"}},
        {{"-s", "-q"}},
        {{"-d", "-q"}},
        // The expansion pass is exact; the desparse pass after it sees the files.
        {{"-c", "-i"}, true},
        // The link report of -c -S -n tells of the tree as it stands, as the
        // sort of a real link pass meets it.
        {{"-c", "-S"}},
    };
    const uint32_t first_seed = std::random_device()();
    constexpr int trees = 12;
    for (int t = 0; t < trees; ++t) {
        const uint32_t seed = first_seed + static_cast<uint32_t>(t);
        SCOPED_TRACE("seed " + std::to_string(seed));
        for (const mode_row &mode : modes) {
            SCOPED_TRACE(testing::PrintToString(mode.options));
            scratch_dir here, there("/dev/shm");
            // Paths of one length in both copies, so that absolute link texts match.
            const tree_copy dry{here / "A", there / "A"}, real{here / "B", there / "B"};
            const std::vector<std::string> names = build_tree(dry, seed);
            ASSERT_EQ(build_tree(real, seed), names);
            const std::string before = snapshot(dry);

            std::vector<std::string> dry_options = mode.options;
            dry_options.push_back("-n");
            std::vector<std::string> real_options = mode.options;
            if (mode.options == std::vector<std::string>{"-c", "-S"}) real_options = {};
            tool_result dry_run = run_tool(dry_options, nul_list(names), {.cwd = dry.root});
            tool_result real_run = run_tool(real_options, nul_list(names), {.cwd = real.root});
            EXPECT_EQ(dry_run.status, real_run.status);
            EXPECT_EQ(dry_run.err, real_run.err);
            if (mode.options == std::vector<std::string>{"-c", "-S"}) {
                // Its sort's lines are those of the real link pass's sort.
                EXPECT_EQ(link_lines(dry_run.out), link_lines(real_run.out));
            } else {
                const bool cut = mode.up_to_links;
                EXPECT_EQ(comparable(dry_run.out, cut), comparable(real_run.out, cut));
            }
            EXPECT_EQ(snapshot(dry), before);
            if (HasFailure()) return;
        }
    }
}

namespace {

// A tree whose list names one directory entry several times.
struct alias_row {
    const char *what;
    std::function<void(const std::string &root)> build;
    std::vector<std::string> names;
    // Sets of names that one real run leaves as names of one file.
    std::vector<std::vector<std::string>> linked;
};

void build_survivor_chain(const std::string &root) {
    fs::create_directories(root + "/p");
    fs::create_directories(root + "/q");
    const std::string k(511, 'k');
    write_file(root + "/p/z", k);
    ASSERT_EQ(link((root + "/p/z").c_str(), (root + "/p/b").c_str()), 0);
    write_file(root + "/q/x", k);
    write_file(root + "/q/y", k);
    set_mtime(root + "/p/z", 1600002000, 500000000);
    set_mtime(root + "/q/x", 1600002000);
    set_mtime(root + "/q/y", 1600000000);
}

void build_through_links(const std::string &root) {
    fs::create_directories(root + "/d0/dd");
    fs::create_directories(root + "/d1");
    fs::create_directories(root + "/u");
    fs::create_symlink("d0", root + "/lnk");
    write_file(root + "/small", std::string(100, 'h'));
    for (const char *name : {"u/1", "u/2", "u/3"})
        ASSERT_EQ(link((root + "/small").c_str(), (root + "/" + name).c_str()), 0);
    write_file(root + "/d0/small", std::string(100, 'h'));
    ASSERT_EQ(link((root + "/d0/small").c_str(), (root + "/u/4").c_str()), 0);
    const std::string big = std::string(16384, 'k') + std::string(49152, '\0');
    for (const char *name : {"d1/big", "d0/f0", "d0/dd/g h"}) write_file(root + "/" + name, big);
    // Equal bytes in fewer blocks: the zeros are a hole.
    write_file(root + "/d0/sparse", std::string(16384, 'k'));
    ASSERT_EQ(truncate((root + "/d0/sparse").c_str(), 65536), 0);
    for (const char *name : {"small", "d0/small", "d1/big", "d0/f0", "d0/dd/g h", "d0/sparse"})
        set_mtime(root + "/" + name, 1600000000);
}

}  // namespace

// A directory entry listed under several names ("./x" and "x", a path through
// a symbolic link to its directory, "d1/../d0/x"): once one of its names is
// replaced, every name of it leads to the new file. The real run links every
// equal file in one run, and -n prints what it prints.
TEST(ExactDryRun, NamesOfOneEntryMeetTheirReplacement) {
    const std::vector<alias_row> rows = {
        {"a survivor whose name is listed twice",
         build_survivor_chain,
         {"./q/x", "q/x", "./p/z", "q/y", "p/b"},
         {{"p/z", "p/b", "q/x", "q/y"}}},
        {"a replaced name listed through a symbolic link and through ..",
         build_through_links,
         {"d1/big", "d1/../d0/small", "d1/../d0/sparse", "d0/f0", "d0/dd/g h", "d0/small",
          "d0/sparse", "lnk/sparse", "small"},
         {{"small", "d0/small"}, {"d1/big", "d0/f0", "d0/dd/g h", "d0/sparse"}}},
        {"every name listed under an alias, in reverse",
         build_through_links,
         {"small", "lnk/sparse", "./d0/sparse", "d0/dd/g h", "./d0/f0", "lnk/f0", "d0/small",
          "d1/big", "d1/../d1/big", "lnk/small", "d0/sparse"},
         {{"small", "d0/small"}, {"d1/big", "d0/f0", "d0/dd/g h", "d0/sparse"}}},
    };
    for (const alias_row &row : rows) {
        for (const std::vector<std::string> &options :
             {std::vector<std::string>{}, std::vector<std::string>{"-s"}}) {
            SCOPED_TRACE(std::string(row.what) + " " + testing::PrintToString(options));
            scratch_dir here;
            const std::string dry = here / "A", real = here / "B";
            fs::create_directories(dry);
            fs::create_directories(real);
            row.build(dry);
            row.build(real);
            const std::string before = snapshot({dry, ""});

            std::vector<std::string> dry_options = options;
            dry_options.push_back("-n");
            const tool_result dry_run = run_tool(dry_options, nul_list(row.names), {.cwd = dry});
            const tool_result real_run = run_tool(options, nul_list(row.names), {.cwd = real});
            EXPECT_EQ(real_run.status, 0);
            EXPECT_EQ(dry_run.status, real_run.status);
            EXPECT_EQ(dry_run.err, real_run.err);
            EXPECT_EQ(comparable(dry_run.out, false), comparable(real_run.out, false));
            EXPECT_EQ(snapshot({dry, ""}), before);

            // Nothing is left for a second run.
            const tool_result again = run_tool(options, nul_list(row.names), {.cwd = real});
            EXPECT_EQ(again.status, 0);
            EXPECT_EQ(again.out.find("\nln "), std::string::npos) << again.out.substr(0, 2000);
            for (const std::vector<std::string> &set : row.linked) {
                // With -s every name but one is a symbolic link to a name of the survivor.
                const struct stat first = fs::is_symlink(real + "/" + set[0])
                                              ? status_of(fs::canonical(real + "/" + set[0]))
                                              : status_of(real + "/" + set[0]);
                for (const std::string &name : set) {
                    const fs::path path = real + "/" + name;
                    const struct stat now =
                        fs::is_symlink(path) ? status_of(fs::canonical(path)) : status_of(path);
                    EXPECT_EQ(now.st_ino, first.st_ino) << name;
                }
            }
            if (HasFailure()) return;
        }
    }
}
