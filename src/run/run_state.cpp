#include "run/run_state.h"

#include <cstdlib>

run_options_record run_options;
run_stats_record run_stats;
volatile sig_atomic_t interrupted = 0;

int file_count = 0;
char **work_list = nullptr;
char **name_index = nullptr;
unsigned char *delete_marks = nullptr;

void reset_stats() { run_stats = run_stats_record{}; }

void update_link_extremes(uint64_t nlink) {
    auto widen = [](int32_t v) { return static_cast<uint64_t>(static_cast<int64_t>(v)); };
    if (nlink < widen(run_stats.min_links)) run_stats.min_links = static_cast<int32_t>(nlink);
    if (nlink > widen(run_stats.max_links)) run_stats.max_links = static_cast<int32_t>(nlink);
}

void stop_if_interrupted() {
    if (interrupted) std::exit(0);
}
