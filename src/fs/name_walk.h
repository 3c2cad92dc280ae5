// Walking the listed names in the order of the list without walking each
// path from its start again. A list made by find holds the names of a
// directory together: from the second name in a row of one directory on, a
// name is looked up in that directory, held open. A walk lives only as long
// as one pass over the list in its order, so that later looks find each
// name where its path leads then, also when another process has moved or
// replaced a directory. One walk belongs to one thread.
#pragma once

#include <sys/stat.h>

#include <string>

#include "fs/file_handles.h"

struct name_walk {
    std::string directory;  // the directory part of the name met last (without its slash)
    unique_fd fd;           // that directory, once a second name of it was met
    bool open_tried = false;
};

// lstat of name: through the walk's directory when the walk holds it, else
// by the whole name. Returns lstat's result, with errno set on failure.
int walk_status(name_walk &walk, const char *name, struct stat &status);

// Opens name for reading under the rule of open_examined_at (the regular
// file examined, never through a symbolic link), through the walk's
// directory when the walk holds it. opened is the opened file's status.
unique_fd walk_open(name_walk &walk, const char *name, const struct stat &examined,
                    struct stat &opened);
