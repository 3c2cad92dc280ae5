// Hostile lists in every mode: names with newlines, blanks, bytes above 127
// and leading dashes, names of 1023 bytes and names too long to fit (skipped
// whole), names of directories, devices, sockets, FIFOs and symbolic links,
// names that do not exist, and one name many times. The run neither crashes
// nor hangs, changes nothing that is not a listed regular file, and every
// listed regular file keeps its bytes (in delete mode: under some listed name).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>  // makedev; the BSDs declare it in sys/types.h
#endif
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "rewrite_fixtures.h"
#include "scratch_tree.h"
#include "tool_run.h"

namespace {

// A path of exactly length bytes: directories of 200-byte names, then a file.
std::string path_of_length(const std::string &dir, size_t length, char letter) {
    std::string path;
    while (length - path.size() > 201) {
        path += std::string(200, letter) + "/";
        mkdir((dir + "/" + path).c_str(), 0755);
    }
    path += std::string(length - path.size(), letter);
    return path;
}

struct untouched {
    ino_t inode;
    mode_t mode;
    nlink_t links;
    off_t size;
    struct timespec modified, changed;
};

untouched state_of(const std::string &path) {
    const struct stat st = status_of(path);
    return {st.st_ino, st.st_mode, st.st_nlink, st.st_size, st.st_mtim, st.st_ctim};
}

bool operator==(const untouched &a, const untouched &b) {
    return a.inode == b.inode && a.mode == b.mode && a.links == b.links && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}

}  // namespace

TEST(HostileNames, NoCrashNoHangNothingButListedFilesChanged) {
    const std::vector<std::vector<std::string>> modes = {
        {}, {"-s"}, {"-d"}, {"-i"}, {"-S"}, {"-c", "-S"}, {"-c", "-i"}, {"-n"},
    };
    const std::string shared =
        dense_bytes(4096, 1) + std::string(65536, '\0') + dense_bytes(4096, 2);
    for (const auto &args : modes) {
        SCOPED_TRACE(testing::PrintToString(args));
        scratch_dir dir;
        // Listed regular files, all with the same bytes.
        const std::string longest = path_of_length(dir.path, 1023, 'a');
        const std::vector<std::string> regular = {
            "with\nnewline", "with blank",     "high\xff\xfe\x80 bytes",
            "-leading-dash", "--sparse=never", longest,
        };
        for (const auto &name : regular) write_file(dir / name, shared);
        ASSERT_EQ(link((dir / "-leading-dash").c_str(), (dir / "hard link").c_str()), 0);
        const blkcnt_t blocks_before = status_of(dir / "with blank").st_blocks;

        // Names of everything else, and their states.
        const std::string too_long = path_of_length(dir.path, 1100, 'b');
        write_file(dir / too_long, shared);
        ASSERT_EQ(mkdir((dir / "a directory").c_str(), 0755), 0);
        write_file(dir / "a directory/inside", shared);
        ASSERT_EQ(mknod((dir / "device").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
        ASSERT_EQ(symlink("with blank", (dir / "symbolic link").c_str()), 0);
        const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string socket_path = dir / "socket";
        ASSERT_LT(socket_path.size(), sizeof address.sun_path);
        std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        const std::vector<std::string> others = {too_long, "a directory", "a directory/inside",
                                                 "device", "fifo",        "symbolic link",
                                                 "socket"};
        std::map<std::string, untouched> before;
        for (const auto &name : others) before[name] = state_of(dir / name);

        std::vector<std::string> listed = regular;
        listed.push_back("hard link");
        for (const char *name : {"a directory", "a directory/", "device", "fifo", "symbolic link",
                                 "socket", "missing", "/dev/null", "no/such/dir/x", ".", ".."})
            listed.push_back(name);
        listed.push_back(too_long);
        for (int i = 0; i < 20; ++i) listed.push_back("with blank");

        tool_result result =
            run_tool(args, nul_list(listed), {.cwd = dir.path, .timeout_seconds = 60});
        close(sock);

        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.status, 0);
        for (const char *alarm : {"Sanitizer", "runtime error", "LeakSanitizer"})
            EXPECT_EQ(result.err.find(alarm), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("stdin: name of 1100 bytes skipped (longer than 1023): "),
                  std::string::npos)
            << result.err;
        for (const auto &name : others) EXPECT_TRUE(state_of(dir / name) == before[name]) << name;
        EXPECT_EQ(read_file(dir / too_long), shared);
        EXPECT_EQ(read_file(dir / "a directory/inside"), shared);
        char text[64] = {};
        EXPECT_EQ(readlink((dir / "symbolic link").c_str(), text, sizeof text - 1), 10);
        EXPECT_STREQ(text, "with blank");
        EXPECT_TRUE(temporary_files_under(dir.path).empty());

        // Listed regular files: the bytes stay; only delete mode may remove
        // names, never the last that holds them.
        const bool deletes = args == std::vector<std::string>{"-d"};
        int held = 0;
        for (const auto &name : regular) {
            if (!exists(dir / name)) {
                EXPECT_TRUE(deletes) << name;
                continue;
            }
            EXPECT_EQ(read_file(dir / name), shared) << name;
            ++held;
        }
        EXPECT_GE(held, 1);

        // The names were acted on as any others.
        auto reached = [&](const std::string &name) {
            struct stat st {};
            EXPECT_EQ(stat((dir / name).c_str(), &st), 0) << name;
            return st.st_ino;
        };
        if (args.empty() || args == std::vector<std::string>{"-s"} ||
            args == std::vector<std::string>{"-c", "-S"}) {
            for (const auto &name : regular)
                EXPECT_EQ(reached(name), reached("with blank")) << name;
        } else if (deletes) {
            EXPECT_EQ(held, 1);
            EXPECT_TRUE(exists(dir / "with blank"));
        } else if (args == std::vector<std::string>{"-S"}) {
            // A file of two names is left as it is.
            for (const auto &name : regular)
                if (name != "-leading-dash") {
                    EXPECT_LT(status_of(dir / name).st_blocks, blocks_before) << name;
                }
            EXPECT_EQ(status_of(dir / "-leading-dash").st_blocks, blocks_before);
            EXPECT_EQ(reached("-leading-dash"), reached("hard link"));
        } else if (args == std::vector<std::string>{"-n"}) {
            EXPECT_EQ(status_of(dir / "-leading-dash").st_nlink, 2u);
            EXPECT_NE(reached("with blank"), reached("--sparse=never"));
        } else {
            EXPECT_EQ(status_of(dir / "-leading-dash").st_nlink, 1u);
            EXPECT_EQ(status_of(dir / "hard link").st_nlink, 1u);
        }
    }
}
