// Block sharing (-B) end to end on real file systems: XFS with reflink and
// btrfs made in small images on loop devices, and ext4 (/tmp), which cannot
// share blocks. Checked: the lines, the summary against the change of free
// space, the extent maps, and that every name keeps its inode, owner, group,
// mode, times, link count and bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "loop_file_system.h"
#include "scratch_tree.h"
#include "tool_run.h"

namespace {

std::string random_bytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char &byte : bytes) byte = static_cast<char>(generator() & 0xff);
    return bytes;
}

// Blocks of 512 bytes that a file of size takes on a file system of 4 KiB blocks.
int64_t blocks_of(int64_t size) {
    return (size + 4095) / 4096 * 8;
}

void set_times(const std::string &path, time_t accessed, time_t modified) {
    const timespec times[2] = {{accessed, 0}, {modified, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void set_flag(const std::string &path, int flag, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    int flags = 0;
    ASSERT_EQ(ioctl(fd, FS_IOC_GETFLAGS, &flags), 0) << path;
    flags = on ? flags | flag : flags & ~flag;
    ASSERT_EQ(ioctl(fd, FS_IOC_SETFLAGS, &flags), 0) << path;
    close(fd);
}

// Everything a name must keep when its file shares blocks.
struct kept_state {
    struct stat status {};
    std::string bytes;
};

// The bytes of a file, read without moving its access time.
std::string bytes_of(const std::string &path) {
    std::string bytes;
    const int fd = open(path.c_str(), O_RDONLY | O_NOATIME | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    char buffer[65536];
    ssize_t got;
    while (fd >= 0 && (got = read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<size_t>(got));
    if (fd >= 0) close(fd);
    return bytes;
}

std::map<std::string, kept_state> states_of(const std::string &root,
                                            const std::vector<std::string> &names) {
    std::map<std::string, kept_state> states;
    for (const std::string &name : names)
        states[name] = {status_of(root + "/" + name), bytes_of(root + "/" + name)};
    return states;
}

void expect_kept(const std::map<std::string, kept_state> &before,
                 const std::map<std::string, kept_state> &after) {
    for (const auto &[name, was] : before) {
        const kept_state &now = after.at(name);
        const struct stat &a = was.status, &b = now.status;
        EXPECT_EQ(a.st_ino, b.st_ino) << name;
        EXPECT_EQ(a.st_mode, b.st_mode) << name;
        EXPECT_EQ(a.st_uid, b.st_uid) << name;
        EXPECT_EQ(a.st_gid, b.st_gid) << name;
        EXPECT_EQ(a.st_nlink, b.st_nlink) << name;
        EXPECT_EQ(a.st_size, b.st_size) << name;
        for (const auto &[x, y] : {std::pair{a.st_atim, b.st_atim}, std::pair{a.st_mtim, b.st_mtim},
                                   std::pair{a.st_ctim, b.st_ctim}}) {
            EXPECT_EQ(x.tv_sec, y.tv_sec) << name;
            EXPECT_EQ(x.tv_nsec, y.tv_nsec) << name;
        }
        EXPECT_TRUE(was.bytes == now.bytes) << name << ": its bytes changed";
    }
}

// The extent map, read here with FIEMAP itself: (offset in the file, address,
// length, flags), neighbours that continue each other joined.
struct mapped {
    uint64_t logical, physical, length;
    uint32_t flags;
};

std::vector<mapped> extents_of(const std::string &path) {
    std::vector<mapped> found;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0) return found;
    constexpr uint32_t room = 256;
    std::vector<uint64_t> buffer((sizeof(fiemap) + room * sizeof(fiemap_extent)) / 8 + 1);
    auto *request = reinterpret_cast<fiemap *>(buffer.data());
    request->fm_start = 0;
    request->fm_length = FIEMAP_MAX_OFFSET;
    request->fm_flags = FIEMAP_FLAG_SYNC;
    request->fm_extent_count = room;
    EXPECT_EQ(ioctl(fd, FS_IOC_FIEMAP, request), 0) << path;
    close(fd);
    for (uint32_t i = 0; i < request->fm_mapped_extents; ++i) {
        const fiemap_extent &e = request->fm_extents[i];
        if (!found.empty() && found.back().logical + found.back().length == e.fe_logical &&
            found.back().physical + found.back().length == e.fe_physical &&
            (found.back().flags & FIEMAP_EXTENT_SHARED) == (e.fe_flags & FIEMAP_EXTENT_SHARED)) {
            found.back().length += e.fe_length;
            continue;
        }
        found.push_back(
            {e.fe_logical, e.fe_physical, e.fe_length, e.fe_flags & ~FIEMAP_EXTENT_LAST});
    }
    return found;
}

// Bytes of the first length bytes of two files that lie at one address.
uint64_t bytes_at_one_place(const std::string &a, const std::string &b, uint64_t length) {
    const std::vector<mapped> x = extents_of(a), y = extents_of(b);
    uint64_t same = 0;
    for (const mapped &p : x)
        for (const mapped &q : y) {
            const uint64_t from = std::max(p.logical, q.logical);
            const uint64_t to = std::min({p.logical + p.length, q.logical + q.length, length});
            if (from < to && p.physical + (from - p.logical) == q.physical + (from - q.logical))
                same += to - from;
        }
    return same;
}

bool all_extents_shared(const std::string &path) {
    const std::vector<mapped> map = extents_of(path);
    for (const mapped &extent : map)
        if (!(extent.flags & FIEMAP_EXTENT_SHARED)) return false;
    return !map.empty();
}

std::string summary(bool nodo, int files, int count, int64_t blocks) {
    if (nodo)
        return "Files which can share blocks: " + std::to_string(files) + " of " +
               std::to_string(count) +
               ", Disk blocks which can be reclaimed: " + std::to_string(blocks) + "\n";
    return "Files sharing blocks: " + std::to_string(files) + " of " + std::to_string(count) +
           ", Disk blocks reclaimed: " + std::to_string(blocks) + "\n";
}

// The summary's blocks on the line that ends a run's output.
int64_t reclaimed_in(const std::string &out) {
    const size_t at = out.rfind("reclaimed: ");
    return at == std::string::npos ? -1 : std::stoll(out.substr(at + 11));
}

// A change of free space agrees with the blocks a run reports. On XFS to the
// block. btrfs counts its metadata in the free space too, and the data's
// checksums (4 bytes for every 4 KiB block, kept twice in metadata with the
// DUP profile) go with the blocks they check: free space may grow by up to
// that share more, in whole tree nodes (16 KiB, kept twice).
void expect_free_space_agrees(const loop_file_system &fs, int64_t grown, int64_t reported) {
    if (fs.kind == "xfs") {
        EXPECT_EQ(grown, reported);
        return;
    }
    const int64_t checksums = reported / 8 * 4 * 2 / 512;
    const int64_t nodes = 4 * 2 * 16384 / 512;
    EXPECT_GE(grown, reported - nodes) << "free space grew less than reported";
    EXPECT_LE(grown, reported + checksums + nodes) << "free space grew more than reported";
}

std::string with_nodo_wording(std::string out) {
    const auto replace = [&](const std::string &from, const std::string &to) {
        for (size_t at = out.find(from); at != std::string::npos;
             at = out.find(from, at + to.size()))
            out.replace(at, from.size(), to);
    };
    replace("Files sharing blocks: ", "Files which can share blocks: ");
    replace("Disk blocks reclaimed: ", "Disk blocks which can be reclaimed: ");
    return out;
}

class ShareBlocks : public ::testing::TestWithParam<std::string> {};

// A tree of three sets: one file in five copies of every owner, mode and
// time (two names of one of them, one append-only, one immutable), a file
// beside a sparser copy of it, and a file larger than one call's range.
// The report is made first; then the run; then a second run.
TEST_P(ShareBlocks, SetsShareTheirBlocksAndEveryNameKeepsItsFile) {
    loop_file_system fs(GetParam());
    MOUNT_OR_SKIP(fs);
    const std::string report = random_bytes(300001, 1);  // not a whole number of blocks
    for (const char *name : {"docs/report.txt", "copy1/report.txt", "copy2/report.txt",
                             "locked/append.txt", "locked/frozen.txt"})
        write_file(fs / name, report);
    ASSERT_EQ(chown((fs / "copy1/report.txt").c_str(), 1000, 1000), 0);
    ASSERT_EQ(chmod((fs / "copy1/report.txt").c_str(), 0600), 0);
    ASSERT_EQ(chmod((fs / "copy2/report.txt").c_str(), 0444), 0);
    ASSERT_EQ(link((fs / "copy2/report.txt").c_str(), (fs / "copy2/report-link.txt").c_str()), 0);
    const std::string start = random_bytes(256 * 1024, 2);
    write_file(fs / "sparse/dense.img", start + std::string(768 * 1024, '\0'));
    write_file(fs / "sparse/holes.img", start);
    ASSERT_EQ(truncate((fs / "sparse/holes.img").c_str(), 1024 * 1024), 0);
    const int64_t big_size = (int64_t(17) << 20) + 5;
    const std::string big = random_bytes(static_cast<size_t>(big_size), 3);
    write_file(fs / "big/a.bin", big);
    write_file(fs / "big/b.bin", big);
    write_file(fs / "other.txt", random_bytes(300001, 4));
    write_file(fs / "empty.txt", "");
    const std::vector<std::string> names = {
        "docs/report.txt",   "copy1/report.txt",  "copy2/report.txt", "copy2/report-link.txt",
        "locked/append.txt", "locked/frozen.txt", "sparse/dense.img", "sparse/holes.img",
        "big/a.bin",         "big/b.bin",         "other.txt",        "empty.txt"};
    time_t when = 1700000000;
    for (const std::string &name : names) {
        when += 100;
        set_times(fs / name, when - 86400, when);
    }
    set_flag(fs / "locked/append.txt", FS_APPEND_FL, true);
    set_flag(fs / "locked/frozen.txt", FS_IMMUTABLE_FL, true);
    std::vector<std::string> listed;
    for (const std::string &name : names) listed.push_back("./" + name);
    const std::string list = nul_list(listed);
    tool_options in_fs;
    in_fs.cwd = fs.mount_point;

    const std::string expected_err =
        "file ./copy2/report.txt: another name of ./copy2/report-link.txt, left alone.\n"
        "file ./locked/append.txt: append-only, left alone.\n"
        "file ./locked/frozen.txt: immutable, left alone.\n";
    const int64_t report_blocks = blocks_of(300001), big_blocks = blocks_of(big_size);
    // The five copies sort by owner, group and mode, then name: the file of
    // two names has the most links and keeps its blocks. The sparser copy is
    // the source of its set; of the large pair the older file.
    const std::string expected_out =
        "Input: 12 files, processing ...\n"
        "share ./copy2/report-link.txt ./docs/report.txt: freed +" +
        std::to_string(report_blocks) +
        " blocks\n"
        "share ./copy2/report-link.txt ./copy1/report.txt: freed +" +
        std::to_string(report_blocks) +
        " blocks\n"
        "share ./sparse/holes.img ./sparse/dense.img: freed +2048 blocks\n"
        "share ./big/a.bin ./big/b.bin: freed +" +
        std::to_string(big_blocks) + " blocks\n" +
        summary(false, 4, 12, 2 * report_blocks + 2048 + big_blocks);

    const auto kept_before = states_of(fs.mount_point, names);
    const tool_result dry = run_tool({"-B", "-n"}, list, in_fs);
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(without_preamble(dry.out), with_nodo_wording(expected_out));
    EXPECT_EQ(dry.err, expected_err);

    const int64_t free_before = fs.free_blocks();
    const tool_result run = run_tool({"-B"}, list, in_fs);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(without_preamble(run.out), expected_out);
    EXPECT_EQ(run.err, expected_err);
    expect_free_space_agrees(fs, fs.free_blocks() - free_before, reclaimed_in(run.out));
    expect_kept(kept_before, states_of(fs.mount_point, names));

    // Every file shared lies where its source lies, to its last byte.
    for (const auto &[source, name, size] :
         {std::tuple{"copy2/report.txt", "docs/report.txt", int64_t(300001)},
          std::tuple{"copy2/report.txt", "copy1/report.txt", int64_t(300001)},
          std::tuple{"big/a.bin", "big/b.bin", big_size}}) {
        EXPECT_EQ(bytes_at_one_place(fs / source, fs / name, static_cast<uint64_t>(size)),
                  static_cast<uint64_t>(size))
            << name;
        EXPECT_TRUE(all_extents_shared(fs / name)) << name;
    }
    // The dense copy took the holes of the sparse one.
    EXPECT_EQ(extents_of(fs / "sparse/dense.img").size(), 1u);
    EXPECT_EQ(bytes_at_one_place(fs / "sparse/holes.img", fs / "sparse/dense.img", 1 << 20),
              256u * 1024);
    EXPECT_EQ(status_of(fs / "sparse/dense.img").st_blocks, 512);
    // The locked files and the file without a twin keep blocks of their own.
    for (const char *name : {"locked/append.txt", "locked/frozen.txt"})
        EXPECT_EQ(bytes_at_one_place(fs / "copy2/report.txt", fs / name, 300001), 0u) << name;
    EXPECT_FALSE(all_extents_shared(fs / "other.txt"));

    // Nothing more to share: a second run and its report say so alike.
    const auto kept_after = states_of(fs.mount_point, names);
    for (const bool nodo : {true, false}) {
        const std::vector<std::string> args =
            nodo ? std::vector<std::string>{"-B", "-n"} : std::vector<std::string>{"-B"};
        const tool_result again = run_tool(args, list, in_fs);
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(without_preamble(again.out),
                  "Input: 12 files, processing ...\n" + summary(nodo, 0, 12, 0));
        EXPECT_EQ(again.err, expected_err);
    }
    expect_kept(kept_after, states_of(fs.mount_point, names));
    set_flag(fs / "locked/append.txt", FS_APPEND_FL, false);
    set_flag(fs / "locked/frozen.txt", FS_IMMUTABLE_FL, false);
}

// Copies that already share blocks with each other (but not with the source)
// give their blocks back only when the last of them moves: the report counts
// as the run does, and the run as the free space shows. A plain copy met
// before them is counted from its own map alone.
TEST_P(ShareBlocks, CopiesThatShareAmongThemselvesAreCountedOnce) {
    loop_file_system fs(GetParam());
    MOUNT_OR_SKIP(fs);
    const std::string bytes = random_bytes(1 << 20, 5);
    write_file(fs / "a", bytes);
    write_file(fs / "b", bytes);
    write_file(fs / "c", bytes);
    std::string output;
    ASSERT_EQ(run_shell("cp --reflink=always '" + fs / "c" + "' '" + fs / "d" + "' && " +
                            "cp --reflink=always '" + fs / "c" + "' '" + fs / "e" + "'",
                        output),
              0)
        << output;
    time_t when = 1700000000;
    for (const char *name : {"a", "b", "c", "d", "e"}) {
        when += 10;
        set_times(fs / name, when, when);
    }
    const std::string list = nul_list({"a", "b", "c", "d", "e"});
    tool_options in_fs;
    in_fs.cwd = fs.mount_point;
    // a is the oldest and keeps its blocks; c, d and e hold one copy between them.
    const std::string expected =
        "Input: 5 files, processing ...\n"
        "share a b: freed +2048 blocks\n"
        "share a c: freed +0 blocks\n"
        "share a d: freed +0 blocks\n"
        "share a e: freed +2048 blocks\n" +
        summary(false, 4, 5, 4096);
    const tool_result dry = run_tool({"-B", "-n"}, list, in_fs);
    EXPECT_EQ(without_preamble(dry.out), with_nodo_wording(expected));
    const int64_t free_before = fs.free_blocks();
    const tool_result run = run_tool({"-B"}, list, in_fs);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(without_preamble(run.out), expected);
    EXPECT_EQ(run.err, "");
    expect_free_space_agrees(fs, fs.free_blocks() - free_before, 4096);
}

// One copy already shares its first half with another (cloned there, its
// second half written on its own); a third copy shares nothing. On btrfs
// an extent is marked shared as a whole while any file holds part of it, and
// is freed whole once none does: the report foresees what the run frees,
// and the free space shows it.
TEST_P(ShareBlocks, APartlySharedCopyIsForeseenByTheReport) {
    loop_file_system fs(GetParam());
    MOUNT_OR_SKIP(fs);
    const std::string bytes = random_bytes(2 << 20, 11);
    write_file(fs / "s", bytes);
    write_file(fs / "c", bytes);
    write_file(fs / "half", bytes.substr(1 << 20));
    std::string output;
    ASSERT_EQ(run_shell("xfs_io -f -c 'reflink " + fs / "s" + " 0 0 1m' -c 'pwrite -i " +
                            fs / "half" + " 1m 1m' '" + fs / "b" + "' && rm '" + fs / "half" +
                            "' && sync",
                        output),
              0)
        << output;
    ASSERT_EQ(bytes_of(fs / "b"), bytes);
    ASSERT_EQ(bytes_at_one_place(fs / "s", fs / "b", 2 << 20), uint64_t{1} << 20);
    set_times(fs / "s", 1700000000, 1700000000);
    for (const char *name : {"b", "c"}) set_times(fs / name, 1700000100, 1700000100);
    const std::string list = nul_list({"b", "c", "s"});
    tool_options in_fs;
    in_fs.cwd = fs.mount_point;
    const tool_result dry = run_tool({"-B", "-n"}, list, in_fs);
    const int64_t free_before = fs.free_blocks();
    const tool_result run = run_tool({"-B"}, list, in_fs);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(dry.err, "");
    EXPECT_EQ(without_preamble(dry.out), with_nodo_wording(without_preamble(run.out)));
    // c's blocks are kept (the sets' first choice, of their sparsest): b's
    // half written on its own, and all of s's once b has left its first half.
    EXPECT_EQ(reclaimed_in(run.out), 2048 + 4096) << run.out;
    expect_free_space_agrees(fs, fs.free_blocks() - free_before, reclaimed_in(run.out));
    for (const char *name : {"b", "c", "s"}) EXPECT_EQ(bytes_of(fs / name), bytes) << name;
}

// A writer changes a file after it was compared, right before its call (the
// shim's hook runs before the kernel's call for that file; the first call on
// a device is the empty one that asks whether it shares blocks). The kernel
// finds the bytes differ: the file is left as the writer left it. For a file
// larger than one range the change comes after its first range was shared:
// the rest is left alone, and what was shared is counted as the free space
// shows it.
TEST_P(ShareBlocks, AFileChangedBeforeItsCallIsLeftAsTheWriterLeftIt) {
    loop_file_system fs(GetParam());
    MOUNT_OR_SKIP(fs);
    const std::string small = random_bytes(300001, 6);
    const int64_t big_size = (int64_t(17) << 20) + 5;
    const std::string big = random_bytes(static_cast<size_t>(big_size), 7);
    write_file(fs / "small/x", small);
    write_file(fs / "small/y", small);
    write_file(fs / "big/a.bin", big);
    write_file(fs / "big/b.bin", big);
    // The older file of each pair is the source.
    set_times(fs / "small/x", 1700000000, 1700000000);
    set_times(fs / "small/y", 1700000000, 1700000100);
    set_times(fs / "big/a.bin", 1700000000, 1700000000);
    set_times(fs / "big/b.bin", 1700000000, 1700000100);
    const size_t small_at = 1000, big_at = (size_t(17) << 20) - 10;
    const unsigned char small_byte = static_cast<unsigned char>(small[small_at]) ^ 0xff;
    const unsigned char big_byte = static_cast<unsigned char>(big[big_at]) ^ 0xff;
    tool_options hooked;
    hooked.cwd = fs.mount_point;
    hooked.hooks = "FIDEDUPERANGE:small/y:1:" +
                   rewrite_in_place_command(fs / "small/y", small_at, small_byte) +
                   "\nFIDEDUPERANGE:big/b.bin:1:" +
                   rewrite_in_place_command(fs / "big/b.bin", big_at, big_byte);
    const int64_t free_before = fs.free_blocks();
    const tool_result run = run_tool(
        {"-B"}, nul_list({"./small/x", "./small/y", "./big/a.bin", "./big/b.bin"}), hooked);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err,
              "file ./small/y: differs from ./small/x, not shared.\n"
              "file ./big/b.bin: differs from ./big/a.bin after byte 16777216, not shared from "
              "there.\n");
    const int64_t reported = reclaimed_in(run.out);
    EXPECT_EQ(without_preamble(run.out),
              "Input: 4 files, processing ...\n"
              "share ./big/a.bin ./big/b.bin: freed +" +
                  std::to_string(reported) + " blocks\n" + summary(false, 1, 4, reported));
    // XFS gives the blocks of the range back at once; btrfs only once no
    // part of an extent is held, so there it depends on the extents cp made.
    if (fs.kind == "xfs") {
        EXPECT_EQ(reported, 32768);
    }
    expect_free_space_agrees(fs, fs.free_blocks() - free_before, reported);

    std::string changed_small = small, changed_big = big;
    changed_small[small_at] = static_cast<char>(small_byte);
    changed_big[big_at] = static_cast<char>(big_byte);
    EXPECT_TRUE(bytes_of(fs / "small/y") == changed_small);
    EXPECT_TRUE(bytes_of(fs / "small/x") == small);
    EXPECT_TRUE(bytes_of(fs / "big/b.bin") == changed_big);
    EXPECT_TRUE(bytes_of(fs / "big/a.bin") == big);
    EXPECT_EQ(bytes_at_one_place(fs / "small/x", fs / "small/y", 300001), 0u);
    EXPECT_EQ(bytes_at_one_place(fs / "big/a.bin", fs / "big/b.bin", uint64_t(big_size)),
              uint64_t(16) << 20);
}

// Stopped by SIGINT during a call, the run ends at the next range with status
// 0, and every file holds its bytes: each call is made whole or not at all.
TEST_P(ShareBlocks, AnInterruptedRunLeavesEveryFileWhole) {
    loop_file_system fs(GetParam());
    MOUNT_OR_SKIP(fs);
    const std::string big = random_bytes((size_t(33) << 20) + 7, 8);
    write_file(fs / "a.bin", big);
    write_file(fs / "b.bin", big);
    set_times(fs / "a.bin", 1700000000, 1700000000);
    set_times(fs / "b.bin", 1700000000, 1700000100);
    tool_options hooked;
    hooked.cwd = fs.mount_point;
    // Past the empty call that asks whether the device shares blocks, before
    // the first range; the hook runs in a child of the tool.
    hooked.hooks = "FIDEDUPERANGE:b.bin:1:kill -INT $PPID";
    const tool_result run = run_tool({"-B"}, nul_list({"a.bin", "b.bin"}), hooked);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.out.find("Files sharing"), std::string::npos) << run.out;
    EXPECT_TRUE(bytes_of(fs / "a.bin") == big);
    EXPECT_TRUE(bytes_of(fs / "b.bin") == big);
    // The call under way was made; the next was not.
    EXPECT_EQ(bytes_at_one_place(fs / "a.bin", fs / "b.bin", big.size()), uint64_t(16) << 20);
}

// A call that fails for one file leaves that file with its line; the next
// file of the set is shared. A file system that says it cannot share blocks
// gets one line, and its other files are left alone.
TEST_P(ShareBlocks, FailedCallsForAFileAndForAFileSystem) {
    loop_file_system fs(GetParam());
    MOUNT_OR_SKIP(fs);
    const std::string bytes = random_bytes(40000, 9);
    for (const char *name : {"a", "b", "c", "d", "e"}) write_file(fs / name, bytes);
    time_t when = 1700000000;
    for (const char *name : {"a", "b", "c", "d", "e"}) {
        when += 10;
        set_times(fs / name, when, when);
    }
    tool_options faulty;
    faulty.cwd = fs.mount_point;
    faulty.faults = "FIDEDUPERANGE:/b:EPERM";
    const int64_t one = blocks_of(40000);
    tool_result run = run_tool({"-B"}, nul_list({"a", "b", "c"}), faulty);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "FIDEDUPERANGE(a,b) failed\nFIDEDUPERANGE: Operation not permitted\n");
    EXPECT_EQ(without_preamble(run.out),
              "Input: 3 files, processing ...\n"
              "share a c: freed +" +
                  std::to_string(one) + " blocks\n" + summary(false, 1, 3, one));
    faulty.faults = "FIDEDUPERANGE:/d:EOPNOTSUPP";
    run = run_tool({"-B"}, nul_list({"a", "d", "e"}), faulty);
    EXPECT_EQ(run.err,
              "file system of d cannot share blocks (Operation not supported): its files are "
              "left alone.\n");
    EXPECT_EQ(without_preamble(run.out),
              "Input: 3 files, processing ...\n" + summary(false, 0, 3, 0));
    EXPECT_EQ(bytes_at_one_place(fs / "a", fs / "e", 40000), 0u);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, ShareBlocks, ::testing::Values("xfs", "btrfs"),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             return info.param;
                         });

}  // namespace

