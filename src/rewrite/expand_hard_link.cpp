#include "rewrite/expand_hard_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "fs/entry_names.h"
#include "fs/examined_open.h"
#include "fs/file_handles.h"
#include "fs/file_picture.h"
#include "fs/file_status.h"
#include "fs/held_entry.h"
#include "fs/temp_name.h"
#include "rewrite/copy_contents.h"
#include "rewrite/install_copy.h"
#include "state/output.h"
#include "state/run_state.h"

namespace {

// Link counts print as their low 32 bits taken signed.
int as_int(uint64_t value) {
    return static_cast<int>(static_cast<uint32_t>(value));
}

void report_expansion(const char *name, const struct stat &status) {
    report("expand %s: %d -> %d, unfreed %llu blocks\n", name, as_int(status.st_nlink),
           as_int(status.st_nlink - 1), static_cast<unsigned long long>(status.st_blocks));
}

}  // namespace

int expand_hard_link(char *const *slot) {
    return expand_hard_link_in(standalone_pass(), slot);
}

int expand_hard_link_in(pass_context &pass, char *const *slot) {
    if (stop_requested()) return 0;
    if (!slot) return -1;
    const char *name = *slot;

    // A read-only run sees the names it would have expanded already as it
    // pictures them (see file_picture).
    struct stat original;
    if (view_status(pass.view, name, original) != 0) {
        fail_line("lstat", "lstat(%s) failed\n", name);
        return -1;
    }
    update_link_extremes(*pass.stats, original.st_nlink);
    // Only regular files have contents to copy; a directory, device or
    // symbolic link with several names is left as it is.
    if (original.st_nlink < 2 || !S_ISREG(original.st_mode)) return 0;

    // Everything from here on goes through the directory that holds the name,
    // confirmed to show the file examined, so that the name whose file is
    // copied and replaced is the one examined.
    held_entry entry;
    if (hold_and_confirm(name, entry, original,
                         "%s changed before it was copied, left as it is\n") != entry_version::same)
        return -1;

    ++pass.stats->declaim_files;
    add_wrapping(pass.stats->declaim_blocks, original.st_blocks);
    if (pass.options.nodo) {
        if (pass.view.pictured()) picture_expansion(*pass.view.picture, name, original);
        report_expansion(name, original);
        return 0;
    }

    const int directory = entry.directory.get();
    std::string temp_name;
    unique_fd copy(create_temp_file_at(directory, name, temp_name));
    if (!copy) {
        fail_line("file_create", "Could not create temporary file.\n");
        return -1;
    }
    unique_fd file(
        open_without_access_time(directory, entry.last.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file) {
        fail_open_line("expand", "Expanding the hard link(%s) failed.\n", name);
        copy.reset();
        discard_temp_file_at(directory, temp_name);
        return -1;
    }
    struct stat opened;
    if (fstat(file.get(), &opened) != 0 || !same_inode(opened, original)) {
        fail_line(nullptr, "%s changed before it was copied, left as it is\n", name);
        copy.reset();
        discard_temp_file_at(directory, temp_name);
        return -1;
    }
    // Every byte is written, so the copy has no holes.
    const copy_outcome outcome = copy_dense(file.get(), copy.get(), original.st_size);
    if (outcome != copy_outcome::copied) {
        fail_line(nullptr, "file %s: error %d.\n",
                  outcome == copy_outcome::read_failed ? name : temp_name.c_str(), 1);
        copy.reset();
        discard_temp_file_at(directory, temp_name);
        return -1;
    }
    file.reset();

    switch (install_copy(std::move(copy), entry, temp_name, name, original)) {
        case install_outcome::installed: break;
        case install_outcome::foreign: return -1;
        case install_outcome::refused: discard_temp_file_at(directory, temp_name); return -1;
        case install_outcome::rename_failed: {
            const int rename_error = errno;
            const bool removed =
                unlinkat(directory, std::string(final_part(temp_name.c_str())).c_str(), 0) == 0;
            errno = rename_error;
            if (removed)
                fail_line("unlink", "rename(%s, %s) failed\n", temp_name.c_str(), name);
            else
                fail_line("unlink", "rename(%s, %s) failed, tempfile %s remains\n",
                          temp_name.c_str(), name, temp_name.c_str());
            return -1;
        }
    }
    report_expansion(name, original);
    return 0;
}
