/*
 * Fault-injection shim, preloaded into the binary under test. It wraps the
 * GNU C library's symbols (the 64-bit forms, statx, program_invocation_short_name)
 * and builds only against it: the test program itself keeps to calls that
 * other systems have, the cases that need the shim do not.
 *
 * TWINFOLD_FAULTS: rules separated by ';', each  call:match:errno[:skip[:times]]
 *   call   the intercepted function (lstat, open, read, write, lseek, link,
 *          rename, ...; pread and pwrite count as read and write); written
 *          call@program, the rule holds only in processes of that program
 *   match  a substring of the path ("*" matches any); for calls relative to
 *          a directory descriptor (fstatat, openat, linkat, symlinkat,
 *          renameat, unlinkat) it is the directory's path joined with the
 *          relative one; an openat that creates exclusively counts as
 *          "mkstemp"; for execl it is the program and its arguments; for
 *          calls on a descriptor the path is what /proc/self/fd names; for
 *          calloc it is "NMEMB,SIZE"; for mlockall it is the flags as a
 *          decimal number; for pthread_create it is "*";
 *          for ioctl the call is named by its request: FIDEDUPERANGE (the path
 *          is the destination's; the empty range with which the tool asks
 *          whether a device shares blocks counts as a call),
 *          FIEMAP, GETFLAGS, or ioctl for any other request
 *   errno  a number or a name such as EIO; the call fails with it.
 *          For tmpfile, FULL hands out a stream on /dev/full (writes fail) and
 *          WRONLY a stream that cannot be read back. For read and write,
 *          SHORT lets the call through for half the bytes asked (a short
 *          transfer), without an error. For fchmod and fchown, SILENT
 *          returns success without changing anything, as a system that
 *          drops what it refuses. EFTYPE is FreeBSD's number for it (79),
 *          which this system does not name.
 *   skip   matching calls to let through before failing (default 0)
 *   times  matching calls to fail after that (default 0: every one)
 *   Written then-call, the rule counts and fails calls only once every hook
 *   of TWINFOLD_HOOKS has run.
 * TWINFOLD_HOOKS: rules separated by newlines, each  call:match:skip:shell command
 *   runs the command (and waits for it) just before the matching call goes
 *   ahead, once, after letting skip matching calls through: a test can change
 *   the tree at the worst moment. The command finds the path that the call
 *   was matched by in TWINFOLD_HOOK_PATH. Written after-call (after-close,
 *   after-rename), the command runs right after the call has returned instead
 *   (for close, matched by the path that the descriptor had). Written
 *   then-call (then-after-close, ...), the rule is armed only once the rule
 *   before it has run: its skip counts the matching calls from then on, so
 *   that a hook can wait for a call that comes after another.
 * TWINFOLD_STAMPS=seconds: every status the process is handed (stat, lstat,
 *   fstat, fstatat, statx and their 64-bit forms) shows its times cut to whole
 *   seconds, as on a file system that keeps no finer time stamps.
 * TWINFOLD_LATE_BLOCKS=N: block counts settle late, as on ZFS, which counts
 *   a file's blocks only once the transaction group that wrote them is on
 *   disk: every status of a regular file whose data changed less than N
 *   seconds ago shows st_blocks 1 (only the block of its inode). Its data
 *   changed at its modification time, or at the last write, truncation or
 *   allocation that this process made to it, whichever is later (a copy whose
 *   times are set back afterwards is as new as its writes). A change of
 *   owner, mode, times or names is not a change of data. statfs and fstatfs
 *   then name ZFS as the file system, by its magic number.
 * TWINFOLD_WALL_AHEAD=S: the wall clock that clock_gettime(CLOCK_REALTIME)
 *   shows the process runs S seconds ahead, as when the clock of the file
 *   system's host lags this machine's by S seconds.
 * TWINFOLD_CHILD_LOG: a file to which every call that starts a process or
 *   replaces the program (fork, vfork, clone, posix_spawn, the exec family,
 *   system, popen) appends a line "PROGRAM CALL", PROGRAM being the short
 *   name of the process that made it; a test can assert that there is none.
 *   The commands of TWINFOLD_HOOKS are not counted.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <time.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef __GLIBC__
#error "the fault shim wraps the GNU C library's symbols and builds only against it"
#endif

struct rule {
    char call[32];
    char match[1024];
    int error;     /* errno to fail with; <0 for the tmpfile specials */
    long skip;
    long times;
    long seen;
    long done;
    int after;     /* hooks: run after the call rather than before it */
    int then;      /* armed once the hook before it (for faults: every hook) has run */
    char command[2048];
};

#define MAX_RULES 32
static struct rule faults[MAX_RULES];
static int fault_count;
static struct rule hooks[MAX_RULES];
static int hook_count;
static int loaded;
/* The run may read on two threads: the rules are consulted by one at a time,
   and a thread's own calls made while it does so are let through. */
static pthread_mutex_t rules_lock = PTHREAD_MUTEX_INITIALIZER;
static __thread int busy;

#define TMP_FULL (-1)
#define TMP_WRONLY (-2)
#define SHORT_TRANSFER (-3)
#define SILENT_SUCCESS (-4)
#define FREEBSD_EFTYPE 79

