#include "loop_file_system.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int run_shell(const std::string &command, std::string &output) {
    output.clear();
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

loop_file_system::loop_file_system(const std::string &kind_, uint64_t size_mib) : kind(kind_) {
    image = holder / "image";
    mount_point = holder / "mount";
    std::string output;
    const std::string make = kind == "xfs" ? "mkfs.xfs -q -m reflink=1 " : "mkfs.btrfs -q ";
    if (run_shell("mkdir -p '" + mount_point + "' && truncate -s " + std::to_string(size_mib) +
                      "M '" + image + "' && " + make + "'" + image + "'",
                  output) != 0) {
        failure = "making the " + kind + " image failed (is " +
                  (kind == "xfs" ? std::string("xfsprogs") : std::string("btrfs-progs")) +
                  " installed?): " + output;
        return;
    }
    made = true;
    if (run_shell("mount -o loop '" + image + "' '" + mount_point + "'", output) != 0) {
        skip_reason = "mounting a " + kind + " image on a loop device failed: " + output;
        return;
    }
    mounted = true;
}

loop_file_system::~loop_file_system() {
    if (!mounted) return;
    std::string output;
    // chattr'ed files are removed with the image; the mount goes first.
    if (run_shell("umount '" + mount_point + "'", output) != 0)
        run_shell("umount -l '" + mount_point + "'", output);
}

int64_t loop_file_system::free_blocks() const {
    const int fd = open(mount_point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    syncfs(fd);
    syncfs(fd);
    struct statvfs info;
    const int got = fstatvfs(fd, &info);
    close(fd);
    if (got != 0) return -1;
    return static_cast<int64_t>(info.f_bfree) * static_cast<int64_t>(info.f_frsize) / 512;
}
