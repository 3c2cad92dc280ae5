#include "rewrite/resparse_file.h"

#include "run/unavailable.h"

int resparse_file(char *const *, unsigned char) { mode_unavailable("sparse mode (-S)"); }
bool differs_in_inode(char *const *, char *const *) { mode_unavailable("sparse mode (-S)"); }
