#include "run/unavailable.h"

#include <cstdio>
#include <cstdlib>

void mode_unavailable(const char *mode) {
    std::fflush(stdout);
    std::fprintf(stderr, "twinfold: %s is not available in this build\n", mode);
    std::exit(1);
}
