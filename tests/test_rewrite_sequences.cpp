// The sequences that rewrite files (-S, -i -S, -c -S, -c -i, each with and
// without -n), end to end through the binary: what they print, what they
// leave, that the block figures of their summaries are what the disk shows,
// and that no pass starts another process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "rewrite_fixtures.h"
#include "scratch_tree.h"
#include "tool_run.h"

namespace {

// 4 KiB of data, `zeros` bytes of written zeros, 4 KiB of data.
std::string with_zero_region(size_t zeros, unsigned seed) {
    return dense_bytes(4096, seed) + std::string(zeros, '\0') + dense_bytes(4096, seed + 1);
}

struct sparse_tree {
    scratch_dir dir;
    std::string zeros_content = with_zero_region(1 << 20, 1);
    std::string pair_content = with_zero_region(2 << 20, 3);
    sparse_tree() {
        write_file(dir / "dense", dense_bytes(8192, 5));
        write_file(dir / "zeros", zeros_content, 0640);
        write_file(dir / "p1", pair_content);
        EXPECT_EQ(link((dir / "p1").c_str(), (dir / "p2").c_str()), 0);
    }
    std::string list() const { return nul_list({"p2", "zeros", "dense", "p1"}); }
};

long long blocks_of(const std::string &path) {
    return status_of(path).st_blocks;
}

}  // namespace