/* Strips the prefix "then-" off a rule's call, telling whether it was there. */
static int strip_then(char **call) {
    static const char prefix[] = "then-";
    if (strncmp(*call, prefix, sizeof prefix - 1) != 0) return 0;
    *call += sizeof prefix - 1;
    return 1;
}

static int errno_by_name(const char *text) {
    static const struct { const char *name; int value; } names[] = {
        {"EIO", EIO},       {"ENOENT", ENOENT}, {"EACCES", EACCES}, {"EPERM", EPERM},
        {"ENOSPC", ENOSPC}, {"EXDEV", EXDEV},   {"EMLINK", EMLINK}, {"EEXIST", EEXIST},
        {"ENOMEM", ENOMEM}, {"EROFS", EROFS},   {"EBUSY", EBUSY},   {"EAGAIN", EAGAIN},
        {"EINVAL", EINVAL}, {"EBADF", EBADF},   {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR},
        {"ENAMETOOLONG", ENAMETOOLONG}, {"EDQUOT", EDQUOT}, {"ELOOP", ELOOP}, {"ECHILD", ECHILD},
        {"EOPNOTSUPP", EOPNOTSUPP}, {"ENOTTY", ENOTTY}, {"ETXTBSY", ETXTBSY},
        {"FULL", TMP_FULL}, {"WRONLY", TMP_WRONLY}, {"SHORT", SHORT_TRANSFER},
        {"SILENT", SILENT_SUCCESS}, {"EFTYPE", FREEBSD_EFTYPE},
    };
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (strcmp(text, names[i].name) == 0) return names[i].value;
    return atoi(text);
}

/* Splits off the next ':'-separated field; the last field takes the rest. */
static char *next_field(char **cursor, int last) {
    char *start = *cursor;
    if (!start) return NULL;
    if (last) {
        *cursor = NULL;
        return start;
    }
    char *colon = strchr(start, ':');
    if (colon) {
        *colon = '\0';
        *cursor = colon + 1;
    } else {
        *cursor = NULL;
    }
    return start;
}

static void load_rules(void) {
    if (loaded) return;
    loaded = 1;
    const char *text = getenv("TWINFOLD_FAULTS");
    if (text) {
        static char copy[8192];
        snprintf(copy, sizeof copy, "%s", text);
        char *save = NULL;
        for (char *item = strtok_r(copy, ";", &save); item && fault_count < MAX_RULES;
             item = strtok_r(NULL, ";", &save)) {
            struct rule *r = &faults[fault_count];
            char *cursor = item;
            char *call = next_field(&cursor, 0), *match = next_field(&cursor, 0),
                 *error = next_field(&cursor, 0), *skip = next_field(&cursor, 0),
                 *times = next_field(&cursor, 0);
            if (!call || !match || !error) continue;
            r->then = strip_then(&call);
            snprintf(r->call, sizeof r->call, "%s", call);
            snprintf(r->match, sizeof r->match, "%s", match);
            r->error = errno_by_name(error);
            r->skip = skip ? atol(skip) : 0;
            r->times = times ? atol(times) : 0;
            ++fault_count;
        }
    }
    text = getenv("TWINFOLD_HOOKS");
    if (text) {
        static char copy[16384];
        snprintf(copy, sizeof copy, "%s", text);
        char *save = NULL;
        for (char *item = strtok_r(copy, "\n", &save); item && hook_count < MAX_RULES;
             item = strtok_r(NULL, "\n", &save)) {
            struct rule *r = &hooks[hook_count];
            char *cursor = item;
            char *call = next_field(&cursor, 0), *match = next_field(&cursor, 0),
                 *skip = next_field(&cursor, 0), *command = next_field(&cursor, 1);
            if (!call || !match || !skip || !command) continue;
            r->then = strip_then(&call);
            static const char after_prefix[] = "after-";
            r->after = strncmp(call, after_prefix, sizeof after_prefix - 1) == 0;
            if (r->after) call += sizeof after_prefix - 1;
            snprintf(r->call, sizeof r->call, "%s", call);
            snprintf(r->match, sizeof r->match, "%s", match);
            r->skip = atol(skip);
            snprintf(r->command, sizeof r->command, "%s", command);
            ++hook_count;
        }
    }
}

static int matches(const struct rule *r, const char *call, const char *path) {
    const char *scope = strchr(r->call, '@');
    if (scope) {
        if (strncmp(r->call, call, (size_t)(scope - r->call)) != 0 ||
            call[scope - r->call] != '\0' ||
            strcmp(scope + 1, program_invocation_short_name) != 0)
            return 0;
    } else if (strcmp(r->call, call) != 0) {
        return 0;
    }
    if (strcmp(r->match, "*") == 0) return 1;
    return path && strstr(path, r->match) != NULL;
}

