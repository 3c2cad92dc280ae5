// The intake: how the bytes on standard input split into names (names too
// long to fit skipped whole), the entries and the marks it builds, the input
// count line, the hints about the input, and its failures. Routines are run in a child process,
// since the intake ends the process on some paths and never frees what it builds; end-to-end cases
// run the built tool, with the fault-injection shim where a call must fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#ifdef __linux__
#include <pty.h>
#else
#include <libutil.h>  // openpty on the BSDs
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "run/intake.h"
#include "scratch_tree.h"
#include "state/run_state.h"
#include "tool_run.h"

namespace {

struct intake_outcome {
    bool returned = false;  // read_name_list came back (the list is below)
    int status = -1;        // exit status of the child
    int final_status = 0;
    std::string out, err;
    std::vector<std::string> work, index;
    bool marks_all_zero = false;
    bool entries_distinct = false;
};

FILE *stream_with(const std::string &bytes) {
    FILE *stream = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::rewind(stream);
    return stream;
}

std::vector<std::string> split_nul(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\0', start);
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Runs read_name_list in a child on the stream make_input gives, with the
// spool make_spool gives (a temporary file by default).
intake_outcome run_intake(
    const std::function<FILE *()> &make_input, int quiet = 0,
    const std::function<FILE *()> &make_spool = [] { return std::tmpfile(); }) {
    scratch_dir dir;
    const std::string out_path = dir / "out", err_path = dir / "err", list_path = dir / "list";
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        alarm(60);  // an intake that never ends fails the case instead of the whole run
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        run_options.quiet = quiet;
        int final_status = 0;
        read_name_list(make_input(), make_spool(), final_status, "twinfold");
        std::fflush(stdout);

        // The list: final_status, then the names of work_list, then those of
        // name_index, each ended by NUL, then two flags.
        std::string list = std::to_string(final_status) + '\0';
        for (int i = 0; i < file_count; ++i) list += std::string(work_list[i]) + '\0';
        for (int i = 0; i < file_count; ++i) list += std::string(name_index[i]) + '\0';
        bool zero = true;
        for (int i = 0; i < file_count; ++i) zero = zero && delete_marks[i] == 0;
        // Every entry has a name of its own, also when a name is listed twice.
        std::set<const char *> storage(work_list, work_list + file_count);
        const bool distinct = storage.size() == static_cast<size_t>(file_count);
        list += std::string(zero ? "1" : "0") + '\0' + (distinct ? "1" : "0") + '\0';
        FILE *f = std::fopen(list_path.c_str(), "w");
        std::fwrite(list.data(), 1, list.size(), f);
        std::fclose(f);
        _exit(0);
    }
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    intake_outcome outcome;
    outcome.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    outcome.out = read_file(out_path);
    outcome.err = read_file(err_path);
    if (exists(list_path)) {
        std::vector<std::string> parts = split_nul(read_file(list_path));
        outcome.returned = true;
        outcome.final_status = std::stoi(parts.at(0));
        size_t count = (parts.size() - 3) / 2;
        outcome.work.assign(parts.begin() + 1, parts.begin() + 1 + count);
        outcome.index.assign(parts.begin() + 1 + count, parts.begin() + 1 + 2 * count);
        outcome.marks_all_zero = parts.at(1 + 2 * count) == "1";
        outcome.entries_distinct = parts.at(2 + 2 * count) == "1";
    }
    return outcome;
}

intake_outcome run_intake_on(const std::string &bytes, int quiet = 0) {
    return run_intake([&] { return stream_with(bytes); }, quiet);
}

std::string input_line(size_t count) {
    return "Input: " + std::to_string(count) + " files, processing ...\n";
}

const std::string name_1023(1023, 'x');

// A string of every byte of a literal, the NULs within it included.
template <size_t n>
std::string bytes(const char (&literal)[n]) {
    return std::string(literal, n - 1);
}

// The line for a name too long to fit, with the first bytes it shows.
std::string skipped_line(size_t length, const std::string &shown) {
    return "stdin: name of " + std::to_string(length) +
           " bytes skipped (longer than 1023): " + shown + "...\n";
}

const std::string newline_hint =
    "stdin: newlines but no NUL byte: names end with a NUL byte (use find -print0)\n";

}  // namespace

