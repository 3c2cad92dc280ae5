// The run driver: the early exits (-advice, -h, -V, unknown options), option
// parsing, the start banner and the line about the spool, memory locking with
// its allocation retry, and the signal catcher.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "capture_stdout.h"
#include "run/driver.h"
#include "scratch_tree.h"
#include "state/run_state.h"
#include "tool_run.h"

namespace {

const char help_text[] =
    "This program can reclaim disk space by linking identical files together.\n"
    "It can also expand all hard links and reads the list of files from standard input.\n"
    "Example usage: find ./ -type f -print0 | twinfold 2>&1 | tee ../twinfold_log.txt\n"
    "Options:\n"
    "-h \t Show this help and exit.\n"
    "-V \t Show version number and exit.\n"
    "-d \t delete multiple files and hard links. Default: Preserve the alphabetically first file "
    "name.\n"
    "-q \t Quiet mode.\n"
    "-n \t Nodo mode / read-only mode.\n"
    "-i \t Inverse switch: Expand all hard links in normal mode, replace files by their desparsed "
    "version if it is bigger.\n"
    "-s \t Flag for soft linking (default is hard linking). This option is beta because for "
    "linking of all equal files more than one run of twinfold is necessary and the inverse "
    "(expanding of soft links) is untested.\n"
    "-S \t Flag for Sparse mode: Replace files by their sparse version if it is smaller.\n"
    "-c \t Combo mode: Default mode +sparse mode. With -i it means inverse mode with unlinking and "
    "desparsing.\n"
    "-B \t Block sharing: equal files share their disk blocks instead of being linked (Linux "
    "FIDEDUPERANGE); each keeps its own inode, owner, mode and times.\n";

// The complaint about an unknown option (in the words of glibc's getopt,
// which the run prints itself), and the line that follows it.
std::string refused(char letter) {
    return std::string("twinfold: invalid option -- '") + letter + "'\n" +
           "Try 'twinfold -h' for help.\n";
}

std::string refused_after_argument(const std::string &option) {
    return "twinfold: option '" + option + "' after an argument is not read\n" +
           "Try 'twinfold -h' for help.\n";
}

const std::regex preamble(
    "twinfold started at [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\n"
    "tmpfile \\(pointer 0x[0-9a-f]+\\) created, processing \\.\\.\\.\n");

const std::string no_names = "Input: 0 files, processing ...\n";

}  // namespace

TEST(Driver, EarlyExitsAndOptionParsing) {
    struct option_case {
        std::vector<std::string> args;
        bool banner;      // the banner and the spool line come first
        std::string out;  // the rest of standard output
        std::string err;
        int status;
    } cases[] = {
        {{}, true, no_names, "", 0},
        {{"-advice"}, false, "Don't Panic!\n", "", 42},
        {{"-advice", "-h", "-q", "name"}, false, "Don't Panic!\n", "", 42},
        {{"-advice", "-x"}, false, "Don't Panic!\n", "", 42},
        // Not the word: getopt takes its letters, and a is none of the options.
        {{"-advicex"}, false, "", refused('a'), 1},
        {{"-q", "-advice"}, false, "", refused('a'), 1},
        {{"-h"}, false, help_text, "", 0},
        {{"-h", "-V"}, false, help_text, "", 0},
        {{"-V", "-h"}, false, "twinfold version 1.73\n", "", 0},
        // -h and -V act when they are parsed, an unknown letter too.
        {{"-h", "-x"}, false, help_text, "", 0},
        {{"-V", "-x"}, false, "twinfold version 1.73\n", "", 0},
        {{"-x", "-h"}, false, "", refused('x'), 1},
        {{"-nqz", "-V"}, false, "", refused('z'), 1},
        {{"-z"}, false, "", refused('z'), 1},
        {{"-q"}, false, "", "", 0},
        {{"-nq"}, false, "", "", 0},
        {{"-n", "-q"}, false, "", "", 0},
        // Parsing ends at the first argument that is not an option; arguments
        // are ignored, an option after one is refused.
        {{"list"}, true, no_names, "", 0},
        {{"-n", "--", "list", "-"}, true, no_names, "", 0},
        {{"list", "-q"}, false, "", refused_after_argument("-q"), 1},
        {{"-n", "--", "-q"}, false, "", refused_after_argument("-q"), 1},
        {{"-", "-q"}, false, "", refused_after_argument("-q"), 1},
        {{"-n", "list", "-V"}, false, "", refused_after_argument("-V"), 1},
    };
    for (const auto &c : cases) {
        std::string shown;
        for (const auto &a : c.args) shown += a + " ";
        SCOPED_TRACE(shown);
        tool_result r = run_tool(c.args, "");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        std::smatch head;
        bool has_banner =
            std::regex_search(r.out, head, preamble, std::regex_constants::match_continuous);
        EXPECT_EQ(has_banner, c.banner) << r.out;
        EXPECT_EQ(has_banner ? r.out.substr(head.length()) : r.out, c.out);
    }
}

