// The transforms of the standard RAR 2.9-4.x filters on hand-made blocks: instructions and
// bundles at the block edges, the position within the file, channel layouts and the
// predictors' choices; and the parameters each kind refuses.
#include "Rar29Filters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace bi::codec {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Apply(Rar29FilterKind kind, const Bytes& in, std::uint64_t fileOffset,
            std::uint32_t param0 = 0, std::uint32_t param1 = 0) {
    const Rar29Filter filter{kind, 0, static_cast<std::uint32_t>(in.size()), param0, param1};
    Bytes out(in.size() + 1, 0xAA); // one guard byte that must survive
    const DecodeResult result = RunRar29Filter(filter, in.data(), out.data(), fileOffset);
    EXPECT_TRUE(result.ok()) << static_cast<int>(result.error);
    EXPECT_EQ(0xAA, out.back()) << "wrote past the block";
    out.pop_back();
    return out;
}

// CALL operands at file offset 0x1000: a near address becomes relative, a small negative one
// that points into the program gets the address range added, others stay; an instruction
// whose operand would end in the last four bytes is not touched. E9 counts only for E8E9.
TEST(Rar29FiltersTest, E8AndE8E9RestoreRelativeAddresses) {
    const Bytes in = {0xE8, 0x00, 0x01, 0x00, 0x00, 0xE9, 0x00, 0x20, 0x00, 0x00,
                      0xE8, 0x00, 0xF8, 0xFF, 0xFF, 0xE8, 0x00, 0x00, 0xFF, 0xFF,
                      0xE8, 0x00, 0x00, 0x00, 0x01, 0xE8, 0x11, 0x22, 0x33};
    Bytes e8e9 = in;
    const Bytes relative = {0xFF, 0xF0, 0xFF, 0xFF}; // 0x100 - 0x1001
    const Bytes jump = {0xFA, 0x0F, 0x00, 0x00};     // 0x2000 - 0x1006
    const Bytes inside = {0x00, 0xF8, 0xFF, 0x00};   // 0xFFFFF800 + 0x1000000
    std::copy(relative.begin(), relative.end(), e8e9.begin() + 1);
    std::copy(jump.begin(), jump.end(), e8e9.begin() + 6);
    std::copy(inside.begin(), inside.end(), e8e9.begin() + 11);
    Bytes e8 = e8e9;
    std::copy(in.begin() + 6, in.begin() + 10, e8.begin() + 6);

    EXPECT_EQ(e8e9, Apply(Rar29FilterKind::E8E9, in, 0x1000));
    EXPECT_EQ(e8, Apply(Rar29FilterKind::E8, in, 0x1000));
    const Bytes tooShort = {0xE8, 0x00, 0x01, 0x00};
    EXPECT_EQ(tooShort, Apply(Rar29FilterKind::E8, tooShort, 0));
}

// Two bundles: template 0x10 branches in slot 2, template 0x16 in all three slots of which only
// slot 0 holds an IP-relative branch (opcode 5). Targets count in bundles from the file start
// (0x460 / 16 = 0x46 for the first), borrows run across bytes, and the other bits of the slots
// stay. A bundle is only changed while more than 21 bytes are left from its start.
TEST(Rar29FiltersTest, ItaniumRebasesBranchTargetsOfWholeBundles) {
    Bytes in(38, 0);
    in[0] = 0x10;
    in[12] = 0x53; // target bits 0-3 in the high nibble, slot bits below it
    in[13] = 0x34;
    in[14] = 0x12; // target 0x12345
    in[15] = 0x50; // opcode 5
    in[16] = 0x16;
    in[18] = 0x01; // target 0x100 from bit 18; bit 16 belongs to the slot
    in[19] = 0x04;
    in[21] = 0x14; // opcode 5 at bits 42-45
    in[31] = 0x40; // slot 2: opcode 4, not a branch to rebase
    in[32] = 0x10;
    in[37] = 0x50;

    Bytes both = in;
    both[12] = 0xF3; // 0x12345 - 0x46 = 0x122FF
    both[13] = 0x2F;
    both[18] = 0xE5; // 0x100 - 0x47 = 0xB9
    both[19] = 0x02;
    EXPECT_EQ(both, Apply(Rar29FilterKind::Itanium, in, 0x460));

    Bytes shorter(in.begin(), in.end() - 1);
    Bytes first(both.begin(), both.end() - 1);
    first[18] = in[18];
    first[19] = in[19];
    EXPECT_EQ(first, Apply(Rar29FilterKind::Itanium, shorter, 0x460));

    const Bytes tiny(in.begin(), in.begin() + 21);
    EXPECT_EQ(tiny, Apply(Rar29FilterKind::Itanium, tiny, 0x460));
}

