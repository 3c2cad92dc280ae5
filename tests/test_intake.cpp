// The intake: how the bytes on standard input split into names, the entries
// and the marks it builds, the input count line, and its
// failures. Routines are run in a child process, since the intake ends the
// process on some paths and never frees what it builds; end-to-end cases run
// the built tool, with the fault-injection shim where a call must fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "run/intake.h"
#include "run/run_state.h"
#include "scratch_tree.h"
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

}  // namespace

TEST(Intake, BytesSplitIntoNames) {
    using names = std::vector<std::string>;
    struct split_case {
        const char *what;
        std::string input;
        names want;
    } cases[] = {
        {"two names, each ended", bytes("a\0b\0"), {"a", "b"}},
        {"no NUL after the last", bytes("a\0b"), {"a", "b"}},
        {"empty name between", bytes("a\0\0b\0"), {"a", "b"}},
        {"leading NULs", bytes("\0\0./c\0"), {"./c"}},
        {"any byte but NUL",
         bytes("./a b\n\t\x01\xff\x80\0./-q\0"),
         {"./a b\n\t\x01\xff\x80", "./-q"}},
        {"1023 bytes kept whole", name_1023 + '\0' + "b" + '\0', {name_1023, "b"}},
        {"1023 bytes at the end", name_1023, {name_1023}},
        {"1024th byte lost, its NUL ends an empty name",
         name_1023 + 'L' + '\0' + "b" + '\0',
         {name_1023, "b"}},
        {"1024 bytes at the end", name_1023 + 'L', {name_1023}},
        {"longer name: the rest is a name", name_1023 + 'L' + "rest" + '\0', {name_1023, "rest"}},
        {"split twice",
         name_1023 + 'L' + std::string(1023, 'y') + 'M' + "z" + '\0',
         {name_1023, std::string(1023, 'y'), "z"}},
        {"2048 bytes: two halves, both 1024th bytes lost",
         std::string(1023, 'a') + 'L' + std::string(1023, 'b') + 'M' + '\0',
         {std::string(1023, 'a'), std::string(1023, 'b')}},
        {"the same name twice", bytes("./d\0./d\0"), {"./d", "./d"}},
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
        EXPECT_EQ(r.err, "");
    }
}

TEST(Intake, NoNameEndsWithZero) {
    for (const std::string &input : {std::string(), bytes("\0\0\0")}) {
        for (int quiet : {0, 1}) {
            intake_outcome r = run_intake_on(input, quiet);
            EXPECT_FALSE(r.returned);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, quiet ? "" : input_line(0));
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST(Intake, QuietDropsTheInputLine) {
    intake_outcome r = run_intake_on(bytes("a\0"), 1);
    ASSERT_TRUE(r.returned);
    EXPECT_EQ(r.work, std::vector<std::string>{"a"});
    EXPECT_EQ(r.out, "");
}

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
