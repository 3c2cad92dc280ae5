#include "merge/delete_mode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "merge/content_compare.h"
#include "merge/file_knowledge.h"
#include "merge/name_index.h"
#include "run/file_status.h"
#include "run/held_entry.h"
#include "run/output.h"
#include "run/run_state.h"

namespace {

// What a comparison saw of one file: enough to tell at removal time whether
// the name still holds those bytes. The link count is left out, since
// removing another name of the file changes it; so does the change time,
// which is why the change time that each of this run's own removals gave a
// file is remembered (below).
struct file_version {
    dev_t device;
    ino_t inode;
    off_t size;
    struct timespec modified;
    struct timespec changed;
};

// One decision of compare_and_mark: the name at marked (a position in
// name_index) is to go because the name at kept holds the same bytes.
struct mark_record {
    int32_t marked;
    int32_t kept;
    file_version marked_version;
    file_version kept_version;
};

std::vector<mark_record> mark_records;

file_version version_of(const struct stat &status) {
    return {status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

bool same_time(const struct timespec &x, const struct timespec &y) {
    return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
}

bool equal_versions(const file_version &x, const file_version &y) {
    return x.device == y.device && x.inode == y.inode && x.size == y.size &&
           same_time(x.modified, y.modified) && same_time(x.changed, y.changed);
}

// The change time of a file whose name this run removed while it kept other
// names: the removal itself moved it, so it stands for the one compared.
std::map<std::pair<dev_t, ino_t>, struct timespec> changed_by_removal;

bool is_version(const file_version &version, const struct stat &status) {
    file_version expected = version;
    auto moved = changed_by_removal.find({version.device, version.inode});
    if (moved != changed_by_removal.end()) expected.changed = moved->second;
    return equal_versions(expected, version_of(status));
}

const char *name_in(const void *entry) {
    return *static_cast<char *const *>(entry);
}

// Examines both names afresh after a file turned out changed: -1 or 1 when
// the first or the second can no longer be examined, 0 to start over.
int start_over(file_look &x, file_look &y, int start) {
    const look_outcome outcome = look_again(x, y, start < remembering_starts);
    if (outcome == look_outcome::failed_first) return -1;
    if (outcome == look_outcome::failed_second) return 1;
    return 0;
}

const char *final_component(const char *name) {
    const char *slash = std::strrchr(name, '/');
    return slash ? slash + 1 : name;
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

std::vector<entry_place> places;  // by position in name_index, filled on demand

const entry_place &place_of(int32_t position) {
    if (places.empty()) places.resize(static_cast<size_t>(file_count));
    entry_place &place = places[static_cast<size_t>(position)];
    if (place.looked_up) return place;
    place.looked_up = true;
    const char *name = name_index[position];
    const char *final = final_component(name);
    size_t length = static_cast<size_t>(final - name);
    char parent[1024] = ".";
    if (*final == '\0' || length >= sizeof parent) return place;
    if (length > 0) {
        std::memcpy(parent, name, length);
        parent[length] = '\0';
    }
    struct stat status;
    if (stat(parent, &status) != 0) return place;
    place.known = true;
    place.device = status.st_dev;
    place.directory = status.st_ino;
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
    key += final_component(name);
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

// The decision on every marked entry, whichever of the names reaching it was
// marked. A second name of a marked entry counts as marked, so that every
// mark points at an entry that was not marked at the time: following the
// kept names from any mark ends at an entry that stays.
std::unordered_map<std::string, size_t> record_of_entry;

const mark_record *record_for(int32_t position) {
    if (record_of_entry.empty()) return nullptr;
    auto found = record_of_entry.find(entry_key(position));
    return found == record_of_entry.end() ? nullptr : &mark_records[found->second];
}

bool is_marked(int32_t position) {
    return (delete_marks[position] & 1) || record_for(position);
}

// Records the decision and announces it.
void mark(int32_t marked, const char *marked_name, const struct stat &marked_status, int32_t kept,
          const char *kept_name, const struct stat &kept_status) {
    delete_marks[marked] = 1;
    place_of(kept);  // while the kept name is surely there, for the checks before removal
    record_of_entry.emplace(entry_key(marked), mark_records.size());
    mark_records.push_back({marked, kept, version_of(marked_status), version_of(kept_status)});
    report("Equal files: %s will get deleted, %s will get preserved.\n", marked_name, kept_name);
}

// Whether the marked name may go: it still is the version that was compared,
// and the bytes it was found equal to are still there under another entry.
// Normally that is the kept name itself. When the kept name has gone because
// it was marked in turn (possibly under another route to it), its own kept
// name holds the same bytes if the version compared both times is the same,
// and so on down the chain.
bool still_as_compared(const mark_record &record, const struct stat &marked_now) {
    if (!is_version(record.marked_version, marked_now)) return false;
    int32_t kept = record.kept;
    file_version expected = record.kept_version;
    for (size_t step = 0; step <= mark_records.size(); ++step) {
        struct stat kept_now;
        if (lstat(name_index[kept], &kept_now) == 0) {
            if (!is_version(expected, kept_now)) return false;
            // Two names of one inode with a single link between them are one entry.
            return !(same_inode(marked_now, kept_now) && marked_now.st_nlink < 2);
        }
        const mark_record *next = record_for(kept);
        if (!next || !equal_versions(next->marked_version, expected)) return false;
        kept = next->kept;
        expected = next->kept_version;
    }
    return false;
}

// Opens a file's inode without reading it, so that its status can be read
// after its name is gone; -1 where that cannot be done without opening a
// device or waiting on a FIFO.
int open_inode(const held_entry &entry, const struct stat &status) {
#if defined(O_PATH)
    (void)status;
    return openat(entry.directory.get(), entry.last.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
#else
    if (!S_ISREG(status.st_mode)) return -1;
    return openat(entry.directory.get(), entry.last.c_str(),
                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
#endif
}

// Removes the held entry, whose status is status. When the file keeps other
// names, the change time that the removal gives it is remembered for them.
int remove_entry(const held_entry &entry, const struct stat &status) {
    unique_fd inode;
    if (status.st_nlink > 1) inode.reset(open_inode(entry, status));
    if (unlinkat(entry.directory.get(), entry.last.c_str(), 0) != 0) return -1;
    struct stat after;
    if (inode && fstat(inode.get(), &after) == 0 && same_inode(after, status))
        changed_by_removal[{after.st_dev, after.st_ino}] = after.st_ctim;
    return 0;
}

}  // namespace

int compare_and_mark(const void *a, const void *b) {
    stop_if_interrupted();
    if (!a) return -1;
    const char *first = name_in(a);
    file_look x, y;
    if (!look_at(first, x)) return -1;
    if (!b) return 1;
    const char *second = name_in(b);
    if (!look_at(second, y)) return 1;

    for (int start = 1;; ++start) {
        fold_link_count(x);
        fold_link_count(y);
        const struct stat &first_status = x.status, &second_status = y.status;
        if (first_status.st_size < second_status.st_size) return -1;
        if (first_status.st_size > second_status.st_size) return 1;

        const bool one_file = same_inode(first_status, second_status);
        if (one_file) {
            // Names of one file are duplicates without reading; a directory never is.
            if (S_ISDIR(first_status.st_mode)) return compare_names(a, b);
            note_same_inode(x, y);
        } else {
            // Only regular files are read: a symbolic link is not followed to
            // another file's bytes, and a FIFO or device is never opened. Such a
            // name sorts first, like a file that cannot be opened.
            if (!S_ISREG(first_status.st_mode)) return -1;
            if (!S_ISREG(second_status.st_mode)) return 1;
            int order = 0;
            look_outcome outcome = compare_looked_contents(x, y, order);
            if (outcome == look_outcome::settled && order != 0) return order;
            if (outcome == look_outcome::changed) {
                if (int failed = start_over(x, y, start)) return failed;
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
        look_outcome outcome = confirm_looks(x, y);
        if (outcome == look_outcome::failed_first) return -1;
        if (outcome == look_outcome::failed_second) return 1;
        if (outcome == look_outcome::changed) {
            if (int failed = start_over(x, y, start)) return failed;
            continue;
        }
        if (order > 0) {
            mark(second_position, second, second_status, first_position, first, first_status);
            return 1;
        }
        mark(first_position, first, first_status, second_position, second, second_status);
        return -1;
    }
}

void delete_marked(int count) {
    if (count <= 0) return;
    for (int32_t i = 0; i < count; ++i) {
        stop_if_interrupted();
        if (!(delete_marks[i] & 1)) continue;
        const char *name = name_index[i];
        // Looked at and removed through the directory that holds it, so that
        // the name removed is the one confirmed.
        held_entry entry;
        struct stat status;
        if (!hold_entry(name, entry) || !look_at(entry, status)) {
            fail_line("lstat", "lstat(%s) failed\n", name);
            return;
        }
        const mark_record *record = record_for(i);
        // A mark without its decision cannot be confirmed.
        if (!record || record->marked != i) continue;
        if (!still_as_compared(*record, status)) {
            fail_line(nullptr, "%s was kept: it or %s changed since they were found equal.\n", name,
                      name_index[record->kept]);
            continue;
        }
        const int64_t freed = status.st_nlink == 1 ? static_cast<int64_t>(status.st_blocks) : 0;
        if (!run_options.nodo) {
            report_always("deleting %s, freeing %lld blocks\n", name,
                          static_cast<long long>(freed));
            if (remove_entry(entry, status) != 0) fail_line("unlink", "unlink(%s) failed\n", name);
        }
        add_wrapping(run_stats.reclaim_files, 1);
        add_wrapping(run_stats.reclaim_blocks, freed);
    }
}
