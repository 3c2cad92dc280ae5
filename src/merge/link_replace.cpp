#include "merge/link_replace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "fs/entry_names.h"
#include "fs/file_status.h"
#include "fs/stamp_trust.h"
#include "fs/temp_name.h"
#include "state/output.h"

namespace {

// Enough fresh names to get past any number of leftovers that a run can meet.
constexpr int temp_name_attempts = 100;

// The directory part of a relative name as components, with "." and empty
// components dropped and "x/.." folded away; what remains of ".." leads.
std::vector<std::string_view> directory_components(std::string_view name) {
    std::vector<std::string_view> parts;
    size_t slash = name.rfind('/');
    if (slash == std::string_view::npos) return parts;
    std::string_view rest = name.substr(0, slash);
    while (!rest.empty()) {
        size_t end = rest.find('/');
        std::string_view part = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (part.empty() || part == ".") continue;
        if (part == ".." && !parts.empty() && parts.back() != "..")
            parts.pop_back();
        else
            parts.push_back(part);
    }
    return parts;
}

// Texts to try for a symbolic link, best first: the short relative one, then
// one that holds whatever the directories in the names lead through.
std::vector<std::string> symlink_candidates(const char *survivor, const char *replaced) {
    std::vector<std::string> texts;
    std::string text = symlink_text(survivor, replaced);
    if (!text.empty()) texts.push_back(text);
    if (survivor[0] != '/') {
        char directory[PATH_MAX];
        if (getcwd(directory, sizeof directory) && directory[0] == '/')
            texts.push_back(std::string(directory) + "/" + survivor);
    }
    if (texts.empty()) texts.push_back(survivor);
    return texts;
}

// Removes a temporary name made in the held directory dirfd; temp is the
// whole name, for the message.
void remove_temporary(int dirfd, const std::string &temp) {
    if (unlinkat(dirfd, std::string(final_part(temp.c_str())).c_str(), 0) != 0)
        fail_line("unlink", "unlink(%s) failed\n", temp.c_str());
}

// Creates the link (hard to the held survivor, or symbolic with text) under a
// fresh temporary name in replaced's directory. Returns the whole temporary
// name, or empty with errno set.
std::string make_temporary_link(const link_pair &pair, const std::string &text,
                                const char *replaced, bool soft) {
    const int into = pair.replaced.directory.get();
    for (int attempt = 0; attempt < temp_name_attempts; ++attempt) {
        std::string temp = fresh_temp_name(replaced);
        const std::string temp_last = std::string(final_part(temp.c_str()));
        // The survivor's entry itself is linked, never what it might lead to.
        const int made = soft ? symlinkat(text.c_str(), into, temp_last.c_str())
                              : linkat(pair.survivor.directory.get(), pair.survivor.last.c_str(),
                                       into, temp_last.c_str(), 0);
        if (made == 0) return temp;
        if (errno != EEXIST) return {};
    }
    return {};
}

// Whether the new link leads to the survivor's inode, still of the size and
// modification time that were compared; errno is set when not. Making a hard
// link moves the inode's change time, so that is compared for symbolic links
// only.
// reached is the status of what the link leads to.
bool reaches_survivor(const link_pair &pair, const std::string &temp,
                      const struct stat &survivor_status, bool soft, struct stat &reached) {
    if (fstatat(pair.replaced.directory.get(), std::string(final_part(temp.c_str())).c_str(),
                &reached, soft ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (same_inode(reached, survivor_status)) return true;
    errno = ENOENT;  // the survivor is not where the link leads
    return false;
}

// Whether the survivor that the new link reaches (its status reached) still
// holds what was compared.
bool survivor_unchanged(const struct stat &reached, const struct stat &survivor_status, bool soft) {
    if (soft) return same_version(reached, survivor_status);
    return same_contents(reached, survivor_status);
}

constexpr char changed_since_compared[] = "file %s: changed since it was compared, not linked.\n";

void report_changed(const char *name) {
    fail_line(nullptr, changed_since_compared, name);
}

// Holds name and confirms its entry; prints the line that refuses it.
bool hold_as_compared(const char *name, const struct stat &compared, held_entry &entry) {
    return hold_and_confirm(name, entry, compared, changed_since_compared) == entry_version::same;
}

}  // namespace

bool hold_link_pair(const char *survivor, const struct stat &survivor_status, const char *replaced,
                    const struct stat &replaced_status, link_pair &pair) {
    return hold_as_compared(survivor, survivor_status, pair.survivor) &&
           hold_as_compared(replaced, replaced_status, pair.replaced);
}

std::string symlink_text(std::string_view survivor, std::string_view replaced) {
    if (!survivor.empty() && survivor[0] == '/') return std::string(survivor);
    if (!replaced.empty() && replaced[0] == '/') return {};
    std::vector<std::string_view> from = directory_components(replaced);
    std::vector<std::string_view> to = directory_components(survivor);
    size_t common = 0;
    while (common < from.size() && common < to.size() && from[common] == to[common]) ++common;
    std::string text;
    for (size_t i = common; i < from.size(); ++i) {
        // Climbing out of a directory that the name itself reached by ".."
        // needs the name of the directory above, which the names do not give.
        if (from[i] == "..") return {};
        text += "../";
    }
    for (size_t i = common; i < to.size(); ++i) {
        text += to[i];
        text += '/';
    }
    text += final_part(survivor);
    return text;
}

std::string symlink_text_reaching(const char *survivor, const struct stat &survivor_status,
                                  const char *replaced) {
    held_entry entry;
    if (!hold_entry(replaced, entry)) return {};
    int error = ENOENT;
    for (const std::string &text : symlink_candidates(survivor, replaced)) {
        struct stat reached;
        if (fstatat(entry.directory.get(), text.c_str(), &reached, 0) != 0) {
            error = errno;
            continue;
        }
        if (same_inode(reached, survivor_status)) return text;
        error = ENOENT;
    }
    errno = error;
    return {};
}

link_outcome replace_with_link(own_change_log &changes, link_pair &pair, const char *survivor,
                               const struct stat &survivor_status, const char *replaced,
                               const struct stat &replaced_status, bool soft) {
    std::vector<std::string> texts;
    if (soft)
        texts = symlink_candidates(survivor, replaced);
    else
        texts.push_back(survivor);

    const int directory = pair.replaced.directory.get();
    std::string temp;
    struct stat reached;
    int error = 0;
    for (const std::string &text : texts) {
        temp = make_temporary_link(pair, text, replaced, soft);
        if (temp.empty()) {
            error = errno;
            break;
        }
        if (reaches_survivor(pair, temp, survivor_status, soft, reached)) break;
        error = errno;
        remove_temporary(directory, temp);
        temp.clear();
    }
    if (temp.empty()) {
        errno = error;
        if (soft)
            fail_line("symlink", "symlink(%s,%s) failed\n", survivor, replaced);
        else
            fail_line("link", "link(%s,%s) failed\n", survivor, replaced);
        return link_outcome::failed;
    }

    // Confirmed as late as possible: the replaced name gives up its file only
    // for the bytes it was found equal to.
    const std::string temp_last = std::string(final_part(temp.c_str()));
    if (!survivor_unchanged(reached, survivor_status, soft)) {
        remove_temporary(directory, temp);
        report_changed(survivor);
        return link_outcome::file_changed;
    }
    const entry_version replaced_now = held_version(pair.replaced, replaced_status);
    if (replaced_now != entry_version::same) {
        // The reason a gone entry gives is the examination's, whatever the
        // removal of the temporary name meets.
        error = errno;
        remove_temporary(directory, temp);
        errno = error;
        say_version(replaced_now, replaced, changed_since_compared);
        return link_outcome::file_changed;
    }
    // A hard link's status is the survivor's, seen through the temporary
    // name above; a symbolic link's own is looked at.
    struct stat temp_status = reached;
    const bool temp_known =
        !soft || fstatat(directory, temp_last.c_str(), &temp_status, AT_SYMLINK_NOFOLLOW) == 0;
    // The replaced file loses this name; when it keeps others, its status is
    // examined afterwards through its inode.
    unique_fd replaced_inode;
    if (replaced_status.st_nlink > 1) replaced_inode = open_inode(pair.replaced, replaced_status);
    const int64_t wall_before = read_moment();
    if (renameat(directory, temp_last.c_str(), directory, pair.replaced.last.c_str()) != 0) {
        error = errno;
        remove_temporary(directory, temp);
        errno = error;
        // This is the step that takes the old file's name away.
        fail_line("unlink", "unlink(%s) failed\n", replaced);
        return link_outcome::failed;
    }
    // A rename between two names of one inode succeeds and leaves both: the
    // replaced name already led to the survivor, and the temporary name stays.
    struct stat left;
    if (temp_known && fstatat(directory, temp_last.c_str(), &left, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_inode(left, temp_status))
        remove_temporary(directory, temp);
    struct stat after;
    if (fstat(directory, &after) == 0) note_device_clock(changes, wall_before, after);
    if (replaced_inode && fstat(replaced_inode.get(), &after) == 0)
        note_own_change(changes, replaced_status, after);
    if (!soft && examine_held(pair.survivor, after) && same_inode(after, survivor_status)) {
        note_own_change(changes, survivor_status, after);
        pair.survivor_examined_after = true;
        pair.survivor_after = after;
    }
    return link_outcome::linked;
}
