#include "state/output.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "state/run_state.h"

namespace {

int mutes = 0;
int quiet_override = -1;  // -1: as run_options.quiet says; else 0 or 1

bool lines_quiet() {
    return quiet_override >= 0 ? quiet_override != 0 : run_options.quiet != 0;
}

// The progress line's own state.
bool stdout_is_terminal = false;  // lines on standard output erase the line too
bool line_shown = false;          // the line is on the terminal now
int64_t pass_began = 0;           // monotonic nanoseconds
int64_t last_drawn = 0;
constexpr int64_t first_after = 1000000000;  // a pass shows the line after a second
constexpr int64_t redraw_after = 250000000;  // and redraws it at most 4 times a second

int64_t monotonic_now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Carriage return and clear to the end of the line: the terminal's line is
// empty again and the next text starts at its left.
void erase_progress() {
    if (!line_shown) return;
    std::fputs("\r\033[K", stderr);
    line_shown = false;
}

void erase_before_stdout() {
    if (stdout_is_terminal) erase_progress();
}

void erase_at_exit() {
    erase_progress();
}

// 1234 bytes, 12.3 KiB, 1.2 GiB.
void format_bytes(char *text, size_t size, uint64_t bytes) {
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) {
        std::snprintf(text, size, "%" PRIu64 " bytes", bytes);
        return;
    }
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024;
        ++unit;
    }
    std::snprintf(text, size, "%.1f %s", value, units[unit]);
}

