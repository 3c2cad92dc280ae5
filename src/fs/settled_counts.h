// Block counts that settle late. ZFS counts a file's blocks only once the
// transaction group that wrote them is on disk, some seconds after the write;
// until then a new file shows 1 block (fsync does not change that), and a
// file written afresh shows the blocks it had before. Every figure the run
// prints and every choice it makes on blocks must rest on counts that have
// settled.
//
// Transaction groups reach the disk in the order they were opened, so a file
// written now (a sentinel of random bytes) whose own count has settled shows
// that every change made on its file system before it has settled too. A
// file's change time tells when it last changed: a file changed no later than
// the last settled sentinel of its device has a settled count.
//
// On other file systems the counts settle at once and none of this costs
// more than one statfs per device.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

#include "fs/file_handles.h"

// How long the run waits for a sentinel to settle before it gives up on the
// counts of its file system.
constexpr int settle_bound_seconds = 30;

// Whether the file system that holds name, on device, counts blocks late
// (ZFS). Asked of the file system once per device.
bool counts_settle_late(dev_t device, const char *name);

// Whether a sentinel on device failed to settle in time during the run (or
// could not be written): the counts there are not to be trusted for the rest
// of it. The line saying so has been printed.
bool counts_never_settled(dev_t device);

// Called as each pass begins. Within a pass the run's own changes to the
// files it counts are changes of names and link counts, not of their data,
// so a device needs to catch up at most once per pass.
void begin_settling_pass();

// After name was examined: whether its block count may not have settled, a
// regular file on a late device, changed after the last settled sentinel
// there, in a pass that has not yet waited for that device. The caller then
// calls settle_counts and examines the name again.
bool count_may_lag(const char *name, const struct stat &status);

// Waits until the counts of device have caught up with every change made on
// it until now, through a sentinel written beside name. False when they did
// not within the bound (the line saying so is printed once per device, and
// the device is never trusted again in this run) or when the run was
// interrupted meanwhile.
bool settle_counts(const char *name, dev_t device);

// A sentinel written beside a file of the held directory dirfd; the run's
// trial copies on its device that were written before it are settled once
// it is.
struct count_sentinel {
    dev_t device = 0;
    int directory = -1;  // the held directory it lies in (not owned)
    std::string beside;  // the name it was written beside, for the lines about it
    std::string temp_name;
    unique_fd fd;
    struct stat written {};
    enum class state { waiting, settled, failed, interrupted } outcome = state::waiting;
};

// Writes a sentinel beside name in dirfd. False, after a line that says
// why, when it cannot be written; the device's counts then count as never
// settled.
bool plant_sentinel(int dirfd, std::string_view name, dev_t device, count_sentinel &sentinel);

// Waits until every sentinel of sentinels (count of them) has settled, at
// most settle_bound_seconds, and removes them. Each one's outcome tells how
// it ended; a device whose sentinel did not settle is never trusted again in
// this run, and a line says so.
void await_sentinels(count_sentinel *sentinels, size_t count);
