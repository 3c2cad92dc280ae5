#include "fs/dedupe_call.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fs/file_handles.h"

#ifdef __linux__
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#else
#include <sys/mount.h>
#include <sys/param.h>
#endif

dedupe_answer dedupe_range(int source_fd, int destination_fd, uint64_t offset, uint64_t length) {
    dedupe_answer answer;
#ifdef __linux__
    uint64_t buffer[(sizeof(file_dedupe_range) + sizeof(file_dedupe_range_info) + 7) / 8] = {};
    auto *request = reinterpret_cast<file_dedupe_range *>(buffer);
    request->src_offset = offset;
    request->src_length = length;
    request->dest_count = 1;
    request->info[0].dest_fd = destination_fd;
    request->info[0].dest_offset = offset;
    // A failed call copies nothing back: the status must not read as "same".
    request->info[0].status = -EIO;
    if (ioctl(source_fd, FIDEDUPERANGE, request) != 0) {
        answer.error = errno;
        return answer;
    }
    const int32_t status = request->info[0].status;
    if (status == FILE_DEDUPE_RANGE_SAME) {
        answer.status = dedupe_status::same;
        answer.bytes = request->info[0].bytes_deduped;
    } else if (status == FILE_DEDUPE_RANGE_DIFFERS) {
        answer.status = dedupe_status::differs;
    } else {
        answer.error = status < 0 ? -status : EIO;
    }
#else
    (void)source_fd;
    (void)destination_fd;
    (void)offset;
    (void)length;
    answer.error = EOPNOTSUPP;
#endif
    return answer;
}

bool refused_by_file_system(int error) {
    return error == EOPNOTSUPP || error == ENOTTY || error == ENOSYS || error == EXDEV ||
           error == EROFS
#if defined(ENOTSUP) && ENOTSUP != EOPNOTSUPP
           || error == ENOTSUP
#endif
        ;
}

file_lock_flag locking_flag(int fd) {
#ifdef __linux__
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return file_lock_flag::none;
    if (flags & FS_IMMUTABLE_FL) return file_lock_flag::immutable;
    if (flags & FS_APPEND_FL) return file_lock_flag::append_only;
#else
    struct stat status;
    if (fstat(fd, &status) != 0) return file_lock_flag::none;
    if (status.st_flags & (UF_IMMUTABLE | SF_IMMUTABLE)) return file_lock_flag::immutable;
    if (status.st_flags & (UF_APPEND | SF_APPEND)) return file_lock_flag::append_only;
#endif
    return file_lock_flag::none;
}

bool copy_on_write_off(int fd) {
#if defined(__linux__) && defined(FS_NOCOW_FL)
    int flags = 0;
    return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_NOCOW_FL);
#else
    (void)fd;
    return false;
#endif
}

bool examine_for_sharing(int fd, struct stat &status, file_lock_flag &flag) {
#if defined(__linux__) && defined(STATX_ATTR_IMMUTABLE) && defined(STATX_ATTR_APPEND)
    struct statx got;
    constexpr unsigned want = STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE;
    constexpr uint64_t locks = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    if (statx(fd, "", AT_EMPTY_PATH, want, &got) == 0 && (got.stx_mask & want) == want &&
        (got.stx_attributes_mask & locks) == locks) {
        status = {};
        status.st_dev = makedev(got.stx_dev_major, got.stx_dev_minor);
        status.st_ino = got.stx_ino;
        status.st_mode = got.stx_mode;
        status.st_size = static_cast<off_t>(got.stx_size);
        flag = (got.stx_attributes & STATX_ATTR_IMMUTABLE) ? file_lock_flag::immutable
               : (got.stx_attributes & STATX_ATTR_APPEND)  ? file_lock_flag::append_only
                                                           : file_lock_flag::none;
        return true;
    }
#endif
    if (fstat(fd, &status) != 0) return false;
    flag = locking_flag(fd);
    return true;
}

const char *unsafe_file_system(int fd) {
#ifdef __linux__
    struct statfs info;
    if (fstatfs(fd, &info) != 0) return nullptr;
    switch (static_cast<unsigned long>(info.f_type)) {
        case NFS_SUPER_MAGIC: return "NFS";
        case SMB_SUPER_MAGIC:
        case CIFS_SUPER_MAGIC:
        case SMB2_SUPER_MAGIC: return "SMB";
        case OVERLAYFS_SUPER_MAGIC: return "overlay";
    }
#else
    struct statfs info;
    if (fstatfs(fd, &info) != 0) return nullptr;
    if (std::strcmp(info.f_fstypename, "nfs") == 0) return "NFS";
    if (std::strcmp(info.f_fstypename, "smbfs") == 0) return "SMB";
    if (std::strcmp(info.f_fstypename, "unionfs") == 0) return "overlay";
#endif
    return nullptr;
}

bool frees_blocks_singly(int fd) {
#ifdef __linux__
    struct statfs info;
    return fstatfs(fd, &info) == 0 && static_cast<unsigned long>(info.f_type) == XFS_SUPER_MAGIC;
#else
    (void)fd;
    return false;
#endif
}

uint64_t file_system_block_size(int fd) {
    struct statfs info;
    if (fstatfs(fd, &info) != 0 || info.f_bsize <= 0) return 0;
    return static_cast<uint64_t>(info.f_bsize);
}

namespace {

// A path as /proc/swaps writes it: blanks, tabs, newlines and backslashes
// as octal escapes.
std::string unescaped(const char *text) {
    std::string path;
    for (const char *c = text; *c; ++c) {
        if (c[0] == '\\' && c[1] >= '0' && c[1] <= '3' && c[2] >= '0' && c[2] <= '7' &&
            c[3] >= '0' && c[3] <= '7') {
            path += static_cast<char>((c[1] - '0') * 64 + (c[2] - '0') * 8 + (c[3] - '0'));
            c += 3;
        } else {
            path += *c;
        }
    }
    return path;
}

}  // namespace

std::vector<inode_key> swap_files_in_use() {
    std::vector<inode_key> found;
    unique_stream swaps(std::fopen("/proc/swaps", "re"));
    if (!swaps) return found;
    char line[8192];
    bool heading = true;
    while (std::fgets(line, sizeof line, swaps.get())) {
        if (heading) {
            heading = false;
            continue;
        }
        char *blank = std::strpbrk(line, " \t");
        if (!blank) continue;
        *blank = '\0';
        struct stat status;
        if (stat(unescaped(line).c_str(), &status) == 0 && S_ISREG(status.st_mode))
            found.push_back({status.st_dev, status.st_ino});
    }
    return found;
}