// -S: every file of one name whose sparse copy saves blocks is replaced by it;
// p1 and p2, two names of one file, are left as they are.
TEST(RewriteSequences, SparseMode) {
    sparse_tree tree;
    const struct stat pair = status_of(tree.dir / "p1");
    const struct stat zeros = status_of(tree.dir / "zeros");
    tool_result r = run_tool({"-S"}, tree.list(), {.cwd = tree.dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    const long long zeros_after = blocks_of(tree.dir / "zeros");
    const long long zeros_gain = zeros.st_blocks - zeros_after;
    EXPECT_EQ(lines_of(without_preamble(r.out)),
              (std::vector<std::string>{
                  "Input: 4 files, processing ...",
                  "zeros: " + std::to_string(zeros.st_blocks) + " -> " +
                      std::to_string(zeros_after) + " blocks",
                  "Files sparsed: 1 of 4, Disk blocks reclaimed: " + std::to_string(zeros_gain),
                  "Minimum of disk blocks which could be reclaimed by sparse copying: 0, "
                  "Maximum: " +
                      std::to_string(zeros_gain) + ".",
              }));
    EXPECT_EQ(read_file(tree.dir / "zeros"), tree.zeros_content);
    EXPECT_EQ(status_of(tree.dir / "zeros").st_mode & 07777, 0640u);
    for (const char *n : {"p1", "p2"}) {
        EXPECT_TRUE(same_file(status_of(tree.dir / n), pair)) << n;
        EXPECT_EQ(blocks_of(tree.dir / n), pair.st_blocks) << n;
    }
    EXPECT_TRUE(temporary_files_under(tree.dir.path).empty());
}

// -S -n: the copies are made, measured, counted and removed; nothing changes.
TEST(RewriteSequences, SparseModeReadOnly) {
    sparse_tree tree;
    const struct stat zeros = status_of(tree.dir / "zeros"), pair = status_of(tree.dir / "p1");
    tool_result r = run_tool({"-S", "-n"}, tree.list(), {.cwd = tree.dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = lines_of(without_preamble(r.out));
    ASSERT_EQ(lines.size(), 4u) << r.out;
    std::smatch figures;
    ASSERT_TRUE(std::regex_match(lines[1], figures, std::regex("zeros: 2064 -> ([0-9]+) blocks")));
    const long long gain = 2064 - std::stoll(figures[1]);
    EXPECT_EQ(lines[2], "Files which can be sparsed: 1 of 4, Disk blocks can be reclaimed: " +
                            std::to_string(gain));
    EXPECT_TRUE(same_file(status_of(tree.dir / "zeros"), zeros));
    EXPECT_EQ(blocks_of(tree.dir / "zeros"), zeros.st_blocks);
    EXPECT_TRUE(same_file(status_of(tree.dir / "p2"), pair));
    EXPECT_TRUE(temporary_files_under(tree.dir.path).empty());
}

// -i -S desparses and ends with status 0; with -n it only reports.
TEST(RewriteSequences, Desparsing) {
    for (bool nodo : {false, true}) {
        SCOPED_TRACE(nodo ? "-i -S -n" : "-i -S");
        scratch_dir dir;
        write_holed_file(dir / "holed", 1 << 20);
        write_file(dir / "dense", dense_bytes(8192));
        const struct stat holed = status_of(dir / "holed");
        std::vector<std::string> args{"-i", "-S"};
        if (nodo) args.push_back("-n");
        tool_result r = run_tool(args, nul_list({"holed", "dense"}), {.cwd = dir.path});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        const std::vector<std::string> lines = lines_of(without_preamble(r.out));
        ASSERT_EQ(lines.size(), 4u) << r.out;
        std::smatch figures;
        ASSERT_TRUE(
            std::regex_match(lines[1], figures, std::regex("holed: ([0-9]+) -> ([0-9]+) blocks")));
        EXPECT_EQ(std::stoll(figures[1]), holed.st_blocks);
        const long long gain = std::stoll(figures[2]) - holed.st_blocks;
        EXPECT_EQ(lines[2],
                  std::string(
                      nodo ? "Files which can be desparsed: 1 of 2, Disk blocks can be declaimed: "
                           : "Files desparsed: 1 of 2, Disk blocks declaimed: ") +
                      std::to_string(gain));
        EXPECT_EQ(
            lines[3],
            "Minimum of disk blocks which could be declaimed by desparse copying: 0, Maximum: " +
                std::to_string(gain) + ".");
        EXPECT_EQ(same_file(status_of(dir / "holed"), holed), nodo);
        EXPECT_EQ(blocks_of(dir / "holed"), nodo ? holed.st_blocks : holed.st_blocks + gain);
        EXPECT_TRUE(temporary_files_under(dir.path).empty());
    }
}

// -c -S: the sparse pass, then the link pass over the same list.
TEST(RewriteSequences, ComboSparseThenLink) {
    scratch_dir dir;
    const std::string twin = dense_bytes(8192, 9);
    write_file(dir / "d1", twin);
    write_file(dir / "d2", twin);
    write_file(dir / "zeros", with_zero_region(1 << 20, 1));
    tool_result r = run_tool({"-c", "-S"}, nul_list({"d1", "zeros", "d2"}), {.cwd = dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string out = without_preamble(r.out);
    EXPECT_TRUE(
        std::regex_search(out, std::regex("zeros: 2064 -> [0-9]+ blocks\n"
                                          "Files sparsed: 1 of 3, Disk blocks reclaimed: [0-9]+\n"
                                          "Minimum of disk blocks which could be reclaimed by "
                                          "sparse copying: 0, Maximum: [0-9]+\\.\n")))
        << out;
    EXPECT_TRUE(
        std::regex_search(out, std::regex("ln  d[12] d[12]: 1, 1 -> 2, freed \\+16 blocks\n")))
        << out;
    EXPECT_NE(
        out.find("Scanning for more dups ...\nFiles linked: 1 of 3, Disk blocks reclaimed: 16\n"),
        std::string::npos)
        << out;
    EXPECT_TRUE(same_file(status_of(dir / "d1"), status_of(dir / "d2")));
    EXPECT_LT(blocks_of(dir / "zeros"), 64);
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

// -c -S -n -q: the pre-sort reports the links it would make even under -q;
// the sparse pass counts silently; the run ends there with status 0.
TEST(RewriteSequences, ComboSparseReadOnlyReportsThePreSort) {
    scratch_dir dir;
    const std::string twin = dense_bytes(8192, 9);
    write_file(dir / "d1", twin);
    write_file(dir / "d2", twin);
    write_file(dir / "zeros", with_zero_region(1 << 20, 1));
    const struct stat d1 = status_of(dir / "d1"), zeros = status_of(dir / "zeros");
    tool_result r =
        run_tool({"-c", "-S", "-n", "-q"}, nul_list({"d1", "zeros", "d2"}), {.cwd = dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_FALSE(lines.empty());
    for (const std::string &line : lines)
        EXPECT_TRUE(
            std::regex_match(line, std::regex("ln  d[12] d[12]: 1, 1 -> 2, freed \\+16 blocks")))
            << line;
    EXPECT_TRUE(same_file(status_of(dir / "d1"), d1));
    EXPECT_FALSE(same_file(status_of(dir / "d1"), status_of(dir / "d2")));
    EXPECT_TRUE(same_file(status_of(dir / "zeros"), zeros));
    EXPECT_EQ(blocks_of(dir / "zeros"), zeros.st_blocks);
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

// -c -S: the link stage examines the names afresh after the sparse pass gave
// some of them new files. Of two names of one file (left alone by the sparse
// pass) and a third equal file (made sparse), the link stage makes one file
// again; the link extremes are those of the files the stage saw.
TEST(RewriteSequences, ComboLinkStageSeesTheFilesTheSparsePassMade) {
    scratch_dir dir;
    const std::string zeros = with_zero_region(1 << 20, 3);
    write_file(dir / "z1", zeros);
    ASSERT_EQ(link((dir / "z1").c_str(), (dir / "z2").c_str()), 0);
    write_file(dir / "z3", zeros);
    write_file(dir / "many", dense_bytes(8192, 4));
    for (const char *name : {"many.2", "many.3"})
        ASSERT_EQ(link((dir / "many").c_str(), (dir / name).c_str()), 0);
    tool_result r = run_tool({"-c", "-S"}, nul_list({"z1", "many", "z3", "z2"}), {.cwd = dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string out = without_preamble(r.out);
    EXPECT_NE(out.find("Scanning for more dups ...\nFiles linked: "), std::string::npos) << out;
    EXPECT_TRUE(
        std::regex_search(out, std::regex("Minimum of found hard links: 1, Maximum: 3\\.\n")))
        << out;
    EXPECT_TRUE(same_file(status_of(dir / "z1"), status_of(dir / "z2")));
    EXPECT_TRUE(same_file(status_of(dir / "z1"), status_of(dir / "z3")));
    EXPECT_EQ(read_file(dir / "z1"), zeros);
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}

namespace {

// A file of `size` bytes written in pieces: data where data_at says so (4 KiB
// each), written zeros in [zeros_from, zeros_to), holes everywhere else.
void write_layout(const std::string &path, off_t size, const std::vector<off_t> &data_at,
                  off_t zeros_from = 0, off_t zeros_to = 0, unsigned seed = 1) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    if (zeros_to > zeros_from) {
        const std::string zeros(static_cast<size_t>(zeros_to - zeros_from), '\0');
        ASSERT_EQ(pwrite(fd, zeros.data(), zeros.size(), zeros_from),
                  static_cast<ssize_t>(zeros.size()));
    }
    for (off_t at : data_at) {
        const std::string data = dense_bytes(4096, seed++);
        ASSERT_EQ(pwrite(fd, data.data(), data.size(), at), 4096);
    }
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

// Holes, written zeros and files of several names: the cases of every
// rewriting pass. The names are listed in this order.
struct mixed_tree {
    scratch_dir dir;
    std::vector<std::string> names;
    mixed_tree() {
        const off_t mib = 1 << 20;
        EXPECT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
        write_layout(dir / "holed", 2 * mib, {0, mib, 2 * mib - 4096});
        write_layout(dir / "zeros", 2 * mib, {0, 2 * mib - 4096}, 0, 2 * mib);
        write_layout(dir / "mixed", 3 * mib, {0, mib, 3 * mib - 4096}, mib, 2 * mib);
        // Eight pieces of data in written zeros: a sparse copy of so many
        // pieces needs blocks to map them.
        std::vector<off_t> pieces;
        for (off_t at = 0; at < mib; at += mib / 8) pieces.push_back(at);
        write_layout(dir / "pieces", mib, pieces, 0, mib);
        write_layout(dir / "sub/holed pair", mib, {0, mib - 4096});
        EXPECT_EQ(link((dir / "sub/holed pair").c_str(), (dir / "holed pair 2").c_str()), 0);
        write_layout(dir / "three", 2 * mib, {}, 0, 2 * mib);
        EXPECT_EQ(link((dir / "three").c_str(), (dir / "three.2").c_str()), 0);
        EXPECT_EQ(link((dir / "three").c_str(), (dir / "sub/three.3").c_str()), 0);
        write_file(dir / "dense", dense_bytes(20000, 3));
        write_file(dir / "twin", dense_bytes(12000, 4));
        write_file(dir / "sub/twin", dense_bytes(12000, 4));
        names = {"holed", "zeros",   "mixed",       "pieces", "sub/holed pair", "holed pair 2",
                 "three", "three.2", "sub/three.3", "dense",  "twin",           "sub/twin"};
    }
    // What du -B512 shows for the tree: the blocks of every file, counted
    // once however many names it has, once the file system has written
    // everything out.
    long long du() const {
        const int fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(syncfs(fd), 0);
        close(fd);
        std::set<std::pair<dev_t, ino_t>> seen;
        long long blocks = 0;
        for (const auto &item : std::filesystem::recursive_directory_iterator(dir.path)) {
            const struct stat st = status_of(item.path());
            if (S_ISREG(st.st_mode) && seen.insert({st.st_dev, st.st_ino}).second)
                blocks += st.st_blocks;
        }
        return blocks;
    }
};

// The blocks that the summaries of a run say it took (declaimed) less those
// it says it freed (reclaimed), over every pass.
long long summary_change(const std::string &out) {
    long long change = 0;
    const std::regex figure(
        "Disk blocks (?:which can be |can be )?(reclaimed|declaimed): ([0-9]+)");
    for (std::sregex_iterator it(out.begin(), out.end(), figure), end; it != end; ++it)
        change += ((*it)[1] == "declaimed" ? 1 : -1) * std::stoll((*it)[2]);
    return change;
}

// The summary lines of the sparse pass.
std::string sparse_summary(const std::string &out) {
    std::smatch found;
    std::regex_search(out, found,
                      std::regex("Files (which can be )?(de)?sparsed: .*\nMinimum of disk .*\n"));
    return found.str();
}

}  // namespace

// The blocks that the summaries of a rewriting run count are the blocks that
// the disk gains or loses, as du shows them, and a read-only run's sparse
// pass reports the figures of the real one and changes nothing. With -c -i
// the desparsing pass works on the files that the expansion pass left, the
// files that -i alone leaves: its figures are measured from there.
TEST(RewriteSequences, SummariesAgreeWithTheDisk) {
    struct row {
        std::vector<std::string> args;
        bool after_expansion;  // only the sparse summary, measured from a run of -i
    };
    const row rows[] = {
        {{"-S"}, false}, {{"-i", "-S"}, false}, {{"-c", "-S"}, false}, {{"-c", "-i"}, true}};
    for (const row &row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        mixed_tree tree;
        std::map<std::string, std::string> contents;
        for (const std::string &name : tree.names) contents[name] = read_file(tree.dir / name);
        long long before = tree.du();
        if (row.after_expansion) {
            mixed_tree expanded;
            tool_result r = run_tool({"-i"}, nul_list(expanded.names), {.cwd = expanded.dir.path});
            ASSERT_EQ(r.status, 0);
            before = expanded.du();
        }
        tool_result real = run_tool(row.args, nul_list(tree.names), {.cwd = tree.dir.path});
        EXPECT_EQ(real.status, 0);
        EXPECT_EQ(real.err, "");
        const std::string counted = row.after_expansion ? sparse_summary(real.out) : real.out;
        EXPECT_EQ(tree.du() - before, summary_change(counted)) << real.out;
        EXPECT_NE(summary_change(counted), 0) << real.out;
        for (const std::string &name : tree.names)
            EXPECT_EQ(read_file(tree.dir / name), contents[name]) << name;
        EXPECT_TRUE(temporary_files_under(tree.dir.path).empty());

        mixed_tree fresh;
        const long long fresh_before = fresh.du();
        std::vector<std::string> read_only = row.args;
        read_only.push_back("-n");
        tool_result report = run_tool(read_only, nul_list(fresh.names), {.cwd = fresh.dir.path});
        EXPECT_EQ(report.status, 0);
        EXPECT_EQ(report.err, "");
        EXPECT_EQ(fresh.du(), fresh_before);
        // The expansion pass of a read-only run makes nothing, so the sparse
        // pass after it sees other files.
        if (!row.after_expansion) {
            EXPECT_EQ(summary_change(sparse_summary(report.out)),
                      summary_change(sparse_summary(real.out)))
                << report.out;
        }
        EXPECT_TRUE(temporary_files_under(fresh.dir.path).empty());
    }
}

// Every rewriting mode makes its copies itself: no run starts a process or
// runs another program. The shim notes every fork, vfork, clone,
// posix_spawn, exec, system and popen of the binary; as a check of that
// record, a shell under the same name that runs two commands is noted.
TEST(RewriteSequences, NoPassStartsAProcess) {
    scratch_dir logs;
    auto started_by_the_tool = [](const std::string &log) {
        std::vector<std::string> calls;
        for (const std::string &line : lines_of(read_file(log)))
            if (line.rfind("twinfold ", 0) == 0) calls.push_back(line);
        return calls;
    };
    tool_result shell =
        run_tool({"-c", "/bin/true; /bin/true"}, "",
                 {.child_log = logs / "shell", .unwrapped = true, .binary = "/bin/sh"});
    ASSERT_EQ(shell.status, 0) << shell.err;
    const std::vector<std::string> shell_calls = started_by_the_tool(logs / "shell");
    // The shell starts at least its first command as a process of its own
    // (by fork or vfork), which runs the command with execve.
    const auto noted = [&](const char *call) {
        return std::count(shell_calls.begin(), shell_calls.end(), std::string("twinfold ") + call);
    };
    EXPECT_GE(noted("fork") + noted("vfork"), 1) << testing::PrintToString(shell_calls);
    EXPECT_GE(noted("execve"), 1) << testing::PrintToString(shell_calls);

    const std::vector<std::vector<std::string>> modes = {
        {"-S"},
        {"-S", "-n"},
        {"-i", "-S"},
        {"-i", "-S", "-n"},
        {"-c", "-S"},
        {"-c", "-S", "-n"},
        {"-c", "-i"},
        {"-c", "-i", "-n"},
        {"-c", "-i", "-S"},
        {"-i"},
        {"-i", "-n"},
    };
    int mode_number = 0;
    for (const auto &mode : modes) {
        SCOPED_TRACE(testing::PrintToString(mode));
        mixed_tree tree;
        const std::string log = logs / ("mode-" + std::to_string(mode_number++));
        tool_result r =
            run_tool(mode, nul_list(tree.names), {.cwd = tree.dir.path, .child_log = log});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_NE(summary_change(r.out), 0) << "the run did nothing:\n" << r.out;
        EXPECT_EQ(started_by_the_tool(log), std::vector<std::string>{});
    }
}
