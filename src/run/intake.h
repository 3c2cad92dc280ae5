// Turns the NUL-ended names on standard input into the file list.
#pragma once

#include <cstdio>

// Reads the names from input (standard input in a run) into the spool,
// counts them, then allocates work_list, name_index and delete_marks at their
// exact size and fills them with one copy of every name, shared by the two
// arrays (no pass changes a name; each entry has a copy of its own). Closes
// the spool. A name longer than 1023 bytes is skipped whole, with a line on
// standard error; an empty name is skipped silently. Says on standard error
// what it waits for when input is a terminal, and that names end with NUL
// when input held newlines but no NUL. Sets final_status to -1 after a read
// error; a failed read of input ends the list there. Ends the process when
// there is no name (with final_status), when the spool cannot be written or
// the arrays allocated (-1), and when the names cannot be copied (1).
void read_name_list(FILE *input, FILE *spool, int &final_status, const char *program_name);

// Frees the file list that read_name_list built and sets file_count back to
// 0. A run never calls it (the list lives until the process ends); it lets one
// process read list after list, as the fuzz target does.
void discard_name_list();
