// The piece digest tells apart pieces that differ in ways a digest built from
// a few lanes of products could miss: a stripe whose words zero a product,
// stripes in another order, a difference early in the piece followed by
// words chosen to cancel what came before, a change in the tail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "compare/piece_digest.h"

namespace {

constexpr size_t piece = 4096;

std::vector<unsigned char> random_piece(uint32_t seed, size_t size = piece) {
    std::mt19937 generator(seed);
    std::vector<unsigned char> bytes(size);
    for (auto &b : bytes) b = static_cast<unsigned char>(generator());
    return bytes;
}

void put_word(std::vector<unsigned char> &bytes, size_t at, uint64_t value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

uint64_t digest(const std::vector<unsigned char> &bytes) {
    return digest_of(bytes.data(), bytes.size());
}

}  // namespace

TEST(PieceDigest, PiecesThatDifferGetDifferentDigests) {
    // The constants a lane's product may be keyed with: a stripe of them
    // would zero every product of a digest that multiplies by (word ^ key).
    const uint64_t keys[] = {0x9E3779B185EBCA87ULL, 0xC2B2AE3D27D4EB4FULL, 0x165667B19E3779F9ULL,
                             0x85EBCA77C2B2AE63ULL, 0x27D4EB2F165667C5ULL};
    struct variant {
        const char *what;
        std::vector<unsigned char> first, second;
    };
    std::vector<variant> variants;
    {
        auto a = random_piece(1), b = a;
        b[100] ^= 1;
        const size_t last = piece - 64;
        const uint64_t lane_keys[] = {keys[4], keys[2], keys[3], keys[0]};
        for (size_t lane = 0; lane < 4; ++lane) {
            put_word(a, last + 16 * lane + 8, lane_keys[lane]);
            put_word(b, last + 16 * lane + 8, lane_keys[lane]);
        }
        variants.push_back({"early difference, last stripe of keys", a, b});
    }
    for (uint64_t key : keys) {
        auto a = random_piece(2), b = a;
        for (size_t at = 0; at < piece; at += 16) {
            put_word(a, at + 8, key);
            put_word(b, at + 8, key);
            put_word(a, at, key);
            put_word(b, at, key);
        }
        b[64 * 7] ^= 0x80;
        variants.push_back({"every word a key, one bit differs", a, b});
    }
    {
        auto a = random_piece(3), b = a;
        std::swap_ranges(b.begin(), b.begin() + 64, b.begin() + 64);
        variants.push_back({"two stripes swapped", a, b});
    }
    {
        auto a = random_piece(4), b = a;
        std::swap_ranges(b.begin(), b.begin() + 16, b.begin() + 16);
        variants.push_back({"two lanes of a stripe swapped", a, b});
    }
    {
        std::vector<unsigned char> a(piece, 0), b(piece, 0);
        b[piece - 1] = 1;
        variants.push_back({"zeros, last byte", a, b});
    }
    {
        auto a = random_piece(5, piece - 7), b = a;
        b[piece - 9] ^= 4;
        variants.push_back({"a short tail", a, b});
    }
    for (const auto &v : variants) {
        SCOPED_TRACE(v.what);
        ASSERT_NE(v.first, v.second);
        EXPECT_NE(digest(v.first), digest(v.second));
        EXPECT_EQ(digest(v.first), digest(std::vector<unsigned char>(v.first)));
    }
}

TEST(PieceDigest, EverySingleBitFlipOfAPieceIsSeen) {
    for (uint32_t seed : {7u, 8u}) {
        auto base = seed == 7 ? random_piece(seed) : std::vector<unsigned char>(piece, 0);
        const uint64_t original = digest(base);
        for (size_t bit = 0; bit < piece * 8; ++bit) {
            base[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
            ASSERT_NE(digest(base), original) << "bit " << bit << " seed " << seed;
            base[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        }
    }
}
