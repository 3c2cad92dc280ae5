// Every line the tool writes goes through these few functions, so that the
// rules on quiet mode, flushing and error lines live in one place.
#pragma once

#include <csignal>
#include <cstdint>

#include "state/run_state.h"

// A progress, action or summary line: suppressed under quiet, flushed at once.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A line printed on standard output also under quiet, without a flush.
void report_always(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes a group of summary lines unless quiet; the caller flushes with report_flush.
void report_unflushed(const char *format, ...) __attribute__((format(printf, 1, 2)));
void report_flush();

// Each line on standard error is written after the lines held for standard
// output, which are flushed first: where both streams reach one pipe or file
// (2>&1), the lines stand in the order of what happened.

// A failure of one file: the formatted line on standard error, then perror
// with the given word (which names the step, not always the failing call).
// errno is taken as it stands on entry. A null word prints no perror line.
void fail_line(const char *perror_word, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// fail_line for a name opened with O_NOFOLLOW. A symbolic link there is
// refused with ELOOP on Linux and with EMLINK on the BSDs, whose text ("Too
// many links") names another fault: for either the second line reads
// "WORD: is a symbolic link", the same on both systems.
void fail_open_line(const char *perror_word, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// A line on standard error that nothing silences, neither quiet nor a muted
// stretch: the run's own failures and the intake's notices. errno is kept,
// for an error_cause after it.
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

// While one lives, the lines that quiet silences (report, report_unflushed)
// are silenced, or shown, as it says, whatever -q said: for the orderings that
// the driver runs for a later pass, silent, or as a report shown also under
// -q. The lines that quiet never silences are not touched.
struct quiet_lines {
    explicit quiet_lines(bool quiet);
    ~quiet_lines();
    quiet_lines(const quiet_lines &) = delete;
    quiet_lines &operator=(const quiet_lines &) = delete;

private:
    int saved_;
};

// The progress line. When standard error is a terminal and quiet is clear,
// a pass that has run for a second shows one line there: the pass, its names
// examined of the total (or how far its sort is), the bytes read or copied
// and the time since it began; redrawn at most four times a second. Every
// line above (on standard error, and on standard output when that is a
// terminal) erases it first, as does the end of the pass and of the process,
// so the run's lines are exactly those it prints without a terminal. Off,
// nothing of it is written.
void progress_setup();  // once, after the options: on or off
void progress_pass_begins(const char *pass, bool copying);
void progress_pass_ends();
void progress_step_begins(bool sorting, uint64_t total);

// The status line, asked for by a signal (SIGINFO, which Ctrl-T sends where
// the system has it, as cp and dd answer it; SIGUSR1 elsewhere, as GNU dd
// answers it): the progress line's words, once, as a whole line on standard
// error, whatever standard error is and also under quiet. It is written at
// the next step of the running pass (or of the next pass, when none runs).
// request_status_line only sets a flag, so a signal handler may call it.
void request_status_line();
extern std::atomic<int> status_requested;

extern bool progress_on;
void progress_poll();  // draws the line when it is due, and the status line when asked

// A name examined by the running step.
inline void progress_name() {
    ++run_progress.done;
    if (progress_on || status_requested) progress_poll();
}
// So many names examined by the running step, counted elsewhere.
inline void progress_names_done(uint64_t done) {
    run_progress.done = done;
    if (progress_on || status_requested) progress_poll();
}
// A step of a sort: many and cheap, so the clock is read every 256th.
inline void progress_sort_step() {
    if ((++run_progress.done & 255) == 0 && (progress_on || status_requested)) progress_poll();
}
// Only the run's own thread (the one that set the progress line up) draws
// the progress line and writes the status line.
extern thread_local bool progress_drawn_here;

// Bytes read or copied from a listed file, on any thread.
inline void progress_bytes(uint64_t count) {
    run_progress.bytes.fetch_add(count, std::memory_order_relaxed);
    if ((progress_on || status_requested) && progress_drawn_here) progress_poll();
}
// A moment of a wait that moves nothing.
inline void progress_tick() {
    if (progress_on || status_requested) progress_poll();
}
