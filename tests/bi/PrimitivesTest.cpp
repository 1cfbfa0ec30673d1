// vint and CRC32: the two encodings every header depends on.
#include "BiTestUtil.h"
#include "Crc32.h"
#include "Vint.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace bi {
namespace {

using namespace test;

// Values around the 7-bit group boundaries in the shortest form, which is also what is
// written; the over-long forms RAR writes when it reserves room; runs too long or cut short.
TEST(BiVintTest, EncodesAndDecodesEveryForm) {
    using enum VintStatus;
    struct Case {
        const char* hex;
        VintStatus status;
        std::uint64_t value = 0;
        bool shortest = false; // what AppendVint writes for value
        std::size_t maxLength = 10;
    };
    const Case cases[] = {
        {"00", Ok, 0, true},
        {"7F", Ok, 127, true},
        {"80 01", Ok, 128, true},
        {"AC 02", Ok, 300, true},
        {"FF 7F", Ok, 16383, true},
        {"80 80 01", Ok, 16384, true},
        {"80 80 80 80 10", Ok, 4294967296ull, true},
        {"FF FF FF FF FF FF FF FF FF 01", Ok, UINT64_MAX, true},
        {"80 80 00", Ok, 0},
        {"81 80 80 80 80 80 80 80 80 00", Ok, 1},
        {"83 80 00", Ok, 3, false, 3},
        {"83 80 80 00", Invalid, 0, false, 3},         // a header size has 3 bytes at most
        {"80 80 80 80 80 80 80 80 80 80 00", Invalid}, // 11 bytes
        {"FF FF FF FF FF FF FF FF FF 02", Invalid},    // the tenth byte may only carry bit 63
        {"80 80", Truncated},
        {"", Truncated}};
    for (const Case& c : cases) {
        const std::string bytes = FromHex(c.hex);
        // Decoding stops at the first byte without the continuation bit, whatever follows.
        const std::string input = c.status == Ok ? bytes + "\xFF\xFF" : bytes;
        const VintValue read = DecodeVint(reinterpret_cast<const std::uint8_t*>(input.data()),
                                          input.size(), c.maxLength);
        EXPECT_EQ(c.status, read.status) << c.hex;
        if (c.status == Ok) {
            EXPECT_EQ(c.value, read.value) << c.hex;
            EXPECT_EQ(bytes.size(), read.length) << c.hex;
        }
        if (c.shortest) {
            std::string written;
            AppendVint(written, c.value);
            EXPECT_EQ(bytes, written) << c.hex;
            EXPECT_EQ(bytes.size(), VintSize(c.value)) << c.hex;
        } else if (c.status == Ok) {
            std::string reserved; // the same width, as a header rewritten in place has it
            AppendVint(reserved, c.value, bytes.size());
            EXPECT_EQ(bytes, reserved) << c.hex;
        }
    }
}

// Bit-at-a-time CRC-32/ISO-HDLC straight from its definition, as an independent reference.
std::uint32_t ReferenceCrc(const char* data, std::size_t size) {
    std::uint32_t r = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        r ^= static_cast<std::uint8_t>(data[i]);
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
        }
    }
    return ~r;
}

// The check value, then every length from empty to past several folding blocks at every
// alignment, so that each path (bytes before alignment, 8-byte steps, 64-byte and 16-byte
// folds, tail) is hit.
TEST(BiCrc32Test, AgreesWithTheReferenceForEveryLengthAndAlignment) {
    EXPECT_EQ(0xCBF43926u, Crc32("123456789", 9));
    const std::string data = Pattern(1200, 7);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t size = 0; size + offset <= 700; ++size) {
            const std::uint32_t expected = ReferenceCrc(data.data() + offset, size);
            ASSERT_EQ(expected, Crc32(data.data() + offset, size)) << offset << "+" << size;
            ASSERT_EQ(expected, Crc32UpdateTable(0, data.data() + offset, size))
                << offset << "+" << size;
        }
    }
}

// Content arrives in pieces of any size, and chunks are checked on several threads: continuing
// a CRC, and joining the CRCs of separate pieces, must both give the one-pass result.
TEST(BiCrc32Test, PiecesGiveTheSameResultAsOnePass) {
    const std::string data = Pattern(5 << 20, 3);
    const std::uint32_t whole = ReferenceCrc(data.data(), data.size());
    EXPECT_EQ(whole, Crc32(data.data(), data.size()));
    std::uint32_t running = 0;
    std::uint32_t joined = 0;
    for (std::size_t at = 0, piece = 1; at < data.size(); piece = piece * 3 + 7) {
        const std::size_t size = std::min(piece % 300000, data.size() - at);
        running = Crc32Update(running, data.data() + at, size);
        joined = Crc32Combine(joined, Crc32(data.data() + at, size), size);
        at += size;
    }
    EXPECT_EQ(whole, running);
    EXPECT_EQ(whole, joined);
    EXPECT_EQ(whole, Crc32Combine(whole, Crc32(nullptr, 0), 0));
}

} // namespace
} // namespace bi
