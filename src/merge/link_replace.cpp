#include "merge/link_replace.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "rewrite/temp_name.h"
#include "run/file_status.h"
#include "run/output.h"

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

std::string_view last_component(std::string_view name) {
    size_t slash = name.rfind('/');
    return slash == std::string_view::npos ? name : name.substr(slash + 1);
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

void remove_temporary(const std::string &temp) {
    if (unlink(temp.c_str()) != 0) fail_line("unlink", "unlink(%s) failed\n", temp.c_str());
}

// Creates the link (hard to survivor, or symbolic with text) under a fresh
// temporary name beside replaced. Returns the name, or empty with errno set.
std::string make_temporary_link(const char *survivor, const std::string &text, const char *replaced,
                                bool soft) {
    for (int attempt = 0; attempt < temp_name_attempts; ++attempt) {
        std::string temp = fresh_temp_name(replaced);
        int made = soft ? symlink(text.c_str(), temp.c_str()) : link(survivor, temp.c_str());
        if (made == 0) return temp;
        if (errno != EEXIST) return {};
    }
    return {};
}

// Whether the new link leads to the survivor's inode; errno is set when not.
bool reaches_survivor(const std::string &temp, const struct stat &survivor_status) {
    struct stat reached;
    if (stat(temp.c_str(), &reached) != 0) return false;
    if (same_inode(reached, survivor_status)) return true;
    errno = ENOENT;  // the survivor is not where the link leads
    return false;
}

}  // namespace

bool still_as_compared(const char *name, const struct stat &compared) {
    struct stat now;
    if (lstat(name, &now) == 0 && same_version(now, compared)) return true;
    fail_line(nullptr, "file %s: changed since it was compared, not linked.\n", name);
    return false;
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
    text += last_component(survivor);
    return text;
}

int replace_with_link(const char *survivor, const struct stat &survivor_status,
                      const char *replaced, bool soft) {
    std::vector<std::string> texts;
    if (soft)
        texts = symlink_candidates(survivor, replaced);
    else
        texts.push_back(survivor);

    std::string temp;
    int error = 0;
    for (const std::string &text : texts) {
        temp = make_temporary_link(survivor, text, replaced, soft);
        if (temp.empty()) {
            error = errno;
            break;
        }
        if (reaches_survivor(temp, survivor_status)) break;
        error = errno;
        remove_temporary(temp);
        temp.clear();
    }
    if (temp.empty()) {
        errno = error;
        if (soft)
            fail_line("symlink", "symlink(%s,%s) failed\n", survivor, replaced);
        else
            fail_line("link", "link(%s,%s) failed\n", survivor, replaced);
        return -1;
    }

    struct stat temp_status;
    const bool temp_known = lstat(temp.c_str(), &temp_status) == 0;
    if (rename(temp.c_str(), replaced) != 0) {
        error = errno;
        remove_temporary(temp);
        errno = error;
        // This is the step that takes the old file's name away.
        fail_line("unlink", "unlink(%s) failed\n", replaced);
        return -1;
    }
    // A rename between two names of one inode succeeds and leaves both: the
    // replaced name already led to the survivor, and the temporary name stays.
    struct stat left;
    if (temp_known && lstat(temp.c_str(), &left) == 0 && same_inode(left, temp_status))
        remove_temporary(temp);
    return 0;
}
