#include "rewrite/expand_hard_link.h"

#include "run/unavailable.h"

int expand_hard_link(char *const *) { mode_unavailable("hard-link expansion (-i)"); }
