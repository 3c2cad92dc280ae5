// Signals sent to a run over a tree of thousands of files. An interrupt
// (SIGINT or SIGTERM) at any moment of the work ends the run with status 0
// between two files: no name is lost, no byte changes, no temporary file
// stays. Every other signal that can be caught leaves the work going, and so
// does a reader that closes standard output early.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rewrite_fixtures.h"
#include "scratch_tree.h"
#include "tool_run.h"

namespace {

struct run_mode {
    const char *label;
    std::vector<std::string> args;
    bool removes;  // names may go, as long as each content keeps one
};

// A tree of files in sets of equal contents, some with hard links among
// them, some with long runs of zero bytes, spread over a few directories.
struct big_tree {
    scratch_dir dir;
    std::vector<std::string> names;
    std::map<std::string, std::string> bytes;

    // In memory: thousands of files are made for every run.
    explicit big_tree(int count, unsigned seed) : dir("/dev/shm") {
        std::mt19937 generator(seed);
        for (int d = 0; d < 7; ++d) mkdir((dir / ("s" + std::to_string(d))).c_str(), 0755);
        std::vector<std::string> pool;
        for (int i = 0; i < count / 4; ++i) {
            std::string content = dense_bytes(100 + generator() % 3000, generator());
            if (i % 10 == 0) content += std::string(16384, '\0') + "end";
            pool.push_back(content);
        }
        for (int i = 0; i < count; ++i) {
            const std::string name = "s" + std::to_string(i % 7) + "/f" + std::to_string(i);
            const std::string &content = pool[generator() % pool.size()];
            if (i % 5 == 4 && !names.empty()) {
                // A hard link to an earlier name.
                const std::string &earlier = names[generator() % names.size()];
                EXPECT_EQ(link((dir / earlier).c_str(), (dir / name).c_str()), 0);
                bytes[name] = bytes[earlier];
            } else {
                // Plain calls: thousands of files are made for every run.
                const int fd = open((dir / name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                EXPECT_EQ(write(fd, content.data(), content.size()),
                          static_cast<ssize_t>(content.size()));
                close(fd);
                bytes[name] = content;
            }
            names.push_back(name);
        }
    }

    // After a run: no temporary file; every name holds its bytes, or (where
    // names may be removed) is gone while another listed name holds them.
    void expect_intact(bool removes) const {
        EXPECT_TRUE(temporary_files_under(dir.path).empty());
        std::map<std::string, std::string> now;  // what each remaining name holds
        std::set<std::string> held;
        for (const auto &name : names)
            if (exists(dir / name)) held.insert(now[name] = read_file(dir / name));
        int lost = 0, changed = 0;
        for (const auto &[name, content] : bytes) {
            const auto found = now.find(name);
            if (found == now.end()) {
                if (!removes || !held.count(content)) ++lost;
            } else if (found->second != content) {
                ++changed;
            }
        }
        EXPECT_EQ(lost, 0);
        EXPECT_EQ(changed, 0);
    }
};

// What a run made of a tree, in terms that two trees built alike share:
// for each name whether it is there, which of the earlier names it shares
// its inode with, its link count and its blocks.
std::vector<std::string> shape_of(const big_tree &tree) {
    std::vector<std::string> shape;
    std::map<std::pair<dev_t, ino_t>, size_t> first_name;
    for (size_t i = 0; i < tree.names.size(); ++i) {
        struct stat st;
        if (lstat((tree.dir / tree.names[i]).c_str(), &st) != 0) {
            shape.push_back("gone");
            continue;
        }
        const size_t group =
            first_name.emplace(std::make_pair(st.st_dev, st.st_ino), i).first->second;
        shape.push_back(std::to_string(group) + " " + std::to_string(st.st_nlink) + " " +
                        std::to_string(st.st_blocks));
    }
    return shape;
}

struct started {
    pid_t pid = -1;
    int out = -1;  // read end of the tool's standard output
};

// Starts the tool on the names in list_file, in dir, with standard output on
// a pipe and standard error into err_file.
started start_tool(const std::vector<std::string> &args, const std::string &list_file,
                   const std::string &dir, const std::string &err_file) {
    int out_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return {};
    std::vector<std::string> arg_strings{"twinfold"};
    arg_strings.insert(arg_strings.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv;
        for (auto &a : arg_strings) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int in = open(list_file.c_str(), O_RDONLY);
        const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(in, 0);
        dup2(out_pipe[1], 1);
        dup2(err, 2);
        for (int s = 1; s < 65; ++s) signal(s, SIG_DFL);
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        execv(TWINFOLD_BINARY, argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    return {pid, out_pipe[0]};
}

// Reads standard output until a line starting with prefix has come (true), or
// until it ends (false); what was read is appended to seen.
bool read_until(int fd, const std::string &prefix, std::string &seen) {
    char buffer[4096];
    for (;;) {
        const size_t from = seen.size();
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        seen.append(buffer, static_cast<size_t>(n));
        const size_t at = seen.find(prefix, from > prefix.size() ? from - prefix.size() : 0);
        if (at != std::string::npos) return true;
    }
}

// Waits until the process catches SIGHUP, SIGINT and SIGTERM, as the kernel
// reports them: before that a signal still has its default effect. Gives up
// after a minute, however slowly the machine runs. Only Linux tells, in
// /proc; elsewhere the cases that need it are skipped.
#ifdef __linux__
constexpr bool catcher_visible = true;
#else
constexpr bool catcher_visible = false;
#endif

bool wait_for_catcher(pid_t pid) {
    if (!catcher_visible) return false;
    const std::string status_file = "/proc/" + std::to_string(pid) + "/status";
    const unsigned long long wanted =
        (1ull << (SIGHUP - 1)) | (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string status = read_file(status_file);
        const size_t at = status.find("SigCgt:");
        if (at == std::string::npos) return false;
        const unsigned long long caught = std::stoull(status.substr(at + 7), nullptr, 16);
        if ((caught & wanted) == wanted) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

void drain(int fd, std::string &seen) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) seen.append(buffer, static_cast<size_t>(n));
}

int wait_status(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

const run_mode modes[] = {
    {"link", {}, false},
    {"delete", {"-d"}, true},
    {"expand", {"-i"}, false},
    {"sparse", {"-S"}, false},
};

constexpr int file_count = 2000;

}  // namespace

// Interrupted runs of one mode, each at a random moment of its work. The
// moments are spread over the length of an uninterrupted run of the same
// mode, measured first. Each mode is a case of its own; a case makes
// interrupted_runs runs, or stops early once it has made minimum_runs and
// spent its time budget, so that it ends well inside ctest's limit on a busy
// machine, and says how many it made. The trees and moments come from a new
// seed every time, so that runs on a busy machine still cover other moments
// over time; TWINFOLD_SIGNALS_SEED=n repeats the trees of seed n.
class InterruptAtAnyMoment : public testing::TestWithParam<run_mode> {};

constexpr int interrupted_runs = 12;
constexpr int minimum_runs = 2;  // one of each interrupt
constexpr double budget_seconds = 60;

TEST_P(InterruptAtAnyMoment, LosesNothing) {
    if (!catcher_visible) GTEST_SKIP() << "no /proc to see when the signal catcher is installed";
    const run_mode &mode = GetParam();
    const auto case_begun = std::chrono::steady_clock::now();
    const auto spent_seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - case_begun).count();
    };
    const char *chosen = std::getenv("TWINFOLD_SIGNALS_SEED");
    const unsigned seed =
        chosen ? static_cast<unsigned>(std::stoul(chosen)) : std::random_device()();
    SCOPED_TRACE("TWINFOLD_SIGNALS_SEED=" + std::to_string(seed));
    std::mt19937 generator(seed);
    scratch_dir lists;
    int made = 0, stopped_early = 0;
    double length_ms = 0;
    for (int run = 0; run <= interrupted_runs; ++run) {
        if (run > minimum_runs && spent_seconds() > budget_seconds) break;
        SCOPED_TRACE(run);
        big_tree tree(file_count, generator());
        const std::string list = lists / "list";
        write_file(list, nul_list(tree.names));
        const std::string err = lists / "err";
        started tool = start_tool(mode.args, list, tree.dir.path, err);
        ASSERT_GT(tool.pid, 0);
        std::string out;
        ASSERT_TRUE(read_until(tool.out, "Input: ", out)) << out;
        ASSERT_TRUE(wait_for_catcher(tool.pid));
        const auto begun = std::chrono::steady_clock::now();
        if (run > 0) {
            const int signal_number = run % 2 ? SIGINT : SIGTERM;
            std::uniform_real_distribution<double> moment(0, length_ms);
            std::this_thread::sleep_for(
                std::chrono::microseconds(static_cast<long>(moment(generator) * 1000)));
            kill(tool.pid, signal_number);
        }
        drain(tool.out, out);
        close(tool.out);
        const int status = wait_status(tool.pid);
        if (run == 0)
            length_ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun)
                    .count();
        else
            ++made;
        // How many runs the signal caught before their summary is told,
        // not asserted: it depends on timing.
        if (run > 0 && out.find("Minimum of") == std::string::npos) ++stopped_early;
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        const std::string errors = read_file(err);
        EXPECT_EQ(errors.find("failed"), std::string::npos) << errors;
        tree.expect_intact(mode.removes);
    }
    EXPECT_GE(made, minimum_runs);
    RecordProperty("interrupted_runs", made);
    RecordProperty("stopped_before_the_summary", stopped_early);
    RecordProperty("seed", std::to_string(seed));
    std::printf(
        "%s, seed %u: %d interrupted runs in %.0f s (an uninterrupted one took %.0f ms), "
        "%d stopped before their summary\n",
        mode.label, seed, made, spent_seconds(), length_ms, stopped_early);
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptAtAnyMoment, testing::ValuesIn(modes),
                         [](const testing::TestParamInfo<run_mode> &info) {
                             return std::string(info.param.label);
                         });

// Every signal that can be caught other than the interrupts and the one that
// asks for a status line, sent over and over during a run, leaves it doing
// all its work; so does a reader of standard output that goes away early.
TEST(Signals, OtherSignalsAndAClosedOutputDoNotStopTheWork) {
    if (!catcher_visible) GTEST_SKIP() << "no /proc to see when the signal catcher is installed";
    const std::vector<int> others = {
        SIGHUP,    SIGQUIT,   SIGTRAP, SIGABRT,  SIGBUS,  SIGFPE,  SIGUSR2, SIGPIPE,
        SIGALRM,   SIGCHLD,   SIGCONT, SIGTSTP,  SIGTTIN, SIGTTOU, SIGURG,  SIGXCPU,
        SIGXFSZ,   SIGVTALRM, SIGPROF, SIGWINCH, SIGIO,   SIGSYS,
#ifdef SIGSTKFLT
        SIGSTKFLT,
#endif
#ifdef SIGPWR
        SIGPWR,
#endif
#ifdef SIGRTMIN
        SIGRTMIN,  SIGRTMAX,
#endif
    };
    for (const run_mode &mode : modes) {
        for (const bool close_output : {false, true}) {
            SCOPED_TRACE(std::string(mode.label) + (close_output ? ", output closed" : ""));
            big_tree tree(300, 7);
            scratch_dir lists;
            write_file(lists / "list", nul_list(tree.names));
            started tool = start_tool(mode.args, lists / "list", tree.dir.path, lists / "err");
            ASSERT_GT(tool.pid, 0);
            std::string out;
            ASSERT_TRUE(read_until(tool.out, "Input: ", out));
            ASSERT_TRUE(wait_for_catcher(tool.pid));
            if (close_output) close(tool.out);
            for (int round = 0; round < 3; ++round)
                for (int signal_number : others) {
                    kill(tool.pid, signal_number);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            if (!close_output) {
                drain(tool.out, out);
                close(tool.out);
            }
            const int status = wait_status(tool.pid);
            ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
            EXPECT_EQ(WEXITSTATUS(status), 0);
            if (!close_output) {
                EXPECT_NE(out.find("Minimum of"), std::string::npos) << "no summary";
            }
            tree.expect_intact(mode.removes);
            EXPECT_EQ(read_file(lists / "err"), "");
            // The work was done to the end: an undisturbed run on a tree built
            // alike makes the same of it.
            big_tree reference(300, 7);
            tool_result undisturbed =
                run_tool(mode.args, nul_list(reference.names), {.cwd = reference.dir.path});
            EXPECT_EQ(undisturbed.status, 0);
            EXPECT_TRUE(shape_of(tree) == shape_of(reference));
        }
    }
}
