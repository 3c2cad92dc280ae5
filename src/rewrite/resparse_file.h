// Rewrites a file of one link through a copy made beside it, sparse or
// desparsed, when the copy wins blocks in the wanted direction.
#pragma once

#include "compare/pass_context.h"

// In the context of standalone_pass().
int resparse_file(char *const *slot, unsigned char sparsing);
// As a routine of one pass of the driver. Where block counts settle late, the
// copy waits, parked, until settle_parked_copies (rewrite/parked_copies.h)
// measures and finishes it in the same pass.
int resparse_file_in(pass_context &pass, char *const *slot, unsigned char sparsing);

// False only when both names can be examined and lie on one inode.
bool differs_in_inode(char *const *a, char *const *b);
