// Runs one command and measures it from outside:
//
//   launch TIMEOUT_SECONDS RESULT_FILE command [args...]
//
// writes one line to RESULT_FILE:
//   "<exit status or -signal> <wall s> <user s> <sys s> <peak RSS KiB> <timed out 0/1>"
//
// The command runs as the direct child of this small process, in a process
// group of its own that is killed when the timeout passes. Linux carries the
// peak RSS of a process across exec, so the command must not be forked from a
// large process (such as the Python runner): from here its floor is this
// program's own footprint, about a megabyte.
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t timed_out;
static volatile pid_t child;

static void on_alarm(int signal_number) {
    (void)signal_number;
    timed_out = 1;
    if (child > 0) kill(-child, SIGKILL);
}

static double seconds(struct timeval tv) { return (double)tv.tv_sec + tv.tv_usec / 1e6; }

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: launch TIMEOUT_SECONDS RESULT_FILE command [args...]\n");
        return 2;
    }
    double limit = strtod(argv[1], NULL);
    FILE *result = fopen(argv[2], "w");
    if (!result) {
        perror(argv[2]);
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 2;
    }
    if (pid == 0) {
        setpgid(0, 0);
        execvp(argv[3], argv + 3);
        fprintf(stderr, "launch: cannot run %s: %s\n", argv[3], strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);  // both sides, so the group exists whichever runs first
    child = pid;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_alarm;
    sigaction(SIGALRM, &action, NULL);
    struct itimerval timer;
    memset(&timer, 0, sizeof timer);
    timer.it_value.tv_sec = (time_t)limit;
    timer.it_value.tv_usec = (suseconds_t)((limit - (double)(time_t)limit) * 1e6);
    setitimer(ITIMER_REAL, &timer, NULL);

    int status = 0;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            perror("wait4");
            return 2;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    memset(&timer, 0, sizeof timer);
    setitimer(ITIMER_REAL, &timer, NULL);
    // Whatever the command left running in its group goes too.
    kill(-pid, SIGKILL);

    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    double wall = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    fprintf(result, "%d %.6f %.6f %.6f %ld %d\n", code, wall, seconds(usage.ru_utime),
            seconds(usage.ru_stime), usage.ru_maxrss, timed_out ? 1 : 0);
    return fclose(result) == 0 ? 0 : 2;
}
