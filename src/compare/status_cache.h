// What is remembered of each listed name's status, so that a comparison
// examines a name once rather than on every call (look_at), and which file
// version each name was last seen to show. The names of work_list are its
// entries, by their input position.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <vector>

#include "compare/file_knowledge.h"
#include "compare/version_table.h"

// Twelve bytes per work_list entry, read by every comparison. A status that
// does not fit (sizes from 1 TiB, inodes from 2^40, more than 256 devices) is
// not kept, and its name is examined on every call.
struct __attribute__((packed, aligned(4))) status_slot {
    uint64_t known : 1;    // the slot holds the last status seen
    uint64_t current : 1;  // ... and may be used without a new lstat
    uint64_t folded : 1;   // its link count went into the extremes
    uint64_t type : 4;     // the file type bits of st_mode, shifted down
    uint64_t spare : 1;
    uint64_t device : 8;  // index in the table of devices seen
    uint64_t inode_high : 8;
    uint64_t size : 40;
    uint32_t inode_low;
};
static_assert(sizeof(status_slot) == 12);

extern std::vector<status_slot> status_slots;

// Makes the cache belong to the current work_list: another list (a new
// intake) starts afresh, the version table with it. False when there is no
// list to remember anything of.
bool prepare_status_cache();

// Whether the look's name is remembered as it is now: its slot is current.
inline bool remembering(const file_look &look) {
    return look.entry >= 0 && status_slots[look.entry].current;
}

// The version record of the file that the look's name is remembered to
// show; 0 when there is none or the name is not remembered as it is now.
inline uint32_t version_number_of(const file_look &look) {
    return remembering(look) ? version_number(first_bytes_of(look.entry, false)) : 0;
}

// Whether the last statuses seen of two entries were of one inode and size.
bool same_status_slot(long a, long b);

// Takes a fresh status of entry's name into the cache, and lets go of what
// was known of its contents when that no longer holds.
void remember_status(long entry, const struct stat &status);

// Examines the look's name by lstat, as look_at does when nothing current
// is remembered, and remembers what it finds.
bool examine_fresh(file_look &look);

// Every position that names entry's directory entry is examined afresh when
// it is next met: the entry may lead to another file now.
void forget_entry(long entry);

// Remembers the fields an equal pair's handling reads, from a fresh status.
// Fields that do not fit are not kept: the name is then examined afresh.
void keep_details(version_record &record, const struct stat &status);

// Fills in the fields that keep_details kept of the record's version; false
// when none are kept.
bool recall_details(const version_record &record, struct stat &status);
