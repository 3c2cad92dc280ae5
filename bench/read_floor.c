/* The floor of reading: the least work any tool that finds equal files by
 * their bytes must do on one thread. It reads a NUL-separated name list (as
 * `find -print0` writes it) from standard input, lstats every name once and
 * reads every regular file whole, by its path, with read() into one buffer.
 * It compares nothing and prints only the totals on standard error.
 *
 *   find DIR -type f -print0 | read_floor
 *
 * A name it cannot lstat, open or read to its end is counted and named on
 * standard error, and the exit status is then 1: a floor that skipped files
 * would be lower than the work it stands for.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { buffer_size = 128 * 1024 };
static unsigned char buffer[buffer_size];

static unsigned long long failures;

static void fail(const char *call, const char *name) {
    if (++failures <= 5) fprintf(stderr, "read_floor: %s %s: %s\n", call, name, strerror(errno));
}

int main(void) {
    char *name = NULL;
    size_t capacity = 0;
    unsigned long long names = 0, files = 0, bytes = 0;
    ssize_t length;
    while ((length = getdelim(&name, &capacity, '\0', stdin)) > 0) {
        if (name[length - 1] == '\0') --length;
        if (length == 0) continue;
        name[length] = '\0';
        ++names;
        struct stat status;
        if (lstat(name, &status) != 0) {
            fail("lstat", name);
            continue;
        }
        if (!S_ISREG(status.st_mode)) continue;
        int fd = open(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            fail("open", name);
            continue;
        }
        ++files;
        for (;;) {
            ssize_t n = read(fd, buffer, buffer_size);
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR) continue;
                fail("read", name);
                break;
            }
            bytes += (unsigned long long)n;
        }
        close(fd);
    }
    if (ferror(stdin)) {
        fprintf(stderr, "read_floor: reading the name list: %s\n", strerror(errno));
        ++failures;
    }
    free(name);
    fprintf(stderr, "read_floor: %llu names, %llu files, %llu bytes, %llu failures\n", names,
            files, bytes, failures);
    return failures ? 1 : 0;
}
