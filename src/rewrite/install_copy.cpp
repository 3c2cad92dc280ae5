#include "rewrite/install_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/entry_names.h"
#include "fs/file_status.h"
#include "state/output.h"

namespace {

constexpr mode_t special_bits[] = {S_ISVTX, S_ISGID, S_ISUID};

const char *bit_word(mode_t bit) {
    switch (bit) {
        case S_ISVTX: return "sticky bit";
        case S_ISGID: return "set-group-ID bit";
        case S_ISUID: return "set-user-ID bit";
    }
    return "permission bits";
}

// After fchmod(fd, mode) failed: the one special bit of mode without which
// it succeeds (the copy then has mode without that bit), or 0.
mode_t special_bit_refused(int fd, mode_t mode) {
    for (const mode_t bit : special_bits)
        if ((mode & bit) && fchmod(fd, mode & ~bit) == 0) return bit;
    return 0;
}

// What of the original's owner, group and permission bits the copy does
// not have, or null when it has them all.
const char *attribute_lost(const struct stat &given, const struct stat &original) {
    if (given.st_uid != original.st_uid) return "owner";
    if (given.st_gid != original.st_gid) return "group";
    const mode_t missing = (original.st_mode & 07777) & ~(given.st_mode & 07777);
    for (const mode_t bit : special_bits)
        if (missing & bit) return bit_word(bit);
    if ((given.st_mode & 07777) != (original.st_mode & 07777)) return "permission bits";
    return nullptr;
}

void say_not_kept(const char *name, const char *what) {
    fail_line(nullptr, "%s: its copy could not keep the %s, left as it is\n", name, what);
}

}  // namespace

install_outcome install_copy(unique_fd copy, const held_entry &entry, const std::string &temp_name,
                             const char *name, const struct stat &original) {
    const char *temp = temp_name.c_str();
    const std::string temp_last = std::string(final_part(temp_name.c_str()));
    const int directory = entry.directory.get();
    if (!copy) {
        copy.reset(
            openat(directory, temp_last.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!copy) {
            fail_open_line("open", "open(%s) failed\n", temp);
            return install_outcome::refused;
        }
    }
    // Another user may have put a file of theirs under the temporary name; it
    // must neither be handed the original's owner nor take the name.
    struct stat made;
    if (fstat(copy.get(), &made) != 0) {
        fail_line("fstat", "fstat(%s) failed\n", temp);
        return install_outcome::refused;
    }
    if (!S_ISREG(made.st_mode) || made.st_nlink != 1 || made.st_uid != geteuid()) {
        fail_line(nullptr, "%s is not the copy of %s that was made, left as it is\n", temp, name);
        return install_outcome::foreign;
    }
    // Owner first: changing the owner clears the set-user-ID and set-group-ID bits.
    if (fchown(copy.get(), original.st_uid, original.st_gid) != 0) {
        fail_line("fchown", "fchown(%s) failed\n", temp);
        return install_outcome::refused;
    }
    if (fchmod(copy.get(), original.st_mode & 07777) != 0) {
        // A system may refuse a set-user-ID, set-group-ID or sticky bit that
        // it would let the copy have without it (FreeBSD: the sticky bit on a
        // file for a user other than root, the set-group-ID bit for a user
        // outside the group): the line names that bit.
        const mode_t refused = special_bit_refused(copy.get(), original.st_mode & 07777);
        if (refused != 0) {
            say_not_kept(name, bit_word(refused));
        } else {
            fail_line("fchmod", "fchmod(%s) failed\n", temp);
        }
        return install_outcome::refused;
    }
    // A system may also drop what it refuses without a word, or give a new
    // file its directory's group: the copy must be the original's in all
    // three, or it does not take the name.
    struct stat given;
    if (fstat(copy.get(), &given) != 0) {
        fail_line("fstat", "fstat(%s) failed\n", temp);
        return install_outcome::refused;
    }
    if (const char *lost = attribute_lost(given, original)) {
        say_not_kept(name, lost);
        return install_outcome::refused;
    }
    // Last, since every write to the copy moves its modification time.
    const struct timespec times[2] = {original.st_atim, original.st_mtim};
    if (futimens(copy.get(), times) != 0) {
        fail_line("futimens", "futimens(%s) failed\n", temp);
        return install_outcome::refused;
    }
    // After the rename the copy may be the only place that holds the contents.
    if (fsync(copy.get()) != 0) {
        fail_line("fsync", "fsync(%s) failed\n", temp);
        return install_outcome::refused;
    }
    if (copy.reset() != 0) {
        fail_line("close", "close(%s) failed\n", temp);
        return install_outcome::refused;
    }
    // The temporary name must still be the copy prepared above.
    struct stat temp_now;
    if (fstatat(directory, temp_last.c_str(), &temp_now, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_inode(temp_now, made)) {
        fail_line(nullptr, "%s is not the copy of %s that was made, left as it is\n", temp, name);
        return install_outcome::foreign;
    }
    // Checked last, right before the rename: a file written to while it was
    // copied would otherwise lose those writes to a stale copy.
    if (confirm_version(entry, original, name, "%s changed while it was copied, left as it is\n") !=
        entry_version::same)
        return install_outcome::refused;
    if (renameat(directory, temp_last.c_str(), directory, entry.last.c_str()) != 0)
        return install_outcome::rename_failed;
    return install_outcome::installed;
}
