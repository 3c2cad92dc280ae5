// The one way a prepared copy takes the place of a name: it becomes the same
// file to its users (owner, group, permission bits, times), it is on disk
// before it is visible, and it replaces the name in a single rename, so the
// name always holds either the old file or the complete new one.
#pragma once

#include <sys/stat.h>

#include <string>

#include "run/file_handles.h"

enum class install_outcome {
    installed,      // the copy now holds the name
    refused,        // a reason was printed; the copy is still under its temporary name
    rename_failed,  // nothing printed, errno is rename's; the copy is still under its temporary
                    // name
};

// copy is the open copy, or an empty owner to have the copy opened here
// (never through a symbolic link); it is closed in every case. original is
// the status of name that the copy was made from: the copy is refused when
// name no longer shows that same version of the file.
install_outcome install_copy(unique_fd copy, const std::string &temp_name, const char *name,
                             const struct stat &original);
