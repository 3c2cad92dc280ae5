// Runs the built binary as a user would: bytes on standard input, arguments,
// optionally a fault-injection rule; captures standard output, standard error
// and the exit status.
#pragma once

#include <string>
#include <vector>

struct tool_result {
    std::string out;
    std::string err;
    int status = -1;      // exit status, or -1 when ended by a signal
    int signal = 0;       // the signal that ended it, if any
    bool timed_out = false;
};

struct tool_options {
    std::string cwd;                  // working directory; empty: the test's own
    std::string faults;               // TWINFOLD_FAULTS for the shim (empty: no shim)
    std::string hooks;                // TWINFOLD_HOOKS for the shim
    std::string stdin_path;           // read standard input from this file instead of input
    std::vector<std::string> env;     // further NAME=value entries
    int timeout_seconds = 120;
    std::string binary;               // the program to run; empty: the tool under test
};

tool_result run_tool(const std::vector<std::string> &args, const std::string &input,
                     const tool_options &options = {});

// Names as find -print0 writes them: each followed by a NUL.
std::string nul_list(const std::vector<std::string> &names);

// The output with the banner line and the spool line (which carry a time and
// an address) removed.
std::string without_preamble(const std::string &out);

// Splits text into lines (without their newlines).
std::vector<std::string> lines_of(const std::string &text);
