// The sharing pass (-B).
#pragma once

// Orders the list as the link pass does, noting the sets of equal files, then
// has each set share the blocks of one of its files; then the summary.
void share_pass();
