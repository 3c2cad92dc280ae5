// Delete mode: marking duplicates while sorting, then removing the marked names.
#pragma once

#include "compare/pass_context.h"

// The comparison with which the delete pass sorts work_list and then visits
// every pair of neighbours. Orders by size, then by content; of two equal
// files (or two names of one file) it marks the one whose directory entry
// comes first in the order of compare_names, an entry listed under several
// names taking the place of the last of them, and remembers the other as the
// one that keeps the contents. Only regular files are read; names of one file
// count as equal without reading, unless they are one directory entry reached
// twice. Other names sort before the regular files of their size, by device
// and inode, so that the names of one symbolic link or FIFO meet.
int compare_and_mark(const void *a, const void *b);

// Removes the marked names in the order of name_index and counts them. A name
// is removed only while it and the name it was found equal to are still the
// files that were compared; otherwise it is kept with a line on standard error.
void delete_marked(int count);

// The same two as routines of one pass of the driver; the others run in the
// context of standalone_pass().
int compare_and_mark_in(pass_context &pass, const void *a, const void *b);
void delete_marked_in(pass_context &pass, int count);