static void run_hook(const char *command, const char *path) {
    pid_t (*real_fork)(void) = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
    pid_t child = real_fork();
    if (child == 0) {
        /* The command runs without the shim, so that its own calls neither
           fail nor start the hook again. */
        unsetenv("LD_PRELOAD");
        unsetenv("TWINFOLD_FAULTS");
        unsetenv("TWINFOLD_HOOKS");
        setenv("TWINFOLD_HOOK_PATH", path ? path : "", 1);
        execl("/bin/sh", "sh", "-c", command, (char *)NULL);
        _exit(127);
    }
    if (child > 0) {
        int status;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

/* Runs the hooks of one kind (before or after the call) that match it. */
static void run_hooks(const char *call, const char *path, int after) {
    for (int i = 0; i < hook_count; ++i) {
        struct rule *r = &hooks[i];
        if (r->then && (i == 0 || !hooks[i - 1].done)) continue;
        if (r->after == after && !r->done && matches(r, call, path) && r->seen++ >= r->skip) {
            r->done = 1;
            run_hook(r->command, path);
        }
    }
}

/* Runs the hooks due right after a call that has returned. */
static void check_after(const char *call, const char *path) {
    if (busy) return;
    busy = 1;
    int saved = errno;
    pthread_mutex_lock(&rules_lock);
    load_rules();
    run_hooks(call, path, 1);
    pthread_mutex_unlock(&rules_lock);
    errno = saved;
    busy = 0;
}

static int hooks_all_done(void) {
    for (int i = 0; i < hook_count; ++i)
        if (!hooks[i].done) return 0;
    return 1;
}

/* Returns the errno the call must fail with, or 0 to let it through. */
static int check(const char *call, const char *path) {
    if (busy) return 0;
    busy = 1;
    pthread_mutex_lock(&rules_lock);
    load_rules();
    run_hooks(call, path, 0);
    int result = 0;
    for (int i = 0; i < fault_count && !result; ++i) {
        struct rule *r = &faults[i];
        if (r->then && !hooks_all_done()) continue;
        if (!matches(r, call, path)) continue;
        long n = r->seen++;
        if (n < r->skip) continue;
        if (r->times && n >= r->skip + r->times) continue;
        result = r->error;
    }
    pthread_mutex_unlock(&rules_lock);
    busy = 0;
    return result;
}

static const char *fd_path(int fd, char *buffer, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, buffer, size - 1);
    if (n < 0) n = 0;
    buffer[n] = '\0';
    return buffer;
}

/* The whole path that a call relative to dirfd names, for matching. */
static const char *at_path(int dirfd, const char *path, char *buffer, size_t size) {
    if (!path || path[0] == '/' || dirfd == AT_FDCWD) return path;
    char directory[4096];
    fd_path(dirfd, directory, sizeof directory);
    snprintf(buffer, size, "%s/%s", directory, path);
    return buffer;
}

#define FAIL_AT(call, dirfd, path, failed)                                         \
    do {                                                                           \
        char whole_[8192];                                                         \
        FAIL_PATH(call, at_path(dirfd, path, whole_, sizeof whole_), failed);      \
    } while (0)

#define REAL(name) static __typeof__(name) *real_##name; \
    if (!real_##name) real_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)

#define FAIL_PATH(call, path, failed)           \
    do {                                        \
        int error_ = check(call, path);         \
        if (error_ > 0) {                       \
            errno = error_;                     \
            return failed;                      \
        }                                       \
    } while (0)

#define FAIL_FD(call, fd, failed)                                   \
    do {                                                            \
        if (fault_count || hook_count || !loaded) {                 \
            char path_[4096];                                       \
            FAIL_PATH(call, fd_path(fd, path_, sizeof path_), failed); \
        }                                                           \
    } while (0)

/* A file created exclusively relative to a directory is how the tool makes
   its temporary files: rules name it "mkstemp", like the call by path. */
static int exclusive_creation(int flags) {
    return (flags & O_CREAT) && (flags & O_EXCL);
}

/* Cuts the times of a status handed to the process, under TWINFOLD_STAMPS,
   and shows the block count of a file whose data changed lately as 1, under
   TWINFOLD_LATE_BLOCKS. */
#define CUT_TIMES(st)                                                              \
    do {                                                                           \
        if (cut_to_seconds()) {                                                    \
            (st)->st_atim.tv_nsec = 0;                                             \
            (st)->st_mtim.tv_nsec = 0;                                             \
            (st)->st_ctim.tv_nsec = 0;                                             \
        }                                                                          \
        if (late_seconds() && S_ISREG((st)->st_mode) &&                            \
            data_changed_lately((st)->st_dev, (st)->st_ino, (st)->st_mtim))        \
            (st)->st_blocks = 1;                                                   \
    } while (0)

static int cut_to_seconds(void) {
    static int known, cut;
    if (!known) {
        const char *text = getenv("TWINFOLD_STAMPS");
        cut = text && strcmp(text, "seconds") == 0;
        known = 1;
    }
    return cut;
}

/* N of TWINFOLD_LATE_BLOCKS, or 0 when block counts settle at once. */
static long late_seconds(void) {
    static int known;
    static long seconds;
    if (!known) {
        const char *text = getenv("TWINFOLD_LATE_BLOCKS");
        seconds = text ? atol(text) : 0;
        if (seconds < 0) seconds = 0;
        known = 1;
    }
    return seconds;
}

/* The wall clock as the system keeps it, whatever TWINFOLD_WALL_AHEAD says. */
static struct timespec system_wall_clock(void) {
    static int (*real_clock_gettime)(clockid_t, struct timespec *);
    if (!real_clock_gettime)
        real_clock_gettime =
            (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    struct timespec now = {0, 0};
    real_clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

/* The last data change this process made to each regular file, by inode
   (open addressing; an inode number 0 marks a free slot). */
struct data_write {
    dev_t device;
    ino_t inode;
    struct timespec at;
};
#define DATA_WRITE_SLOTS 8192
static struct data_write data_writes[DATA_WRITE_SLOTS];

static struct data_write *data_write_slot(dev_t device, ino_t inode, int adding) {
    size_t at = (size_t)((inode * 0x9E3779B97F4A7C15ULL) ^ device) % DATA_WRITE_SLOTS;
    for (size_t tried = 0; tried < DATA_WRITE_SLOTS; ++tried, at = (at + 1) % DATA_WRITE_SLOTS) {
        struct data_write *slot = &data_writes[at];
        if (slot->inode == inode && slot->device == device) return slot;
        if (slot->inode == 0) {
            if (!adding) return NULL;
            slot->device = device;
            slot->inode = inode;
            return slot;
        }
    }
    return NULL;
}

/* Notes that the process has just changed the data of the file open at fd. */
static void note_data_write(int fd) {
    if (!late_seconds()) return;
    int saved = errno;
    static int (*real_fstat_)(int, struct stat *);
    if (!real_fstat_) real_fstat_ = (int (*)(int, struct stat *))dlsym(RTLD_NEXT, "fstat");
    struct stat status;
    if (real_fstat_(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_ino != 0) {
        struct data_write *slot = data_write_slot(status.st_dev, status.st_ino, 1);
        if (slot) slot->at = system_wall_clock();
    }
    errno = saved;
}

/* Whether the data of the file changed less than TWINFOLD_LATE_BLOCKS seconds
   ago: at its modification time, or at this process's last write to it. */
static int data_changed_lately(dev_t device, ino_t inode, struct timespec modified) {
    struct timespec changed = modified;
    const struct data_write *slot = data_write_slot(device, inode, 0);
    if (slot && (slot->at.tv_sec > changed.tv_sec ||
                 (slot->at.tv_sec == changed.tv_sec && slot->at.tv_nsec > changed.tv_nsec)))
        changed = slot->at;
    const struct timespec now = system_wall_clock();
    const long long age_ns = (long long)(now.tv_sec - changed.tv_sec) * 1000000000LL +
                             (now.tv_nsec - changed.tv_nsec);
    return age_ns < (long long)late_seconds() * 1000000000LL;
}

/* ZFS's magic number, as statfs reports it in f_type. */
#define ZFS_MAGIC 0x2fc12fc1

int clock_gettime(clockid_t clock, struct timespec *now) {
    static int (*real_clock_gettime)(clockid_t, struct timespec *);
    static long ahead = -1;
    if (!real_clock_gettime)
        real_clock_gettime =
            (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    if (ahead < 0) {
        const char *text = getenv("TWINFOLD_WALL_AHEAD");
        ahead = text ? atol(text) : 0;
        if (ahead < 0) ahead = 0;
    }
    int result = real_clock_gettime(clock, now);
    if (result == 0 && clock == CLOCK_REALTIME) now->tv_sec += ahead;
    return result;
}

int lstat(const char *path, struct stat *st) {
    REAL(lstat);
    FAIL_PATH("lstat", path, -1);
    int result = real_lstat(path, st);
    if (result == 0) CUT_TIMES(st);
    return result;
}
int lstat64(const char *path, struct stat64 *st) {
    REAL(lstat64);
    FAIL_PATH("lstat", path, -1);
    int result = real_lstat64(path, st);
    if (result == 0) CUT_TIMES(st);
    return result;
}
int stat(const char *path, struct stat *st) {
    REAL(stat);
    FAIL_PATH("stat", path, -1);
    int result = real_stat(path, st);
    if (result == 0) CUT_TIMES(st);
    return result;
}
int stat64(const char *path, struct stat64 *st) {
    REAL(stat64);
    FAIL_PATH("stat", path, -1);
    int result = real_stat64(path, st);
    if (result == 0) CUT_TIMES(st);
    return result;
}
int fstatat(int dirfd, const char *path, struct stat *st, int flags) {
    REAL(fstatat);
    FAIL_AT((flags & AT_SYMLINK_NOFOLLOW) ? "lstat" : "stat", dirfd, path, -1);
    int result = real_fstatat(dirfd, path, st, flags);
    if (result == 0) CUT_TIMES(st);
    return result;
}
int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) {
    REAL(fstatat64);
    FAIL_AT((flags & AT_SYMLINK_NOFOLLOW) ? "lstat" : "stat", dirfd, path, -1);
    int result = real_fstatat64(dirfd, path, st, flags);
    if (result == 0) CUT_TIMES(st);
    return result;
}
int fstat(int fd, struct stat *st) {
    REAL(fstat);
    FAIL_FD("fstat", fd, -1);
    int result = real_fstat(fd, st);
    if (result == 0) CUT_TIMES(st);
    return result;
}
int fstat64(int fd, struct stat64 *st) {
    REAL(fstat64);
    FAIL_FD("fstat", fd, -1);
    int result = real_fstat64(fd, st);
    if (result == 0) CUT_TIMES(st);
    return result;
}
int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *st) {
    REAL(statx);
    FAIL_AT((flags & AT_SYMLINK_NOFOLLOW) ? "lstat" : "stat", dirfd, path, -1);
    int result = real_statx(dirfd, path, flags, mask, st);
    if (result == 0 && cut_to_seconds()) {
        st->stx_atime.tv_nsec = 0;
        st->stx_btime.tv_nsec = 0;
        st->stx_ctime.tv_nsec = 0;
        st->stx_mtime.tv_nsec = 0;
    }
    if (result == 0 && late_seconds() && S_ISREG(st->stx_mode)) {
        const struct timespec modified = {st->stx_mtime.tv_sec, st->stx_mtime.tv_nsec};
        if (data_changed_lately(makedev(st->stx_dev_major, st->stx_dev_minor), st->stx_ino,
                                modified))
            st->stx_blocks = 1;
    }
    return result;
}

int statfs(const char *path, struct statfs *buffer) {
    REAL(statfs);
    int result = real_statfs(path, buffer);
    if (result == 0 && late_seconds()) buffer->f_type = ZFS_MAGIC;
    return result;
}
int statfs64(const char *path, struct statfs64 *buffer) {
    REAL(statfs64);
    int result = real_statfs64(path, buffer);
    if (result == 0 && late_seconds()) buffer->f_type = ZFS_MAGIC;
    return result;
}
int fstatfs(int fd, struct statfs *buffer) {
    REAL(fstatfs);
    int result = real_fstatfs(fd, buffer);
    if (result == 0 && late_seconds()) buffer->f_type = ZFS_MAGIC;
    return result;
}
int fstatfs64(int fd, struct statfs64 *buffer) {
    REAL(fstatfs64);
    int result = real_fstatfs64(fd, buffer);
    if (result == 0 && late_seconds()) buffer->f_type = ZFS_MAGIC;
    return result;
}

int open(const char *path, int flags, ...) {
    REAL(open);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    FAIL_PATH("open", path, -1);
    return real_open(path, flags, mode);
}
int open64(const char *path, int flags, ...) {
    REAL(open64);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    FAIL_PATH("open", path, -1);
    return real_open64(path, flags, mode);
}
int openat(int dirfd, const char *path, int flags, ...) {
    REAL(openat);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    FAIL_AT(exclusive_creation(flags) ? "mkstemp" : "open", dirfd, path, -1);
    return real_openat(dirfd, path, flags, mode);
}
int openat64(int dirfd, const char *path, int flags, ...) {
    REAL(openat64);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    FAIL_AT(exclusive_creation(flags) ? "mkstemp" : "open", dirfd, path, -1);
    return real_openat64(dirfd, path, flags, mode);
}
FILE *fopen(const char *path, const char *mode) {
    REAL(fopen);
    FAIL_PATH("fopen", path, NULL);
    return real_fopen(path, mode);
}
FILE *fopen64(const char *path, const char *mode) {
    REAL(fopen64);
    FAIL_PATH("fopen", path, NULL);
    return real_fopen64(path, mode);
}
FILE *fdopen(int fd, const char *mode) {
    REAL(fdopen);
    FAIL_FD("fdopen", fd, NULL);
    return real_fdopen(fd, mode);
}
int fclose(FILE *stream) {
    REAL(fclose);
    int error = 0;
    if (stream) {
        char path[4096];
        error = check("fclose", fd_path(fileno(stream), path, sizeof path));
    }
    int result = real_fclose(stream);
    if (error > 0) {
        errno = error;
        return EOF;
    }
    return result;
}
int close(int fd) {
    REAL(close);
    int error = 0;
    char path[4096] = "";
    const int watched = fault_count || hook_count || !loaded;
    if (watched) error = check("close", fd_path(fd, path, sizeof path));
    int result = real_close(fd);
    if (watched) check_after("close", path);
    if (error > 0) {
        errno = error;
        return -1;
    }
    return result;
}

/* The errno a call on fd must fail with, SHORT_TRANSFER, or 0. */
static int fd_fault(const char *call, int fd) {
    if (!(fault_count || hook_count || !loaded)) return 0;
    char path[4096];
    return check(call, fd_path(fd, path, sizeof path));
}

/* Applies a fault to a transfer of count bytes: -1 with errno set when the
   call must fail, otherwise the count to let through. */
static long long transfer_fault(const char *call, int fd, size_t count) {
    int error = fd_fault(call, fd);
    if (error > 0) {
        errno = error;
        return -1;
    }
    if (error == SHORT_TRANSFER && count > 1) return (long long)(count / 2);
    return (long long)count;
}

ssize_t read(int fd, void *buffer, size_t count) {
    REAL(read);
    long long allowed = transfer_fault("read", fd, count);
    if (allowed < 0) return -1;
    return real_read(fd, buffer, (size_t)allowed);
}
ssize_t pread(int fd, void *buffer, size_t count, off_t offset) {
    REAL(pread);
    long long allowed = transfer_fault("read", fd, count);
    if (allowed < 0) return -1;
    return real_pread(fd, buffer, (size_t)allowed, offset);
}
ssize_t pread64(int fd, void *buffer, size_t count, off64_t offset) {
    REAL(pread64);
    long long allowed = transfer_fault("read", fd, count);
    if (allowed < 0) return -1;
    return real_pread64(fd, buffer, (size_t)allowed, offset);
}
ssize_t write(int fd, const void *buffer, size_t count) {
    REAL(write);
    long long allowed = transfer_fault("write", fd, count);
    if (allowed < 0) return -1;
    ssize_t result = real_write(fd, buffer, (size_t)allowed);
    if (result > 0) note_data_write(fd);
    return result;
}
ssize_t pwrite(int fd, const void *buffer, size_t count, off_t offset) {
    REAL(pwrite);
    long long allowed = transfer_fault("write", fd, count);
    if (allowed < 0) return -1;
    ssize_t result = real_pwrite(fd, buffer, (size_t)allowed, offset);
    if (result > 0) note_data_write(fd);
    return result;
}
ssize_t pwrite64(int fd, const void *buffer, size_t count, off64_t offset) {
    REAL(pwrite64);
    long long allowed = transfer_fault("write", fd, count);
    if (allowed < 0) return -1;
    ssize_t result = real_pwrite64(fd, buffer, (size_t)allowed, offset);
    if (result > 0) note_data_write(fd);
    return result;
}
off_t lseek(int fd, off_t offset, int whence) {
    REAL(lseek);
    FAIL_FD("lseek", fd, -1);
    return real_lseek(fd, offset, whence);
}
off64_t lseek64(int fd, off64_t offset, int whence) {
    REAL(lseek64);
    FAIL_FD("lseek", fd, -1);
    return real_lseek64(fd, offset, whence);
}
int ftruncate(int fd, off_t length) {
    REAL(ftruncate);
    FAIL_FD("ftruncate", fd, -1);
    int result = real_ftruncate(fd, length);
    if (result == 0) note_data_write(fd);
    return result;
}
int ftruncate64(int fd, off64_t length) {
    REAL(ftruncate64);
    FAIL_FD("ftruncate", fd, -1);
    int result = real_ftruncate64(fd, length);
    if (result == 0) note_data_write(fd);
    return result;
}
int fallocate(int fd, int mode, off_t offset, off_t length) {
    REAL(fallocate);
    FAIL_FD("fallocate", fd, -1);
    int result = real_fallocate(fd, mode, offset, length);
    if (result == 0) note_data_write(fd);
    return result;
}
int posix_fallocate(int fd, off_t offset, off_t length) {
    REAL(posix_fallocate);
    int result = real_posix_fallocate(fd, offset, length);
    if (result == 0) note_data_write(fd);
    return result;
}
size_t fwrite(const void *buffer, size_t size, size_t count, FILE *stream) {
    REAL(fwrite);
    if (fault_count || hook_count || !loaded) {
        char path[4096];
        int error = check("fwrite", fd_path(fileno(stream), path, sizeof path));
        if (error > 0) {
            errno = error;
            return 0;
        }
    }
    return real_fwrite(buffer, size, count, stream);
}

int link(const char *from, const char *to) {
    REAL(link);
    FAIL_PATH("link", to, -1);
    return real_link(from, to);
}
int linkat(int fromdir, const char *from, int todir, const char *to, int flags) {
    REAL(linkat);
    FAIL_AT("link", todir, to, -1);
    return real_linkat(fromdir, from, todir, to, flags);
}
int symlink(const char *target, const char *path) {
    REAL(symlink);
    FAIL_PATH("symlink", path, -1);
    return real_symlink(target, path);
}
int symlinkat(const char *target, int dirfd, const char *path) {
    REAL(symlinkat);
    FAIL_AT("symlink", dirfd, path, -1);
    return real_symlinkat(target, dirfd, path);
}
int rename(const char *from, const char *to) {
    REAL(rename);
    FAIL_PATH("rename", to, -1);
    int result = real_rename(from, to);
    check_after("rename", to);
    return result;
}
int renameat(int fromdir, const char *from, int todir, const char *to) {
    REAL(renameat);
    char whole[8192];
    const char *path = at_path(todir, to, whole, sizeof whole);
    FAIL_PATH("rename", path, -1);
    int result = real_renameat(fromdir, from, todir, to);
    check_after("rename", path);
    return result;
}
int renameat2(int fromdir, const char *from, int todir, const char *to, unsigned flags) {
    REAL(renameat2);
    char whole[8192];
    const char *path = at_path(todir, to, whole, sizeof whole);
    FAIL_PATH("rename", path, -1);
    int result = real_renameat2(fromdir, from, todir, to, flags);
    check_after("rename", path);
    return result;
}
int unlink(const char *path) {
    REAL(unlink);
    FAIL_PATH("unlink", path, -1);
    return real_unlink(path);
}
int unlinkat(int dirfd, const char *path, int flags) {
    REAL(unlinkat);
    FAIL_AT("unlink", dirfd, path, -1);
    return real_unlinkat(dirfd, path, flags);
}

int mkstemp(char *pattern) {
    REAL(mkstemp);
    FAIL_PATH("mkstemp", pattern, -1);
    return real_mkstemp(pattern);
}
int mkstemp64(char *pattern) {
    REAL(mkstemp64);
    FAIL_PATH("mkstemp", pattern, -1);
    return real_mkstemp64(pattern);
}
int mkostemp(char *pattern, int flags) {
    REAL(mkostemp);
    FAIL_PATH("mkstemp", pattern, -1);
    return real_mkostemp(pattern, flags);
}

static FILE *special_tmpfile(int error) {
    REAL(fopen);
    if (error == TMP_FULL) return real_fopen("/dev/full", "w+");
    char name[] = "/tmp/twinfold-spool-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) return NULL;
    unlink(name);
    return fdopen(fd, "w");
}
FILE *tmpfile(void) {
    REAL(tmpfile);
    int error = check("tmpfile", "tmpfile");
    if (error > 0) {
        errno = error;
        return NULL;
    }
    if (error < 0) return special_tmpfile(error);
    return real_tmpfile();
}
FILE *tmpfile64(void) {
    REAL(tmpfile64);
    int error = check("tmpfile", "tmpfile");
    if (error > 0) {
        errno = error;
        return NULL;
    }
    if (error < 0) return special_tmpfile(error);
    return real_tmpfile64();
}

/* dlsym may itself ask for zeroed memory before the real calloc is known. */
static char bootstrap_arena[4096];
static size_t bootstrap_used;
void *calloc(size_t count, size_t size) {
    static void *(*real_calloc)(size_t, size_t);
    static int resolving;
    if (!real_calloc) {
        if (resolving) {
            size_t bytes = (count * size + 15) & ~(size_t)15;
            if (bootstrap_used + bytes > sizeof bootstrap_arena) return NULL;
            void *p = bootstrap_arena + bootstrap_used;
            bootstrap_used += bytes;
            return p;
        }
        resolving = 1;
        real_calloc = (void *(*)(size_t, size_t))dlsym(RTLD_NEXT, "calloc");
        resolving = 0;
    }
    if (getenv("TWINFOLD_FAULTS")) {
        char key[64];
        snprintf(key, sizeof key, "%zu,%zu", count, size);
        int error = check("calloc", key);
        if (error > 0) {
            errno = error;
            return NULL;
        }
    }
    return real_calloc(count, size);
}

int mlockall(int flags) {
    REAL(mlockall);
    char key[32];
    snprintf(key, sizeof key, "%d", flags);
    int error = check("mlockall", key);
    if (error > 0) {
        errno = error;
        return -1;
    }
    return real_mlockall(flags);
}
/* pthread_create answers with the error number itself. The match is "*". */
int pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*start)(void *),
                   void *argument) {
    REAL(pthread_create);
    int error = check("pthread_create", "*");
    if (error > 0) return error;
    return real_pthread_create(thread, attributes, start, argument);
}
int munlockall(void) {
    REAL(munlockall);
    int error = check("munlockall", "munlockall");
    if (error > 0) {
        errno = error;
        return -1;
    }
    return real_munlockall();
}

/* Appends "PROGRAM CALL" to TWINFOLD_CHILD_LOG, if it is set. */
static void note_child(const char *call) {
    const char *log = getenv("TWINFOLD_CHILD_LOG");
    if (!log || !*log) return;
    int saved = errno;
    int (*real_open)(const char *, int, ...) =
        (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
    ssize_t (*real_write)(int, const void *, size_t) =
        (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    int (*real_close)(int) = (int (*)(int))dlsym(RTLD_NEXT, "close");
    int fd = real_open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        char line[256];
        int n = snprintf(line, sizeof line, "%s %s\n", program_invocation_short_name, call);
        if (n > 0 && real_write(fd, line, (size_t)n) < 0) {
        }
        real_close(fd);
    }
    errno = saved;
}

pid_t fork(void) {
    REAL(fork);
    note_child("fork");
    return real_fork();
}
pid_t _Fork(void);
pid_t _Fork(void) {
    REAL(_Fork);
    note_child("_Fork");
    return real__Fork();
}
pid_t vfork(void) {
    note_child("vfork");
    int error = check("vfork", "*");
    if (error > 0) {
        errno = error;
        return -1;
    }
    /* The child of a wrapped vfork could not return from this frame; a fork
       serves the caller the same, since its child may only run exec or _exit. */
    REAL(fork);
    return real_fork();
}
int clone(int (*function)(void *), void *stack, int flags, void *argument, ...) {
    REAL(clone);
    note_child("clone");
    va_list args;
    va_start(args, argument);
    pid_t *parent_tid = va_arg(args, pid_t *);
    void *tls = va_arg(args, void *);
    pid_t *child_tid = va_arg(args, pid_t *);
    va_end(args);
    return real_clone(function, stack, flags, argument, parent_tid, tls, child_tid);
}
int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]) {
    REAL(posix_spawn);
    note_child("posix_spawn");
    return real_posix_spawn(pid, path, actions, attributes, argv, envp);
}
int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                 const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]) {
    REAL(posix_spawnp);
    note_child("posix_spawnp");
    return real_posix_spawnp(pid, file, actions, attributes, argv, envp);
}
int system(const char *command) {
    REAL(system);
    note_child("system");
    return real_system(command);
}
FILE *popen(const char *command, const char *type) {
    REAL(popen);
    note_child("popen");
    return real_popen(command, type);
}

