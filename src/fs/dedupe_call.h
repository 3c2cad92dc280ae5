// The kernel's compare-and-share call (Linux FIDEDUPERANGE) and what decides
// whether a file may be handed to it: its flags, whether it is a swap file,
// and the kind of file system it lies on.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "fs/file_status.h"

// Whether this system has a call that shares blocks only after comparing
// them with both files locked. Elsewhere (FreeBSD's block cloning compares
// nothing) files are never made to share blocks.
#if defined(__linux__)
constexpr bool block_sharing_available = true;
#else
constexpr bool block_sharing_available = false;
#endif

// What the kernel answered for one range.
enum class dedupe_status {
    same,     // the bytes were equal and the destination now shares the source's blocks
    differs,  // the bytes differ: nothing was changed
    failed,   // the call or the destination failed; error tells why
};

struct dedupe_answer {
    dedupe_status status = dedupe_status::failed;
    uint64_t bytes = 0;  // bytes the kernel reports as shared (same only)
    int error = 0;       // the errno of a failure
};

// Asks the kernel to share length bytes at offset of the file open at
// destination_fd with the bytes at the same offset of source_fd. Both may be
// open for reading only. The kernel locks both files and compares the bytes
// before it changes anything; the call's own result is looked at before the
// destination's status, which a failed call leaves as it was set.
dedupe_answer dedupe_range(int source_fd, int destination_fd, uint64_t offset, uint64_t length);

// Whether a failure of the call tells that the file system (not the file)
// cannot share blocks: not supported, no such call, another device, a
// read-only mount.
bool refused_by_file_system(int error);

// The file's flags that forbid its bytes to change place: append-only and
// immutable (FS_IOC_GETFLAGS). A file system without such flags has none.
enum class file_lock_flag { none, append_only, immutable };
file_lock_flag locking_flag(int fd);

// The open file's status (device, inode, size, mode and the rest) and its
// locking flag, in one call where the system tells the flags with the status
// (statx's attributes), else as fstat and locking_flag do. False, with errno
// set, when the file cannot be examined.
bool examine_for_sharing(int fd, struct stat &status, file_lock_flag &flag);

// Whether copy-on-write is off for the open file (btrfs's nodatacow, chattr
// +C). btrfs shares no blocks between a file with it off and one with it on.
bool copy_on_write_off(int fd);

// The file system the open file lies on, by kind, where blocks must not be
// shared through it: a network file system whose client might clone rather
// than compare (NFS, SMB), or an overlay. Null for every other kind.
const char *unsafe_file_system(int fd);

// Whether the file system of the open file frees the blocks of an extent one
// by one as files stop referring to them (XFS), rather than the extent whole
// once no file refers to any part of it (btrfs, and any other taken so).
bool frees_blocks_singly(int fd);

// The block size of the file system the open file lies on; 0 when unknown.
uint64_t file_system_block_size(int fd);

// The files in use as swap space (from /proc/swaps), by inode.
std::vector<inode_key> swap_files_in_use();
