#include "merge/compare_and_link.h"

#include <cstdint>
#include <cstring>

#include "merge/content_compare.h"
#include "merge/link_replace.h"
#include "run/output.h"
#include "run/run_state.h"

namespace {

constexpr size_t name_compare_limit = 1024;

const char *name_in(const void *slot) {
    return slot ? *static_cast<char *const *>(slot) : nullptr;
}

int name_order(const char *first, const char *second) {
    return std::strncmp(first, second, name_compare_limit);
}

bool examine(const char *name, struct stat &status) {
    if (lstat(name, &status) == 0) return true;
    fail_line("lstat", "lstat(%s) failed\n", name);
    return false;
}

// Counts the replaced file, replaces its name and reports it. Returns -1 when
// the replacement failed, 0 otherwise (also when it was refused because a
// file changed after it was compared).
int link_equal_files(const char *first, const struct stat &first_status, const char *second,
                     const struct stat &second_status) {
    const bool keep_first = first_survives(first_status, second_status);
    const char *survivor = keep_first ? first : second;
    const char *replaced = keep_first ? second : first;
    const struct stat &survivor_status = keep_first ? first_status : second_status;
    const struct stat &replaced_status = keep_first ? second_status : first_status;

    link_pair pair;
    if (!run_options.nodo &&
        !hold_link_pair(survivor, survivor_status, replaced, replaced_status, pair))
        return 0;
    // Only a file whose last name goes away gives its blocks back.
    if (replaced_status.st_nlink == 1) {
        add_wrapping(run_stats.reclaim_files, 1);
        add_wrapping(run_stats.reclaim_blocks, replaced_status.st_blocks);
    }
    if (!run_options.nodo) {
        const int outcome = replace_with_link(pair, survivor, survivor_status, replaced,
                                              replaced_status, run_options.soft != 0);
        if (outcome != 0) return outcome < 0 ? -1 : 0;
    }
    const uint32_t survivor_links = static_cast<uint32_t>(survivor_status.st_nlink);
    const uint32_t replaced_links = static_cast<uint32_t>(replaced_status.st_nlink);
    report("ln %s %s %s: %d, %d -> %d, freed +%llu blocks\n", run_options.soft ? "-s" : "",
           survivor, replaced, static_cast<int>(survivor_links), static_cast<int>(replaced_links),
           static_cast<int>(survivor_links + replaced_links),
           static_cast<unsigned long long>(survivor_status.st_blocks));
    return 0;
}

}  // namespace

int compare_ownership(const struct stat &first, const struct stat &second) {
    if (first.st_uid != second.st_uid) return first.st_uid < second.st_uid ? -1 : 1;
    if (first.st_gid != second.st_gid) return first.st_gid < second.st_gid ? -1 : 1;
    const mode_t first_bits = first.st_mode & 07777, second_bits = second.st_mode & 07777;
    if (first_bits != second_bits) return first_bits < second_bits ? -1 : 1;
    return 0;
}

bool may_link(const struct stat &first, const struct stat &second) {
    return S_ISREG(first.st_mode) && S_ISREG(second.st_mode) && first.st_dev == second.st_dev &&
           first.st_ino != second.st_ino && first.st_size == second.st_size && first.st_size > 0 &&
           (first.st_blocks != 0 || second.st_blocks != 0) && compare_ownership(first, second) == 0;
}

bool first_survives(const struct stat &first, const struct stat &second) {
    return second.st_blocks < first.st_blocks || second.st_mtim.tv_sec > first.st_mtim.tv_sec ||
           second.st_nlink < first.st_nlink;
}

int compare_and_link(const void *a, const void *b) {
    stop_if_interrupted();
    const char *first = name_in(a);
    if (!first) return -1;
    struct stat first_status;
    if (!examine(first, first_status)) return -1;
    const char *second = name_in(b);
    if (!second) return 1;
    struct stat second_status;
    if (!examine(second, second_status)) return 1;

    update_link_extremes(first_status.st_nlink);
    update_link_extremes(second_status.st_nlink);

    if (first_status.st_size != second_status.st_size)
        return first_status.st_size < second_status.st_size ? -1 : 1;
    // Empty files are never read nor linked.
    if (first_status.st_size == 0) return name_order(first, second);
    if (first_status.st_dev != second_status.st_dev)
        return first_status.st_dev < second_status.st_dev ? -1 : 1;
    if (first_status.st_ino == second_status.st_ino) return name_order(first, second);
    if (int order = compare_contents(first, first_status, second, second_status)) return order;
    if (int order = compare_ownership(first_status, second_status)) return order;
    if (may_link(first_status, second_status) &&
        link_equal_files(first, first_status, second, second_status) != 0)
        return -1;
    return name_order(first, second);
}