pid_t waitpid(pid_t pid, int *status, int options) {
    REAL(waitpid);
    FAIL_PATH("waitpid", "*", -1);
    return real_waitpid(pid, status, options);
}

int execve(const char *path, char *const argv[], char *const envp[]) {
    REAL(execve);
    note_child("execve");
    return real_execve(path, argv, envp);
}
int execveat(int dirfd, const char *path, char *const argv[], char *const envp[], int flags) {
    REAL(execveat);
    note_child("execveat");
    return real_execveat(dirfd, path, argv, envp, flags);
}
int fexecve(int fd, char *const argv[], char *const envp[]) {
    REAL(fexecve);
    note_child("fexecve");
    return real_fexecve(fd, argv, envp);
}
int execv(const char *path, char *const argv[]) {
    REAL(execv);
    note_child("execv");
    return real_execv(path, argv);
}
int execvp(const char *file, char *const argv[]) {
    REAL(execvp);
    note_child("execvp");
    return real_execvp(file, argv);
}
int execvpe(const char *file, char *const argv[], char *const envp[]) {
    REAL(execvpe);
    note_child("execvpe");
    return real_execvpe(file, argv, envp);
}

/* The arguments of a list-form exec, up to its terminating null pointer;
   for execle the environment follows it. */
#define COLLECT_ARGUMENTS(first, argv, after)                                    \
    char *argv[64];                                                              \
    int argc_ = 0;                                                               \
    va_list args_;                                                               \
    va_start(args_, first);                                                      \
    argv[argc_++] = (char *)first;                                               \
    while (argc_ < 63 && (argv[argc_] = va_arg(args_, char *)) != NULL) ++argc_; \
    argv[argc_] = NULL;                                                          \
    after;                                                                       \
    va_end(args_)

