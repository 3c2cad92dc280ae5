#include "merge/delete_mode.h"

#include "run/unavailable.h"

int compare_and_mark(const void *, const void *) { mode_unavailable("delete mode (-d)"); }
void delete_marked(int) { mode_unavailable("delete mode (-d)"); }
