#include "merge/name_index.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "state/output.h"
#include "state/run_state.h"

int compare_names(const void *a, const void *b) {
    int r = std::strncmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b), 1024);
    if (!run_options.inverse) return r;
    return r == INT_MIN ? INT_MAX : -r;
}

int32_t lookup_name(const char *name) {
    const char *key = name;
    void *found = std::bsearch(&key, name_index, static_cast<size_t>(file_count), sizeof(char *),
                               compare_names);
    if (!found) {
        report_always("Error: bsearch(%s, %p, %d, %d, %p) returned NULL.\n", name,
                      static_cast<void *>(name_index), file_count, 8,
                      reinterpret_cast<void *>(compare_names));
        return -1;
    }
    return static_cast<int32_t>(static_cast<char **>(found) - name_index);
}
