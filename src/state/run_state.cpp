#include "state/run_state.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

run_options_record run_options;
run_stats_record run_stats;
run_progress_record run_progress;
std::atomic<int> interrupted{0};

int file_count = 0;
char **work_list = nullptr;
char *work_arena = nullptr;
size_t work_arena_size = 0;
char **name_index = nullptr;
unsigned char *delete_marks = nullptr;

void reset_stats() {
    run_stats = run_stats_record{};
}

void update_link_extremes(run_stats_record &stats, uint64_t nlink) {
    auto widen = [](int32_t v) { return static_cast<uint64_t>(static_cast<int64_t>(v)); };
    if (nlink < widen(stats.min_links)) stats.min_links = static_cast<int32_t>(nlink);
    if (nlink > widen(stats.max_links)) stats.max_links = static_cast<int32_t>(nlink);
}

long work_entry_number(const char *name) {
    if (!work_arena || name < work_arena + sizeof(uint32_t) || name >= work_arena + work_arena_size)
        return -1;
    uint32_t position;
    std::memcpy(&position, name - sizeof position, sizeof position);
    if (position >= static_cast<uint32_t>(file_count) || work_list == nullptr) return -1;
    return static_cast<long>(position);
}