// btrfs shares no blocks between a file with copy-on-write off (chattr +C)
// and one with it on: the report and the run say so for the file and
// leave it, rather than the report promising what the run cannot do.
TEST(ShareBlocksOnBtrfs, AFileWithoutCopyOnWriteIsLeftWithALine) {
    loop_file_system fs("btrfs");
    MOUNT_OR_SKIP(fs);
    const std::string bytes = random_bytes(300000, 12);
    write_file(fs / "plain", bytes);
    write_file(fs / "nocow", "");
    set_flag(fs / "nocow", FS_NOCOW_FL, true);
    write_file(fs / "nocow", bytes);
    set_times(fs / "nocow", 1700000000, 1700000000);
    set_times(fs / "plain", 1700000100, 1700000100);
    tool_options in_fs;
    in_fs.cwd = fs.mount_point;
    const std::string list = nul_list({"nocow", "plain"});
    for (const bool nodo : {true, false}) {
        const tool_result run =
            run_tool(nodo ? std::vector<std::string>{"-B", "-n"} : std::vector<std::string>{"-B"},
                     list, in_fs);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "file plain: copy-on-write is on for it and off for nocow, not shared.\n");
        EXPECT_EQ(without_preamble(run.out),
                  "Input: 2 files, processing ...\n" + summary(nodo, 0, 2, 0));
    }
    EXPECT_EQ(bytes_at_one_place(fs / "nocow", fs / "plain", bytes.size()), 0u);
}

