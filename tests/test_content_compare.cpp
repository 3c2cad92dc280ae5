// The content comparison: its chunk order, equality only for equal bytes and
// lengths, the opening rule, and how read errors are reported.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "compare/content_compare.h"
#include "scratch_tree.h"

namespace {

constexpr size_t block = 128 * 1024;

// The comparison of two examined names, on the files as they are.
int compare_named(const char *first, const struct stat &a, const char *second,
                  const struct stat &b) {
    static comparison_buffers buffers;
    return compare_contents(file_view{}, buffers, first, a, second, b);
}

int compare_files(const std::string &first, const std::string &second) {
    struct stat a {
    }, b{};
    lstat(first.c_str(), &a);
    lstat(second.c_str(), &b);
    return compare_named(first.c_str(), a, second.c_str(), b);
}

// The order spelled out plainly: 8 bytes at a time, each chunk a
// little-endian signed 64-bit number, a short last chunk filled with zeros.
int reference_order(const std::string &a, const std::string &b) {
    for (size_t offset = 0; offset < a.size(); offset += 8) {
        int64_t x = 0, y = 0;
        for (size_t i = 0; i < 8; ++i) {
            uint64_t ax = offset + i < a.size() ? static_cast<unsigned char>(a[offset + i]) : 0;
            uint64_t by = offset + i < b.size() ? static_cast<unsigned char>(b[offset + i]) : 0;
            x = static_cast<int64_t>(static_cast<uint64_t>(x) | ax << (8 * i));
            y = static_cast<int64_t>(static_cast<uint64_t>(y) | by << (8 * i));
        }
        if (x != y) return x > y ? 1 : -1;
    }
    return 0;
}

std::string chunk(std::initializer_list<int> bytes) {
    std::string c;
    for (int b : bytes) c += static_cast<char>(b);
    return c;
}

}  // namespace

