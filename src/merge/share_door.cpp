#include "merge/share_door.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "fs/dedupe_call.h"
#include "fs/examined_open.h"
#include "state/output.h"
#include "state/run_state.h"

namespace {

constexpr char changed_since_compared[] = "file %s: changed since it was compared, not shared.\n";

// Refuses the file's device with one line that says why.
void refuse_device(share_devices &devices, const share_file &file, const char *why) {
    if (!devices.refused.insert(file.compared.st_dev).second) return;
    fail_line(nullptr, "file system of %s %s: its files are left alone.\n", file.name, why);
}

void refuse_device_for_error(share_devices &devices, const share_file &file, int error) {
    std::string why = std::string("cannot share blocks (") + std::strerror(error) + ")";
    refuse_device(devices, file, why.c_str());
}

bool is_swap_file(share_devices &devices, const struct stat &status) {
    if (!devices.swaps_read) {
        devices.swap_files = swap_files_in_use();
        devices.swaps_read = true;
    }
    const inode_key key{status.st_dev, status.st_ino};
    return std::find(devices.swap_files.begin(), devices.swap_files.end(), key) !=
           devices.swap_files.end();
}

// Opens the file for reading, confirmed as the file compared (device, inode
// and size); prints the line that refuses it when say is set. No name is
// changed, so the file is known by the descriptor alone: whatever the name
// leads to when it is opened, the descriptor is used only when it is that
// file. Its bytes need not be the version compared: the kernel compares them
// before it shares anything.
bool open_as_compared(share_file &file, bool say, file_lock_flag &flag) {
    file.fd.reset(open_without_access_time(AT_FDCWD, file.name,
                                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                                               O_CLOEXEC));
    if (!file.fd) {
        if (say) fail_line("open", "open(%s) failed\n", file.name);
        return false;
    }
    struct stat opened;
    if (examine_for_sharing(file.fd.get(), opened, flag) && S_ISREG(opened.st_mode) &&
        same_inode(opened, file.compared) && opened.st_size == file.compared.st_size)
        return true;
    if (say) fail_line(nullptr, changed_since_compared, file.name);
    file.fd.reset();
    return false;
}

}  // namespace

share_geometry geometry_of(const share_file &file, share_devices &devices) {
    const auto [known, added] = devices.geometry.emplace(file.compared.st_dev, share_geometry{});
    share_geometry &geometry = known->second;
    if (!added) return geometry;
    if (const uint64_t block = file_system_block_size(file.fd.get())) geometry.block = block;
    geometry.singly = frees_blocks_singly(file.fd.get());
    return geometry;
}

bool device_refused(const share_devices &devices, dev_t device) {
    return devices.refused.count(device) != 0;
}

bool open_quietly(share_file &file) {
    file_lock_flag flag;
    return open_as_compared(file, false, flag);
}

bool open_for_sharing(share_file &file, share_devices &devices) {
    if (device_refused(devices, file.compared.st_dev)) return false;
    file_lock_flag flag = file_lock_flag::none;
    if (!open_as_compared(file, true, flag)) return false;
    if (devices.looked_at.insert(file.compared.st_dev).second) {
        if (const char *kind = unsafe_file_system(file.fd.get())) {
            const std::string why =
                std::string("is ") + kind + ", through which blocks are not shared";
            refuse_device(devices, file, why.c_str());
            return false;
        }
    }
    if (is_swap_file(devices, file.compared)) {
        fail_line(nullptr, "file %s: a swap file in use, left alone.\n", file.name);
        return false;
    }
    switch (flag) {
        case file_lock_flag::none: return true;
        case file_lock_flag::append_only:
            fail_line(nullptr, "file %s: append-only, left alone.\n", file.name);
            return false;
        case file_lock_flag::immutable:
            fail_line(nullptr, "file %s: immutable, left alone.\n", file.name);
            return false;
    }
    return true;
}

bool may_share(const share_file &source, const share_file &destination, share_devices &devices) {
    const dedupe_answer answer = dedupe_range(source.fd.get(), destination.fd.get(), 0, 0);
    if (answer.status != dedupe_status::failed) {
        devices.sharing.insert(destination.compared.st_dev);
        return true;
    }
    if (refused_by_file_system(answer.error)) {
        refuse_device_for_error(devices, destination, answer.error);
        return false;
    }
    errno = answer.error;
    fail_line("FIDEDUPERANGE", "FIDEDUPERANGE(%s,%s) failed\n", source.name, destination.name);
    return false;
}

bool read_share_map(const share_file &file, uint64_t end, extent_map &map, share_devices &devices) {
    if (read_extent_map(file.fd.get(), end, map)) return true;
    const std::string why =
        std::string("gives no map of its blocks (") + std::strerror(errno) + ")";
    refuse_device(devices, file, why.c_str());
    return false;
}

share_result share_blocks_of(const share_file &source, const extent_map *source_map,
                             const share_file &destination, const extent_map &before, uint64_t end,
                             const share_geometry &geometry, share_devices &devices) {
    const uint64_t block = geometry.block;
    share_result result;
    const uint64_t size = static_cast<uint64_t>(destination.compared.st_size);
    uint64_t offset = 0;
    while (offset < size) {
        // Each call is whole: a run asked to stop leaves the file shared so far.
        if (stop_requested()) return result;
        const uint64_t length = std::min(share_range_limit, size - offset);
        // The blocks of the range, the tail block whole.
        const uint64_t range_end = std::min(end, (offset + length + block - 1) / block * block);
        if (source_map &&
            bytes_in_same_place(*source_map, before, offset, range_end) == range_end - offset) {
            offset += length;
            continue;
        }
        const dedupe_answer answer =
            dedupe_range(source.fd.get(), destination.fd.get(), offset, length);
        if (answer.status == dedupe_status::differs) {
            if (offset == 0)
                fail_line(nullptr, "file %s: differs from %s, not shared.\n", destination.name,
                          source.name);
            else
                fail_line(nullptr,
                          "file %s: differs from %s after byte %llu, not shared from there.\n",
                          destination.name, source.name, static_cast<unsigned long long>(offset));
            break;
        }
        if (answer.status == dedupe_status::failed) {
            if (refused_by_file_system(answer.error)) {
                refuse_device_for_error(devices, destination, answer.error);
            } else {
                errno = answer.error;
                fail_line("FIDEDUPERANGE", "FIDEDUPERANGE(%s,%s) failed\n", source.name,
                          destination.name);
            }
            break;
        }
        progress_bytes(answer.bytes);
        if (answer.bytes > 0) result.shared = true;
        if (offset + answer.bytes >= size) break;
        // The next range starts on a block boundary; a kernel that shared
        // less than a block of the range gets no further.
        const uint64_t advance = std::min(answer.bytes, length) / block * block;
        if (advance == 0) {
            fail_line(nullptr,
                      "file %s: no block was shared after byte %llu, left so from there.\n",
                      destination.name, static_cast<unsigned long long>(offset));
            break;
        }
        offset += advance;
    }
    if (!result.shared) return result;
    extent_map after;
    if (!read_extent_map(destination.fd.get(), end, after)) {
        fail_line("FIEMAP", "FIEMAP(%s) failed\n", destination.name);
        return result;
    }
    result.given_back = bytes_given_back(before, after, end, !geometry.singly);
    return result;
}