// ext4 cannot share blocks: one line for the device, whatever the number of
// sets, no file changed; the report says the same.
TEST(ShareBlocksElsewhere, AFileSystemWithoutSharingGetsOneLine) {
    scratch_dir dir;
    const std::string bytes = random_bytes(50000, 10);
    for (const char *name : {"a", "b", "c"}) write_file(dir / name, bytes);
    write_file(dir / "x", "other bytes");
    write_file(dir / "y", "other bytes");
    const std::vector<std::string> names = {"a", "b", "c", "x", "y"};
    tool_options here;
    here.cwd = dir.path;
    const auto before = states_of(dir.path, names);
    for (const bool nodo : {true, false}) {
        const std::vector<std::string> args =
            nodo ? std::vector<std::string>{"-B", "-n"} : std::vector<std::string>{"-B"};
        const tool_result run = run_tool(args, nul_list(names), here);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err,
                  "file system of x cannot share blocks (Operation not supported): its files are "
                  "left alone.\n");
        EXPECT_EQ(without_preamble(run.out),
                  "Input: 5 files, processing ...\n" + summary(nodo, 0, 5, 0));
    }
    expect_kept(before, states_of(dir.path, names));
}

// Files on an overlay are not shared through it, whatever the layers below
// can do: one line for the device, no file changed. Skipped where an overlay
// cannot be mounted.
TEST(ShareBlocksElsewhere, FilesOnAnOverlayAreLeftAlone) {
    scratch_dir dir;
    const std::string bytes = random_bytes(50000, 11);
    write_file(dir / "lower/a", bytes);
    write_file(dir / "lower/b", bytes);
    // a is the older, the source: the first file opened.
    set_times(dir / "lower/a", 1700000000, 1700000000);
    set_times(dir / "lower/b", 1700000000, 1700000100);
    std::string output;
    ASSERT_EQ(run_shell("mkdir -p '" + dir / "upper" + "' '" + dir / "work" + "' '" +
                            dir / "merged" + "'",
                        output),
              0);
    if (run_shell("mount -t overlay overlay -o lowerdir='" + dir / "lower" + "',upperdir='" +
                      dir / "upper" + "',workdir='" + dir / "work" + "' '" + dir / "merged" + "'",
                  output) != 0)
        GTEST_SKIP() << "mounting an overlay failed: " << output;
    tool_options here;
    here.cwd = dir / "merged";
    const auto before = states_of(here.cwd, {"a", "b"});
    const tool_result run = run_tool({"-B"}, nul_list({"a", "b"}), here);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err,
              "file system of a is overlay, through which blocks are not shared: its files are "
              "left alone.\n");
    EXPECT_EQ(without_preamble(run.out),
              "Input: 2 files, processing ...\n" + summary(false, 0, 2, 0));
    expect_kept(before, states_of(here.cwd, {"a", "b"}));
    run_shell("umount '" + dir / "merged" + "'", output);
}

