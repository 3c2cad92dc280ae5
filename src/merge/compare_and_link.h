// The comparator of the link pass: orders names by size, device, contents and
// name, and links equal files on one device as a side effect.
#pragma once

#include <sys/stat.h>

#include "compare/pass_context.h"

// Orders two slots of the work list (each holding a pointer to a name), as the
// sort hands them over, in the context of standalone_pass(). Where the answer comes from the name
// order it is strncmp's own value; elsewhere -1 or 1. Equal files on one device with the same
// owner, group and permission bits are linked: one name is replaced by a hard link (or with soft, a
// symbolic link) to the other file.
int compare_and_link(const void *a, const void *b);

// The order compare_and_link gives two unchanged files, with nothing linked,
// counted or reported. The link count of each examined name still goes into
// the link extremes, as any comparison of the two would put it.
int order_as_linked(const void *a, const void *b);

// The same two as the comparisons of one pass of the driver.
int compare_and_link_in(pass_context &pass, const void *a, const void *b);
int order_as_linked_in(pass_context &pass, const void *a, const void *b);

// The order that order_as_linked gives, with nothing linked, counted or
// reported; equal regular files on one device, whatever their owner, group
// and mode, and names of one inode are noted for block sharing
// (note_shareable_pair). Their bytes are not read again: the kernel compares
// them before it shares anything.
int compare_and_share_in(pass_context &pass, const void *a, const void *b);

// The order of two files of identical contents that differ in owner, group or
// permission bits (-1, 0 or 1): it keeps every linkable pair together.
int compare_ownership(const struct stat &first, const struct stat &second);

// Whether two examined files whose contents are known to be equal may become
// one: regular files on one device, not yet one inode, not empty, not both
// without blocks, and with the same owner, group and permission bits, so that
// a link never hands one owner's file to another.
bool may_link(const struct stat &first, const struct stat &second);

// Whether the first of two equal files keeps its data and the second name is
// replaced: when the second has fewer blocks, a later modification second or
// fewer links. When none of these holds (all three equal included) the
// second survives.
bool first_survives(const struct stat &first, const struct stat &second);
