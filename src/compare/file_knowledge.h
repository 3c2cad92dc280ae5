// What the comparators remember of the listed files between calls: the
// status of every name, and for files of one size on one device a few bytes,
// digests of their blocks and which of them were found byte-equal. A sort
// compares every file about log2(n) times; with this each name is examined
// once and each file is read about once, while every answer stays the one
// that a fresh look at the files would give.
//
// Trust is limited to what cannot turn a comparison into a wrong link or
// mark: an answer that orders two files may rest on what was learnt earlier;
// an answer that two files are equal is acted upon only after both names were
// examined afresh and found to be the very versions (inode, size, change
// time) whose bytes were compared, and only when those bytes were read at
// moments safely later than the versions' change times (stamps_prove), so
// that the stamps prove them still there; otherwise both files are read
// again first. The run's own changes are recognised by the exact status they
// left (made_by_own_changes), which is not old enough to prove anything.
//
// In parts: status_cache.cpp remembers the status of every name and serves
// look_at; version_table.cpp keeps the first bytes, the file versions and
// their classes of equal versions; knowledge_compare.cpp compares with them;
// piece_digest.cpp digests the pieces of large files.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "compare/list_knowledge.h"
#include "compare/pass_context.h"

// One comparison's view of one listed name.
struct file_look {
    const char *name = nullptr;
    long entry = -1;        // input position in work_list; -1: nothing is remembered
    struct stat status {};  // size, device, inode and file type always; the rest when fresh
    bool fresh = false;     // examined by lstat during this call: every field holds
};

// Fills look for name: from what is remembered when that is current, else by
// lstat. A failed lstat prints "lstat(%s) failed" and perror's line, as on
// every call that meets the name, and gives false.
bool look_at(pass_context &pass, const char *name, file_look &look);

// Folds the name's link count into the link extremes (once per status seen).
void fold_link_count(pass_context &pass, file_look &look);

// How a content comparison or a confirmation ended.
enum class look_outcome {
    settled,        // the answer stands
    changed,        // a file is not the version remembered: examine afresh and start over
    failed_first,   // lstat of the first name failed (its line was printed)
    failed_second,  // lstat of the second name failed (its line was printed)
};

// What an answer that two files are byte-equal rests on.
enum class equality_basis {
    remembered,  // bytes read earlier, not all at moments their stamps prove
    read_now,    // both files read whole during this call
    proven,      // bytes read at moments the stamps of both versions prove:
                 // as long as the names show these versions, they hold them
};

// Whether an answer of equality may be acted upon as it stands, without
// reading both files again: their bytes were read whole during the call that
// answered, or the stamps of both versions prove them on a device whose clock
// the run has seen (device_clock_checked). This is the one place that says
// which bytes a change to the disk may rest on.
bool may_act_on(const pass_context &pass, equality_basis basis, dev_t device);

// Compares the contents of two looked-at regular files of equal examined size
// (0 or more), with the order and the messages of compare_contents. order is
// 0 only for byte-equal files, and basis then tells what that rests on. With
// read_anew, both files are read whole during this call. When the outcome is
// changed, order is unset.
look_outcome compare_looked_contents(pass_context &pass, file_look &first, file_look &second,
                                     int &order, equality_basis &basis, bool read_anew = false);

// After an answer of equality: fills in the other status fields that its
// handling reads (link counts, blocks, modification seconds, owner, group,
// mode), from what is remembered of equal files or by examining a name
// afresh, which may find it changed.
look_outcome complete_looks(pass_context &pass, file_look &first, file_look &second);

// Before an answer of equality is acted upon: examines afresh each name that
// was not examined during this call, and tells whether both are still the
// versions the answer rests on.
look_outcome confirm_looks(pass_context &pass, file_look &first, file_look &second);

// Examines both names afresh for a new start of the call; without
// remembering, the rest of the call neither uses nor changes what is known.
look_outcome look_again(pass_context &pass, file_look &first, file_look &second, bool remembering);

// Starts of one comparison that may use what is remembered: starting over
// after a file turned out changed examines both names afresh, and from the
// third start on nothing remembered is used.
constexpr int remembering_starts = 2;

// Two names of one inode met in a comparison: what is known of the file under
// one name serves the other.
void note_same_inode(pass_context &pass, const file_look &first, const file_look &second);

// The run tried to replace the name replaced by a link to survivor (both
// looks fresh, as compared). linked tells whether the replacement was made;
// survivor_after is the survivor's exact status right after a hard link was
// made, when it was examined then (else null).
void note_link_attempt(pass_context &pass, const file_look &survivor, const file_look &replaced,
                       bool linked, const struct stat *survivor_after);

// Examines every listed name once, in the order of work_list, in which a
// list made by find holds the names of a directory together: such names are
// looked up in their directory, held open, rather than walked to from the
// start each (name_walk). The comparisons then start from what was found,
// as from their own first look. A name that cannot be examined is left to
// the comparisons, which report it whenever they meet it. With fewer than two
// names, which are never compared, nothing is examined.
void examine_listed_names(pass_context &pass);

// A new pass of comparisons begins: every name is examined afresh when it is
// first met (the passes before may have replaced files, and the link extremes
// were reset), while what is known of contents stays tied to file versions.
void begin_comparison_pass(pass_context &pass);

// The counters of standalone_pass's record, for the tests of the cache.
extern knowledge_counters &knowledge_counts;
