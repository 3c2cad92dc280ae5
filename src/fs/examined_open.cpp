#include "fs/examined_open.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "fs/file_status.h"

unique_fd open_examined_at(int dirfd, const char *last, const struct stat &examined,
                           struct stat &opened) {
    int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    unique_fd fd;
#ifdef O_NOATIME
    // Reading every listed file should not touch their access times.
    fd = unique_fd(openat(dirfd, last, flags | O_NOATIME));
    if (!fd && errno == EPERM)
#endif
        fd = unique_fd(openat(dirfd, last, flags));
    if (!fd) return fd;
    if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || !same_inode(opened, examined))
        return unique_fd();
    return fd;
}
