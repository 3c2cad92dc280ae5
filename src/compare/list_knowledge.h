// What the run knows of the files of one name list: the record that the
// comparisons of every pass over that list read and fill (status_cache.h,
// version_table.h). The driver keeps one for work_list; a list read anew
// starts a new one.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <utility>
#include <vector>

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

// What is remembered of each listed name's status, by its input position.
struct status_cache {
    std::vector<status_slot> slots;
    std::vector<dev_t> devices;                              // device index -> device number
    size_t last_device = 0;                                  // the index found last, tried first
    std::vector<std::pair<uint32_t, uint32_t>> owner_pairs;  // owner and group
    size_t last_owner = 0;
    // Positions of the list that name one directory entry ("./a" and "a", or
    // a name through a symbolic link to its directory): each points to the
    // next of its entry, in a ring; a name listed once points to itself.
    // Empty until the run first replaces a name.
    std::vector<int32_t> next_alias;
};

// Counters of the work done, for the tests of the cache.
struct knowledge_counters {
    uint64_t status_queries = 0;  // lstat calls made by look_at, confirmations and carries
    uint64_t opens = 0;           // files opened for reading
    uint64_t bytes_read = 0;      // bytes read from listed files
};

struct list_knowledge {
    char **list = nullptr;  // the work_list it belongs to
    int count = 0;          // of so many names
    status_cache statuses;
    version_table versions;
    knowledge_counters counts;
};

// Makes known belong to the current work_list: another list (a new intake)
// starts afresh. False when there is no list to remember anything of.
bool prepare_knowledge(list_knowledge &known);
