// The sequences that start with the sparse pre-sort (-S, -i -S, -c -S, each
// with and without -n), end to end through the binary. They need the link
// comparator for the pre-sort; rename this file to tests/test_rewrite_sequences.cpp
// to build it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
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

// -S: the silent pre-sort puts p1 and p2 next to each other, so only the later
// of them is rewritten; the earlier keeps the old inode.
TEST(RewriteSequences, SparseMode) {
    sparse_tree tree;
    const struct stat pair = status_of(tree.dir / "p1");
    const struct stat zeros = status_of(tree.dir / "zeros");
    tool_result r = run_tool({"-S"}, tree.list(), {.cwd = tree.dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    const long long zeros_after = blocks_of(tree.dir / "zeros"),
                    p2_after = blocks_of(tree.dir / "p2");
    const long long zeros_gain = zeros.st_blocks - zeros_after,
                    pair_gain = pair.st_blocks - p2_after;
    EXPECT_EQ(
        lines_of(without_preamble(r.out)),
        (std::vector<std::string>{
            "Input: 4 files, processing ...",
            "zeros: " + std::to_string(zeros.st_blocks) + " -> " + std::to_string(zeros_after) +
                " blocks",
            "p2: " + std::to_string(pair.st_blocks) + " -> " + std::to_string(p2_after) + " blocks",
            "Files sparsed: 2 of 4, Disk blocks reclaimed: " +
                std::to_string(zeros_gain + pair_gain),
            "Minimum of disk blocks which could be reclaimed by sparse copying: 0, Maximum: " +
                std::to_string(std::max(zeros_gain, pair_gain)) + ".",
        }));
    EXPECT_EQ(read_file(tree.dir / "zeros"), tree.zeros_content);
    EXPECT_EQ(read_file(tree.dir / "p2"), tree.pair_content);
    EXPECT_EQ(status_of(tree.dir / "zeros").st_mode & 07777, 0640u);
    EXPECT_TRUE(same_file(status_of(tree.dir / "p1"), pair));
    EXPECT_FALSE(same_file(status_of(tree.dir / "p2"), pair));
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
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("zeros: 2064 -> [0-9]+ blocks")));
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("p2: 4112 -> [0-9]+ blocks")));
    EXPECT_TRUE(std::regex_match(
        lines[3],
        std::regex("Files which can be sparsed: 2 of 4, Disk blocks can be reclaimed: [0-9]+")));
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
// some of them new files. Two names of one file and a third equal file each
// leave the sparse pass on a file of their own, and the link stage brings them
// together again; the link extremes are those of the files the stage saw.
TEST(RewriteSequences, ComboLinkStageSeesTheFilesTheSparsePassMade) {
    scratch_dir dir;
    const std::string zeros = with_zero_region(1 << 20, 3);
    write_file(dir / "z1", zeros);
    ASSERT_EQ(link((dir / "z1").c_str(), (dir / "z2").c_str()), 0);
    write_file(dir / "z3", zeros);
    write_file(dir / "many", dense_bytes(8192, 4));
    for (const char *name : {"many.2", "many.3"})
        ASSERT_EQ(link((dir / "many").c_str(), (dir / name).c_str()), 0);
    tool_result r =
        run_tool({"-c", "-S"}, nul_list({"z1", "many", "z3", "z2"}), {.cwd = dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string out = without_preamble(r.out);
    EXPECT_NE(out.find("Scanning for more dups ...\nFiles linked: "), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("Minimum of found hard links: 1, Maximum: 3\\.\n")))
        << out;
    EXPECT_TRUE(same_file(status_of(dir / "z1"), status_of(dir / "z2")));
    EXPECT_TRUE(same_file(status_of(dir / "z1"), status_of(dir / "z3")));
    EXPECT_EQ(read_file(dir / "z1"), zeros);
    EXPECT_TRUE(temporary_files_under(dir.path).empty());
}
