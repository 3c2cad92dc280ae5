#include "run/memory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace {

bool memory_locked = false;

// Gives up the lock so that the allocation can be retried; returns whether
// there was a lock to give up.
bool unlock_memory() {
    if (!memory_locked) return false;
    munlockall();
    memory_locked = false;
    return true;
}

void unlock_for_new() {
    if (!unlock_memory()) {
        std::set_new_handler(nullptr);
        throw std::bad_alloc();
    }
}

}  // namespace

void lock_memory() {
    memory_locked = mlockall(MCL_CURRENT | MCL_FUTURE) == 0;
    if (memory_locked) std::set_new_handler(unlock_for_new);
}

void *allocate_zeroed(size_t count, size_t size) {
    void *p = std::calloc(count, size);
    if (!p && unlock_memory()) p = std::calloc(count, size);
    return p;
}
