#include "rewrite/resparse_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "fs/entry_names.h"
#include "fs/examined_open.h"
#include "fs/file_handles.h"
#include "fs/file_status.h"
#include "fs/held_entry.h"
#include "fs/settled_counts.h"
#include "fs/temp_name.h"
#include "rewrite/copy_contents.h"
#include "rewrite/install_copy.h"
#include "rewrite/parked_copies.h"
#include "rewrite/trial_copy.h"
#include "state/output.h"
#include "state/run_state.h"

namespace {

// Opens the held entry to be copied. True when the descriptor shows
// the regular file that was examined; otherwise says why and returns false.
bool open_examined(const held_entry &entry, const char *name, const struct stat &examined,
                   unique_fd &source) {
    source.reset(open_without_access_time(entry.directory.get(), entry.last.c_str(),
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

// Removes the temporary name of the copy whose status is made (null when that
// is unknown), unless another entry has taken the name meanwhile: that one is
// not this run's to remove. Returns 0 when the name is gone, -1 (after saying
// why) when not.
int discard_copy(int directory, const std::string &temp_name, const struct stat *made,
                 const char *name) {
    struct stat now;
    if (made &&
        fstatat(directory, std::string(final_part(temp_name.c_str())).c_str(), &now,
                AT_SYMLINK_NOFOLLOW) == 0 &&
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

// Copies source into the empty temporary file copy: sparse, with a hole for
// every block of zeros, or desparsed, with every byte written. False, after
// a line that names the file and the failing call, when it fails.
bool make_copy(int source, int copy, off_t size, unsigned char sparsing, const char *name,
               const std::string &temp_name) {
    copy_outcome result;
    if (sparsing) {
        struct stat empty;
        if (fstat(copy, &empty) != 0) {
            fail_line("fstat", "fstat(%s) failed\n", temp_name.c_str());
            return false;
        }
        result = copy_sparse(source, copy, size, empty.st_blksize);
    } else {
        result = copy_dense(source, copy, size);
    }
    switch (result) {
        case copy_outcome::copied: return true;
        case copy_outcome::read_failed: fail_line("read", "read(%s) failed\n", name); break;
        case copy_outcome::write_failed:
            fail_line("write", "write(%s) failed\n", temp_name.c_str());
            break;
        case copy_outcome::truncate_failed:
            fail_line("ftruncate", "ftruncate(%s) failed\n", temp_name.c_str());
            break;
    }
    return false;
}

bool measure_copy(int copy, const std::string &temp_name, struct stat &made) {
    if (fstat(copy, &made) == 0) return true;
    fail_line("lstat", "lstat(%s) failed\n", temp_name.c_str());
    return false;
}

}  // namespace

int finish_trial(trial_copy &trial, struct stat made) {
    pass_context &pass = *trial.pass;
    run_stats_record &stats = *pass.stats;
    const int directory = trial.entry.directory.get();
    const std::string &temp_name = trial.temp_name;
    const char *name = trial.name.c_str();
    const struct stat &original = trial.original;
    auto gain_of = [&](const struct stat &copied) -> int64_t {
        return trial.sparsing ? original.st_blocks - copied.st_blocks
                              : copied.st_blocks - original.st_blocks;
    };
    // Until the copy is written out, its blocks are the file system's
    // estimate, which leaves out the blocks that map a copy of many pieces.
    // A copy that looks like a gain is written out and measured again, so
    // that the figures are the blocks the copy keeps.
    if (gain_of(made) > 0) {
        if (fsync(trial.copy.get()) != 0) {
            fail_line("fsync", "fsync(%s) failed\n", temp_name.c_str());
            discard_copy(directory, temp_name, &made, name);
            return -1;
        }
        if (!measure_copy(trial.copy.get(), temp_name, made)) {
            discard_copy(directory, temp_name, nullptr, name);
            return -1;
        }
    }
    const int64_t gain = gain_of(made);
    if (gain < stats.min_copy_gain) stats.min_copy_gain = gain;
    if (gain > stats.max_copy_gain) stats.max_copy_gain = gain;
    if (gain <= 0) return discard_copy(directory, temp_name, &made, name);

    if (trial.sparsing) {
        ++stats.reclaim_files;
        add_wrapping(stats.reclaim_blocks, gain);
    } else {
        ++stats.declaim_files;
        add_wrapping(stats.declaim_blocks, gain);
    }
    report("%s: %lld -> %lld blocks\n", name, static_cast<long long>(original.st_blocks),
           static_cast<long long>(made.st_blocks));
    if (pass.options.nodo) return discard_copy(directory, temp_name, &made, name);

    switch (install_copy(std::move(trial.copy), trial.entry, temp_name, name, original)) {
        case install_outcome::installed: return 0;
        case install_outcome::foreign: return -1;
        case install_outcome::refused: discard_copy(directory, temp_name, &made, name); return -1;
        case install_outcome::rename_failed:
            fail_line("unlink", "rename(%s, %s) failed\n", temp_name.c_str(), name);
            discard_copy(directory, temp_name, &made, name);
            return -1;
    }
    return -1;
}

int discard_trial(trial_copy &trial) {
    return discard_open_copy(trial.entry.directory.get(), trial.temp_name, trial.copy.get(),
                             trial.name.c_str());
}

int resparse_file(char *const *slot, unsigned char sparsing) {
    pass_context &pass = standalone_pass();
    const int result = resparse_file_in(pass, slot, sparsing);
    settle_parked_copies();
    return result;
}

int resparse_file_in(pass_context &pass, char *const *slot, unsigned char sparsing) {
    if (stop_requested()) return 0;
    if (!slot) return -1;
    trial_copy trial;
    trial.pass = &pass;
    trial.name.assign(*slot, strnlen(*slot, 1023));
    trial.sparsing = sparsing;
    const std::string &name = trial.name;

    struct stat &original = trial.original;
    if (view_status(pass.view, name.c_str(), original) != 0) {
        fail_line("lstat", "lstat(%s) failed\n", name.c_str());
        return -1;
    }
    // The file listed again under another spelling while its copy waits for
    // its count to settle: that copy is finished first, and the name looked
    // at afresh, as where counts settle at once.
    if (copy_parked_for(original)) {
        settle_parked_copies();
        if (stop_requested()) return 0;
        if (view_status(pass.view, name.c_str(), original) != 0) {
            fail_line("lstat", "lstat(%s) failed\n", name.c_str());
            return -1;
        }
    }
    // Only regular files are rewritten. A file with several names is left as
    // it is: a copy could replace only one of its names, and the others
    // would keep the old file and its blocks.
    if (!S_ISREG(original.st_mode) || original.st_nlink > 1) return 0;
    // Where block counts have been seen not to settle, no gain can be measured.
    if (counts_never_settled(original.st_dev)) {
        fail_line(nullptr, "%s: its block count did not settle, left as it is\n", name.c_str());
        return 0;
    }

    // Everything from here on goes through the directory that holds the name,
    // confirmed to show the file examined.
    held_entry &entry = trial.entry;
    if (hold_and_confirm(name.c_str(), entry, original,
                         "%s changed before it was copied, left as it is\n") != entry_version::same)
        return -1;
    const int directory = entry.directory.get();
    unique_fd source;
    if (!open_examined(entry, name.c_str(), original, source)) return -1;

    // The temporary file stays open from its creation to its installation:
    // the copy is written, measured and installed through this descriptor.
    std::string &temp_name = trial.temp_name;
    trial.copy.reset(create_temp_file_at(directory, name, temp_name));
    if (!trial.copy) {
        fail_line("mkstemp", "Could not create temporary file.\n");
        return -1;
    }
    if (!make_copy(source.get(), trial.copy.get(), original.st_size, sparsing, name.c_str(),
                   temp_name)) {
        discard_trial(trial);
        return -1;
    }
    source.reset();

    struct stat made;
    if (!measure_copy(trial.copy.get(), temp_name, made)) {
        discard_copy(directory, temp_name, nullptr, name.c_str());
        return -1;
    }
    // A copy just written on a file system that counts blocks late shows a
    // count that has not settled: it waits with others for a sentinel.
    if (counts_settle_late(made.st_dev, name.c_str())) {
        park_trial(std::move(trial));
        return 0;
    }
    return finish_trial(trial, made);
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
