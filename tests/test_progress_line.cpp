// The progress line on a terminal: the run's standard error on a
// pseudo-terminal shows the line once a pass has run for a second (the
// shim's hook makes one open take longer than that), every line of the run
// erases it first, the end erases it, and with the line and its erasures
// taken out the terminal holds exactly what the run prints without one. A
// pipe, standard output on a pipe, and a quiet run see no byte of it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#ifdef __linux__
#include <pty.h>
#else
#include <libutil.h>  // openpty on the BSDs
#endif
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "scratch_tree.h"
#include "tool_run.h"

namespace {

struct terminal_run {
    std::string terminal;  // every byte the run wrote to the terminal
    std::string out;       // standard output, when it was a file or a pipe
    int status = -1;
};

// Where the run's standard output goes while its standard error is on the
// terminal.
enum class output_to { terminal, file, pipe };

// Runs the tool with its standard error (and standard output, as out_to
// says) on a pseudo-terminal of the given width; standard input is the file
// at input_path.
terminal_run run_on_terminal(const std::vector<std::string> &args, const std::string &input_path,
                             const std::string &cwd, const std::string &hooks, output_to out_to,
                             unsigned short columns = 200) {
    terminal_run result;
    char out_path[] = "/tmp/twinfold_progress_out_XXXXXX";
    const int out_file = mkstemp(out_path);
    if (out_file < 0) {
        ADD_FAILURE() << "mkstemp: " << std::strerror(errno);
        return result;
    }
    unlink(out_path);
    struct termios raw {};
    cfmakeraw(&raw);  // no newline translation: the bytes arrive as written
    struct winsize size {};
    size.ws_row = 24;
    size.ws_col = columns;
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, &raw, &size) != 0) {
        ADD_FAILURE() << "openpty: " << std::strerror(errno);
        return result;
    }
    int out_pipe[2];
    if (pipe(out_pipe) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return result;
    }
    std::vector<std::string> env_strings = inherited_environment();
    env_strings.push_back(std::string("LD_PRELOAD=") + FAULT_SHIM);
    env_strings.push_back("ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0");
    env_strings.push_back("TWINFOLD_HOOKS=" + hooks);
    std::vector<char *> env;
    for (auto &e : env_strings) env.push_back(e.data());
    env.push_back(nullptr);
    const std::string binary = tool_binary(TWINFOLD_BINARY);
    std::vector<std::string> arg_strings{"twinfold"};
    arg_strings.insert(arg_strings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : arg_strings) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        const int input = open(input_path.c_str(), O_RDONLY);
        if (input < 0 || chdir(cwd.c_str()) != 0) _exit(126);
        dup2(input, 0);
        dup2(out_to == output_to::terminal ? slave
             : out_to == output_to::file   ? out_file
                                           : out_pipe[1],
             1);
        close(out_file);
        dup2(slave, 2);
        close(input);
        close(master);
        close(slave);
        close(out_pipe[0]);
        close(out_pipe[1]);
        execve(binary.c_str(), argv.data(), env.data());
        _exit(127);
    }
    close(slave);
    close(out_pipe[1]);
    // Reads both until each has ended: the terminal's master side reports
    // EIO once the last holder of the other side has closed it.
    bool terminal_open = true, pipe_open = true;
    while (terminal_open || pipe_open) {
        struct pollfd fds[2] = {{master, POLLIN, 0}, {out_pipe[0], POLLIN, 0}};
        if (poll(fds, 2, 60000) <= 0) {
            ADD_FAILURE() << "the run did not end";
            kill(child, SIGKILL);
            break;
        }
        char buffer[4096];
        if (terminal_open && fds[0].revents) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0)
                result.terminal.append(buffer, static_cast<size_t>(n));
            else
                terminal_open = false;
        }
        if (pipe_open && fds[1].revents) {
            const ssize_t n = read(out_pipe[0], buffer, sizeof buffer);
            if (n > 0)
                result.out.append(buffer, static_cast<size_t>(n));
            else
                pipe_open = false;
        }
        if (!terminal_open) fds[0].fd = -1;
    }
    close(master);
    close(out_pipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (out_to == output_to::file) {
        char buffer[4096];
        ssize_t n;
        while ((n = pread(out_file, buffer, sizeof buffer, static_cast<off_t>(result.out.size()))) >
               0)
            result.out.append(buffer, static_cast<size_t>(n));
    }
    close(out_file);
    return result;
}

const std::string erase = "\r\033[K";

// The progress lines drawn (a carriage return, the text, clear to the end of
// the line) and whether each was erased before any other byte followed;
// also the terminal's bytes with every drawing and erasure taken out.
struct taken_apart {
    std::vector<std::string> lines;
    bool all_erased = true;
    std::string rest;
};