size_t terminal_width() {
    struct winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

// The words of the progress line: the pass, its names examined of the
// total (or how far its sort is), the bytes read or copied, the time since
// the pass began.
void format_progress(char *line, size_t size, int64_t now) {
    char bytes[32];
    format_bytes(bytes, sizeof bytes, run_progress.bytes.load(std::memory_order_relaxed));
    const int64_t seconds = (now - pass_began) / 1000000000;
    char elapsed[32];
    if (seconds >= 3600)
        std::snprintf(elapsed, sizeof elapsed, "%" PRId64 ":%02d:%02d", seconds / 3600,
                      static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    else
        std::snprintf(elapsed, sizeof elapsed, "%d:%02d", static_cast<int>(seconds / 60),
                      static_cast<int>(seconds % 60));
    const char *moved = run_progress.copying ? "copied" : "read";
    if (run_progress.sorting) {
        const uint64_t total = run_progress.total ? run_progress.total : 1;
        const uint64_t done = run_progress.done < total ? run_progress.done : total;
        std::snprintf(line, size, "%s: sorting %d names, %d%%, %s %s, %s", run_progress.pass,
                      file_count, static_cast<int>(done * 100 / total), bytes, moved, elapsed);
    } else {
        std::snprintf(line, size, "%s: %" PRIu64 " of %" PRIu64 " names, %s %s, %s",
                      run_progress.pass, run_progress.done, run_progress.total, bytes, moved,
                      elapsed);
    }
}

void draw_progress(int64_t now) {
    char line[256];
    format_progress(line, sizeof line, now);
    // Cut to the terminal's width, never wrapped: a wrapped line could not
    // be erased by one carriage return. The last column stays free, as some
    // terminals move to the next line once it is written.
    const size_t width = terminal_width() - 1;
    if (std::strlen(line) > width) line[width] = '\0';
    // Lines held for standard output reach the terminal before the progress
    // line, never between it and its erasure.
    if (stdout_is_terminal) std::fflush(stdout);
    std::fprintf(stderr, "\r%s\033[K", line);
    line_shown = true;
    last_drawn = now;
}

void write_status_line(int64_t now);

}  // namespace

bool progress_on = false;
thread_local bool progress_drawn_here = false;
std::atomic<int> status_requested{0};

void request_status_line() {
    status_requested = 1;
}

void progress_setup() {
    progress_drawn_here = true;
    if (run_options.quiet || !isatty(STDERR_FILENO)) return;
    stdout_is_terminal = isatty(STDOUT_FILENO);
    // Standard output through a pipe or socket may end at the same terminal
    // (twinfold | tee log) and its lines could not be kept off the status
    // line: no line then.
    struct stat out;
    if (!stdout_is_terminal && fstat(STDOUT_FILENO, &out) == 0 &&
        (S_ISFIFO(out.st_mode) || S_ISSOCK(out.st_mode)))
        return;
    progress_on = true;
    std::atexit(erase_at_exit);
}

void progress_pass_begins(const char *pass, bool copying) {
    run_progress.sorting = false;
    run_progress.done = 0;
    run_progress.total = 0;
    run_progress.bytes = 0;
    run_progress.pass = pass;
    run_progress.copying = copying;
    // The status line tells the time since the pass began, also without a terminal.
    pass_began = last_drawn = monotonic_now();
}

void progress_pass_ends() {
    erase_progress();
    run_progress.pass = nullptr;
}

void progress_step_begins(bool sorting, uint64_t total) {
    run_progress.sorting = sorting;
    run_progress.done = 0;
    run_progress.total = total;
}

void progress_poll() {
    if (!run_progress.pass) return;
    const int64_t now = monotonic_now();
    if (status_requested) write_status_line(now);
    if (!progress_on) return;
    if (now - pass_began < first_after) return;
    // Also after an erase: a stream of other lines does not make it flicker.
    if (now - last_drawn < redraw_after) return;
    draw_progress(now);
}

muted_output::muted_output() {
    ++mutes;
}

muted_output::~muted_output() {
    --mutes;
}

quiet_lines::quiet_lines(bool quiet) : saved_(quiet_override) {
    quiet_override = quiet ? 1 : 0;
}

quiet_lines::~quiet_lines() {
    quiet_override = saved_;
}

namespace {

// Writes one line on standard output, after erasing the progress line.
void write_report(const char *format, va_list args) {
    erase_before_stdout();
    std::vfprintf(stdout, format, args);
}

}  // namespace

void report(const char *format, ...) {
    if (lines_quiet() || mutes) return;
    va_list args;
    va_start(args, format);
    write_report(format, args);
    va_end(args);
    std::fflush(stdout);
}

void report_always(const char *format, ...) {
    if (mutes) return;
    va_list args;
    va_start(args, format);
    write_report(format, args);
    va_end(args);
}

void report_unflushed(const char *format, ...) {
    if (lines_quiet() || mutes) return;
    va_list args;
    va_start(args, format);
    write_report(format, args);
    va_end(args);
}

void report_flush() {
    std::fflush(stdout);
}

namespace {

// Before a line on standard error: lines held for standard output go first,
// so that where both streams reach one pipe or file (2>&1) every line stands
// in the order of what happened; then the progress line is erased. errno is
// kept for the caller's perror.
void before_error_line() {
    const int saved = errno;
    std::fflush(stdout);
    erase_progress();
    errno = saved;
}

// The status line that a signal asked for, after the lines held before it.
void write_status_line(int64_t now) {
    status_requested = 0;
    char line[256];
    format_progress(line, sizeof line, now);
    before_error_line();
    std::fprintf(stderr, "%s\n", line);
}

}  // namespace

void fail_line(const char *perror_word, const char *format, ...) {
    if (mutes) return;
    int saved = errno;
    before_error_line();
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    if (perror_word) {
        errno = saved;
        std::perror(perror_word);
    }
}

void fail_open_line(const char *perror_word, const char *format, ...) {
    if (mutes) return;
    const int saved = errno;
    before_error_line();
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    if (saved == ELOOP || saved == EMLINK) {
        std::fprintf(stderr, "%s: is a symbolic link\n", perror_word);
    } else {
        errno = saved;
        std::perror(perror_word);
    }
}

void error_line(const char *format, ...) {
    const int saved = errno;
    before_error_line();
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    errno = saved;
}

void error_cause(const char *word) {
    before_error_line();
    std::perror(word);
}
