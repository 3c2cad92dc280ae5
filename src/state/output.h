// Every line the tool writes goes through these few functions, so that the
// rules on quiet mode, flushing and error lines live in one place. The one
// exception is getopt's complaint about an unknown option, which the C
// library writes itself before parse_options sees the letter.
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

// A line on standard error that nothing silences, neither quiet nor a muted
// stretch: the run's own failures and the intake's notices.
void error_line(const char *format, ...) __attribute__((format(printf, 1, 2)));

// perror's line with the given word, on standard error, likewise never
// silenced; errno is taken as it stands on entry.
void error_cause(const char *word);

// While one lives, none of the functions above writes anything: for the
// comparisons that only find an order, whose lines the run shows when it
// makes the comparisons that count.
struct muted_output {
    muted_output();
    ~muted_output();
    muted_output(const muted_output &) = delete;
    muted_output &operator=(const muted_output &) = delete;
};
