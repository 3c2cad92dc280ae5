// Every line the tool writes goes through these few functions, so that the
// rules on quiet mode, flushing and error lines live in one place.
#pragma once

// A progress, action or summary line: suppressed under quiet, flushed at once.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A line printed on standard output also under quiet, without a flush.
void report_always(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes a group of summary lines unless quiet; the caller flushes with report_flush.
void report_unflushed(const char *format, ...) __attribute__((format(printf, 1, 2)));
void report_flush();

// A failure of one file: the formatted line on standard error, then perror
// with the given word (which names the step, not always the failing call).
// errno is taken as it stands on entry. A null word prints no perror line.
void fail_line(const char *perror_word, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// While one lives, none of the functions above writes anything: for the
// comparisons that only find an order, whose lines the run shows when it
// makes the comparisons that count.
struct muted_output {
    muted_output();
    ~muted_output();
    muted_output(const muted_output &) = delete;
    muted_output &operator=(const muted_output &) = delete;
};