TEST(Driver, OptionsSetTheRunOptions) {
    struct parse_case {
        std::vector<std::string> args;
        run_options_record want;
        int delete_mode;
    } cases[] = {
        {{}, {}, 0},
        {{"-n"}, {.nodo = 1}, 0},
        {{"-q"}, {.quiet = 1}, 0},
        {{"-s"}, {.soft = 1}, 0},
        {{"-i"}, {.inverse = true}, 0},
        {{"-S"}, {.sparse = true}, 0},
        {{"-c"}, {.combo = true}, 0},
        {{"-d"}, {}, 1},
        {{"-cdinqsS"}, {1, 1, 1, true, true, true}, 1},
        {{"-c", "-d", "-i", "-n", "-q", "-s", "-S"}, {1, 1, 1, true, true, true}, 1},
        {{"-n", "list"}, {.nodo = 1}, 0},
        {{"-q", "--", "list", "-"}, {.quiet = 1}, 0},
    };
    for (const auto &c : cases) {
        std::vector<std::string> strings{"twinfold"};
        strings.insert(strings.end(), c.args.begin(), c.args.end());
        std::vector<char *> argv;
        for (auto &s : strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        std::string shown;
        for (const auto &a : c.args) shown += a + " ";
        SCOPED_TRACE(shown);

        run_options = {};
        optind = 0;  // makes glibc's getopt start afresh
        int delete_mode = parse_options(static_cast<int>(strings.size()), argv.data());
        EXPECT_EQ(delete_mode, c.delete_mode);
        EXPECT_EQ(run_options.nodo, c.want.nodo);
        EXPECT_EQ(run_options.quiet, c.want.quiet);
        EXPECT_EQ(run_options.soft, c.want.soft);
        EXPECT_EQ(run_options.inverse, c.want.inverse);
        EXPECT_EQ(run_options.sparse, c.want.sparse);
        EXPECT_EQ(run_options.combo, c.want.combo);
    }
    run_options = {};
}

// The complaint is the run's own: the same words under any name the program
// is run by (glibc's getopt would name argv[0] whole, FreeBSD's the program's
// last component) and whatever the C library's settings.
TEST(Driver, TheComplaintAboutAnUnknownOptionIsTheSameEverywhere) {
    struct row {
        std::string program_name;
        std::vector<std::string> env;
    };
    const row rows[] = {
        {"twinfold", {}},
        {"/usr/local/bin/twinfold", {}},
        {"./twinfold", {"POSIXLY_CORRECT=1"}},
    };
    for (const row &row : rows) {
        SCOPED_TRACE(row.program_name);
        const tool_result r =
            run_tool({"-qx"}, nul_list({"a"}),
                     {.env = row.env, .unwrapped = true, .program_name = row.program_name});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, refused('x'));
        EXPECT_EQ(r.out, "");
    }
}

