#include "state/output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "state/run_state.h"

namespace {

int mutes = 0;

}  // namespace

muted_output::muted_output() {
    ++mutes;
}

muted_output::~muted_output() {
    --mutes;
}

void report(const char *format, ...) {
    if (run_options.quiet || mutes) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

void report_always(const char *format, ...) {
    if (mutes) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

void report_unflushed(const char *format, ...) {
    if (run_options.quiet || mutes) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

void report_flush() {
    std::fflush(stdout);
}

void fail_line(const char *perror_word, const char *format, ...) {
    if (mutes) return;
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

void error_line(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void error_cause(const char *word) {
    std::perror(word);
}
