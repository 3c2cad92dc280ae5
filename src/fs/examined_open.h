// The rule by which a listed name is opened for reading.
#pragma once

#include <sys/stat.h>

#include "fs/file_handles.h"

// openat(dirfd, last, flags) without touching the file's access time where
// the system allows it (O_NOATIME, refused with EPERM to a user who neither
// owns the file nor is root: then opened as asked).
int open_without_access_time(int dirfd, const char *last, int flags);

// Opens the entry last of the directory dirfd (AT_FDCWD: last is a whole
// name) for reading only when it is still the regular file that examined (its
// lstat) describes; opened is the status of the opened file. Symbolic links
// are not followed and FIFOs and devices are never waited on: anything else
// gives an empty descriptor, as a file that cannot be opened.
unique_fd open_examined_at(int dirfd, const char *last, const struct stat &examined,
                           struct stat &opened);
