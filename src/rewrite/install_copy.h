// The one way a prepared copy takes the place of a name: it becomes the same
// file to its users (owner, group, permission bits, times), it is on disk
// before it is visible, and it replaces the name in a single rename made in
// the directory that held the name when it was examined, so the name always
// holds either the old file or the complete new one.
#pragma once

#include <sys/stat.h>

#include <string>

#include "fs/file_handles.h"
#include "fs/held_entry.h"

enum class install_outcome {
    installed,      // the copy now holds the name
    refused,        // a reason was printed; the copy is still under its temporary name
    foreign,        // a reason was printed; what lies under the temporary name is not
                    // a copy this run made, and it is left alone
    rename_failed,  // nothing printed, errno is rename's; the copy is still under its temporary
                    // name
};

// entry holds name; the temporary file temp_name lies in the same held
// directory. copy is the open copy, or an empty owner to have the copy opened
// here (never through a symbolic link); it is closed in every case. Only a
// regular file of one link owned by the running user is taken for a copy.
// original is the status of name that the copy was made from: the copy is
// refused when the held entry no longer shows that same version of the file.
install_outcome install_copy(unique_fd copy, const held_entry &entry, const std::string &temp_name,
                             const char *name, const struct stat &original);
