// Memory locking and the allocations that must survive it.
#pragma once

#include <cstddef>

// Locks all current and future pages (mlockall with MCL_CURRENT | MCL_FUTURE).
// A refusal is ignored. An ordinary user's lock limit then makes allocations
// fail once it is reached, so every allocation of the run goes through
// allocate_zeroed (or operator new), which unlocks memory and tries once more.
void lock_memory();

// calloc that, when it fails while memory is locked, unlocks and retries once.
void *allocate_zeroed(size_t count, size_t size);
