// BLAKE2sp: known digests, and the same digest whatever pieces the content arrives in.
#include "Blake2sp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace bi::codec {
namespace {

std::string Hex(const std::array<std::uint8_t, Blake2sp::kDigestSize>& digest) {
    std::string text;
    char pair[3];
    for (const std::uint8_t byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::vector<std::uint8_t> Counting(std::size_t size) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    return data;
}

// Empty content (every leaf hashes nothing), a short one (only leaf 0), and 1000 bytes, which
// fill every leaf and let one round of all eight be compressed before the end.
TEST(Blake2spTest, GivesTheKnownDigests) {
    Blake2sp hash;
    EXPECT_EQ("dd0e891776933f43c7d032b08a917e25741f8aa9a12c12e1cac8801500f2ca4f",
              Hex(hash.Final()));
    hash.Update("abc", 3);
    EXPECT_EQ("70f75b58f1fecab821db43c88ad84edde5a52600616cd22517b7bb14d440a7d5",
              Hex(hash.Final()));
    const std::vector<std::uint8_t> data = Counting(1000);
    hash.Update(data.data(), data.size());
    EXPECT_EQ("7e2830f74fc7c4d224a201b46f95e37ebbfb56dddc492f8227e4d905201734b8",
              Hex(hash.Final()));
}

// Lengths around a leaf's block, a round of eight blocks and the part held back for the leaves'
// last blocks; pieces of sizes that cut those anywhere, including empty ones.
TEST(Blake2spTest, IgnoresHowTheContentIsCut) {
    const std::vector<std::uint8_t> data = Counting(5000);
    for (const std::size_t size : {1u, 64u, 65u, 448u, 449u, 511u, 512u, 513u, 960u, 961u, 1023u,
                                   1024u, 1025u, 1472u, 1473u, 4096u, 5000u}) {
        Blake2sp hash;
        hash.Update(data.data(), size);
        const auto whole = hash.Final();
        for (const std::size_t piece : {1u, 7u, 64u, 100u, 449u, 512u, 513u, 961u}) {
            for (std::size_t at = 0; at < size; at += piece) {
                hash.Update(data.data() + at, std::min(piece, size - at));
                hash.Update(nullptr, 0);
            }
            EXPECT_EQ(whole, hash.Final()) << size << " in pieces of " << piece;
        }
    }
    // Two pieces, cut anywhere, around two rounds plus what is held back.
    for (const std::size_t size : {1472u, 1473u, 1536u}) {
        Blake2sp hash;
        hash.Update(data.data(), size);
        const auto whole = hash.Final();
        for (std::size_t cut = 0; cut <= size; ++cut) {
            hash.Update(data.data(), cut);
            hash.Update(data.data() + cut, size - cut);
            EXPECT_EQ(whole, hash.Final()) << size << " cut at " << cut;
        }
    }
}

} // namespace
} // namespace bi::codec
