// A small file system of a given kind made in an image file (made with
// truncate, so it takes little room) and mounted on a loop device, for the
// cases that need XFS with reflink or btrfs. Tests run as root: making the
// file system must work (its tools are installed by .ci/run); where the
// mount itself fails (no loop device, no permission to mount), the case is
// skipped with the reason.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "scratch_tree.h"

struct loop_file_system {
    // kind is "xfs" (made with reflink) or "btrfs".
    explicit loop_file_system(const std::string &kind, uint64_t size_mib = 300);
    ~loop_file_system();
    loop_file_system(const loop_file_system &) = delete;
    loop_file_system &operator=(const loop_file_system &) = delete;

    std::string operator/(const std::string &name) const { return mount_point + "/" + name; }

    std::string kind;
    bool made = false;     // mkfs worked; else failure says why
    bool mounted = false;  // mounted; else skip_reason says why
    std::string failure;
    std::string skip_reason;
    std::string mount_point;

    // Free space, in 512-byte blocks, once everything written has reached
    // the disk (statvfs after the file system was synced twice, so that
    // btrfs has released what its last commit freed).
    int64_t free_blocks() const;

private:
    scratch_dir holder;
    std::string image;
};

// Runs a shell command; its standard output and standard error go to output.
// Returns the exit status (-1 when it did not exit).
int run_shell(const std::string &command, std::string &output);

// A loop file system for a test: fails the test when the file system cannot
// be made, skips it with the reason when it cannot be mounted.
#define MOUNT_OR_SKIP(fs)                                    \
    do {                                                     \
        ASSERT_TRUE((fs).made) << (fs).failure;              \
        if (!(fs).mounted) GTEST_SKIP() << (fs).skip_reason; \
    } while (0)