int execl(const char *path, const char *arg, ...) {
    COLLECT_ARGUMENTS(arg, argv, (void)0);
    note_child("execl");
    char command[8192];
    size_t used = (size_t)snprintf(command, sizeof command, "%s", path);
    for (int i = 0; i < argc_ && used < sizeof command; ++i)
        used += (size_t)snprintf(command + used, sizeof command - used, " %s", argv[i]);
    int error = check("execl", command);
    if (error > 0) {
        errno = error;
        return -1;
    }
    REAL(execv);
    return real_execv(path, argv);
}
int execlp(const char *file, const char *arg, ...) {
    COLLECT_ARGUMENTS(arg, argv, (void)0);
    note_child("execlp");
    REAL(execvp);
    return real_execvp(file, argv);
}
int execle(const char *path, const char *arg, ...) {
    char **envp = NULL;
    COLLECT_ARGUMENTS(arg, argv, envp = va_arg(args_, char **));
    note_child("execle");
    REAL(execve);
    return real_execve(path, argv, envp);
}

int fchown(int fd, uid_t owner, gid_t group) {
    REAL(fchown);
    int error = fd_fault("fchown", fd);
    if (error == SILENT_SUCCESS) return 0;
    if (error > 0) {
        errno = error;
        return -1;
    }
    return real_fchown(fd, owner, group);
}
int fchmod(int fd, mode_t mode) {
    REAL(fchmod);
    int error = fd_fault("fchmod", fd);
    if (error == SILENT_SUCCESS) return 0;
    if (error > 0) {
        errno = error;
        return -1;
    }
    return real_fchmod(fd, mode);
}
int futimens(int fd, const struct timespec times[2]) {
    REAL(futimens);
    FAIL_FD("futimens", fd, -1);
    return real_futimens(fd, times);
}
int fsync(int fd) {
    REAL(fsync);
    FAIL_FD("fsync", fd, -1);
    return real_fsync(fd);
}

/* ioctl, named by its request. For FIDEDUPERANGE the path is that of the
   first destination, which the hooks of a test mean to change. */
int ioctl(int fd, unsigned long request, ...) {
    REAL(ioctl);
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (fault_count || hook_count || !loaded) {
        const char *call = "ioctl";
        int about = fd;
        if (request == FIDEDUPERANGE) {
            call = "FIDEDUPERANGE";
            const struct file_dedupe_range *range = argument;
            if (range && range->dest_count > 0) about = (int)range->info[0].dest_fd;
        } else if (request == FS_IOC_FIEMAP) {
            call = "FIEMAP";
        } else if (request == FS_IOC_GETFLAGS) {
            call = "GETFLAGS";
        }
        char path[4096];
        FAIL_PATH(call, fd_path(about, path, sizeof path), -1);
    }
    return real_ioctl(fd, request, argument);
}