TEST(ContentCompare, ChunkOrderIsLittleEndianSigned) {
    struct row {
        std::string first, second;
        int expected;
    } rows[] = {
        {chunk({1, 0, 0, 0, 0, 0, 0, 0}), chunk({0, 1, 0, 0, 0, 0, 0, 0}), -1},
        {chunk({0, 0, 0, 0, 0, 0, 0, 0x80}), chunk({0, 0, 0, 0, 0, 0, 0, 1}), -1},
        {chunk({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), chunk({0, 0, 0, 0, 0, 0, 0, 0}),
         -1},
        {chunk({0, 0, 0, 0, 0, 0, 0, 0x7f}),
         chunk({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x80}), 1},
        {chunk({2, 0, 0, 0, 0, 0, 0, 0}), chunk({0xff, 0, 0, 0, 0, 0, 0, 0}), -1},
        {chunk({'a', 'b', 'c', 0, 0, 0, 0, 0}), chunk({'a', 'b', 'c', 0, 0, 0, 0, 0}), 0},
    };
    for (const row &r : rows) {
        auto a = reinterpret_cast<const unsigned char *>(r.first.data());
        auto b = reinterpret_cast<const unsigned char *>(r.second.data());
        EXPECT_EQ(compare_chunks(a, b), r.expected);
        EXPECT_EQ(compare_chunks(b, a), -r.expected);
    }
}

// Files of one size that differ in one byte, at places on both sides of
// chunk, page and block edges: the order is the first differing chunk's.
TEST(ContentCompare, FilesOrderByTheirFirstDifferingChunk) {
    scratch_dir dir;
    std::mt19937 generator(2024);
    const size_t sizes[] = {1, 7, 8, 13, 4096, 4101, block - 3, block, block + 5, 3 * block + 11};
    for (size_t size : sizes) {
        std::string base(size, '\0');
        for (char &c : base) c = static_cast<char>(generator());
        const size_t places[] = {0,         7,     size / 2,  size - 1,
                                 block - 1, block, block + 7, 2 * block + 3};
        for (size_t place : places) {
            if (place >= size) continue;
            for (int value : {0x00, 0x7f, 0x80, 0xff}) {
                std::string other = base;
                other[place] = static_cast<char>(value);
                write_file(dir / "a", base);
                write_file(dir / "b", other);
                int expected = reference_order(base, other);
                EXPECT_EQ(compare_files(dir / "a", dir / "b"), expected) << size << " " << place;
                EXPECT_EQ(compare_files(dir / "b", dir / "a"), -expected) << size << " " << place;
            }
        }
    }
}

// A file that changed after it was examined can end before the other one;
// whatever bytes it holds, such a pair is never equal, from either side.
TEST(ContentCompare, FilesOfDifferentLengthAreNeverEqual) {
    scratch_dir dir;
    struct row {
        std::string shorter, longer;
    } rows[] = {
        {"", std::string(1, '\0')},
        {"abc", std::string("abc\0", 4)},
        {std::string(8, 'x'), std::string(8, 'x') + std::string(8, '\0')},
        {std::string(block, '\0'), std::string(block + 8, '\0')},
        {std::string(block - 1, 'q'), std::string(block - 1, 'q') + std::string(1, '\0')},
        {std::string(2 * block, 'z'), std::string(2 * block, 'z') + "tail"},
    };
    for (const row &r : rows) {
        write_file(dir / "short", r.shorter);
        write_file(dir / "long", r.longer);
        int forward = compare_files(dir / "short", dir / "long");
        int backward = compare_files(dir / "long", dir / "short");
        EXPECT_NE(forward, 0) << r.shorter.size();
        EXPECT_EQ(forward, -backward) << r.shorter.size();
    }
    write_file(dir / "same1", std::string(2 * block + 3, 'e'));
    write_file(dir / "same2", std::string(2 * block + 3, 'e'));
    EXPECT_EQ(compare_files(dir / "same1", dir / "same2"), 0);
}

// Anything but the regular file that was examined counts as a file that
// cannot be opened: silently, and the failing side sorts first. A FIFO with
// no writer must not hold the comparison up.
TEST(ContentCompare, OnlyTheExaminedRegularFileIsOpened) {
    scratch_dir dir;
    const std::string content = "same bytes";
    write_file(dir / "file", content);
    write_file(dir / "target", content);
    ASSERT_EQ(symlink("target", (dir / "symlink").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((dir / "directory").c_str(), 0755), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string socket_path = dir / "socket";
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);

    // A name whose file was exchanged after it was examined.
    write_file(dir / "exchanged", content);
    struct stat before_exchange = status_of(dir / "exchanged");
    write_file(dir / "exchanged.new", content);
    ASSERT_EQ(rename((dir / "exchanged.new").c_str(), (dir / "exchanged").c_str()), 0);

    struct stat file_status = status_of(dir / "file");
    struct row {
        std::string name;
        struct stat status;
    } rows[] = {
        {dir / "symlink", status_of(dir / "symlink")},
        {dir / "fifo", status_of(dir / "fifo")},
        {dir / "directory", status_of(dir / "directory")},
        {socket_path, status_of(socket_path)},
        {"/dev/null", status_of("/dev/null")},
        {dir / "missing", file_status},
        {dir / "exchanged", before_exchange},
    };
    const std::string file = dir / "file";
    for (const row &r : rows) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(compare_named(r.name.c_str(), r.status, file.c_str(), file_status), -1) << r.name;
        EXPECT_EQ(compare_named(file.c_str(), file_status, r.name.c_str(), r.status), 1) << r.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << r.name;
    }
    close(sock);
}

// /proc/self/mem is a regular file whose reading at offset 0 fails with EIO:
// a real read error without any stand-in.
TEST(ContentCompare, ReadErrorsNameTheFailingFileTestingTheFirstFirst) {
    const std::string broken = "/proc/self/mem", broken_too = "/proc/thread-self/mem";
    int fd = open(broken.c_str(), O_RDONLY);
    char byte;
    if (fd < 0 || read(fd, &byte, 1) >= 0 || errno != EIO) {
        if (fd >= 0) close(fd);
        GTEST_SKIP() << "reading /proc/self/mem does not fail here";
    }
    close(fd);
    scratch_dir dir;
    write_file(dir / "file", "some bytes");
    const std::string file = dir / "file";
    struct row {
        std::string first, second;
        int expected;
        std::string message;
    } rows[] = {
        {broken, file, -1, "file " + broken + ": error 1.\n"},
        {file, broken, 1, "file " + broken + ": error 1.\n"},
        {broken, broken_too, -1, "file " + broken + ": error 1.\n"},
        {broken_too, broken, -1, "file " + broken_too + ": error 1.\n"},
    };
    for (const row &r : rows) {
        testing::internal::CaptureStderr();
        int order = compare_files(r.first, r.second);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), r.message) << r.first << " " << r.second;
        EXPECT_EQ(order, r.expected) << r.first << " " << r.second;
    }
}
