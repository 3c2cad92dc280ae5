#include "fs/name_walk.h"

#include <fcntl.h>

#include <cstring>

#include "fs/examined_open.h"

namespace {

// The walk's directory for name, and the final component in last; AT_FDCWD
// (last the whole name) when the name is the first of its directory in a
// row, has no directory part, or the directory cannot be opened.
int directory_for(name_walk &walk, const char *name, const char *&last) {
    last = name;
    const char *slash = std::strrchr(name, '/');
    if (!slash || slash == name || slash[1] == '\0') return AT_FDCWD;
    const size_t length = static_cast<size_t>(slash - name);
    if (walk.directory.size() != length || std::memcmp(walk.directory.data(), name, length) != 0) {
        walk.fd.reset();
        walk.open_tried = false;
        walk.directory.assign(name, length);
        return AT_FDCWD;
    }
    if (!walk.open_tried) {
        walk.open_tried = true;
        walk.fd.reset(open(walk.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!walk.fd) return AT_FDCWD;
    last = slash + 1;
    return walk.fd.get();
}

}  // namespace

int walk_status(name_walk &walk, const char *name, struct stat &status) {
    const char *last;
    const int directory = directory_for(walk, name, last);
    return fstatat(directory, last, &status, AT_SYMLINK_NOFOLLOW);
}

unique_fd walk_open(name_walk &walk, const char *name, const struct stat &examined,
                    struct stat &opened) {
    const char *last;
    const int directory = directory_for(walk, name, last);
    return open_examined_at(directory, last, examined, opened);
}
