// The digest that tells pieces of large files apart without reading them
// again: two files whose digests of one piece differ differ in that piece.
#pragma once

#include <cstddef>
#include <cstdint>

// A 64-bit digest of length bytes at data. Four independent lanes each take
// 16 bytes per step with one wide product, so that it keeps up with reading
// from the page cache. Digests only locate differences: equal digests never
// stand for equal bytes. They are not made to resist chosen collisions: two
// files whose bytes are made to collide may be ordered by a later piece and
// then not be found equal, but nothing unequal is ever linked or removed.
uint64_t digest_of(const unsigned char *data, size_t length);
