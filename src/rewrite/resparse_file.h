// Rewrites a file of one link through a copy made beside it, sparse or
// desparsed, when the copy wins blocks in the wanted direction.
#pragma once

int resparse_file(char *const *slot, unsigned char sparsing);

// False only when both names can be examined and lie on one inode.
bool differs_in_inode(char *const *a, char *const *b);