TEST(Intake, BytesSplitIntoNames) {
    using names = std::vector<std::string>;
    const std::string x40(40, 'x');
    // Starts with bytes that would break a line or a terminal.
    const std::string hostile_head = bytes("./a\nb\tc\\d\x1b[2J\x7f\xff\x01 e");
    struct split_case {
        const char *what;
        std::string input;
        names want;
        std::string err;
    } cases[] = {
        {"two names, each ended", bytes("a\0b\0"), {"a", "b"}, ""},
        {"no NUL after the last", bytes("a\0b"), {"a", "b"}, ""},
        {"empty name between", bytes("a\0\0b\0"), {"a", "b"}, ""},
        {"leading NULs", bytes("\0\0./c\0"), {"./c"}, ""},
        {"any byte but NUL",
         bytes("./a b\n\t\x01\xff\x80\0./-q\0"),
         {"./a b\n\t\x01\xff\x80", "./-q"},
         ""},
        {"1023 bytes kept whole", name_1023 + '\0' + "b" + '\0', {name_1023, "b"}, ""},
        {"1023 bytes at the end", name_1023, {name_1023}, ""},
        // A name that does not fit is skipped whole: no part of it becomes a name.
        {"1024 bytes skipped", name_1023 + 'L' + '\0' + "b" + '\0', {"b"}, skipped_line(1024, x40)},
        {"1024 bytes at the end skipped",
         "a" + std::string(1, '\0') + name_1023 + 'L',
         {"a"},
         skipped_line(1024, x40)},
        {"1030 bytes: the tail is no name",
         "a" + std::string(1, '\0') + name_1023 + "/ffffff" + '\0' + "b" + '\0',
         {"a", "b"},
         skipped_line(1030, x40)},
        {"5000 bytes: no piece is a name",
         std::string(5000, 'y') + '\0' + "b" + '\0',
         {"b"},
         skipped_line(5000, std::string(40, 'y'))},
        {"two long names in a row, each on its line",
         std::string(2048, 'a') + '\0' + std::string(1100, 'b') + '\0' + "c",
         {"c"},
         skipped_line(2048, std::string(40, 'a')) + skipped_line(1100, std::string(40, 'b'))},
        {"a skipped name is shown on one line of plain text",
         hostile_head + std::string(1100, 'z') + '\0' + "b" + '\0',
         {"b"},
         skipped_line(hostile_head.size() + 1100,
                      "./a\\nb\\tc\\\\d\\033[2J\\177\\377\\001 e" + std::string(22, 'z'))},
        {"the same name twice", bytes("./d\0./d\0"), {"./d", "./d"}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        intake_outcome r = run_intake_on(c.input);
        ASSERT_TRUE(r.returned) << r.err;
        EXPECT_EQ(r.work, c.want);
        EXPECT_EQ(r.index, c.want);
        EXPECT_TRUE(r.marks_all_zero);
        EXPECT_TRUE(r.entries_distinct);
        EXPECT_EQ(r.final_status, 0);
        EXPECT_EQ(r.out, input_line(c.want.size()));
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(Intake, NoNameEndsWithZero) {
    struct empty_case {
        std::string input;
        std::string err;
    } cases[] = {
        {std::string(), ""},
        {bytes("\0\0\0"), ""},
        {std::string(1024, 'n') + '\0', skipped_line(1024, std::string(40, 'n'))},
    };
    for (const auto &c : cases) {
        for (int quiet : {0, 1}) {
            intake_outcome r = run_intake_on(c.input, quiet);
            EXPECT_FALSE(r.returned);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, quiet ? "" : input_line(0));
            EXPECT_EQ(r.err, c.err);
        }
    }
}

TEST(Intake, ListOfLinesDrawsAHint) {
    // The list is read as it stands; the hint comes once, after the list,
    // whatever quiet says.
    using names = std::vector<std::string>;
    std::string lines;
    for (int i = 0; i < 100; ++i) lines += "./dir/file" + std::to_string(i) + "\n";
    struct hint_case {
        const char *what;
        std::string input;
        names want;
        std::string err;
    } cases[] = {
        {"lines, as find writes them", "./a\n./b\n", {"./a\n./b\n"}, newline_hint},
        {"one line without its newline", "./a\n./b", {"./a\n./b"}, newline_hint},
        {"a newline inside NUL-ended names", bytes("./a\n\0./b\0"), {"./a\n", "./b"}, ""},
        {"one name without NUL or newline", "./a", {"./a"}, ""},
        {"lines too long for one name",
         lines,
         {},
         skipped_line(lines.size(), "./dir/file0\\n./dir/file1\\n./dir/file2\\n./di") +
             newline_hint},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (int quiet : {0, 1}) {
            intake_outcome r = run_intake_on(c.input, quiet);
            EXPECT_EQ(r.returned, !c.want.empty());
            EXPECT_EQ(r.work, c.want);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, quiet ? "" : input_line(c.want.size()));
            EXPECT_EQ(r.err, c.err);
        }
    }
}

TEST(Intake, QuietDropsTheInputLine) {
    intake_outcome r = run_intake_on(bytes("a\0"), 1);
    ASSERT_TRUE(r.returned);
    EXPECT_EQ(r.work, std::vector<std::string>{"a"});
    EXPECT_EQ(r.out, "");
}

namespace {

// A stream that hands out its bytes, then fails every read, never reaching
// its end.
struct failing_after {
    std::string bytes;
    size_t given = 0;
    int failed_reads = 0;
};

ssize_t read_then_fail(void *cookie, char *buffer, size_t size) {
    auto *source = static_cast<failing_after *>(cookie);
    if (source->given == source->bytes.size()) {
        ++source->failed_reads;
        errno = EIO;
        return -1;
    }
    size_t n = std::min(size, source->bytes.size() - source->given);
    std::memcpy(buffer, source->bytes.data() + source->given, n);
    source->given += n;
    return static_cast<ssize_t>(n);
}

}  // namespace

TEST(Intake, ReadErrorOnInputEndsTheListThere) {
    // Names before the failure are kept; the message comes once; the status is -1.
    intake_outcome r = run_intake([] {
        static failing_after source{bytes("./a\0./b\0./c")};
        return fopencookie(&source, "r", {read_then_fail, nullptr, nullptr, nullptr});
    });
    ASSERT_TRUE(r.returned) << r.err;
    EXPECT_EQ(r.work, (std::vector<std::string>{"./a", "./b", "./c"}));
    EXPECT_EQ(r.index, r.work);
    EXPECT_EQ(r.err, "stdin: error 1.\n");
    EXPECT_EQ(r.final_status, -1);
    EXPECT_EQ(r.out, input_line(3));

    // With nothing read before the failure the list is empty, and the error stands.
    r = run_intake([] {
        static failing_after source{""};
        return fopencookie(&source, "r", {read_then_fail, nullptr, nullptr, nullptr});
    });
    EXPECT_FALSE(r.returned);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "stdin: error 1.\n");
    EXPECT_EQ(r.out, input_line(0));
}

