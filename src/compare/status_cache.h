// What is remembered of each listed name's status (list_knowledge.h), so
// that a comparison examines a name once rather than on every call
// (look_at), and which file version each name was last seen to show. The
// names of work_list are its entries, by their input position.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "compare/file_knowledge.h"
#include "compare/list_knowledge.h"
#include "compare/version_table.h"

// Whether the look's name is remembered as it is now: its slot is current.
inline bool remembering(const pass_context &pass, const file_look &look) {
    return pass.known && look.entry >= 0 && pass.known->statuses.slots[look.entry].current;
}

// The version record of the file that the look's name is remembered to
// show; 0 when there is none or the name is not remembered as it is now.
inline uint32_t version_number_of(const pass_context &pass, const file_look &look) {
    return remembering(pass, look)
               ? version_number(first_bytes_of(pass.known->versions, look.entry, false))
               : 0;
}

// Whether the last statuses seen of two entries were of one inode and size.
bool same_status_slot(const list_knowledge &known, long a, long b);

// Takes a fresh status of entry's name into the cache, and lets go of what
// was known of its contents when that no longer holds.
void remember_status(pass_context &pass, long entry, const struct stat &status);

// Examines the look's name by lstat (as the pass's view shows it), as
// look_at does when nothing current is remembered, and remembers what it
// finds.
bool examine_fresh(pass_context &pass, file_look &look);

// Every position that names entry's directory entry is examined afresh when
// it is next met: the entry may lead to another file now.
void forget_entry(list_knowledge &known, long entry);

// Remembers the fields an equal pair's handling reads, from a fresh status.
// Fields that do not fit are not kept: the name is then examined afresh.
void keep_details(list_knowledge &known, version_record &record, const struct stat &status);

// Fills in the fields that keep_details kept of the record's version; false
// when none are kept.
bool recall_details(const list_knowledge &known, const version_record &record, struct stat &status);