taken_apart take_apart(const std::string &terminal) {
    taken_apart t;
    bool shown = false;
    size_t at = 0;
    while (at < terminal.size()) {
        if (terminal[at] == '\r') {
            const size_t end = terminal.find("\033[K", at);
            const size_t newline = terminal.find('\n', at);
            if (end != std::string::npos && (newline == std::string::npos || end < newline)) {
                const std::string text = terminal.substr(at + 1, end - at - 1);
                if (!text.empty()) t.lines.push_back(text);
                shown = !text.empty();
                at = end + 3;
                continue;
            }
        }
        if (shown) t.all_erased = false;
        shown = false;
        t.rest += terminal[at++];
    }
    if (shown) t.all_erased = false;
    return t;
}

struct slow_tree {
    scratch_dir dir;
    std::string list_path = dir / "list";
    // Opening the file named slow takes 1.3 seconds: the link pass has then
    // run for more than a second when it reads the file.
    std::string hooks = "open:slow:0:sleep 1.3";
    slow_tree() {
        write_file(dir / "fast", std::string(20000, 'x'));
        write_file(dir / "slow", std::string(20000, 'x'));
        write_file(dir / "other", std::string(300, 'y'));
        // A name that cannot be examined puts failure lines on standard error.
        write_file(list_path, nul_list({"fast", "missing", "slow", "other"}));
    }
};

}  // namespace

TEST(ProgressLine, ShownOnATerminalErasedBeforeEveryLineAndAtTheEnd) {
    for (const output_to out_to : {output_to::file, output_to::terminal}) {
        const bool both_on_terminal = out_to == output_to::terminal;
        SCOPED_TRACE(both_on_terminal ? "standard output on the terminal too"
                                      : "standard output in a file");
        slow_tree plain_tree, tree;
        const tool_result plain = run_tool({"-n"}, read_file(plain_tree.list_path),
                                           {.cwd = plain_tree.dir.path, .hooks = plain_tree.hooks});
        const terminal_run shown =
            run_on_terminal({"-n"}, tree.list_path, tree.dir.path, tree.hooks, out_to);
        EXPECT_EQ(shown.status, plain.status);
        const taken_apart t = take_apart(shown.terminal);
        ASSERT_FALSE(t.lines.empty()) << shown.terminal;
        const std::regex wording(
            "link pass: (sorting 4 names, [0-9]+%|[0-9]+ of [0-9]+ names), [0-9.]+ (bytes|KiB) "
            "read, "
            "0:0[1-9]");
        for (const auto &line : t.lines) EXPECT_TRUE(std::regex_match(line, wording)) << line;
        EXPECT_TRUE(t.all_erased) << shown.terminal;
        // Without the line and its erasures: what the run prints without a
        // terminal, the failure lines on standard error included.
        ASSERT_NE(plain.err, "");
        if (both_on_terminal) {
            // stdout and stderr interleave; each is checked line by line.
            std::vector<std::string> rest = lines_of(without_preamble(t.rest));
            std::vector<std::string> out_lines = lines_of(without_preamble(plain.out));
            std::vector<std::string> err_lines = lines_of(plain.err);
            std::vector<std::string> out_seen, err_seen;
            for (const auto &line : rest)
                (std::find(err_lines.begin(), err_lines.end(), line) != err_lines.end() ? err_seen
                                                                                        : out_seen)
                    .push_back(line);
            EXPECT_EQ(out_seen, out_lines);
            EXPECT_EQ(err_seen, err_lines);
        } else {
            EXPECT_EQ(t.rest, plain.err);
            EXPECT_EQ(without_preamble(shown.out), without_preamble(plain.out));
        }
    }
}

TEST(ProgressLine, CutToTheTerminalsWidth) {
    slow_tree tree;
    const terminal_run shown =
        run_on_terminal({"-n"}, tree.list_path, tree.dir.path, tree.hooks, output_to::file, 24);
    const taken_apart t = take_apart(shown.terminal);
    ASSERT_FALSE(t.lines.empty()) << shown.terminal;
    for (const auto &line : t.lines) {
        EXPECT_EQ(line.size(), 23u) << line;
        EXPECT_EQ(line.rfind("link pass: ", 0), 0u) << line;
    }
    EXPECT_TRUE(t.all_erased);
}

