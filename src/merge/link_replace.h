// The one place where link mode changes names on disk: a listed name is
// replaced by a link to another file, atomically, so that the name always
// holds either its old file or the new link.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "fs/held_entry.h"
#include "fs/stamp_trust.h"

// The two names of a replacement, each held by the directory that holds it.
struct link_pair {
    held_entry survivor;
    held_entry replaced;
    // After a hard link was made: the survivor's exact status right after
    // it, which the link gave a new change time and link count.
    bool survivor_examined_after = false;
    struct stat survivor_after {};
};

// Holds both names and confirms that each entry is still the version of the
// file that was compared (device, inode, size, modification and change
// times). When one is not, or cannot be examined, one line naming it goes to
// standard error and the result is false: nothing may be counted or changed.
bool hold_link_pair(const char *survivor, const struct stat &survivor_status, const char *replaced,
                    const struct stat &replaced_status, link_pair &pair);

// How a replacement ended. Unless linked, replaced still holds its file, and
// no temporary name is left.
enum class link_outcome {
    linked,        // replaced is now a link to the survivor's file
    file_changed,  // refused: a file changed since it was compared, or cannot be examined any
                   // more (one line names it)
    failed,        // the link could not be made or put in place (the failure line was printed)
};

// Replaces the held name replaced by a hard link (or, with soft, a symbolic
// link) to the held file survivor. The link is made under a temporary name
// in replaced's directory, checked to reach the survivor's inode still
// holding what was compared, and renamed over replaced once replaced's entry
// is confirmed once more; every step goes through the held directories.
// When linked, the exact status each changed file shows right after is
// recorded in changes as the run's own change (see note_own_change): the survivor that
// gained a hard link, and the replaced file when it keeps other names.
link_outcome replace_with_link(own_change_log &changes, link_pair &pair, const char *survivor,
                               const struct stat &survivor_status, const char *replaced,
                               const struct stat &replaced_status, bool soft);

// The text of a symbolic link at replaced that leads to survivor, worked out
// from the two names alone: survivor itself when it is absolute, otherwise a
// path relative to replaced's directory. Empty when the names alone cannot
// tell (replaced is absolute, or its directory climbs above where survivor's
// path starts).
std::string symlink_text(std::string_view survivor, std::string_view replaced);

// The text that replace_with_link would give a symbolic link at replaced
// leading to survivor's file (survivor_status), found without making
// anything: the first of its texts that reaches that inode from replaced's
// directory. Empty, with errno set, when none does.
std::string symlink_text_reaching(const char *survivor, const struct stat &survivor_status,
                                  const char *replaced);
