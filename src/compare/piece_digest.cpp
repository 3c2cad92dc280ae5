#include "compare/piece_digest.h"

#include <cstring>

namespace {

constexpr uint64_t prime1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t prime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t prime3 = 0x165667B19E3779F9ULL;
constexpr uint64_t prime4 = 0x85EBCA77C2B2AE63ULL;
constexpr uint64_t prime5 = 0x27D4EB2F165667C5ULL;

inline uint64_t rotate(uint64_t x, int r) {
    return (x << r) | (x >> (64 - r));
}
inline uint64_t mix_lane(uint64_t acc, uint64_t input) {
    return rotate(acc + input * prime2, 31) * prime1;
}
inline uint64_t word_at(const unsigned char *p) {
    uint64_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// The 128-bit product of two words, its halves folded into one word.
inline uint64_t folded_product(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
#else
    const uint64_t low_low = (a & 0xffffffff) * (b & 0xffffffff);
    const uint64_t high_low = (a >> 32) * (b & 0xffffffff);
    const uint64_t low_high = (a & 0xffffffff) * (b >> 32);
    const uint64_t cross = (low_low >> 32) + (high_low & 0xffffffff) + low_high;
    const uint64_t low = cross << 32 | (low_low & 0xffffffff);
    const uint64_t high = (a >> 32) * (b >> 32) + (high_low >> 32) + (cross >> 32);
    return low ^ high;
#endif
}

}  // namespace

uint64_t digest_of(const unsigned char *data, size_t length) {
    uint64_t v1 = prime1, v2 = prime2, v3 = prime3, v4 = prime4;
    // Each stripe of 64 bytes adds to each lane the wide product of its two
    // words, each mixed with a key, and the sum of the two words. The key
    // moves on with every stripe, so that stripes in another order give
    // other sums; and as the words are added too, a word that makes the
    // product zero does not make the other word (or what came before) count
    // for nothing.
    uint64_t key = prime5;
    size_t i = 0;
    for (; i + 64 <= length; i += 64, key += prime2) {
        const uint64_t w0 = word_at(data + i), w1 = word_at(data + i + 8);
        const uint64_t w2 = word_at(data + i + 16), w3 = word_at(data + i + 24);
        const uint64_t w4 = word_at(data + i + 32), w5 = word_at(data + i + 40);
        const uint64_t w6 = word_at(data + i + 48), w7 = word_at(data + i + 56);
        v1 += folded_product(w0 ^ key, w1 ^ prime1) + (w0 + w1);
        v2 += folded_product(w2 ^ key, w3 ^ prime3) + (w2 + w3);
        v3 += folded_product(w4 ^ key, w5 ^ prime4) + (w4 + w5);
        v4 += folded_product(w6 ^ key, w7 ^ prime5) + (w6 + w7);
    }
    uint64_t h = rotate(v1, 1) + rotate(v2, 7) + rotate(v3, 12) + rotate(v4, 18) + length;
    for (; i + 8 <= length; i += 8)
        h = rotate(h ^ mix_lane(0, word_at(data + i)), 27) * prime1 + prime4;
    for (; i < length; ++i) h = rotate(h ^ (data[i] * prime5), 11) * prime1;
    h ^= h >> 33;
    h *= prime2;
    h ^= h >> 29;
    h *= prime3;
    h ^= h >> 32;
    return h;
}