TEST(Intake, SpoolThatCannotBeReadBackGivesEmptyNamesAndMinusOne) {
    scratch_dir dir;
    const std::string spool_path = dir / "spool";
    intake_outcome r = run_intake([] { return stream_with(bytes("./a\0./b\0./c\0")); }, 0,
                                  [&] { return std::fopen(spool_path.c_str(), "w"); });
    ASSERT_TRUE(r.returned) << r.err;
    EXPECT_EQ(r.err, "tmpfile: error 1.\ntmpfile: error 1.\ntmpfile: error 1.\n");
    EXPECT_EQ(r.final_status, -1);
    EXPECT_EQ(r.work, (std::vector<std::string>{"", "", ""}));
    EXPECT_EQ(r.index, r.work);
    EXPECT_EQ(r.out, input_line(3));
}

TEST(IntakeTool, DirectoryAsStandardInputFailsOnceAndEnds) {
    scratch_dir dir;
    tool_result r = run_tool({}, "", {.stdin_path = dir.path, .timeout_seconds = 60});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "stdin: error 1.\n");
    EXPECT_EQ(without_preamble(r.out), input_line(0));
    EXPECT_EQ(r.status, 255);
}

TEST(IntakeTool, Failures) {
    // The names are copied into one block: the names with their NULs plus one
    // byte and a 4-byte position per name.
    const std::vector<std::string> names = {"./alpha", "./beta"};  // 8 + 7 bytes with NULs
    const std::string input = nul_list(names);
    const std::string big_input = nul_list(std::vector<std::string>(600, "./some/longer/name"));
    struct failure_case {
        const char *what;
        std::string input;
        std::string faults;
        int status;
        std::string err;
        bool spool_line;  // the spool was created
        bool input_line;  // the list was read
    } cases[] = {
        {"spool not created", input, "tmpfile:*:EIO", 255,
         "could not open temporary file, exiting\n", false, false},
        {"spool not written, seen at the flush", input, "tmpfile:*:FULL", 255,
         "could not write to temporary file, exiting\n", true, false},
        {"spool not written, seen while writing", big_input, "tmpfile:*:FULL", 255,
         "could not write to temporary file, exiting\n", true, false},
        {"spool not read back", input, "tmpfile:*:WRONLY", -2,
         "tmpfile: error 1.\ntmpfile: error 1.\n", true, true},
        {"work_list not allocated", input, "calloc:2,8:ENOMEM", 255, "twinfold: Out of memory\n",
         true, true},
        {"name_index not allocated", input, "calloc:2,8:ENOMEM:1", 255, "twinfold: Out of memory\n",
         true, true},
        {"delete_marks not allocated", input, "calloc:2,1:ENOMEM", 255, "twinfold: Out of memory\n",
         true, true},
        {"names not copied", input, "calloc:25,1:ENOMEM", 1, "twinfold: Out of memory\n", true,
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        tool_result r = run_tool({}, c.input, {.faults = c.faults});
        ASSERT_FALSE(r.timed_out);
        if (c.status == -2) {
            // The run goes on after these lines; how it ends is the passes' business.
            EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
        } else {
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.err, c.err);
        }
        EXPECT_EQ(r.out.find("tmpfile (pointer ") != std::string::npos, c.spool_line);
        EXPECT_EQ(r.out.find("Input: ") != std::string::npos, c.input_line);
    }
}