TEST(ProgressLine, NoByteOfItOnAPipeUnderQuietOrWithinASecond) {
    // Standard error on a pipe: the same bytes as a run whose open is not
    // slowed, which never has a pass run for a second.
    slow_tree slowed, quick;
    const tool_result slow_run = run_tool({"-n"}, read_file(slowed.list_path),
                                          {.cwd = slowed.dir.path, .hooks = slowed.hooks});
    const tool_result quick_run = run_tool({"-n"}, read_file(quick.list_path),
                                           {.cwd = quick.dir.path, .hooks = "open:none:0:true"});
    EXPECT_EQ(slow_run.err, quick_run.err);
    EXPECT_EQ(without_preamble(slow_run.out), without_preamble(quick_run.out));
    EXPECT_EQ(slow_run.err.find('\r'), std::string::npos);
    // On a terminal, a run that ends within a second draws nothing; on a
    // busy machine it may take longer, and then its line is erased as always.
    slow_tree quick_on_terminal;
    const auto began = std::chrono::steady_clock::now();
    const terminal_run brief =
        run_on_terminal({"-n"}, quick_on_terminal.list_path, quick_on_terminal.dir.path,
                        "open:none:0:true", output_to::file);
    if (std::chrono::steady_clock::now() - began < std::chrono::milliseconds(900)) {
        EXPECT_EQ(brief.terminal, quick_run.err);
    } else {
        const taken_apart brief_parts = take_apart(brief.terminal);
        EXPECT_TRUE(brief_parts.all_erased) << brief.terminal;
        EXPECT_EQ(brief_parts.rest, quick_run.err);
    }
    // Quiet on a terminal: only the failure lines, as without a terminal.
    slow_tree quiet_tree;
    const terminal_run quiet = run_on_terminal(
        {"-n", "-q"}, quiet_tree.list_path, quiet_tree.dir.path, quiet_tree.hooks, output_to::file);
    EXPECT_EQ(quiet.terminal, slow_run.err);
    EXPECT_EQ(quiet.out, "");
    // Standard output on a pipe, which may end at the same terminal (as
    // through tee): no line, as its lines could land on it.
    slow_tree piped_tree;
    const terminal_run piped = run_on_terminal({"-n"}, piped_tree.list_path, piped_tree.dir.path,
                                               piped_tree.hooks, output_to::pipe);
    EXPECT_EQ(piped.terminal, slow_run.err);
    EXPECT_EQ(without_preamble(piped.out), without_preamble(slow_run.out));
}

// SIGUSR1 (SIGINFO, Ctrl-T, where the system has it) asks for one status line
// on standard error in the progress line's words: also on a pipe and under
// -q, at the next step of the pass, and the run is otherwise what it is
// without the signal. The shim's hook sends the signal from within a chosen
// call.
TEST(ProgressLine, AStatusLineAnswersTheSignalThatAsksForIt) {
    struct row {
        const char *label;
        std::vector<std::string> args;
        const char *hooks;
        std::string pass;
        const char *wording;
    };
    const row rows[] = {
        {"link pass",
         {"-n"},
         "open:slow:0:kill -USR1 $PPID",
         "link pass",
         "link pass: (sorting 4 names, [0-9]+%|[0-9]+ of [0-9]+ names), [0-9.]+ (bytes|KiB) "
         "read, 0:0[0-9]"},
        {"link pass, quiet",
         {"-n", "-q"},
         "open:slow:0:kill -USR1 $PPID",
         "link pass",
         "link pass: (sorting 4 names, [0-9]+%|[0-9]+ of [0-9]+ names), [0-9.]+ (bytes|KiB) "
         "read, 0:0[0-9]"},
        {"sparse pass",
         {"-S"},
         "mkstemp:dup__:0:kill -USR1 $PPID",
         "sparse pass",
         "sparse pass: [0-9]+ of 4 names, [0-9.]+ (bytes|KiB) copied, 0:0[0-9]"},
    };
    for (const row &row : rows) {
        SCOPED_TRACE(row.label);
        slow_tree plain_tree, tree;
        const tool_result plain =
            run_tool(row.args, read_file(plain_tree.list_path),
                     {.cwd = plain_tree.dir.path, .hooks = "open:none:0:true"});
        const tool_result asked = run_tool(row.args, read_file(tree.list_path),
                                           {.cwd = tree.dir.path, .hooks = row.hooks});
        EXPECT_EQ(asked.status, plain.status);
        EXPECT_EQ(without_preamble(asked.out), without_preamble(plain.out));
        std::vector<std::string> status_lines, rest;
        for (const auto &line : lines_of(asked.err))
            (line.rfind(row.pass + ": ", 0) == 0 ? status_lines : rest).push_back(line);
        ASSERT_EQ(status_lines.size(), 1u) << asked.err;
        EXPECT_TRUE(std::regex_match(status_lines[0], std::regex(row.wording))) << status_lines[0];
        EXPECT_EQ(rest, lines_of(plain.err));
    }
}
