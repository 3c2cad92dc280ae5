#include "merge/delete_mode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "compare/content_compare.h"
#include "compare/file_knowledge.h"
#include "fs/entry_names.h"
#include "fs/examined_open.h"
#include "fs/file_picture.h"
#include "fs/file_status.h"
#include "fs/held_entry.h"
#include "fs/stamp_trust.h"
#include "merge/name_index.h"
#include "state/output.h"
#include "state/run_state.h"

namespace {

// What a comparison saw of one file: enough to tell at removal time whether
// the name still shows that version. The link count is left out, since
// removing another name of the file changes it; so does the change time,
// which is why the status that each of this run's own removals left is
// recorded (note_own_change).
struct file_version {
    dev_t device;
    ino_t inode;
    off_t size;
    struct timespec modified;
    struct timespec changed;
};

// One decision of compare_and_mark: the name at marked (a position in
// name_index) is to go because the name at kept holds the same bytes.
// proven: the stamps of both versions prove the bytes compared (or they are
// one file), as long as the wall clock has not stepped back since, which
// clock_steps tells.
struct mark_record {
    int32_t marked;
    int32_t kept;
    file_version marked_version;
    file_version kept_version;
    bool proven;
    uint64_t clock_steps;
};

file_version version_seen(const struct stat &status) {
    return {status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

bool same_time(const struct timespec &x, const struct timespec &y) {
    return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
}

bool equal_versions(const file_version &x, const file_version &y) {
    return x.device == y.device && x.inode == y.inode && x.size == y.size &&
           same_time(x.modified, y.modified) && same_time(x.changed, y.changed);
}

// How a name's status now compares with a version seen before.
enum class version_match {
    same,   // exactly the version seen
    moved,  // the version seen, with the change time that this run's own changes left
    other,  // another file or another version
};

version_match match_version(const own_change_log &changes, const file_version &version,
                            const struct stat &status) {
    const file_version now = version_seen(status);
    if (equal_versions(version, now)) return version_match::same;
    file_version moved = version;
    moved.changed = now.changed;
    if (equal_versions(moved, now) &&
        made_by_own_changes(changes, version.device, version.inode, version.changed, status))
        return version_match::moved;
    return version_match::other;
}

const char *name_in(const void *entry) {
    return *static_cast<char *const *>(entry);
}

// Examines both names afresh after a file turned out changed: -1 or 1 when
// the first or the second can no longer be examined, 0 to start over.
int start_over(pass_context &pass, file_look &x, file_look &y, int start) {
    const look_outcome outcome = look_again(pass, x, y, start < remembering_starts);
    if (outcome == look_outcome::failed_first) return -1;
    if (outcome == look_outcome::failed_second) return 1;
    return 0;
}

// Where a listed name's directory entry lives: the directory that holds it,
// reached as the name reaches it (through symbolic links to directories,
// "./" and the like), and the final component. Names with one place are one
// entry: removing one removes the other.
struct entry_place {
    bool looked_up = false;
    bool known = false;  // false when the directory could not be examined
    dev_t device = 0;
    ino_t directory = 0;
};

// What the delete pass decides, and what it finds of the entries on the way:
// one record for the run, whose delete pass runs once.
struct delete_decisions {
    std::vector<mark_record> marks;
    std::vector<entry_place> places;  // by position in name_index, filled on demand
    std::vector<int32_t> keepers;     // see find_keepers
    // The mark on every marked entry (see record_for), by entry_key.
    std::unordered_map<std::string, size_t> mark_of_entry;
};
delete_decisions decisions;

const entry_place &place_of(int32_t position) {
    if (decisions.places.empty()) decisions.places.resize(static_cast<size_t>(file_count));
    entry_place &place = decisions.places[static_cast<size_t>(position)];
    if (place.looked_up) return place;
    place.looked_up = true;
    place.known = holding_directory(name_index[position], place.device, place.directory);
    return place;
}

// A key that is equal for two positions exactly when their places are known
// and equal; a name whose place is unknown stands for itself.
std::string entry_key(int32_t position) {
    const entry_place &place = place_of(position);
    const char *name = name_index[position];
    if (!place.known) return std::string("?") + name;
    std::string key("@");
    key.append(reinterpret_cast<const char *>(&place.device), sizeof place.device);
    key.append(reinterpret_cast<const char *>(&place.directory), sizeof place.directory);
    key += final_part(name);
    return key;
}

// Whether two positions may be one directory entry. Unknown places count as
// one entry, which only ever keeps a name.
bool one_directory_entry(int32_t first, int32_t second) {
    if (first == second) return true;
    const entry_place &first_place = place_of(first), &second_place = place_of(second);
    if (!first_place.known || !second_place.known) return true;
    return entry_key(first) == entry_key(second);
}

// The name that speaks for a position's directory entry: of all the listed
// names that reach the entry, the one last in the order of compare_names
// (its position in name_index). Two entries of equal files are ranked by
// these names, so that an entry listed under several names is kept when any
// of them is the name the rule keeps. Only names that share their final
// component can reach one entry: just those have their places looked up.

void find_keepers() {
    const size_t count = static_cast<size_t>(file_count);
    decisions.keepers.resize(count);
    for (size_t i = 0; i < count; ++i) decisions.keepers[i] = static_cast<int32_t>(i);
    for_each_entry_group(
        count, [](int32_t position) { return name_index[position]; },
        [](const std::vector<int32_t> &group) {
            for (int32_t position : group)
                decisions.keepers[static_cast<size_t>(position)] = group.back();
        });
}

int32_t keeper_of(int32_t position) {
    if (decisions.keepers.size() != static_cast<size_t>(file_count)) find_keepers();
    return decisions.keepers[static_cast<size_t>(position)];
}

// The decision on every marked entry, whichever of the names reaching it was
// marked. A second name of a marked entry counts as marked, so that every
// mark points at an entry that was not marked at the time: following the
// kept names from any mark ends at an entry that stays.

const mark_record *record_for(int32_t position) {
    if (decisions.mark_of_entry.empty()) return nullptr;
    auto found = decisions.mark_of_entry.find(entry_key(position));
    return found == decisions.mark_of_entry.end() ? nullptr : &decisions.marks[found->second];
}

bool is_marked(int32_t position) {
    return (delete_marks[position] & 1) || record_for(position);
}

// Records the decision and announces it.
void mark(int32_t marked, const char *marked_name, const struct stat &marked_status, int32_t kept,
          const char *kept_name, const struct stat &kept_status, bool proven) {
    delete_marks[marked] = 1;
    place_of(kept);  // while the kept name is surely there, for the checks before removal
    decisions.mark_of_entry.emplace(entry_key(marked), decisions.marks.size());
    decisions.marks.push_back({marked, kept, version_seen(marked_status), version_seen(kept_status),
                               proven, clock_steps_back()});
    report("Equal files: %s will get deleted, %s will get preserved.\n", marked_name, kept_name);
}

// What the check before a removal found.
enum class removal_check {
    proven,         // the name may go
    compare_bytes,  // the versions are those compared, but only the bytes can tell
    changed,        // a name is not the version compared, or the kept one is gone
};

// Whether the stamps of both files still prove the bytes compared when the
// mark was made: not after a step back of the wall clock since, and only as
// far as may_act_on lets stamps be acted upon on each file's device.
bool proven_now(const pass_context &pass, const mark_record &record) {
    read_moment();  // notices a step back of the wall clock
    const equality_basis basis = record.proven && record.clock_steps == clock_steps_back()
                                     ? equality_basis::proven
                                     : equality_basis::remembered;
    return may_act_on(pass, basis, record.marked_version.device) &&
           may_act_on(pass, basis, record.kept_version.device);
}

// Whether the marked name may go: it still is the version that was compared,
// and the bytes it was found equal to are still there under another entry.
// Normally that is the kept name itself. When the kept name has gone because
// it was marked in turn (possibly under another route to it), its own kept
// name holds the same bytes if the version compared both times is the same,
// and so on down the chain. The stamps prove the bytes when every decision on
// the way was proven and every name shows exactly the version compared; the
// name that holds the bytes now is handed back in kept_position and kept_now.
removal_check still_as_compared(const pass_context &pass, const mark_record &record,
                                const struct stat &marked_now, int32_t &kept_position,
                                struct stat &kept_now) {
    const version_match marked_match =
        match_version(*pass.changes, record.marked_version, marked_now);
    if (marked_match == version_match::other) return removal_check::changed;
    bool proven = marked_match == version_match::same && proven_now(pass, record);
    int32_t kept = record.kept;
    file_version expected = record.kept_version;
    for (size_t step = 0; step <= decisions.marks.size(); ++step) {
        if (view_status(pass.view, name_index[kept], kept_now) == 0) {
            const version_match kept_match = match_version(*pass.changes, expected, kept_now);
            if (kept_match == version_match::other) return removal_check::changed;
            // Two names of one inode with a single link between them are one
            // entry; two with more are the same bytes.
            if (same_inode(marked_now, kept_now))
                return marked_now.st_nlink < 2 ? removal_check::changed : removal_check::proven;
            kept_position = kept;
            return proven && kept_match == version_match::same ? removal_check::proven
                                                               : removal_check::compare_bytes;
        }
        const mark_record *next = record_for(kept);
        if (!next || !equal_versions(next->marked_version, expected)) return removal_check::changed;
        proven = proven && proven_now(pass, *next);
        kept = next->kept;
        expected = next->kept_version;
    }
    return removal_check::changed;
}

// What comparing the bytes again right before a removal found.
enum class bytes_now {
    equal,    // equal, and both files still the versions examined
    changed,  // not equal, or a file is not the version examined (or cannot be opened)
    failed,   // a file could not be examined after the read; its line is printed
};

// Whether the file open at fd is still the version opened, once it has been
// read; the fstat failure line names name.
bytes_now still_version(int fd, const char *name, const struct stat &opened) {
    switch (still_version_opened(fd, opened)) {
        case 1: return bytes_now::equal;
        case 0: return bytes_now::changed;
    }
    fail_line("fstat", "fstat(%s) failed\n", name);
    return bytes_now::failed;
}

// Compares the bytes of the held marked entry and of the kept name, both
// still the versions examined just before.
bytes_now equal_now(pass_context &pass, const held_entry &entry, const char *name,
                    const struct stat &marked_now, const char *kept_name,
                    const struct stat &kept_now) {
    struct stat marked_opened, kept_opened;
    // A read-only run holds no entry: it opens the name through its picture.
    unique_fd marked = pass.view.pictured()
                           ? view_open(pass.view, name, marked_now, marked_opened)
                           : open_examined_at(entry.directory.get(), entry.last.c_str(), marked_now,
                                              marked_opened);
    if (!marked || !same_version(marked_opened, marked_now)) return bytes_now::changed;
    unique_fd kept = view_open(pass.view, kept_name, kept_now, kept_opened);
    if (!kept || !same_version(kept_opened, kept_now)) return bytes_now::changed;
    if (compare_open_files(*pass.buffers, marked.get(), name, kept.get(), kept_name) != 0)
        return bytes_now::changed;
    // Either file may have been rewritten in place while the other was read:
    // the bytes compared are those of the versions opened only when both
    // still are those versions now that the reading is done.
    const bytes_now marked_after = still_version(marked.get(), name, marked_opened);
    if (marked_after != bytes_now::equal) return marked_after;
    return still_version(kept.get(), kept_name, kept_opened);
}

// Removes the held entry, whose status is status. When the file keeps other
// names, the status that the removal leaves it is recorded for them.
int remove_entry(own_change_log &changes, const held_entry &entry, const struct stat &status) {
    unique_fd inode;
    if (status.st_nlink > 1) inode = open_inode(entry, status);
    const int64_t wall_before = read_moment();
    if (unlinkat(entry.directory.get(), entry.last.c_str(), 0) != 0) return -1;
    struct stat after;
    if (inode && fstat(inode.get(), &after) == 0) note_own_change(changes, status, after);
    if (fstat(entry.directory.get(), &after) == 0) note_device_clock(changes, wall_before, after);
    return 0;
}

}  // namespace

int compare_and_mark_in(pass_context &pass, const void *a, const void *b) {
    if (stop_requested()) return 0;
    if (!a) return -1;
    const char *first = name_in(a);
    file_look x, y;
    if (!look_at(pass, first, x)) return -1;
    if (!b) return 1;
    const char *second = name_in(b);
    if (!look_at(pass, second, y)) return 1;

    for (int start = 1;; ++start) {
        fold_link_count(pass, x);
        fold_link_count(pass, y);
        const struct stat &first_status = x.status, &second_status = y.status;
        if (first_status.st_size < second_status.st_size) return -1;
        if (first_status.st_size > second_status.st_size) return 1;

        const bool one_file = same_inode(first_status, second_status);
        // Names of one file hold the same bytes whatever their stamps say.
        equality_basis basis = equality_basis::proven;
        if (one_file) {
            // Names of one file are duplicates without reading; a directory never is.
            if (S_ISDIR(first_status.st_mode)) return compare_names(a, b);
            note_same_inode(pass, x, y);
        } else {
            // Only regular files are read: a symbolic link is not followed to
            // another file's bytes, and a FIFO or device is never opened. Such
            // names sort before the regular files of their size, in the order of
            // their devices and inodes, so that the names of one of them meet.
            const bool first_regular = S_ISREG(first_status.st_mode);
            const bool second_regular = S_ISREG(second_status.st_mode);
            if (!first_regular || !second_regular) {
                if (first_regular != second_regular) return first_regular ? 1 : -1;
                if (first_status.st_dev != second_status.st_dev)
                    return first_status.st_dev < second_status.st_dev ? -1 : 1;
                return first_status.st_ino < second_status.st_ino ? -1 : 1;
            }
            int order = 0;
            look_outcome outcome = compare_looked_contents(pass, x, y, order, basis);
            if (outcome == look_outcome::settled && order != 0) return order;
            if (outcome == look_outcome::changed) {
                if (int failed = start_over(pass, x, y, start)) return failed;
                continue;
            }
        }

        int32_t first_position = lookup_name(first);
        int32_t second_position = lookup_name(second);
        if (first_position >= 0 && is_marked(first_position)) return -1;
        if (second_position >= 0 && is_marked(second_position)) return 1;
        int order = compare_names(a, b);
        if (first_position < 0 || second_position < 0) return order;
        // Two routes to one entry are not two links: removing either would take
        // the file's last name.
        if (first_position == second_position ||
            (one_file && one_directory_entry(first_position, second_position)))
            return order;
        // A mark is made only for the files as they are now.
        look_outcome outcome = confirm_looks(pass, x, y);
        if (outcome == look_outcome::failed_first) return -1;
        if (outcome == look_outcome::failed_second) return 1;
        if (outcome == look_outcome::changed) {
            if (int failed = start_over(pass, x, y, start)) return failed;
            continue;
        }
        const bool proven = basis == equality_basis::proven;
        // The entry whose names all come before the other's names goes.
        const int32_t first_keeper = keeper_of(first_position);
        const int32_t second_keeper = keeper_of(second_position);
        if (first_keeper == second_keeper) return order;
        if (first_keeper > second_keeper) {
            mark(second_position, second, second_status, first_position, first, first_status,
                 proven);
            return 1;
        }
        mark(first_position, first, first_status, second_position, second, second_status, proven);
        return -1;
    }
}

int compare_and_mark(const void *a, const void *b) {
    return compare_and_mark_in(standalone_pass(), a, b);
}

void delete_marked(int count) {
    delete_marked_in(standalone_pass(), count);
}

void delete_marked_in(pass_context &pass, int count) {
    if (count <= 0) return;
    for (int32_t i = 0; i < count; ++i) {
        if (stop_requested()) return;
        progress_name();
        if (!(delete_marks[i] & 1)) continue;
        const char *name = name_index[i];
        // Looked at and removed through the directory that holds it, so that
        // the name removed is the one confirmed.
        // A read-only run looks at it through its picture of the removals
        // before.
        held_entry entry;
        struct stat status;
        const bool seen = pass.view.pictured()
                              ? view_status(pass.view, name, status) == 0
                              : hold_entry(name, entry) && examine_held(entry, status);
        if (!seen) {
            fail_line("lstat", "lstat(%s) failed\n", name);
            return;
        }
        const mark_record *record = record_for(i);
        // A mark without its decision cannot be confirmed.
        if (!record || record->marked != i) continue;
        int32_t kept = record->kept;
        struct stat kept_now;
        removal_check check = still_as_compared(pass, *record, status, kept, kept_now);
        // Bytes that the stamps do not prove are compared again, now. A file
        // that cannot be examined after that keeps the name with its own line.
        if (check == removal_check::compare_bytes) {
            const bytes_now bytes =
                equal_now(pass, entry, name, status, name_index[kept], kept_now);
            if (bytes == bytes_now::failed) continue;
            check = bytes == bytes_now::equal ? removal_check::proven : removal_check::changed;
        }
        if (check != removal_check::proven) {
            fail_line(nullptr, "%s was kept: it or %s changed since they were found equal.\n", name,
                      name_index[record->kept]);
            continue;
        }
        const int64_t freed = status.st_nlink == 1 ? static_cast<int64_t>(status.st_blocks) : 0;
        if (!pass.options.nodo) {
            report_always("deleting %s, freeing %lld blocks\n", name,
                          static_cast<long long>(freed));
            // A name that is still there was not deleted and frees nothing.
            if (remove_entry(*pass.changes, entry, status) != 0) {
                fail_line("unlink", "unlink(%s) failed\n", name);
                continue;
            }
        } else if (pass.view.pictured()) {
            picture_removal(*pass.view.picture, name, status);
        }
        add_wrapping(pass.stats->reclaim_files, 1);
        add_wrapping(pass.stats->reclaim_blocks, freed);
    }
}
