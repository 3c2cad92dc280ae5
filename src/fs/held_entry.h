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

// Whether the held entry is still the version of the file that examined
// describes (device, inode, size, modification and change times). errno is
// set when the entry cannot be examined, and 0 when it shows another version.
bool still_holds(const held_entry &entry, const struct stat &examined);

// Opens the held entry's inode without reading it, so that its status can be
// examined after the entry's name is gone or moved. Empty where that cannot
// be done without opening a device or waiting on a FIFO; status is the
// entry's examined status.
unique_fd open_inode(const held_entry &entry, const struct stat &status);
