// The comparator of the link pass: orders names by size, device, contents and
// name, and links equal files on one device as a side effect.
#pragma once

int compare_and_link(const void *a, const void *b);
