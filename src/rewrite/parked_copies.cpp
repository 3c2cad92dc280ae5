#include "rewrite/parked_copies.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <unordered_set>
#include <vector>

#include "fs/file_status.h"
#include "fs/held_entry.h"
#include "fs/settled_counts.h"
#include "state/output.h"
#include "state/run_state.h"

namespace {

std::vector<trial_copy> parked;
std::unordered_set<inode_key, inode_key_hash> parked_files;  // the originals
uint64_t parked_bytes = 0;

constexpr size_t most_parked = 4096;
constexpr uint64_t most_parked_bytes = uint64_t(1) << 30;

// Each parked copy holds two descriptors (its directory and itself). The
// file system takes seconds to settle a batch however small, so the batch is
// as large as the descriptors allow: the soft limit is raised towards the
// hard one first, and the batch leaves room for the rest of the run's.
size_t batch_limit() {
    static size_t limit = [] {
        constexpr rlim_t wanted = 2 * most_parked + 64;
        struct rlimit files;
        if (getrlimit(RLIMIT_NOFILE, &files) != 0) return size_t(1);
        if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < wanted) {
            struct rlimit raised = files;
            raised.rlim_cur = files.rlim_max == RLIM_INFINITY || files.rlim_max > wanted
                                  ? wanted
                                  : files.rlim_max;
            if (setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
        }
        if (files.rlim_cur == RLIM_INFINITY || files.rlim_cur >= wanted) return most_parked;
        const rlim_t room = files.rlim_cur > 64 ? (files.rlim_cur - 64) / 2 : 1;
        return static_cast<size_t>(room > 0 ? room : 1);
    }();
    return limit;
}

// A run that ends while copies are parked (an interrupt ends it at the next
// file) leaves none of them behind.
void discard_parked_at_exit() {
    for (trial_copy &trial : parked) discard_trial(trial);
    parked.clear();
}

bool was_settled(const std::vector<count_sentinel> &sentinels, dev_t device) {
    for (const count_sentinel &sentinel : sentinels)
        if (sentinel.device == device) return sentinel.outcome == count_sentinel::state::settled;
    return false;
}

// Finishes a parked copy once the counts of its file system have settled:
// the copy and the file are measured again.
void finish_parked(trial_copy &trial) {
    struct stat made, now;
    if (fstat(trial.copy.get(), &made) != 0) {
        fail_line("lstat", "lstat(%s) failed\n", trial.temp_name.c_str());
        discard_trial(trial);
        return;
    }
    const entry_version version = !examine_held(trial.entry, now)     ? entry_version::gone
                                  : same_version(now, trial.original) ? entry_version::same
                                                                      : entry_version::changed;
    if (version != entry_version::same) {
        say_version(version, trial.name.c_str(), "%s changed while it was copied, left as it is\n");
        discard_trial(trial);
        return;
    }
    trial.original = now;
    finish_trial(trial, made);
}

}  // namespace

void park_trial(trial_copy &&trial) {
    static bool cleanup_registered = false;
    if (!cleanup_registered) {
        std::atexit(discard_parked_at_exit);
        cleanup_registered = true;
    }
    parked_bytes += static_cast<uint64_t>(trial.original.st_size);
    parked_files.insert({trial.original.st_dev, trial.original.st_ino});
    parked.push_back(std::move(trial));
    if (parked.size() >= batch_limit() || parked_bytes >= most_parked_bytes) settle_parked_copies();
}

void settle_parked_copies() {
    if (parked.empty()) return;
    // One sentinel per file system, written after every copy parked there.
    std::vector<count_sentinel> sentinels;
    if (!stop_requested()) {
        for (const trial_copy &trial : parked) {
            bool planted = false;
            for (const count_sentinel &sentinel : sentinels)
                planted = planted || sentinel.device == trial.original.st_dev;
            if (planted || counts_never_settled(trial.original.st_dev)) continue;
            sentinels.emplace_back();
            if (!plant_sentinel(trial.entry.directory.get(), trial.name, trial.original.st_dev,
                                sentinels.back()))
                sentinels.back().outcome = count_sentinel::state::failed;
        }
        await_sentinels(sentinels.data(), sentinels.size());
    }
    for (trial_copy &trial : parked) {
        if (!stop_requested() && was_settled(sentinels, trial.original.st_dev)) {
            finish_parked(trial);
            continue;
        }
        if (!stop_requested())
            fail_line(nullptr, "%s: its block count did not settle, left as it is\n",
                      trial.name.c_str());
        discard_trial(trial);
    }
    parked.clear();
    parked_files.clear();
    parked_bytes = 0;
}

bool copy_parked_for(const struct stat &original) {
    return parked_files.count({original.st_dev, original.st_ino}) != 0;
}
