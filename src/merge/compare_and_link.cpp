#include "merge/compare_and_link.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "compare/content_compare.h"
#include "compare/file_knowledge.h"
#include "compare/pass_context.h"
#include "fs/file_picture.h"
#include "fs/file_status.h"
#include "fs/stamp_trust.h"
#include "merge/link_replace.h"
#include "merge/share_blocks.h"
#include "state/output.h"
#include "state/run_state.h"

namespace {

const struct stat *survivor_after(const link_pair &pair) {
    return pair.survivor_examined_after ? &pair.survivor_after : nullptr;
}

constexpr size_t name_compare_limit = 1024;

const char *name_in(const void *slot) {
    return slot ? *static_cast<char *const *>(slot) : nullptr;
}

int name_order(const char *first, const char *second) {
    return std::strncmp(first, second, name_compare_limit);
}

// Counts the replaced file, replaces its name and reports it. Returns -1 when
// the replacement failed, 0 otherwise (also when it was refused because a
// file changed after it was compared).
int link_equal_files(pass_context &pass, const file_look &first_look,
                     const file_look &second_look) {
    const struct stat &first_status = first_look.status, &second_status = second_look.status;
    const bool keep_first = first_survives(first_status, second_status);
    const file_look &survivor_look = keep_first ? first_look : second_look;
    const file_look &replaced_look = keep_first ? second_look : first_look;
    const char *survivor = survivor_look.name;
    const char *replaced = replaced_look.name;
    const struct stat &survivor_status = survivor_look.status;
    const struct stat &replaced_status = replaced_look.status;
    const bool soft = pass.options.soft != 0;
    run_stats_record &stats = *pass.stats;

    link_pair pair;
    // A read-only run acts on its picture of the files, as the real run acts
    // on them: the text a symbolic link would get is chosen as it would be.
    const bool picturing = pass.options.nodo && pass.view.pictured();
    std::string text;
    if (picturing && soft) {
        text = symlink_text_reaching(survivor, survivor_status, replaced);
        if (text.empty()) {
            if (replaced_status.st_nlink == 1) {
                add_wrapping(stats.reclaim_files, 1);
                add_wrapping(stats.reclaim_blocks, replaced_status.st_blocks);
            }
            fail_line("symlink", "symlink(%s,%s) failed\n", survivor, replaced);
            return -1;
        }
    }
    if (!pass.options.nodo &&
        !hold_link_pair(survivor, survivor_status, replaced, replaced_status, pair)) {
        note_link_attempt(pass, survivor_look, replaced_look, false, survivor_after(pair));
        return 0;
    }
    // Only a file whose last name goes away gives its blocks back.
    if (replaced_status.st_nlink == 1) {
        add_wrapping(stats.reclaim_files, 1);
        add_wrapping(stats.reclaim_blocks, replaced_status.st_blocks);
    }
    if (!pass.options.nodo) {
        const link_outcome outcome = replace_with_link(
            *pass.changes, pair, survivor, survivor_status, replaced, replaced_status, soft);
        note_link_attempt(pass, survivor_look, replaced_look, outcome == link_outcome::linked,
                          survivor_after(pair));
        switch (outcome) {
            case link_outcome::linked: break;
            case link_outcome::file_changed: return 0;
            case link_outcome::failed: return -1;
        }
    } else if (picturing) {
        file_picture &picture = *pass.view.picture;
        if (soft) {
            picture_symbolic_link(picture, replaced, replaced_status, text);
        } else {
            picture_hard_link(picture, survivor, survivor_status, replaced, replaced_status);
            // The survivor was examined afresh for this link, as the picture
            // showed it: the picture's link adds one name to it.
            pair.survivor_after = survivor_status;
            ++pair.survivor_after.st_nlink;
            pair.survivor_examined_after = true;
        }
        note_link_attempt(pass, survivor_look, replaced_look, true, survivor_after(pair));
    }
    const uint32_t survivor_links = static_cast<uint32_t>(survivor_status.st_nlink);
    const uint32_t replaced_links = static_cast<uint32_t>(replaced_status.st_nlink);
    report("ln %s %s %s: %d, %d -> %d, freed +%llu blocks\n", soft ? "-s" : "", survivor, replaced,
           static_cast<int>(survivor_links), static_cast<int>(replaced_links),
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

namespace {

// What a comparison does besides ordering.
enum class comparison_act {
    order,  // nothing
    link,   // links equal files and counts and reports them
    share,  // notes equal files, of any owner, group and mode, for block sharing
};

// One comparison; acting: link equal files and count and report them, as
// the link pass does. Without acting the answer is the same for unchanged
// files, and nothing is linked, counted or reported.
int compare_files(pass_context &pass, const void *a, const void *b, comparison_act act) {
    const bool acting = act == comparison_act::link;
    const bool sharing = act == comparison_act::share;
    if (stop_requested()) return 0;
    const char *first = name_in(a);
    if (!first) return -1;
    file_look x, y;
    if (!look_at(pass, first, x)) return -1;
    const char *second = name_in(b);
    if (!second) return 1;
    if (!look_at(pass, second, y)) return 1;

    for (int start = 1;; ++start) {
        fold_link_count(pass, x);
        fold_link_count(pass, y);
        const struct stat &first_status = x.status, &second_status = y.status;
        if (first_status.st_size != second_status.st_size)
            return first_status.st_size < second_status.st_size ? -1 : 1;
        // Empty files are never read nor linked.
        if (first_status.st_size == 0) return name_order(first, second);
        if (first_status.st_dev != second_status.st_dev)
            return first_status.st_dev < second_status.st_dev ? -1 : 1;
        if (first_status.st_ino == second_status.st_ino) {
            note_same_inode(pass, x, y);
            if (sharing) note_shareable_pair(x, y);
            return name_order(first, second);
        }
        int order = 0;
        equality_basis basis;
        look_outcome outcome = compare_looked_contents(pass, x, y, order, basis);
        if (outcome == look_outcome::settled && order != 0) return order;
        if (outcome == look_outcome::settled) outcome = complete_looks(pass, x, y);
        // A link is made only for the files as they are now: bytes that the
        // stamps do not prove, or that a device whose clock was not seen
        // proves, are compared again first. A read-only run links nothing and
        // reads nothing again.
        const bool linking = outcome == look_outcome::settled && acting &&
                             (!pass.options.nodo || pass.view.pictured()) &&
                             compare_ownership(first_status, second_status) == 0 &&
                             may_link(first_status, second_status);
        if (linking && !pass.options.nodo && !may_act_on(pass, basis, first_status.st_dev)) {
            outcome = compare_looked_contents(pass, x, y, order, basis, true);
            if (outcome == look_outcome::settled && order != 0) return order;
        }
        if (linking && outcome == look_outcome::settled) outcome = confirm_looks(pass, x, y);
        const bool again = outcome == look_outcome::changed;
        if (again) outcome = look_again(pass, x, y, start < remembering_starts);
        if (outcome == look_outcome::failed_first) return -1;
        if (outcome == look_outcome::failed_second) return 1;
        if (again) continue;
        if (sharing) note_shareable_pair(x, y);
        if (int order = compare_ownership(first_status, second_status)) return order;
        if (acting && may_link(first_status, second_status) && link_equal_files(pass, x, y) != 0)
            return -1;
        return name_order(first, second);
    }
}

}  // namespace

int compare_and_link_in(pass_context &pass, const void *a, const void *b) {
    return compare_files(pass, a, b, comparison_act::link);
}

int order_as_linked_in(pass_context &pass, const void *a, const void *b) {
    return compare_files(pass, a, b, comparison_act::order);
}

int compare_and_link(const void *a, const void *b) {
    return compare_files(standalone_pass(), a, b, comparison_act::link);
}

int order_as_linked(const void *a, const void *b) {
    return compare_files(standalone_pass(), a, b, comparison_act::order);
}

int compare_and_share_in(pass_context &pass, const void *a, const void *b) {
    return compare_files(pass, a, b, comparison_act::share);
}
