// The name order and the lookup of a name's fixed position in name_index.
#pragma once

#include <cstdint>

// strncmp of the two names over at most 1024 bytes, negated under -i.
int compare_names(const void *a, const void *b);

// The position of the name in name_index, or -1 (with the failure line on
// standard output) when it is not there.
int32_t lookup_name(const char *name);
