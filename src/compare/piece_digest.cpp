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

}  // namespace

uint64_t digest_of(const unsigned char *data, size_t length) {
    uint64_t v1 = prime1 + prime2, v2 = prime2, v3 = 0, v4 = 0 - prime1;
    size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        v1 = mix_lane(v1, word_at(data + i));
        v2 = mix_lane(v2, word_at(data + i + 8));
        v3 = mix_lane(v3, word_at(data + i + 16));
        v4 = mix_lane(v4, word_at(data + i + 24));
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
