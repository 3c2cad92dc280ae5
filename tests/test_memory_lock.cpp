// A run as an ordinary user under a small memory-lock limit: memory is
// locked at the start, the file list outgrows the limit, an allocation fails,
// the lock is given up, and the run ends exactly as one without any limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scratch_tree.h"
#include "tool_run.h"

namespace {

const char ordinary_user[] = "nobody";

// A "Name:   N kB" field of a /proc/PID/status text, in KiB; -1 when absent.
long long kib_field(const std::string &status, const std::string &name) {
    size_t at = status.find("\n" + name + ":");
    if (at == std::string::npos) return -1;
    return std::stoll(status.substr(at + name.size() + 2));
}

// Whether user may run the binary and load the shim (the build tree may lie
// where only root can reach it).
bool reachable_by(const passwd &user) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(user.pw_gid) != 0 || setuid(user.pw_uid) != 0) _exit(1);
        _exit(access(TWINFOLD_BINARY, X_OK) == 0 && access(FAULT_SHIM, R_OK) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void make_empty_file(const std::string &path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    close(fd);
}

}  // namespace

TEST(MemoryLock, ListOutgrowingTheLockLimitGivesTheLockUpAndRunsWhole) {
    if (geteuid() != 0) GTEST_SKIP() << "switching to an ordinary user needs root";
    const passwd *user = getpwnam(ordinary_user);
    if (!user) GTEST_SKIP() << "there is no user " << ordinary_user << " here";
    if (!reachable_by(*user))
        GTEST_SKIP() << ordinary_user << " cannot run " << TWINFOLD_BINARY << " or load the shim";
    rlimit inherited{};
    getrlimit(RLIMIT_MEMLOCK, &inherited);
    const long long largest_limit = inherited.rlim_max == RLIM_INFINITY
                                        ? 64LL << 20
                                        : static_cast<long long>(inherited.rlim_max);

    scratch_dir dir;
    chmod(dir.path.c_str(), 0777);  // the hooks write here as the ordinary user
    const std::string at_spool = dir / "status-at-spool", unlocked = dir / "unlocked";
    // The status right after the lock (the spool follows it), and a mark when it is given up.
    const std::string hooks =
        "tmpfile:*:0:cat /proc/$PPID/status > " + at_spool + "\nmunlockall:*:0:touch " + unlocked;

    // How much the binary maps when it locks: the limit must exceed that, or
    // the lock is refused and nothing is shown.
    tool_result probe = run_tool({"-n"}, "",
                                 {.cwd = dir.path,
                                  .hooks = hooks,
                                  .user = ordinary_user,
                                  .memlock_limit = largest_limit,
                                  .unwrapped = true});
    ASSERT_EQ(probe.status, 0) << probe.err;
    const std::string probed = read_file(at_spool);
    const long long mapped_kib = kib_field(probed, "VmSize");
    ASSERT_GT(mapped_kib, 0) << probed;
    if (kib_field(probed, "VmLck") <= 0)
        GTEST_SKIP() << "memory cannot be locked under a limit of " << largest_limit / 1024
                     << " KiB: this build maps " << mapped_kib
                     << " KiB at the start (a sanitizer's shadow memory does); "
                        "a build without sanitizers shows the case";
    // Room for the small allocations of the start, not for the file list.
    const long long limit = (mapped_kib << 10) + (1 << 20);
    if (limit > largest_limit) GTEST_SKIP() << "the lock limit cannot be raised to " << limit;

    // 50,000 empty files with longish names, and pairs of equal small files
    // that the link pass reports.
    std::vector<std::string> names;
    for (int d = 0; d < 50; ++d) {
        const std::string sub = "directory-" + std::to_string(d);
        ASSERT_EQ(mkdir((dir / sub).c_str(), 0755), 0);
        for (int f = 0; f < 1000; ++f) {
            names.push_back(sub + "/an-empty-file-with-a-longer-name-" + std::to_string(f));
            make_empty_file(dir / names.back());
        }
        names.push_back(sub + "/pair-a");
        write_file(dir / names.back(), "pair " + std::to_string(d));
        names.push_back(sub + "/pair-b");
        write_file(dir / names.back(), "pair " + std::to_string(d));
    }
    const std::string input = nul_list(names);

    tool_result unlimited =
        run_tool({"-n"}, input, {.cwd = dir.path, .timeout_seconds = 600, .unwrapped = true});
    ASSERT_EQ(unlimited.status, 0) << unlimited.err;
    ASSERT_NE(unlimited.out.find("Input: 50100 files, processing ...\n"), std::string::npos);
    ASSERT_NE(unlimited.out.find("Files which can be linked: "), std::string::npos);

    unlink(at_spool.c_str());
    unlink(unlocked.c_str());
    tool_result locked = run_tool({"-n"}, input,
                                  {.cwd = dir.path,
                                   .hooks = hooks,
                                   .timeout_seconds = 600,
                                   .user = ordinary_user,
                                   .memlock_limit = limit,
                                   .unwrapped = true});
    EXPECT_GT(kib_field(read_file(at_spool), "VmLck"), 0) << "memory was not locked";
    EXPECT_TRUE(exists(unlocked)) << "the list fitted under the limit: nothing was shown";
    EXPECT_EQ(locked.signal, 0);
    EXPECT_EQ(locked.status, 0);
    EXPECT_EQ(locked.err, "");
    EXPECT_EQ(without_preamble(locked.out), without_preamble(unlimited.out));
}