namespace {

// A relative path of exactly length bytes: directories of 200-byte names
// under dir, then a file name.
std::string path_of_length(const std::string &dir, size_t length, char letter) {
    std::string path;
    while (length - path.size() > 201) {
        path += std::string(200, letter) + "/";
        mkdir((dir + "/" + path).c_str(), 0755);
    }
    path += std::string(length - path.size(), letter);
    return path;
}

// A path of exactly length bytes that leads to name: "./" repeated, and one
// more slash where the count is odd.
std::string padded_path(const std::string &name, size_t length) {
    std::string path;
    while (length - path.size() - name.size() >= 2) path += "./";
    if (path.size() + name.size() < length) path += "/";
    return path + name;
}

struct file_state {
    bool present = false;
    ino_t inode = 0;
    nlink_t links = 0;
    std::string bytes;
};

file_state state_of(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return {};
    return {true, st.st_ino, st.st_nlink, read_file(path)};
}

}  // namespace

TEST(IntakeTool, OverlongNamesAreSkippedWholeHeadAndTail) {
    // Every file holds the same bytes. m and z are listed after the long
    // name; -tail, ffffff and a (a path of 1023 bytes) are not, except in the
    // row of 1023 bytes, where a is the long name itself. Each long name is
    // built so that the pieces of a split would name a, -tail, ffffff or m.
    const std::string contents = "the same bytes in every file\n";
    struct long_case {
        size_t length;
        bool a_listed;  // the long name is a itself
    } cases[] = {{1023, true}, {1024, false}, {1030, false}, {5000, false}};
    for (const auto &c : cases) {
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"-d"}, std::vector<std::string>{}}) {
            SCOPED_TRACE(std::to_string(c.length) + (args.empty() ? " link" : " -d"));
            scratch_dir dir;
            const std::string a = path_of_length(dir.path, 1023, 'a');
            for (const std::string &name : {a, std::string("-tail"), std::string("ffffff"),
                                            std::string("m"), std::string("z")})
                write_file(dir / name, contents);

            std::string long_name;
            if (c.length == 1023) {
                long_name = a;
            } else if (c.length == 1024) {
                long_name = a + "b";  // the first 1023 bytes name a
            } else if (c.length == 1030) {
                long_name = a + "/ffffff";  // a, a lost byte, ffffff
            } else {
                // a, then pieces of 1023 bytes each after a lost byte.
                long_name = a + "/" + padded_path("-tail", 1023) + "/" +
                            padded_path("ffffff", 1023) + "/" + padded_path("m", 1023) + "/" +
                            padded_path("z", 5000 - 4096);
            }
            ASSERT_EQ(long_name.size(), c.length);

            std::vector<std::string> unlisted = {"-tail", "ffffff"};
            std::vector<std::string> listed = {"m", "z"};
            (c.a_listed ? listed : unlisted).push_back(a);
            std::map<std::string, file_state> before;
            for (const auto &name : unlisted) before[name] = state_of(dir / name);

            tool_result r = run_tool(args, nul_list({long_name, "m", "z"}), {.cwd = dir.path});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, c.a_listed ? "" : skipped_line(c.length, std::string(40, 'a')));
            EXPECT_NE(r.out.find(input_line(listed.size())), std::string::npos) << r.out;

            for (const auto &name : unlisted) {
                const file_state now = state_of(dir / name);
                EXPECT_TRUE(now.present) << name;
                EXPECT_EQ(now.inode, before[name].inode) << name;
                EXPECT_EQ(now.links, 1u) << name;
                EXPECT_EQ(now.bytes, contents) << name;
            }
            if (!args.empty()) {
                // Of the listed names only the last in byte order stays.
                for (const auto &name : listed) EXPECT_EQ(exists(dir / name), name == "z") << name;
                EXPECT_EQ(state_of(dir / "z").bytes, contents);
                EXPECT_NE(r.out.find("Equal files: m will get deleted"), std::string::npos)
                    << r.out;
            } else {
                // Every listed name is linked to one file, which no unlisted name shares.
                const file_state z = state_of(dir / "z");
                EXPECT_EQ(z.links, listed.size());
                for (const auto &name : listed) EXPECT_EQ(state_of(dir / name).inode, z.inode);
            }
        }
    }
}

