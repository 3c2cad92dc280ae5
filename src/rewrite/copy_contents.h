// The copies that the rewriting passes make, from an open file into an open,
// empty temporary file, through one buffer of large blocks.
#pragma once

#include <sys/types.h>

// How a copy ended; after a failure errno tells why.
enum class copy_outcome {
    copied,          // the copy is complete
    read_failed,     // the file could not be read
    write_failed,    // the copy could not be written
    truncate_failed  // the copy's length could not be set
};

// Copies the first size bytes of from into to in sparse form: what lies in a
// hole of from is not read, a block of the copy that holds only zero bytes is
// not written, and the length is set before anything is written, so both
// become holes. block
// is the copy's file system block size (st_blksize). Without a way to find
// holes (SEEK_DATA) the whole file is read, and its zero blocks still become
// holes.
copy_outcome copy_sparse(int from, int to, off_t size, blksize_t block);

// Copies from, from its start to its end, into to with every byte written:
// zeros are written out and holes are read as zeros and written, so every
// block of the copy is allocated. size is the length the file was examined
// with; the copy is given it before it is written.
copy_outcome copy_dense(int from, int to, off_t size);
