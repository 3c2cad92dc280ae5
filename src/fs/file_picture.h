// A read-only run's picture of the files: the changes that the same run
// would have made so far, laid over the files as they are. Every status that
// the link, expansion and delete passes look up and every file they open for
// reading goes through it while it is in use, so that a read-only run meets
// the files as the real run would meet them at the same step: its order, its
// survivors, its lines and its figures are those of the real run on a tree
// that nothing else changes. The sparse pass always sees the files as they
// are.
//
// A change is kept per directory entry (the directory that holds the name,
// as the name reaches it, and the final component), so that "./a", "a" or a
// path through a symbolic link to the directory meet one change; and per
// inode, as the number of names it gained or lost. A name whose final
// component no change has touched is looked up as it is, with no extra cost
// but a lookup of its link count's change.
#pragma once

#include <sys/stat.h>

#include <string>

#include "fs/file_handles.h"

// Starts an empty picture (from the start of a read-only pass on) or ends it.
void begin_picture();
void end_picture();
bool picture_in_use();

// lstat of name as the picture shows it: 0, or -1 with errno set.
int picture_status(const char *name, struct stat &status);

// Opens name for reading as the picture shows it, as open_examined_at does:
// the file must be a regular file, the inode examined. opened is its status
// as the picture shows it. Empty when it cannot be opened.
unique_fd picture_open(const char *name, const struct stat &examined, struct stat &opened);

// The changes. Each takes the statuses as the picture showed them.
// replaced becomes a hard link to survivor's file.
void picture_hard_link(const char *survivor, const struct stat &survivor_status,
                       const char *replaced, const struct stat &replaced_status);
// replaced becomes a symbolic link of text's length.
void picture_symbolic_link(const char *replaced, const struct stat &replaced_status,
                           const std::string &text);
// name is left alone on a copy of its file: a new inode of one link.
void picture_expansion(const char *name, const struct stat &status);
// name is removed.
void picture_removal(const char *name, const struct stat &status);
