#include "fs/held_entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "fs/entry_names.h"
#include "fs/file_status.h"
#include "state/output.h"

namespace {

// A descriptor that only serves as the start of lookups; where the platform
// has no such kind, reading the directory is asked for.
#if defined(O_SEARCH)
constexpr int directory_flags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_PATH)
constexpr int directory_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

}  // namespace

bool hold_entry(const char *name, held_entry &entry) {
    entry.last = std::string(final_part(name));
    if (entry.last.empty() || entry.last == "." || entry.last == "..") {
        errno = EINVAL;
        return false;
    }
    // "/x" lies in the root; "x" in the working directory.
    std::string directory = directory_part(name);
    if (directory.empty()) directory = ".";
    entry.directory.reset(open(directory.c_str(), directory_flags));
    return static_cast<bool>(entry.directory);
}

bool examine_held(const held_entry &entry, struct stat &status) {
    return fstatat(entry.directory.get(), entry.last.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

unique_fd open_inode(const held_entry &entry, const struct stat &status) {
#if defined(O_PATH)
    (void)status;
    return unique_fd(
        openat(entry.directory.get(), entry.last.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
#else
    if (!S_ISREG(status.st_mode)) return unique_fd();
    return unique_fd(openat(entry.directory.get(), entry.last.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
#endif
}

entry_version held_version(const held_entry &entry, const struct stat &examined) {
    struct stat now;
    if (!examine_held(entry, now)) return entry_version::gone;
    return same_version(now, examined) ? entry_version::same : entry_version::changed;
}

void say_version(entry_version answer, const char *name, const char *changed_line) {
    switch (answer) {
        case entry_version::same: break;
        case entry_version::changed: fail_line(nullptr, changed_line, name); break;
        case entry_version::gone: fail_line("lstat", "lstat(%s) failed\n", name); break;
    }
}

entry_version confirm_version(const held_entry &entry, const struct stat &examined,
                              const char *name, const char *changed_line) {
    const entry_version answer = held_version(entry, examined);
    say_version(answer, name, changed_line);
    return answer;
}

entry_version hold_and_confirm(const char *name, held_entry &entry, const struct stat &examined,
                               const char *changed_line) {
    if (hold_entry(name, entry)) return confirm_version(entry, examined, name, changed_line);
    say_version(entry_version::gone, name, changed_line);
    return entry_version::gone;
}
