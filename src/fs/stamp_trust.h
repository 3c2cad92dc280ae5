// When the time stamps of a file prove that it still holds the bytes read
// from it. Every change of a file's bytes moves its change time, but only as
// finely as the file system keeps it (whole seconds on many; two seconds on
// FAT) and the kernel's clock ticks: a file rewritten within the tick of its
// last change keeps its device, inode, size and times. Bytes read at a moment
// safely later than the change time are those of the version the stamps
// name, and any change after that moment moves the change time; bytes read
// earlier are not proven by the stamps, and whatever rests on them is
// compared again before anything is done with it.
//
// The run's own changes (a name linked to a file or taken from it) move the
// change time of a file that keeps other names, while its bytes stay. Each
// is recorded with the exact status the file showed right after it, so that
// the file is still recognised as the version compared; such a version is
// not proven by its stamps, since its change time is as recent as the change.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "fs/file_status.h"

// How much later than a file's change time a read must start for its bytes
// to be proven by the stamps: two seconds of FAT's stamps and the clock's
// tick, with room to spare.
constexpr int64_t stamp_margin_ns = int64_t(3) * 1000000000;

// The wall clock now, in nanoseconds since the epoch: the moment of a read is
// taken before the read starts. A step of the wall clock back since the last
// moment taken is noticed and counted. The clock is the machine's: one watch
// serves the whole process, and moments taken on any thread are taken in
// turn.
int64_t read_moment();

// Takes one reading of the wall clock and of the monotonic clock (both in
// nanoseconds) as read_moment does, and returns the wall clock's value.
int64_t take_clock_reading(int64_t wall, int64_t monotonic);

// How often the wall clock was seen to step back during the run. What was
// proven before a step is proven no longer: a file changed after the step
// may get a change time that it had before.
uint64_t clock_steps_back();

// Whether bytes read from a file at moment (taken before the read) are those
// of the version that status describes.
bool stamps_prove(const struct stat &status, int64_t moment);

// The run's own changes of files, and what they showed of each device's
// clock. The driver keeps one for the run; the passes that change names
// write it and the comparisons read it.
struct own_change_log {
    // The change times that the run's own changes gave one inode, oldest
    // first, and the modification time and size they all kept.
    struct chain {
        std::vector<int64_t> changes;
        int64_t modified = 0;
        off_t size = 0;
    };
    std::unordered_map<inode_key, chain, inode_key_hash> chains;
    // Per device: whether its clock was seen, and whether it was ever seen
    // lagging by more than the cut of whole-second stamps.
    struct device_clock {
        dev_t device;
        bool lagging;
    };
    std::vector<device_clock> device_clocks;
};

// A change time comes from the clock of the file system's host (an NFS or
// SMB server, a virtual machine's host), which may lag this machine's wall
// clock: bytes read a margin after a change time by this machine's clock
// may then have been read within the tick of that change by the file
// system's. Each change the run makes in a directory shows the clock of the
// directory's device: the change time the directory gets, against the wall
// clock taken just before the change. What the stamps prove is acted upon for
// files of a device only once a change there has shown its clock no more than
// a second behind (the cut of whole-second stamps), and never again once one
// has shown it further behind.
void note_device_clock(own_change_log &log, int64_t wall_before,
                       const struct stat &directory_after);
bool device_clock_checked(const own_change_log &log, dev_t device);

// The run changed the file that before describes (as it was examined right
// before the change, and found the version compared) by linking a name to it
// or taking one from it, and after is the file's exact status examined right
// after. Recorded only when the file is the same inode of the same size and
// modification time afterwards.
void note_own_change(own_change_log &log, const struct stat &before, const struct stat &after);

// Whether now is what the run's own changes made of the version of one
// inode that had the change time changed: now is the exact status the last of
// them left (change and modification times, size), and a chain of them leads
// there from that change time.
bool made_by_own_changes(const own_change_log &log, dev_t device, ino_t inode,
                         const struct timespec &changed, const struct stat &now);