TEST(Driver, MistypedOptionsEndTheRunBeforeTheListIsRead) {
    // The list names files that every mode would change: a and b are equal
    // (linked, or one deleted), h1 and h2 are one file (expanded, or one
    // deleted). A refused run leaves them as they are; the rows that read the
    // list show that it would have changed them.
    const std::string version_line = "twinfold version 1.73\n";
    struct mistyped_case {
        std::vector<std::string> args;
        int status;
        std::string err;
        bool reads;  // the list is read (and the files change)
    } cases[] = {
        {{"--verbose"}, 1, refused('-'), false},      // was -v -e -r -b -o -s -e: symbolic links
        {{"--quiet"}, 1, refused('-'), false},        // was -q -u -i -e -t: expansion
        {{"-q", "-advice"}, 1, refused('a'), false},  // was -a -d -v -i -c -e: deletion
        {{"-dz"}, 1, refused('z'), false},
        {{"-sqx"}, 1, refused('x'), false},
        {{"-i", "-x", "-q"}, 1, refused('x'), false},
        {{"-n", "-d", "-V", "-x"}, 0, "", false},  // the version line ends the run first
        // Parsing stops at an argument; an option after it would go unread.
        {{".", "-n"}, 1, refused_after_argument("-n"), false},
        {{"-n", "list", "-d"}, 1, refused_after_argument("-d"), false},
        {{"-q", "--", "-n"}, 1, refused_after_argument("-n"), false},
        {{"", "-z"}, 1, refused_after_argument("-z"), false},
        {{"-q", "list", "-"}, 0, "", true},  // arguments alone are ignored
        {{"-q"}, 0, "", true},
        {{"-qd"}, 0, "", true},
        {{"-q", "-i"}, 0, "", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        scratch_dir dir;
        write_file(dir / "a", "equal contents\n");
        write_file(dir / "b", "equal contents\n");
        write_file(dir / "h1", "one file, two names\n");
        ASSERT_EQ(link((dir / "h1").c_str(), (dir / "h2").c_str()), 0);
        const std::vector<std::string> names = {"a", "b", "h1", "h2"};
        std::vector<ino_t> before;
        for (const auto &name : names) before.push_back(status_of(dir / name).st_ino);

        tool_result r = run_tool(c.args, nul_list(names), {.cwd = dir.path});
        bool changed = false;
        for (size_t i = 0; i < names.size(); ++i) {
            struct stat st;
            changed = changed || lstat((dir / names[i]).c_str(), &st) != 0 ||
                      st.st_ino != before[i] || st.st_nlink != (i < 2 ? 1u : 2u);
        }
        EXPECT_EQ(changed, c.reads);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        // No banner and no input count where the list is not read.
        if (!c.reads) {
            EXPECT_EQ(r.out, c.status == 0 ? version_line : "");
        }
    }
}

// Every row of the table of passes, after a read error in the intake (the
// spool read back fails, so every name is empty and no file is touched): the
// passes in their order, told by their lines, and the exit status, which is
// the intake's 255 except where the table says 0.
TEST(Driver, EveryRowOfThePassTableAfterAReadError) {
    const std::string input = "Input: 2 files, processing ...\n";
    const std::string extremes = "Minimum of found hard links: 1, Maximum: 1.\n";
    const std::string link =
        "Scanning for more dups ...\n"
        "Files linked: 0 of 2, Disk blocks reclaimed: 0\n" +
        extremes;
    const std::string expansion =
        "Scanning for hard links ...\n"
        "Files expanded: 0 of 2, Disk blocks declaimed: 0\n" +
        extremes;
    const std::string sparse =
        "Files sparsed: 0 of 2, Disk blocks reclaimed: 0\n"
        "Minimum of disk blocks which could be reclaimed by sparse copying: "
        "9223372036854775807, Maximum: 0.\n";
    const std::string sparse_report =
        "Files which can be sparsed: 0 of 2, Disk blocks can be reclaimed: 0\n"
        "Minimum of disk blocks which could be reclaimed by sparse copying: "
        "9223372036854775807, Maximum: 0.\n";
    const std::string desparse =
        "Files desparsed: 0 of 2, Disk blocks declaimed: 0\n"
        "Minimum of disk blocks which could be declaimed by desparse copying: "
        "9223372036854775807, Maximum: 0.\n";
    const std::string deletion =
        "Duplicate files (which have been deleted): 0 of 2, Disk blocks reclaimed: 0\n" + extremes;
    struct row {
        std::vector<std::string> args;
        std::string out;  // after the banner and the spool line
        int status;
    } rows[] = {
        {{}, input + link, 255},
        {{"-c"}, input + link, 255},
        {{"-i"}, input + expansion, 255},
        {{"-S"}, input + sparse, 255},
        {{"-i", "-S"}, input + desparse, 0},
        {{"-c", "-S"}, input + sparse + link, 255},
        {{"-c", "-S", "-n"}, input + sparse_report, 0},
        {{"-c", "-S", "-n", "-q"}, "", 0},
        {{"-c", "-i"}, input + expansion + desparse, 0},
        {{"-c", "-i", "-S"}, input + expansion + desparse, 0},
        {{"-d"}, input + deletion, 255},
        {{"-d", "-c", "-i", "-S"}, input + deletion, 255},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.args));
        scratch_dir dir;
        tool_result result = run_tool(r.args, nul_list({"alpha", "beta"}),
                                      {.cwd = dir.path, .faults = "tmpfile:*:WRONLY"});
        EXPECT_EQ(without_preamble(result.out), r.out);
        EXPECT_EQ(result.status, r.status);
        EXPECT_EQ(result.err.rfind("tmpfile: error 1.\n", 0), 0u) << result.err;
    }
}

