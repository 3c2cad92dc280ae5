// The one place where block sharing changes the disk: a listed file is made
// to share the blocks of an equal file (the source) by the kernel's
// compare-and-share call, which compares the bytes itself with both files
// locked. Names, inodes, owners, modes, times and link counts stay as they
// are; a file whose bytes differ by the time of the call is left as it is.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fs/file_extents.h"
#include "fs/file_handles.h"
#include "fs/file_status.h"

// A listed file as sharing holds it: open for reading (a running program
// cannot be opened for writing; the kernel lets the owner and root share a
// file open for reading).
struct share_file {
    const char *name = nullptr;
    struct stat compared {};  // the file the comparison found equal: device, inode, size
    unique_fd fd;
};

// The file system's block size and how it frees blocks.
struct share_geometry {
    uint64_t block = 4096;
    bool singly = false;  // frees_blocks_singly
};

// What sharing has learnt of devices during a pass: the swap files in use,
// and the devices whose files are left alone (one line said why).
struct share_devices {
    bool swaps_read = false;
    std::vector<inode_key> swap_files;
    std::unordered_set<dev_t> looked_at;  // file-system kind checked
    std::unordered_set<dev_t> refused;
    std::unordered_set<dev_t> sharing;  // an empty call was answered there
    std::unordered_map<dev_t, share_geometry> geometry;
};

bool device_refused(const share_devices &devices, dev_t device);

// Opens file for reading, when its name still leads to the version compared,
// it is not a swap file in use, not append-only nor immutable, and its file
// system is not one through which blocks must not be shared (NFS, SMB,
// overlay: then the device is refused with one line). Otherwise one line says
// why (unless the device was refused before) and the result is false.
bool open_for_sharing(share_file &file, share_devices &devices);

// The same opening, without the checks and without a line: for a read-only
// look at the file's extents.
bool open_quietly(share_file &file);

// Asks the kernel with an empty range whether destination may share
// source's blocks; nothing changes. A refusal by the file system refuses the
// device with one line; a refusal of the file says so in one line, the line
// that the first call of share_blocks_of would print. An answer marks the
// device as one that shares blocks.
bool may_share(const share_file &source, const share_file &destination, share_devices &devices);

// Reads the file's extent map up to end; when the file system gives none,
// the device is refused with one line (its gains could not be counted).
bool read_share_map(const share_file &file, uint64_t end, extent_map &map, share_devices &devices);

// The geometry of the file system of the open file, looked up once a device.
share_geometry geometry_of(const share_file &file, share_devices &devices);

// What sharing one file did.
struct share_result {
    bool shared = false;      // the kernel shared some of its bytes with the source's
    uint64_t given_back = 0;  // bytes of blocks that only the file held and now shares
};

// Shares destination's blocks with source's, in ranges of at most 16 MiB
// that start on block boundaries, the last ending at both files' end (so
// that the tail block is shared too), each one call that the kernel makes
// whole or not at all. With source's map known, ranges already in source's
// places are passed over. The file stops at the first range that the kernel
// does not answer "same" for, with one line. before is destination's map
// before; end the maps' end (the size rounded up to a block). What the file
// gave back is measured in its map after the calls against before.
share_result share_blocks_of(const share_file &source, const extent_map *source_map,
                             const share_file &destination, const extent_map &before, uint64_t end,
                             const share_geometry &geometry, share_devices &devices);

// The largest range one call is given: older kernels share no more in one call
// and report only what they did.
constexpr uint64_t share_range_limit = uint64_t(16) << 20;