// Input bytes are taken channel after channel; each channel's bytes are differences. More
// channels than bytes leaves the extra ones empty (and must not loop over all of them).
TEST(Rar29FiltersTest, DeltaSplitsChannelsInInputOrder) {
    EXPECT_EQ((Bytes{255, 252, 253, 247, 250}),
              Apply(Rar29FilterKind::Delta, {1, 2, 3, 4, 5}, 0, 2));
    EXPECT_EQ((Bytes{255, 254, 253}), Apply(Rar29FilterKind::Delta, {1, 2, 3}, 0, 0xFFFFFFFFu));
}

// Two rows of two pixels (rows of 6 bytes, parameter 9). Only the last pixel has a full set of
// neighbours: its red takes the left value, green the upper one (tied with the upper-left, the
// upper wins), blue the upper-left. Then red and blue get green added.
TEST(Rar29FiltersTest, RgbPredictsFromNeighboursThenAddsGreen) {
    const Bytes in = {246, 246, 246, 251, 176, 40, 196, 251, 206, 50, 156, 5};
    EXPECT_EQ((Bytes{90, 80, 130, 60, 40, 40, 130, 100, 200, 80, 45, 90}),
              Apply(Rar29FilterKind::Rgb, in, 0, 9, 0));
}

// Channel 0 codes a steady fall of one per sample. The weights start at zero, so the first 33
// samples are plain differences; after the 33rd the first weight has moved to +1 (the error
// of e + d1 was smallest), which bends the next predictions. Channel 1 is silent.
TEST(Rar29FiltersTest, AudioAdaptsItsWeightsEvery32Samples) {
    Bytes in(70, 0);
    std::fill(in.begin(), in.begin() + 35, std::uint8_t{1});
    Bytes expected(70, 0);
    for (int j = 0; j < 33; ++j) {
        expected[2 * j] = static_cast<std::uint8_t>(255 - j);
    }
    expected[66] = 221;
    expected[68] = 219;
    EXPECT_EQ(expected, Apply(Rar29FilterKind::Audio, in, 0, 2));
}

TEST(Rar29FiltersTest, RefusesBlocksAndParametersOutsideTheirLimits) {
    struct Case {
        Rar29FilterKind kind;
        std::uint32_t length, param0, param1;
        bool ok;
    };
    const Case cases[] = {
        {Rar29FilterKind::E8, 0x3C000, 0, 0, true},
        {Rar29FilterKind::Itanium, 0x3C001, 0, 0, false},
        {Rar29FilterKind::Delta, 0x1E000, 1, 0, true},
        {Rar29FilterKind::Delta, 0x1E001, 1, 0, false},
        {Rar29FilterKind::Delta, 10, 0, 0, false},
        {Rar29FilterKind::Audio, 10, 0, 0, false},
        {Rar29FilterKind::Rgb, 12, 12, 2, true},
        {Rar29FilterKind::Rgb, 12, 2, 0, false},
        {Rar29FilterKind::Rgb, 12, 13, 0, false},
        {Rar29FilterKind::Rgb, 12, 9, 3, false},
        {Rar29FilterKind::Rgb, 2, 3, 0, false},
    };
    for (const Case& c : cases) {
        const DecodeResult result = CheckRar29Filter({c.kind, 0, c.length, c.param0, c.param1});
        EXPECT_EQ(c.ok ? DecodeError::None : DecodeError::Damaged, result.error)
            << static_cast<int>(c.kind) << " " << c.length << " " << c.param0;
    }
}

} // namespace
} // namespace bi::codec