TEST(Driver, BannerShowsTheStartTimeWithTwoDigitFields) {
    struct banner_case {
        struct tm when;
        const char *line;
    } cases[] = {
        {{.tm_sec = 9, .tm_min = 4, .tm_hour = 3, .tm_mday = 5, .tm_mon = 0, .tm_year = 124},
         "tf started at 2024-01-05 03:04:09\n"},
        {{.tm_sec = 59, .tm_min = 59, .tm_hour = 23, .tm_mday = 31, .tm_mon = 11, .tm_year = 99},
         "tf started at 1999-12-31 23:59:59\n"},
        {{.tm_sec = 10, .tm_min = 10, .tm_hour = 10, .tm_mday = 10, .tm_mon = 8, .tm_year = 100},
         "tf started at 2000-09-10 10:10:10\n"},
        {{.tm_sec = 0, .tm_min = 0, .tm_hour = 0, .tm_mday = 1, .tm_mon = 9, .tm_year = 200},
         "tf started at 2100-10-01 00:00:00\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(captured_stdout([&] { start_banner("tf", c.when); }), c.line);
    }
    run_options.quiet = 1;
    EXPECT_EQ(captured_stdout([&] { start_banner("tf", cases[0].when); }), "");
    run_options = {};
}

TEST(Driver, BannerCarriesTheRunsOwnNameAndTime) {
    std::time_t before = std::time(nullptr);
    tool_result r = run_tool({}, "");
    std::time_t after = std::time(nullptr);
    std::vector<std::string> seen_lines = lines_of(r.out);
    ASSERT_FALSE(seen_lines.empty());
    std::vector<std::string> candidates;
    for (std::time_t t = before; t <= after; ++t) {
        struct tm when;
        localtime_r(&t, &when);
        char line[64];
        std::strftime(line, sizeof line, "twinfold started at %Y-%m-%d %H:%M:%S", &when);
        candidates.push_back(line);
    }
    EXPECT_NE(std::find(candidates.begin(), candidates.end(), seen_lines[0]), candidates.end())
        << seen_lines[0];
}

TEST(Driver, MemoryIsLockedBeforeTheSpoolIsMade) {
    scratch_dir dir;
    const std::string mark = dir / "locked";
    tool_result r = run_tool({}, "",
                             {.hooks = "mlockall:3:0:touch " + mark +
                                       "\n"
                                       "tmpfile:*:0:test -e " +
                                       mark + " && touch " + mark + "-first"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(exists(mark));  // MCL_CURRENT | MCL_FUTURE
    EXPECT_TRUE(exists(mark + "-first"));
}

namespace {

// Whether mlockall succeeds here; where it is refused there is no lock to
// give up and nothing to retry.
bool memory_can_be_locked() {
    pid_t child = fork();
    if (child == 0) _exit(mlockall(MCL_CURRENT | MCL_FUTURE) == 0 ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(Driver, AllocationFailingUnderTheLockUnlocksAndRetriesOnce) {
    if (!memory_can_be_locked()) GTEST_SKIP() << "mlockall is refused on this machine";
    scratch_dir dir;
    write_file(dir / "a", "one");
    write_file(dir / "b", "two");
    const std::string input = nul_list({dir / "a", dir / "b"});
    const std::string unlocked = dir / "unlocked";
    const std::string hook = "munlockall:*:0:touch " + unlocked;
    struct retry_case {
        const char *what;
        std::string faults;
        bool retried;  // memory was unlocked and the run went on
    } cases[] = {
        {"fails once: unlocked, retried, the run goes on", "calloc:2,8:ENOMEM:0:1", true},
        {"fails twice: out of memory", "calloc:2,8:ENOMEM:0:2", false},
        {"no lock to give up: out of memory at once", "mlockall:*:EPERM;calloc:2,8:ENOMEM:0:1",
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(unlocked.c_str());
        tool_result r = run_tool({"-n"}, input, {.faults = c.faults, .hooks = hook});
        EXPECT_NE(r.out.find("Input: 2 files, processing ...\n"), std::string::npos);
        if (c.retried) {
            EXPECT_TRUE(exists(unlocked));
            EXPECT_EQ(r.err.find("Out of memory"), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.err, "twinfold: Out of memory\n");
        }
    }
}

namespace {

// Runs body in a child with the catcher installed; gives how the child ended:
// its exit status, or minus the signal that killed it. A child still running
// after a generous bound is taken as looping and killed.
int in_catching_child(void (*body)()) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        install_signal_catcher();
        body();
        _exit(interrupted ? 10 : 20);
    }
    int status = 0;
    for (int waited = 0; waited < 3000; ++waited) {
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        usleep(10000);
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return 999;
}

int sent_signal;
void send_by_kill() {
    kill(getpid(), sent_signal);
    kill(getpid(), sent_signal);  // the catcher stays installed
}
void send_by_sigqueue() {
    sigqueue(getpid(), sent_signal, sigval{});
}
void send_by_raise() {
    raise(sent_signal);
}

void write_to_protected_page() {
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile char *>(page) = 1;
}
void read_past_end_of_mapped_file() {
    FILE *empty = std::tmpfile();
    void *page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fileno(empty), 0);
    (void)*static_cast<volatile char *>(page);
}
void illegal_instruction() {
    __builtin_trap();
}
volatile int numerator = 7, zero = 0;
__attribute__((no_sanitize("undefined"))) void divide_by_zero() {
    volatile int quotient = numerator / zero;
    (void)quotient;
}

}  // namespace

TEST(Signals, SentSignalsOnlySetTheFlagForTwoFourElevenFifteen) {
    struct sent_case {
        int signal_number;
        void (*send)();
        bool sets_flag;
    } cases[] = {
        {SIGINT, send_by_kill, true},      {SIGILL, send_by_kill, true},
        {SIGSEGV, send_by_kill, true},     {SIGTERM, send_by_kill, true},
        {SIGSEGV, send_by_sigqueue, true}, {SIGSEGV, send_by_raise, true},
        {SIGHUP, send_by_kill, false},     {SIGQUIT, send_by_kill, false},
        {SIGABRT, send_by_kill, false},    {SIGBUS, send_by_kill, false},
        {SIGFPE, send_by_kill, false},     {SIGUSR1, send_by_kill, false},
        {SIGPIPE, send_by_kill, false},    {SIGALRM, send_by_kill, false},
        {SIGCHLD, send_by_kill, false},    {SIGRTMIN + 1, send_by_kill, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(strsignal(c.signal_number));
        sent_signal = c.signal_number;
        EXPECT_EQ(in_catching_child(c.send), c.sets_flag ? 10 : 20);
    }
}

TEST(Signals, CatcherSetsTheFlagOnlyForTheMask) {
    for (int n = -1; n < 256; ++n) {
        interrupted = 0;
        signal_catcher(n);
        bool want = n == 2 || n == 4 || n == 9 || n == 11 || n == 15;
        EXPECT_EQ(interrupted != 0, want) << n;
    }
    interrupted = 0;
}

TEST(Signals, GenuineFaultEndsTheProcessInsteadOfLooping) {
    struct fault_case {
        void (*fault)();
        int signal_number;
    } cases[] = {
        {write_to_protected_page, SIGSEGV},
        {read_past_end_of_mapped_file, SIGBUS},
        {illegal_instruction, SIGILL},
        {divide_by_zero, SIGFPE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(strsignal(c.signal_number));
        EXPECT_EQ(in_catching_child(c.fault), -c.signal_number);
    }
}