// -B with -s or -i is refused before anything is read; -d takes precedence;
// -c -S -B runs the sparse pass and then the sharing pass, -S -B the sparse
// pass alone, as -S does.
TEST(ShareBlocksElsewhere, OptionsAndPasses) {
    scratch_dir dir;
    write_file(dir / "a", std::string(8192, '\0'));
    write_file(dir / "b", std::string(8192, '\0'));
    tool_options here;
    here.cwd = dir.path;
    const std::string list = nul_list({"a", "b"});
    for (const char *other : {"-s", "-i"}) {
        const tool_result refused = run_tool({"-B", other}, list, here);
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.out, "");
        EXPECT_EQ(refused.err, std::string("twinfold: -B shares blocks between files that keep "
                                           "their own names and inodes; it cannot be combined "
                                           "with ") +
                                   other + "\nTry 'twinfold -h' for help.\n");
    }
    const std::string cannot =
        "file system of a cannot share blocks (Operation not supported): its files are left "
        "alone.\n";
    const std::string sparse_lines =
        "a: 16 -> 0 blocks\nb: 16 -> 0 blocks\n"
        "Files which can be sparsed: 2 of 2, Disk blocks can be reclaimed: 32\n"
        "Minimum of disk blocks which could be reclaimed by sparse copying: 16, Maximum: 16.\n";
    struct row {
        std::vector<std::string> args;
        std::string out;
        std::string err;
    } rows[] = {
        {{"-B", "-q"}, "", cannot},
        {{"-c", "-B", "-n"}, "Input: 2 files, processing ...\n" + summary(true, 0, 2, 0), cannot},
        {{"-d", "-B", "-s", "-n"},
         "Input: 2 files, processing ...\n"
         "Equal files: a will get deleted, b will get preserved.\n"
         "Duplicate files (which can be deleted): 1 of 2, Disk blocks which can be reclaimed: 16\n"
         "Minimum of found hard links: 1, Maximum: 1.\n",
         ""},
        {{"-S", "-B", "-n"}, "Input: 2 files, processing ...\n" + sparse_lines, ""},
        {{"-c", "-S", "-B", "-n"},
         "Input: 2 files, processing ...\n" + sparse_lines + summary(true, 0, 2, 0),
         cannot},
    };
    for (const row &r : rows) {
        std::vector<std::string> args;
        for (const std::string &a : r.args) args.push_back(a);
        const tool_result run = run_tool(args, list, here);
        EXPECT_EQ(run.status, 0) << ::testing::PrintToString(r.args);
        EXPECT_EQ(without_preamble(run.out), r.out) << ::testing::PrintToString(r.args);
        EXPECT_EQ(run.err, r.err) << ::testing::PrintToString(r.args);
    }
}
