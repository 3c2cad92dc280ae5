// Examining listed names one after the other without walking each path from
// its start again.
#pragma once

#include <sys/stat.h>

// lstat of name. Names are first examined in list order, and a list made by
// find holds the names of a directory together: from the second name in a row
// of one directory on, the name is looked up in that directory, held open,
// rather than walked to from the start again. Returns lstat's result, with
// errno set on failure.
int examine_name(const char *name, struct stat &status);
