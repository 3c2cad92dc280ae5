// A listed name pinned to the directory that holds it. The directory is
// opened once; every later look at the name and every change to it is made
// relative to that descriptor, so a directory on the way that is swapped for
// a symbolic link after the look cannot send the change elsewhere.
#pragma once

#include <sys/stat.h>

#include <string>

#include "fs/file_handles.h"

struct held_entry {
    unique_fd directory;  // the directory that held the name when it was opened
    std::string last;     // the name's final component within that directory
};

// Opens the directory part of name (as the name itself reaches it) and keeps
// the final component. False, with errno set, when the directory cannot be
// opened or the name has no final component that can be an entry of a file
// ("", ".", ".." or a name ending in '/').
bool hold_entry(const char *name, held_entry &entry);

// lstat of the held entry, relative to its directory.
bool examine_held(const held_entry &entry, struct stat &status);

// What a held entry shows now, against the status it was examined with.
enum class entry_version {
    same,     // the version examined: device, inode, size, modification and change times
    changed,  // another file, or the same file changed since
    gone,     // the entry cannot be examined, or its directory cannot be held; errno tells why
};

// Answers without printing anything.
entry_version held_version(const held_entry &entry, const struct stat &examined);

// Prints the line for an answer other than same, about name: for gone
// "lstat(name) failed" and errno's reason; for changed the caller's line
// changed_line, a format whose one conversion (%s) is name.
void say_version(entry_version answer, const char *name, const char *changed_line);

// held_version, and the line for an answer other than same (say_version).
entry_version confirm_version(const held_entry &entry, const struct stat &examined,
                              const char *name, const char *changed_line);

// Holds name in entry (hold_entry), then confirm_version; a name that cannot
// be held is gone.
entry_version hold_and_confirm(const char *name, held_entry &entry, const struct stat &examined,
                               const char *changed_line);

// Opens the held entry's inode without reading it, so that its status can be
// examined after the entry's name is gone or moved. Empty where that cannot
// be done without opening a device or waiting on a FIFO; status is the
// entry's examined status.
unique_fd open_inode(const held_entry &entry, const struct stat &status);
