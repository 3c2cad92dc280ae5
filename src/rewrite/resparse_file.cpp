#include "rewrite/resparse_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "rewrite/install_copy.h"
#include "rewrite/temp_name.h"
#include "run/file_handles.h"
#include "run/file_status.h"
#include "run/held_entry.h"
#include "run/output.h"
#include "run/run_state.h"

namespace {

// Opens the held entry for the copier to read. True when the descriptor shows
// the regular file that was examined; otherwise says why and returns false.
bool open_examined(const held_entry &entry, const char *name, const struct stat &examined,
                   unique_fd &source) {
    source.reset(openat(entry.directory.get(), entry.last.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened;
    if (!source) {
        // A symbolic link put in the file's place: ELOOP here, EMLINK on the BSDs.
        if (errno != ELOOP && errno != EMLINK) {
            fail_line("open", "open(%s) failed\n", name);
            return false;
        }
    } else if (fstat(source.get(), &opened) != 0) {
        fail_line("fstat", "fstat(%s) failed\n", name);
        return false;
    } else if (S_ISREG(opened.st_mode) && same_version(opened, examined)) {
        return true;
    }
    fail_line(nullptr, "%s changed before it was copied, left as it is\n", name);
    return false;
}

// The copier gets the file as its standard input and the copy as its standard
// output. A descriptor already among the standard streams would keep its
// close-on-exec flag when put on its own number, or be overwritten by the
// other one, so both are moved above them first.
bool above_standard_streams(unique_fd &fd, const char *name) {
    if (fd.get() > STDERR_FILENO) return true;
    const int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) {
        fail_line("fcntl", "fcntl(%s) failed\n", name);
        return false;
    }
    fd.reset(moved);
    return true;
}

// Starts /bin/cp reading source and writing copy, both open descriptors;
// returns the child's pid, or -1. The copier is named no file: whatever
// happens to the names meanwhile, it reads the file that was examined and
// writes the file this run created, and never follows a link put in the place
// of either. The child only places the two descriptors and execs or, when
// that fails, reports and ends.
pid_t start_copier(const char *option, int source, int copy, const char *name,
                   const char *temp_name) {
    const pid_t child = vfork();
    if (child == 0) {
        if (dup2(source, STDIN_FILENO) < 0 || dup2(copy, STDOUT_FILENO) < 0) {
            fail_line("dup2", "dup2(%s) failed\n", name);
            _exit(-1);
        }
        const int result = execl("/bin/cp", "cp", option, "/dev/stdin", "/dev/stdout",
                                 static_cast<char *>(nullptr));
        fail_line("fork", "execlp(cp %s %s %s) failed, return value %d\n", option, name, temp_name,
                  result);
        _exit(result);
    }
    return child;
}

// Waits for the copier to end or stop; returns waitpid's answer.
pid_t wait_for_copier(pid_t child, int &status) {
    pid_t waited;
    do waited = waitpid(child, &status, WUNTRACED);
    while (waited < 0 && errno == EINTR);
    return waited;
}

// A copier that stopped would otherwise live on, holding a half-written copy,
// while the next file starts another one.
void end_stopped_copier(pid_t child) {
    kill(child, SIGKILL);
    int ignored;
    while (waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
    }
}

// Removes the temporary name of the copy whose status is made (null when that
// is unknown), unless another entry has taken the name meanwhile: that one is
// not this run's to remove. Returns 0 when the name is gone, -1 (after saying
// why) when not.
int discard_copy(int directory, const std::string &temp_name, const struct stat *made,
                 const char *name) {
    struct stat now;
    if (made &&
        fstatat(directory, final_component(temp_name).c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        !same_inode(now, *made)) {
        fail_line(nullptr, "%s is not the copy of %s that was made, left as it is\n",
                  temp_name.c_str(), name);
        return -1;
    }
    return discard_temp_file_at(directory, temp_name) ? 0 : -1;
}

int discard_open_copy(int directory, const std::string &temp_name, int copy, const char *name) {
    struct stat made;
    return discard_copy(directory, temp_name, fstat(copy, &made) == 0 ? &made : nullptr, name);
}

}  // namespace

int resparse_file(char *const *slot, unsigned char sparsing) {
    stop_if_interrupted();
    if (!slot) return -1;
    const std::string name(*slot, strnlen(*slot, 1023));

    struct stat original;
    if (lstat(name.c_str(), &original) != 0) {
        fail_line("lstat", "lstat(%s) failed\n", name.c_str());
        return -1;
    }
    // The copier would follow a symbolic link, block on a FIFO or read a
    // device; only regular files are rewritten.
    if (!S_ISREG(original.st_mode)) return 0;

    // Everything from here on goes through the directory that holds the name,
    // confirmed to show the file examined.
    held_entry entry;
    if (!hold_entry(name.c_str(), entry) || !still_holds(entry, original)) {
        if (errno != 0)
            fail_line("lstat", "lstat(%s) failed\n", name.c_str());
        else
            fail_line(nullptr, "%s changed before it was copied, left as it is\n", name.c_str());
        return -1;
    }
    const int directory = entry.directory.get();
    unique_fd source;
    if (!open_examined(entry, name.c_str(), original, source)) return -1;

    // The temporary file stays open from its creation to its installation, so
    // that the copier writes into this very file and the copy is measured and
    // installed through it.
    std::string temp_name;
    unique_fd copy(create_temp_file_at(directory, name, temp_name));
    if (!copy) {
        fail_line("mkstemp", "Could not create temporary file.\n");
        return -1;
    }
    if (!above_standard_streams(source, name.c_str()) ||
        !above_standard_streams(copy, temp_name.c_str())) {
        discard_open_copy(directory, temp_name, copy.get(), name.c_str());
        return -1;
    }

    const char *option = sparsing ? "--sparse=always" : "--sparse=never";
    const pid_t child =
        start_copier(option, source.get(), copy.get(), name.c_str(), temp_name.c_str());
    if (child < 0) {
        std::perror("vfork");
        fail_line(nullptr, "vfork failed.\n");
        discard_open_copy(directory, temp_name, copy.get(), name.c_str());
        return -1;
    }
    int status = 0;
    const pid_t waited = wait_for_copier(child, status);
    if (waited < 0) {
        // The copy cannot be trusted when its end was not seen.
        fail_line("waitpid", "waitpid(%d) failed\n", child);
        end_stopped_copier(child);
        discard_open_copy(directory, temp_name, copy.get(), name.c_str());
        return -1;
    }
    if (status != 0) {
        fail_line(nullptr, "copying failed; child with pid %d returned %d\n", waited, status);
        if (WIFSTOPPED(status)) end_stopped_copier(child);
        discard_open_copy(directory, temp_name, copy.get(), name.c_str());
        return -1;
    }

    struct stat made;
    if (fstat(copy.get(), &made) != 0) {
        fail_line("lstat", "lstat(%s) failed\n", temp_name.c_str());
        discard_copy(directory, temp_name, nullptr, name.c_str());
        return -1;
    }
    const int64_t gain =
        sparsing ? original.st_blocks - made.st_blocks : made.st_blocks - original.st_blocks;
    if (gain < run_stats.min_copy_gain) run_stats.min_copy_gain = gain;
    if (gain > run_stats.max_copy_gain) run_stats.max_copy_gain = gain;
    if (gain <= 0) return discard_copy(directory, temp_name, &made, name.c_str());

    if (sparsing) {
        ++run_stats.reclaim_files;
        add_wrapping(run_stats.reclaim_blocks, gain);
    } else {
        ++run_stats.declaim_files;
        add_wrapping(run_stats.declaim_blocks, gain);
    }
    report("%s: %lld -> %lld blocks\n", name.c_str(), static_cast<long long>(original.st_blocks),
           static_cast<long long>(made.st_blocks));
    if (run_options.nodo) return discard_copy(directory, temp_name, &made, name.c_str());

    switch (install_copy(std::move(copy), entry, temp_name, name.c_str(), original)) {
        case install_outcome::installed: return 0;
        case install_outcome::foreign: return -1;
        case install_outcome::refused:
            discard_copy(directory, temp_name, &made, name.c_str());
            return -1;
        case install_outcome::rename_failed:
            fail_line("unlink", "rename(%s, %s) failed\n", temp_name.c_str(), name.c_str());
            discard_copy(directory, temp_name, &made, name.c_str());
            return -1;
    }
    return -1;
}

bool differs_in_inode(char *const *a, char *const *b) {
    if (!a) return true;
    struct stat first;
    if (lstat(*a, &first) != 0) {
        fail_line("lstat", "lstat(%s) failed\n", *a);
        return true;
    }
    if (!b) return true;
    struct stat second;
    if (lstat(*b, &second) != 0) {
        fail_line("lstat", "lstat(%s) failed\n", *b);
        return true;
    }
    return !same_inode(first, second);
}
