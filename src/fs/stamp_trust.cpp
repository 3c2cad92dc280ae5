#include "fs/stamp_trust.h"

#include <time.h>

#include <algorithm>
#include <mutex>

#include "fs/file_status.h"

namespace {

int64_t nanoseconds(const struct timespec &time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

int64_t clock_now(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return nanoseconds(now);
}

// The wall clock steps (when set) while the monotonic clock does not, and
// both are slewed alike: their difference falls only when the wall clock
// steps back, however long ago, and stays put otherwise. A little slack
// covers the time between the two readings.
struct clock_record {
    bool taken = false;
    int64_t last_wall = 0;
    int64_t largest_offset = 0;  // of the wall clock over the monotonic one
    uint64_t steps_back = 0;
};
clock_record clocks;
std::mutex clocks_taken_in_turn;
constexpr int64_t offset_slack = 1000000;  // 1 ms

constexpr int64_t clock_lag_allowed_ns = 1000000000;

// Takes a reading; the caller holds clocks_taken_in_turn.
int64_t take_reading_in_turn(int64_t wall, int64_t monotonic) {
    const int64_t offset = wall - monotonic;
    if (!clocks.taken) {
        clocks.taken = true;
        clocks.largest_offset = offset;
    } else if (wall < clocks.last_wall || offset < clocks.largest_offset - offset_slack) {
        ++clocks.steps_back;
        clocks.largest_offset = offset;
    } else if (offset > clocks.largest_offset) {
        clocks.largest_offset = offset;
    }
    clocks.last_wall = wall;
    return wall;
}

}  // namespace

int64_t take_clock_reading(int64_t wall, int64_t monotonic) {
    std::lock_guard<std::mutex> in_turn(clocks_taken_in_turn);
    return take_reading_in_turn(wall, monotonic);
}

// The clocks are read under the lock, so that the readings of two threads
// come in the order of their values.
int64_t read_moment() {
    std::lock_guard<std::mutex> in_turn(clocks_taken_in_turn);
    const int64_t wall = clock_now(CLOCK_REALTIME);
    return take_reading_in_turn(wall, clock_now(CLOCK_MONOTONIC));
}

uint64_t clock_steps_back() {
    std::lock_guard<std::mutex> in_turn(clocks_taken_in_turn);
    return clocks.steps_back;
}

bool stamps_prove(const struct stat &status, int64_t moment) {
    return nanoseconds(status.st_ctim) + stamp_margin_ns < moment;
}

void note_own_change(own_change_log &log, const struct stat &before, const struct stat &after) {
    if (!same_contents(before, after)) return;
    own_change_log::chain &chain = log.chains[{after.st_dev, after.st_ino}];
    const int64_t changed_before = nanoseconds(before.st_ctim);
    // A change by someone else since the last of ours starts the chain anew.
    if (chain.changes.empty() || chain.changes.back() != changed_before ||
        chain.modified != nanoseconds(before.st_mtim) || chain.size != before.st_size)
        chain.changes.assign(1, changed_before);
    const int64_t changed_after = nanoseconds(after.st_ctim);
    if (changed_after != changed_before) chain.changes.push_back(changed_after);
    chain.modified = nanoseconds(after.st_mtim);
    chain.size = after.st_size;
}

bool made_by_own_changes(const own_change_log &log, dev_t device, ino_t inode,
                         const struct timespec &changed, const struct stat &now) {
    if (now.st_dev != device || now.st_ino != inode) return false;
    const auto found = log.chains.find({device, inode});
    if (found == log.chains.end()) return false;
    const own_change_log::chain &chain = found->second;
    if (chain.changes.back() != nanoseconds(now.st_ctim) ||
        chain.modified != nanoseconds(now.st_mtim) || chain.size != now.st_size)
        return false;
    return std::find(chain.changes.begin(), chain.changes.end(), nanoseconds(changed)) !=
           chain.changes.end();
}

void note_device_clock(own_change_log &log, int64_t wall_before,
                       const struct stat &directory_after) {
    const bool lagging = nanoseconds(directory_after.st_ctim) + clock_lag_allowed_ns < wall_before;
    for (own_change_log::device_clock &clock : log.device_clocks) {
        if (clock.device != directory_after.st_dev) continue;
        clock.lagging = clock.lagging || lagging;
        return;
    }
    log.device_clocks.push_back({directory_after.st_dev, lagging});
}

bool device_clock_checked(const own_change_log &log, dev_t device) {
    for (const own_change_log::device_clock &clock : log.device_clocks)
        if (clock.device == device) return !clock.lagging;
    return false;
}