namespace {

struct terminal_result {
    bool hint_before_input = false;  // the hint was there before anything was typed
    std::string out, err;
    int status = -1;
};

// Runs the tool in cwd with a pseudo-terminal as standard input: waits for
// standard error to hold hint, then types typed and an end of input (^D on
// an empty line).
terminal_result run_on_terminal(const std::vector<std::string> &args, const std::string &typed,
                                const std::string &cwd, const std::string &hint) {
    terminal_result result;
    scratch_dir logs;
    const std::string out_path = logs / "out", err_path = logs / "err";
    int master = -1, terminal = -1;
    if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty: " << std::strerror(errno);
        return result;
    }
    // Typed bytes are not echoed back: nothing reads them on this side.
    struct termios modes;
    tcgetattr(terminal, &modes);
    modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(terminal, TCSANOW, &modes);

    std::vector<std::string> words = tool_wrapper();
    words.push_back(tool_binary(TWINFOLD_BINARY));
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int seconds = 60 * (tool_wrapper().empty() ? 1 : tool_wrapper_slowdown);

    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(terminal, 0);
        dup2(out, 1);
        dup2(err, 2);
        close(master);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        unsetenv("LD_PRELOAD");
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(terminal);
    for (int waited = 0; waited < seconds * 100; ++waited) {
        if (read_file(err_path).find(hint) != std::string::npos) {
            result.hint_before_input = true;
            break;
        }
        usleep(10000);
    }
    // ^D ends the pending bytes as a line, a second ^D on the empty line ends input.
    const std::string keys = typed + "\x04\x04";
    EXPECT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    int status = 0;
    bool ended = false;
    for (int waited = 0; waited < seconds * 100 && !ended; ++waited) {
        ended = waitpid(child, &status, WNOHANG) == child;
        if (!ended) usleep(10000);
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "the run did not end";
    }
    close(master);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

}  // namespace

TEST(IntakeTool, TerminalAsInputDrawsAHintBeforeTheRunWaits) {
    const std::string hint =
        "twinfold reads NUL-separated file names from standard input, as in: "
        "find . -type f -print0 | twinfold\n";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, std::vector<std::string>{"-q"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        scratch_dir dir;
        write_file(dir / "a", "equal\n");
        write_file(dir / "b", "equal\n");
        terminal_result r = run_on_terminal(args, nul_list({"a", "b"}), dir.path, hint);
        EXPECT_TRUE(r.hint_before_input) << r.err;
        EXPECT_EQ(r.err, hint);
        EXPECT_EQ(r.status, 0);
        // The names typed are read as usual.
        if (args.empty()) {
            EXPECT_NE(r.out.find(input_line(2)), std::string::npos) << r.out;
        }
        EXPECT_EQ(status_of(dir / "a").st_ino, status_of(dir / "b").st_ino);
    }

    // A list that is not a terminal draws no such line; a list of lines draws
    // the other hint, and the run goes on.
    scratch_dir dir;
    write_file(dir / "a", "equal\n");
    write_file(dir / "b", "equal\n");
    tool_result r = run_tool({}, "a\nb\n", {.cwd = dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, newline_hint);
    EXPECT_NE(r.out.find(input_line(1)), std::string::npos) << r.out;
    EXPECT_NE(status_of(dir / "a").st_ino, status_of(dir / "b").st_ino);
}
