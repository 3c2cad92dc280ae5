// The content comparison shared by link mode and delete mode, and the rule by
// which a listed name is opened for reading.
#pragma once

#include <sys/stat.h>

#include "run/file_handles.h"

// Opens name for reading only when it is still the regular file that examined
// (its lstat) describes. Symbolic links are not followed and FIFOs and devices
// are never waited on: anything else gives an empty descriptor, as a file that
// cannot be opened.
unique_fd open_examined_file(const char *name, const struct stat &examined);

// Compares two files whose examined sizes are equal. 0 means byte-equal with
// the same length. Otherwise the files are ordered by their first differing
// 8-byte chunk, read as a little-endian signed 64-bit integer (the unread tail
// of a short chunk counts as zero bytes): 1 when the first file's chunk is the
// greater, -1 otherwise. A file that ends before the other is never equal to
// it and sorts first. A file that cannot be opened sorts first, silently. A
// read error spoils the chunk in which it happens: a difference in an earlier
// chunk still decides, otherwise "file %s: error %d.\n" is printed and the
// failing file sorts first (the first file is tested first).
int compare_contents(const char *first, const struct stat &first_status, const char *second,
                     const struct stat &second_status);

// The order of two 8-byte chunks as the comparison defines it: each chunk
// holds its bytes with the unread tail zero, read as a little-endian signed
// 64-bit integer. Returns -1, 0 or 1.
int compare_chunks(const unsigned char *first, const unsigned char *second);
