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

#include "rewrite/install_copy.h"
#include "rewrite/temp_name.h"
#include "run/file_handles.h"
#include "run/file_status.h"
#include "run/held_entry.h"
#include "run/output.h"
#include "run/run_state.h"

namespace {

// Starts /bin/cp on name and temp_name, both in the held directory; returns
// the child's pid, or -1. The copier runs in that directory and is given the
// final components, so that it reads and writes there even if a directory on
// the way is swapped meanwhile. The child only execs or, when that fails,
// reports and ends.
pid_t start_copier(const char *option, const held_entry &entry, const char *name,
                   const char *temp_name) {
    // A component that starts with '-' would be taken for an option.
    const std::string source = (entry.last[0] == '-' ? "./" : "") + entry.last;
    const std::string target = final_component(temp_name);
    const pid_t child = vfork();
    if (child == 0) {
        if (fchdir(entry.directory.get()) != 0) {
            fail_line("fchdir", "fchdir(%s) failed\n", name);
            _exit(-1);
        }
        const int result = execl("/bin/cp", "cp", option, source.c_str(), target.c_str(),
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

// Returns 0 when the temporary file is gone, -1 (after saying so) when not.
int discard(int directory, const std::string &temp_name) {
    return discard_temp_file_at(directory, temp_name) ? 0 : -1;
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

    std::string temp_name;
    const int fd = create_temp_file_at(directory, name, temp_name);
    if (fd < 0) {
        fail_line("mkstemp", "Could not create temporary file.\n");
        return -1;
    }
    FILE *stream = fdopen(fd, "w");
    if (!stream) {
        fail_line("fdopen", "fdopen (%d) failed.\n", fd);
        close(fd);
        discard(directory, temp_name);
        return -1;
    }
    std::fclose(stream);
    // The name is now reserved; the copier creates the file under it again.
    if (unlinkat(directory, final_component(temp_name).c_str(), 0) != 0) {
        fail_line("unlink", "unlink(%s) failed\n", temp_name.c_str());
        return -1;
    }

    const char *option = sparsing ? "--sparse=always" : "--sparse=never";
    const pid_t child = start_copier(option, entry, name.c_str(), temp_name.c_str());
    if (child < 0) {
        std::perror("vfork");
        fail_line(nullptr, "vfork failed.\n");
        return -1;
    }
    int status = 0;
    const pid_t waited = wait_for_copier(child, status);
    if (waited < 0) {
        // The copy cannot be trusted when its end was not seen.
        fail_line("waitpid", "waitpid(%d) failed\n", child);
        end_stopped_copier(child);
        discard(directory, temp_name);
        return -1;
    }
    if (status != 0) {
        fail_line(nullptr, "copying failed; child with pid %d returned %d\n", waited, status);
        if (WIFSTOPPED(status)) end_stopped_copier(child);
        discard(directory, temp_name);
        return -1;
    }

    struct stat copy;
    if (fstatat(directory, final_component(temp_name).c_str(), &copy, AT_SYMLINK_NOFOLLOW) != 0) {
        fail_line("lstat", "lstat(%s) failed\n", temp_name.c_str());
        discard(directory, temp_name);
        return -1;
    }
    const int64_t gain =
        sparsing ? original.st_blocks - copy.st_blocks : copy.st_blocks - original.st_blocks;
    if (gain < run_stats.min_copy_gain) run_stats.min_copy_gain = gain;
    if (gain > run_stats.max_copy_gain) run_stats.max_copy_gain = gain;
    if (gain <= 0) return discard(directory, temp_name);

    if (sparsing) {
        ++run_stats.reclaim_files;
        add_wrapping(run_stats.reclaim_blocks, gain);
    } else {
        ++run_stats.declaim_files;
        add_wrapping(run_stats.declaim_blocks, gain);
    }
    report("%s: %lld -> %lld blocks\n", name.c_str(), static_cast<long long>(original.st_blocks),
           static_cast<long long>(copy.st_blocks));
    if (run_options.nodo) return discard(directory, temp_name);

    switch (install_copy(unique_fd(), entry, temp_name, name.c_str(), original)) {
        case install_outcome::installed: return 0;
        case install_outcome::foreign: return -1;
        case install_outcome::refused: discard(directory, temp_name); return -1;
        case install_outcome::rename_failed:
            fail_line("unlink", "rename(%s, %s) failed\n", temp_name.c_str(), name.c_str());
            discard(directory, temp_name);
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
