#include "run/output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "run/run_state.h"

void report(const char *format, ...) {
    if (run_options.quiet) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

void report_always(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

void report_unflushed(const char *format, ...) {
    if (run_options.quiet) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

void report_flush() { std::fflush(stdout); }

void fail_line(const char *perror_word, const char *format, ...) {
    int saved = errno;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    if (perror_word) {
        errno = saved;
        std::perror(perror_word);
    }
}
