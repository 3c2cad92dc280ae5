#include "fs/settled_counts.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/vfs.h>
#elif defined(__FreeBSD__) || defined(__DragonFly__) || defined(__APPLE__) || \
    defined(__NetBSD__) || defined(__OpenBSD__)
// statfs(2) there asks for sys/param.h first.
// clang-format off
#include <sys/param.h>
#include <sys/mount.h>
// clang-format on
#endif

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "fs/entry_names.h"
#include "fs/held_entry.h"
#include "fs/temp_name.h"
#include "state/output.h"
#include "state/run_state.h"

namespace {

// What the run knows of the counts of one device.
struct device_counts {
    dev_t device;
    bool known = false;              // its file system has been asked about
    bool late = false;               // its file system counts blocks late
    bool never_settled = false;      // a sentinel there did not settle in time
    uint64_t caught_up_in_pass = 0;  // the pass in which it last caught up (0: none)
    bool has_mark = false;
    struct timespec mark {};  // change time of the last sentinel seen settled there
};

std::vector<device_counts> devices;
uint64_t pass_number = 0;

// The random bytes of a sentinel: a file system that compresses or
// deduplicates must still store every byte of it.
constexpr size_t sentinel_size = 64 * 1024;
unsigned char sentinel_bytes[sentinel_size];
constexpr blkcnt_t sentinel_blocks = sentinel_size / 512;

// Whether statfs names the file system that holds name ZFS; false, with
// known false, when it cannot be asked.
bool names_zfs(const char *name, bool &known) {
#if defined(__linux__)
    struct statfs about;
    known = statfs(name, &about) == 0;
    return known && about.f_type == 0x2fc12fc1;  // ZFS's magic number
#elif defined(__FreeBSD__) || defined(__DragonFly__) || defined(__APPLE__) || \
    defined(__NetBSD__) || defined(__OpenBSD__)
    struct statfs about;
    known = statfs(name, &about) == 0;
    return known && std::strcmp(about.f_fstypename, "zfs") == 0;
#else
    (void)name;
    known = true;
    return false;
#endif
}

device_counts &counts_of(dev_t device, const char *name) {
    static size_t last = 0;
    if (last < devices.size() && devices[last].device == device && devices[last].known)
        return devices[last];
    for (size_t i = 0; i < devices.size(); ++i) {
        if (devices[i].device == device) {
            last = i;
            // A name that could not be asked about (gone meanwhile) leaves
            // the question to the next one.
            if (!devices[i].known) devices[i].late = names_zfs(name, devices[i].known);
            return devices[i];
        }
    }
    device_counts counts{device};
    counts.late = names_zfs(name, counts.known);
    devices.push_back(counts);
    last = devices.size() - 1;
    return devices[last];
}

device_counts *known_counts(dev_t device) {
    for (device_counts &counts : devices)
        if (counts.device == device) return &counts;
    return nullptr;
}

bool not_later(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

void fill_sentinel_bytes() {
    static std::mt19937_64 generator(std::random_device{}());
    for (size_t at = 0; at < sentinel_size; at += sizeof(uint64_t)) {
        const uint64_t value = generator();
        std::memcpy(sentinel_bytes + at, &value, sizeof value);
    }
}

void pause_a_moment() {
    const struct timespec step = {0, 100 * 1000 * 1000};
    nanosleep(&step, nullptr);  // a signal ends it early; the caller looks again
}

double seconds_since(const struct timespec &start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

void give_up_on(device_counts &counts, const char *name) {
    if (counts.never_settled) return;
    counts.never_settled = true;
    error_line("twinfold: block counts on the file system of %s did not settle within %d seconds\n",
               name, settle_bound_seconds);
}

}  // namespace

bool counts_settle_late(dev_t device, const char *name) {
    return counts_of(device, name).late;
}

bool counts_never_settled(dev_t device) {
    const device_counts *counts = known_counts(device);
    return counts && counts->never_settled;
}

void begin_settling_pass() {
    ++pass_number;
}

bool count_may_lag(const char *name, const struct stat &status) {
    if (!S_ISREG(status.st_mode)) return false;
    const device_counts &counts = counts_of(status.st_dev, name);
    if (!counts.late || counts.never_settled || counts.caught_up_in_pass == pass_number)
        return false;
    return !counts.has_mark || !not_later(status.st_ctim, counts.mark);
}

bool settle_counts(const char *name, dev_t device) {
    held_entry entry;
    count_sentinel sentinel;
    if (!hold_entry(name, entry)) {
        error_line("open(%s) failed\n", directory_part(name).c_str());
        error_cause("open");
        give_up_on(counts_of(device, name), name);
        return false;
    }
    if (!plant_sentinel(entry.directory.get(), name, device, sentinel))
        return counts_of(device, name).caught_up_in_pass == pass_number;
    await_sentinels(&sentinel, 1);
    return sentinel.outcome == count_sentinel::state::settled;
}

bool plant_sentinel(int dirfd, std::string_view name, dev_t device, count_sentinel &sentinel) {
    const std::string whole(name);
    device_counts &counts = counts_of(device, whole.c_str());
    sentinel.device = device;
    sentinel.directory = dirfd;
    sentinel.beside = whole;
    sentinel.fd.reset(create_temp_file_at(dirfd, name, sentinel.temp_name));
    if (!sentinel.fd) {
        // Nothing waits to be written on a file system mounted read-only.
        if (errno == EROFS) {
            counts.caught_up_in_pass = pass_number;
            return false;
        }
        error_line("Could not create temporary file.\n");
        error_cause("mkstemp");
        give_up_on(counts, whole.c_str());
        return false;
    }
    // A call on the sentinel failed: it goes, and its file system's counts
    // are given up on.
    const auto abandon = [&](const char *call) {
        error_line("%s(%s) failed\n", call, sentinel.temp_name.c_str());
        error_cause(call);
        sentinel.fd.reset();
        discard_temp_file_at(dirfd, sentinel.temp_name);
        give_up_on(counts, whole.c_str());
        return false;
    };
    fill_sentinel_bytes();
    for (size_t put = 0; put < sentinel_size;) {
        const ssize_t n = write(sentinel.fd.get(), sentinel_bytes + put, sentinel_size - put);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return abandon("write");
        }
        put += static_cast<size_t>(n);
    }
    if (fstat(sentinel.fd.get(), &sentinel.written) != 0) return abandon("fstat");
    return true;
}

void await_sentinels(count_sentinel *sentinels, size_t count) {
    struct timespec began;
    clock_gettime(CLOCK_MONOTONIC, &began);
    size_t waiting = 0;
    for (size_t i = 0; i < count; ++i)
        if (sentinels[i].outcome == count_sentinel::state::waiting) ++waiting;
    for (;;) {
        for (size_t i = 0; i < count; ++i) {
            count_sentinel &sentinel = sentinels[i];
            if (sentinel.outcome != count_sentinel::state::waiting) continue;
            struct stat now;
            if (fstat(sentinel.fd.get(), &now) == 0 && now.st_blocks >= sentinel_blocks) {
                sentinel.outcome = count_sentinel::state::settled;
                --waiting;
            }
        }
        if (waiting == 0 || interrupted || seconds_since(began) >= settle_bound_seconds) break;
        progress_tick();
        pause_a_moment();
    }
    for (size_t i = 0; i < count; ++i) {
        count_sentinel &sentinel = sentinels[i];
        device_counts &counts = counts_of(sentinel.device, sentinel.beside.c_str());
        switch (sentinel.outcome) {
            case count_sentinel::state::settled:
                counts.caught_up_in_pass = pass_number;
                if (!counts.has_mark || not_later(counts.mark, sentinel.written.st_ctim))
                    counts.mark = sentinel.written.st_ctim;
                counts.has_mark = true;
                break;
            case count_sentinel::state::waiting:
                if (interrupted) {
                    sentinel.outcome = count_sentinel::state::interrupted;
                } else {
                    sentinel.outcome = count_sentinel::state::failed;
                    give_up_on(counts, sentinel.beside.c_str());
                }
                break;
            default: break;
        }
        if (sentinel.fd) {
            sentinel.fd.reset();
            discard_temp_file_at(sentinel.directory, sentinel.temp_name);
        }
    }
}
