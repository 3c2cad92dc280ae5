// The entry routine: options, intake, signals and the pass sequence.
#pragma once

#include <ctime>

[[noreturn]] void run_twinfold(int argc, char **argv);

// Reads the options into run_options and returns delete_mode (1 for -d). Help
// and version are answered at once and end the process with status 0; an
// unknown letter draws getopt's complaint and a pointer to -h, and ends the
// process with status 1. Parsing ends at the first argument that is not an
// option.
int parse_options(int argc, char **argv);

// The line "NAME started at YYYY-MM-DD hh:mm:ss", unless quiet.
void start_banner(const char *program_name, const struct tm &when);

// Sets interrupted for the signals that ask the run to stop (2, 4, 9, 11, 15).
void signal_catcher(int signal_number);

// Installs the catcher for every signal number from 0 to 255; numbers that
// cannot be caught are passed over. A fault that the process itself raised
// (not one sent to it) ends the process with the signal's default action,
// since returning from the catcher would only repeat the fault.
void install_signal_catcher();
