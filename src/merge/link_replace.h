// The one place where link mode changes names on disk: a listed name is
// replaced by a link to another file, atomically, so that the name always
// holds either its old file or the new link.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

// Whether name is still the version of the file that compared describes
// (device, inode, size, modification and change times). When it is not, one
// line naming the file goes to standard error.
bool still_as_compared(const char *name, const struct stat &compared);

// Replaces the name replaced by a hard link (or, with soft, a symbolic link)
// to the file survivor, whose status is survivor_status. The link is made
// under a temporary name in replaced's directory, checked to reach the
// survivor's inode, and renamed over replaced. Returns 0, or -1 after printing
// the failure line; on failure replaced still holds its file and no temporary
// name is left.
int replace_with_link(const char *survivor, const struct stat &survivor_status,
                      const char *replaced, bool soft);

// The text of a symbolic link at replaced that leads to survivor, worked out
// from the two names alone: survivor itself when it is absolute, otherwise a
// path relative to replaced's directory. Empty when the names alone cannot
// tell (replaced is absolute, or its directory climbs above where survivor's
// path starts).
std::string symlink_text(std::string_view survivor, std::string_view replaced);
