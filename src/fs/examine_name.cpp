#include "fs/examine_name.h"

#include <fcntl.h>

#include <cstring>
#include <string>

#include "fs/file_handles.h"
#include "fs/settled_counts.h"

namespace {

// The directory of the names examined last.
struct directory_in_use {
    std::string path;
    unique_fd fd;
    bool open_tried = false;
};
directory_in_use last_directory;
bool walking = false;

}  // namespace

list_order_walk::list_order_walk() {
    walking = true;
}

list_order_walk::~list_order_walk() {
    walking = false;
    last_directory = directory_in_use{};
}

namespace {

int examine_once(const char *name, struct stat &status) {
    if (!walking) return lstat(name, &status);
    const char *slash = std::strrchr(name, '/');
    if (!slash || slash == name || slash[1] == '\0') return lstat(name, &status);
    const size_t length = static_cast<size_t>(slash - name);
    directory_in_use &directory = last_directory;
    if (directory.path.size() != length || std::memcmp(directory.path.data(), name, length) != 0) {
        directory.fd.reset();
        directory.open_tried = false;
        directory.path.assign(name, length);
        return lstat(name, &status);
    }
    if (!directory.open_tried) {
        directory.open_tried = true;
        directory.fd.reset(open(directory.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!directory.fd) return lstat(name, &status);
    return fstatat(directory.fd.get(), slash + 1, &status, AT_SYMLINK_NOFOLLOW);
}

}  // namespace

int examine_name(const char *name, struct stat &status) {
    int result = examine_once(name, status);
    // A block count that may not have settled yet is waited for, and the
    // name looked at again.
    if (result == 0 && count_may_lag(name, status) && settle_counts(name, status.st_dev))
        result = examine_once(name, status);
    return result;
}
