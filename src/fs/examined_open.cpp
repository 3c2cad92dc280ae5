#include "fs/examined_open.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "fs/file_status.h"

int open_without_access_time(int dirfd, const char *last, int flags) {
#ifdef O_NOATIME
    // Reading the listed files should not touch their access times.
    const int fd = openat(dirfd, last, flags | O_NOATIME);
    if (fd >= 0 || errno != EPERM) return fd;
#endif
    return openat(dirfd, last, flags);
}

unique_fd open_examined_at(int dirfd, const char *last, const struct stat &examined,
                           struct stat &opened) {
    unique_fd fd(open_without_access_time(dirfd, last,
                                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                                              O_CLOEXEC));
    if (!fd) return fd;
    if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || !same_inode(opened, examined))
        return unique_fd();
    return fd;
}
