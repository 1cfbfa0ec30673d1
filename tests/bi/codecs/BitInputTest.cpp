// The bit reader: whole bytes taken in bulk give the same bytes, positions and later bits as
// taking them one ReadByte at a time, whatever the bit position and the source's pieces.
#include "BitInput.h"
#include "CodecTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace bi::codec {
namespace {

using PieceSource = test::PieceSource<std::vector<std::uint8_t>>;

// Bits read first, the source's piece size, then the bytes taken: at a byte boundary with the
// accumulator full or empty, off a boundary, across many small pieces, and past the end.
TEST(BitInputTest, ReadsBytesInBulkAsOneByOne) {
    std::vector<std::uint8_t> data(3000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 37 + i / 256);
    }
    struct Case {
        unsigned bitsFirst;
        std::size_t piece;
        std::size_t bytes;
    };
    const Case cases[] = {
        {0, 1 << 20, 2000}, {16, 1 << 20, 3},   {24, 1 << 20, 1500}, {8, 1, 700},
        {3, 1 << 20, 900},  {13, 7, 40},        {0, 64, 2990},       {32, 1000, 2990},
        {8, 5, 3100},       {5, 1 << 20, 3100}, {0, 1 << 20, 0},
    };
    BitInput bulk;
    BitInput single;
    for (const Case& c : cases) {
        PieceSource bulkSource(data, c.piece);
        PieceSource singleSource(data, c.piece);
        bulk.Reset(bulkSource);
        single.Reset(singleSource);
        EXPECT_EQ(single.Read(c.bitsFirst), bulk.Read(c.bitsFirst));

        std::vector<std::uint8_t> got(c.bytes);
        std::vector<std::uint8_t> want(c.bytes);
        bulk.ReadBytes(got.data(), got.size());
        for (std::uint8_t& byte : want) {
            byte = single.ReadByte();
        }
        EXPECT_TRUE(want == got) << c.bitsFirst << " " << c.piece << " " << c.bytes;
        EXPECT_EQ(single.BitPosition(), bulk.BitPosition()) << c.bitsFirst << " " << c.bytes;
        EXPECT_EQ(single.Exhausted(), bulk.Exhausted()) << c.bitsFirst << " " << c.bytes;
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(single.Read(11), bulk.Read(11)) << c.bitsFirst << " " << c.bytes;
        }
    }
}

} // namespace
} // namespace bi::codec
