// Examining listed names one after the other without walking each path from
// its start again.
#pragma once

#include <sys/stat.h>

// lstat of name. Returns lstat's result, with errno set on failure. Where
// block counts settle late (fs/settled_counts.h), the first file of a pass
// whose count may not have settled makes the run wait for its file system
// to catch up; the status is then that of a look after the wait.
//
// While a walk of the list in its order lives, in which a list made by find
// holds the names of a directory together: from the second name in a row of
// one directory on, the name is looked up in that directory, held open,
// rather than walked to from the start again. The directory is let go of when
// the walk ends, so that later looks find each name where its path leads
// then, also when another process has moved or replaced a directory.
int examine_name(const char *name, struct stat &status);

struct list_order_walk {
    list_order_walk();
    ~list_order_walk();
    list_order_walk(const list_order_walk &) = delete;
    list_order_walk &operator=(const list_order_walk &) = delete;
};
