// The entry routine: options, intake, signals and the pass sequence.
#pragma once

[[noreturn]] void run_twinfold(int argc, char **argv);

// Sets interrupted for the signals that ask the run to stop (2, 4, 9, 11, 15).
void signal_catcher(int signal_number);
