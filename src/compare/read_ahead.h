// Reading the listed files ahead of a pass's sort, on two threads.
//
// First every listed name is examined once, in the order of the list (as
// examine_listed_names does), the two threads each taking chunks of the list
// with a walk of their own; the run's thread takes every status in.
//
// Before a sort compares anything, every file it will compare by content (a
// regular file that shares its size with a file of another inode: on one
// device for the link pass, on any for the delete pass) is opened and read
// once, in the order of the list, where the names of one directory are looked
// up in it held open: its first bytes, for a large file the digests of all
// its pieces, and, when it holds what an earlier file of the list holds, the
// two are compared byte for byte. The run's thread and one more share this
// work; the second lives only while it lasts and touches nothing of the run
// but the files and what it hands back here. What was learnt enters what the
// run knows (list_knowledge) on the run's thread, as if the sort's own
// comparisons had learnt it: the first bytes and digests only order files,
// and an equality found by comparing bytes is tied to the versions compared
// and acted upon under the rules of may_act_on, as any other.
//
// Nothing is printed: a file that cannot be opened or read whole here is
// left to the comparisons, which meet it as before.
#pragma once

#include "compare/pass_context.h"

enum class compared_files {
    on_one_device,  // the link pass compares files of one size and device
    on_any_device,  // the delete pass compares files of one size
};

void read_ahead(pass_context &pass, compared_files which);

// Whether read_ahead may start its second thread; with it off (or when the
// thread cannot start, or the process may run on one processor only) this
// thread does all of the work, with the same outcome.
extern bool read_ahead_second_thread;
