// Runs the built binary as a user would: bytes on standard input, arguments,
// optionally a fault-injection rule; captures standard output, standard error
// and the exit status.
#pragma once

#include <string>
#include <vector>

struct tool_result {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or -1 when ended by a signal
    int signal = 0;   // the signal that ended it, if any
    bool timed_out = false;
};

struct tool_options {
    std::string cwd;                   // working directory; empty: the test's own
    std::string faults;                // TWINFOLD_FAULTS for the shim (empty: no shim)
    std::string hooks;                 // TWINFOLD_HOOKS for the shim
    std::string child_log;             // TWINFOLD_CHILD_LOG for the shim: the file in which it
                                       // notes every process the binary starts (empty: none)
    bool whole_second_stamps = false;  // the shim cuts every time stamp the tool sees to seconds
    int late_blocks_seconds = 0;       // the shim shows a file whose data changed less than this
                                       // many seconds ago with 1 block, as ZFS does (0: off)
    std::string stdin_path;            // read standard input from this file instead of input
    std::vector<std::string> env;      // further NAME=value entries
    int timeout_seconds = 120;
    std::string user;              // run as this user (the tests run as root); empty: as is
    long long memlock_limit = -1;  // the binary's RLIMIT_MEMLOCK in bytes; -1: inherited
    long long files_limit = -1;    // the binary's RLIMIT_NOFILE, soft and hard; -1: inherited
    bool unwrapped = false;        // run the binary itself even under TWINFOLD_TOOL_WRAPPER
    std::string binary;            // the program to run; empty: the tool under test
    std::string program_name;      // argv[0] when the binary runs unwrapped; empty: "twinfold"
    bool shared_pipe = false;      // standard error into standard output's pipe, as 2>&1
                                   // does: out holds both, in the order written
};

// This process's environment without the variables that choose the shim,
// its faults and hooks, and the sanitizer's options: each run sets its own.
std::vector<std::string> inherited_environment();

// Runs the binary with args and input. When TWINFOLD_TOOL_WRAPPER is set in
// the test's environment (a command, its words separated by blanks, such as
// "valgrind -q --error-exitcode=97"), the binary runs under that command: it
// is found through PATH as "twinfold" so that it still sees that name, and
// timeouts are stretched by tool_wrapper_slowdown (ctest's limit too, see
// tests/CMakeLists.txt). A case about the binary's own memory sets unwrapped.
tool_result run_tool(const std::vector<std::string> &args, const std::string &input,
                     const tool_options &options = {});

// The program run_tool runs for a binary of this build: the same, or, when
// TWINFOLD_TOOL_DIR is set in the test's environment, the program of the
// same name in that directory (another build's, such as one without
// sanitizers for a run under valgrind).
std::string tool_binary(const std::string &built);

// The command that run_tool puts in front of the binary (empty: none).
std::vector<std::string> tool_wrapper();
constexpr int tool_wrapper_slowdown = 10;

// A shell command (for a hook) that rewrites the file at path in place, as
// cp -p over an existing file, rsync --inplace -t or a tagger that keeps
// dates do: the byte at offset becomes byte, the inode stays, and the
// modification time is put back to what it was, to the nanosecond.
std::string rewrite_in_place_command(const std::string &path, size_t offset, unsigned char byte);

// Names as find -print0 writes them: each followed by a NUL.
std::string nul_list(const std::vector<std::string> &names);

// The output with the banner line and the spool line (which carry a time and
// an address) removed.
std::string without_preamble(const std::string &out);

// Splits text into lines (without their newlines).
std::vector<std::string> lines_of(const std::string &text);
