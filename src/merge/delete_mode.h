// Delete mode: marking duplicates while sorting, then removing the marked names.
#pragma once

int compare_and_mark(const void *a, const void *b);
void delete_marked(int count);
