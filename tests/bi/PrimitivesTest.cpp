// vint and CRC32: the two encodings every header depends on.
#include "Crc32.h"
#include "Vint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace bi {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (const int v : values) {
        bytes.push_back(static_cast<std::uint8_t>(v));
    }
    return bytes;
}

VintValue Decode(const std::vector<std::uint8_t>& bytes, std::size_t maxLength = 10) {
    return DecodeVint(bytes.data(), bytes.size(), maxLength);
}

struct VintCase {
    std::uint64_t value;
    std::vector<std::uint8_t> encoding;
};

// Values around every 7-bit group boundary, in both directions.
TEST(BiVintTest, EncodesAndDecodesTheShortestForm) {
    const std::vector<VintCase> cases = {
        {0, Bytes({0x00})},
        {1, Bytes({0x01})},
        {16, Bytes({0x10})},
        {127, Bytes({0x7F})},
        {128, Bytes({0x80, 0x01})},
        {300, Bytes({0xAC, 0x02})},
        {16383, Bytes({0xFF, 0x7F})},
        {16384, Bytes({0x80, 0x80, 0x01})},
        {33261, Bytes({0xED, 0x83, 0x02})},
        {4294967296ull, Bytes({0x80, 0x80, 0x80, 0x80, 0x10})},
        {UINT64_MAX, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01})},
    };
    for (const VintCase& c : cases) {
        std::string written;
        AppendVint(written, c.value);
        EXPECT_EQ(std::string(c.encoding.begin(), c.encoding.end()), written) << c.value;
        EXPECT_EQ(c.encoding.size(), VintSize(c.value)) << c.value;
        const VintValue read = Decode(c.encoding);
        ASSERT_EQ(VintStatus::Ok, read.status) << c.value;
        EXPECT_EQ(c.value, read.value);
        EXPECT_EQ(c.encoding.size(), read.length);
    }
}

// Decoding stops at the first byte without the continuation bit, whatever follows.
TEST(BiVintTest, StopsAtTheLastByteOfTheValue) {
    const VintValue read = Decode(Bytes({0xAC, 0x02, 0xFF, 0xFF}));
    ASSERT_EQ(VintStatus::Ok, read.status);
    EXPECT_EQ(300u, read.value);
    EXPECT_EQ(2u, read.length);
}

// RAR reserves room for values by padding with 0x80; readers must accept it.
TEST(BiVintTest, AcceptsOverLongForms) {
    VintValue read = Decode(Bytes({0x80, 0x80, 0x00}));
    ASSERT_EQ(VintStatus::Ok, read.status);
    EXPECT_EQ(0u, read.value);
    EXPECT_EQ(3u, read.length);

    read = Decode(Bytes({0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}));
    ASSERT_EQ(VintStatus::Ok, read.status);
    EXPECT_EQ(1u, read.value);
    EXPECT_EQ(10u, read.length);
}

TEST(BiVintTest, RejectsRunsLongerThanAllowed) {
    // 11 bytes: still continuing after the tenth.
    EXPECT_EQ(
        VintStatus::Invalid,
        Decode(Bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00})).status);
    // The tenth byte may only carry bit 63.
    EXPECT_EQ(VintStatus::Invalid,
              Decode(Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02})).status);
    // A header size may use at most 3 bytes.
    EXPECT_EQ(VintStatus::Invalid, Decode(Bytes({0x83, 0x80, 0x80, 0x00}), 3).status);
    EXPECT_EQ(VintStatus::Ok, Decode(Bytes({0x83, 0x80, 0x00}), 3).status);
}

TEST(BiVintTest, ReportsBytesRunningOutAsTruncated) {
    EXPECT_EQ(VintStatus::Truncated, Decode(Bytes({0x80, 0x80})).status);
    EXPECT_EQ(VintStatus::Truncated, Decode(Bytes({})).status);
}

// Bit-at-a-time CRC-32/ISO-HDLC straight from its definition, as an independent reference.
std::uint32_t ReferenceCrc(const std::uint8_t* data, std::size_t size) {
    std::uint32_t r = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        r ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
        }
    }
    return ~r;
}

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = 12345;
    for (std::uint8_t& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return bytes;
}

TEST(BiCrc32Test, MatchesTheCheckValues) {
    EXPECT_EQ(0xCBF43926u, Crc32("123456789", 9));
    EXPECT_EQ(0x00000000u, Crc32("", 0));
    EXPECT_EQ(0x3610A686u, Crc32("hello", 5));
    EXPECT_EQ(0xCBF43926u, Crc32UpdateTable(0, "123456789", 9));
}

// Every length from empty to past several folding blocks, at every alignment, so that each
// path (bytes before alignment, 8-byte steps, 64-byte folds, 16-byte folds, tail) is hit.
TEST(BiCrc32Test, AgreesWithTheReferenceForEveryLengthAndAlignment) {
    const std::vector<std::uint8_t> data = Pattern(1200);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t size = 0; size + offset <= 700; ++size) {
            const std::uint32_t expected = ReferenceCrc(data.data() + offset, size);
            ASSERT_EQ(expected, Crc32(data.data() + offset, size)) << offset << "+" << size;
            ASSERT_EQ(expected, Crc32UpdateTable(0, data.data() + offset, size))
                << offset << "+" << size;
        }
    }
}

TEST(BiCrc32Test, PiecesGiveTheSameResultAsOnePass) {
    const std::vector<std::uint8_t> data = Pattern(5 << 20);
    const std::uint32_t whole = ReferenceCrc(data.data(), data.size());
    EXPECT_EQ(whole, Crc32(data.data(), data.size()));
    EXPECT_EQ(whole, Crc32UpdateTable(0, data.data(), data.size()));
    for (const std::size_t cut : {std::size_t{1}, std::size_t{255}, std::size_t{256},
                                  std::size_t{4097}, std::size_t{1} << 20, data.size() - 3}) {
        const std::uint32_t first = Crc32(data.data(), cut);
        EXPECT_EQ(whole, Crc32Update(first, data.data() + cut, data.size() - cut)) << cut;
    }
    // Many uneven pieces, as content arrives from short reads.
    std::uint32_t running = 0;
    std::size_t at = 0;
    for (std::size_t piece = 1; at < data.size(); piece = piece * 3 + 7) {
        const std::size_t size = std::min(piece % 300000, data.size() - at);
        running = Crc32Update(running, data.data() + at, size);
        at += size;
    }
    EXPECT_EQ(whole, running);
}

} // namespace
} // namespace bi
