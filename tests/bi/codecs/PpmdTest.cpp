// Tests of the PPMd variant H model and RAR's range decoder: a known stream from a RAR 4
// archive, round trips through a matching encoder with heaps small enough to fill up many
// times, an audit of the heap's blocks while that happens, and damaged input.
#include "Ppmd7.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace bi::codec {
namespace {

class VectorSource : public PackedSource {
public:
    explicit VectorSource(const std::vector<std::uint8_t>& data) : m_data(data) {}
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        const std::size_t n = std::min(size, m_data.size() - m_pos);
        std::memcpy(buffer, m_data.data() + m_pos, n);
        m_pos += n;
        return n;
    }

private:
    const std::vector<std::uint8_t>& m_data;
    std::size_t m_pos = 0;
};

// The carry-less range encoder that PpmdRangeDecoder undoes.
class RangeEncoder {
public:
    explicit RangeEncoder(std::vector<std::uint8_t>& out) : m_out(out) {}
    void Encode(std::uint32_t start, std::uint32_t size, std::uint32_t total) {
        m_range /= total;
        m_low += start * m_range;
        m_range *= size;
        Normalise();
    }
    void EncodeBit(std::uint32_t p, unsigned bit) {
        m_range >>= PpmdRangeDecoder::kBinaryBits;
        m_low += bit == 0 ? 0 : p * m_range;
        m_range *= bit == 0 ? p : (1u << PpmdRangeDecoder::kBinaryBits) - p;
        Normalise();
    }
    // Ends a block: the decoder has read four bytes ahead.
    void Flush() {
        for (int i = 0; i < 4; ++i) {
            Shift();
        }
        m_low = 0;
        m_range = 0xFFFFFFFFu;
    }

private:
    void Shift() {
        m_out.push_back(static_cast<std::uint8_t>(m_low >> 24));
        m_low <<= 8;
    }
    void Normalise() {
        for (;;) {
            if ((m_low ^ (m_low + m_range)) >= PpmdRangeDecoder::kTop) {
                if (m_range >= PpmdRangeDecoder::kBottom) {
                    return;
                }
                m_range = (0u - m_low) & (PpmdRangeDecoder::kBottom - 1);
            }
            Shift();
            m_range <<= 8;
        }
    }

    std::vector<std::uint8_t>& m_out;
    std::uint32_t m_low = 0;
    std::uint32_t m_range = 0xFFFFFFFFu;
};

// Lets the model choose the intervals of a known symbol.
struct EncoderPort {
    RangeEncoder& encoder;
    std::uint8_t target = 0;
    std::uint32_t total = 0;

    void SetTotal(std::uint32_t t) { total = t; }
    bool Hit(std::uint32_t, std::uint8_t symbol) const { return symbol == target; }
    void Take(std::uint32_t start, std::uint32_t size) { encoder.Encode(start, size, total); }
    bool EscapeValid(std::uint32_t) const { return true; }
    unsigned Bit(std::uint32_t p, std::uint8_t symbol) {
        const unsigned bit = symbol == target ? 0 : 1;
        encoder.EncodeBit(p, bit);
        return bit;
    }
};

enum class Kind { Random, Text, Mixed };

// Noise, words, long runs (whose frequencies overflow and get rescaled) and a small alphabet
// of high bytes, in random order for Mixed.
std::vector<std::uint8_t> MakeData(Kind kind, std::size_t size, unsigned seed) {
    static const char* const kWords[] = {"the",     "backup", "of",  "database", "tables", "QUOR",
                                         "restore", "error",  "and", "\r\n",     "12:00",  "a"};
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> data;
    while (data.size() < size) {
        const unsigned pick = kind == Kind::Mixed ? rng() % 4 : kind == Kind::Text ? 1 : 0;
        for (int i = 0; i < 300; ++i) {
            if (pick == 0) {
                data.push_back(static_cast<std::uint8_t>(rng()));
            } else if (pick == 1) {
                const std::string w = kWords[rng() % std::size(kWords)];
                data.insert(data.end(), w.begin(), w.end());
                data.push_back(rng() % 9 == 0 ? ',' : ' ');
            } else {
                data.push_back(static_cast<std::uint8_t>(pick == 2 ? 0x41 : 0xF0 + rng() % 5));
            }
        }
    }
    data.resize(size);
    return data;
}

// Encodes `data` in `blocks` pieces; each piece restarts only the range coder, as a PPMd block
// without the reset flag does.
std::vector<std::uint8_t> Encode(const std::vector<std::uint8_t>& data, std::uint32_t memory,
                                 unsigned order, unsigned blocks, std::uint64_t* restarts) {
    PpmdModel model;
    EXPECT_TRUE(model.Restart(memory, order));
    std::vector<std::uint8_t> packed;
    RangeEncoder encoder(packed);
    for (std::size_t i = 0; i < data.size(); ++i) {
        EncoderPort port{encoder, data[i]};
        if (model.CodeSymbol(port) != data[i]) {
            ADD_FAILURE() << "encoder lost the symbol at " << i;
            return {};
        }
        if ((i + 1) % (data.size() / blocks + 1) == 0) {
            encoder.Flush();
        }
    }
    encoder.Flush();
    *restarts = model.RestartCount();
    return packed;
}

} // namespace

// Walks everything the model can still reach and the free lists, and checks that no two
// blocks share a byte, that all of them lie in the units area outside the gap, and that every
// suffix holds the symbols of its child.
class PpmdModelInspector {
public:
    // Counts down between two glues of the free blocks; 255 right after one.
    static std::uint32_t GlueCount(const PpmdModel& m) { return m.m_glueCount; }

    static void Audit(const PpmdModel& m) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks; // [begin, end)
        std::vector<std::uint32_t> sizes; // units of each block size: 1-4, 6-12, 15-24, 28-128
        for (std::uint32_t u = 1; u <= 128; u += u < 4 ? 1 : u < 12 ? 2 : u < 24 ? 3 : 4) {
            sizes.push_back(u);
        }
        ASSERT_LT(m.m_text, m.m_unitsStart);
        ASSERT_LE(m.m_loUnit, m.m_hiUnit);
        for (unsigned i = 0; i < ppmd::kNumIndexes; ++i) {
            for (std::uint32_t b = m.m_freeList[i]; b != 0; b = m.Get32(b)) {
                ASSERT_TRUE(b >= m.m_unitsStart && b < m.m_heapEnd) << "free block " << b;
                ASSERT_LT(blocks.size(), m.m_size / 12) << "free list " << i << " loops";
                blocks.emplace_back(b, b + sizes[i] * 12);
            }
        }
        std::uint32_t root = m.m_maxContext;
        while (m.Suffix(root) != 0) {
            root = m.Suffix(root);
        }
        ASSERT_EQ(m.NumStats(root), 256u);
        std::vector<std::uint32_t> pending{root, m.m_minContext, m.m_maxContext};
        std::unordered_set<std::uint32_t> seen;
        const auto isContext = [&](std::uint32_t c) {
            return c >= m.m_unitsStart && c < m.m_heapEnd && (m.m_heapEnd - c) % 12 == 0;
        };
        while (!pending.empty()) {
            const std::uint32_t c = pending.back();
            pending.pop_back();
            if (!seen.insert(c).second) {
                continue;
            }
            ASSERT_TRUE(isContext(c)) << "context at " << c;
            blocks.emplace_back(c, c + 12);
            const std::uint32_t n = m.NumStats(c);
            ASSERT_TRUE(n >= 1 && n <= 256);
            const std::uint32_t suffix = m.Suffix(c);
            ASSERT_TRUE(c == root ? suffix == 0 : isContext(suffix)) << "suffix of " << c;
            std::uint32_t states = c + 2;
            if (n > 1) {
                states = m.Stats(c);
                ASSERT_TRUE(isContext(states)) << "stats of " << c;
                const auto units = std::lower_bound(sizes.begin(), sizes.end(), (n + 1) / 2);
                blocks.emplace_back(states, states + *units * 12);
            }
            for (std::uint32_t k = 0; k < n; ++k) {
                const std::uint32_t s = states + k * 6;
                ASSERT_GE(m.Freq(s), 1u);
                if (c != root) {
                    ASSERT_NE(m.FindState(suffix, m.Symbol(s)), 0u)
                        << "suffix lacks symbol " << int(m.Symbol(s));
                }
                const std::uint32_t successor = m.Successor(s);
                if (successor > m.m_text) {
                    pending.push_back(successor);
                }
            }
            pending.push_back(suffix == 0 ? root : suffix);
        }
        std::sort(blocks.begin(), blocks.end());
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const auto [begin, end] = blocks[i];
            ASSERT_TRUE(end <= m.m_heapEnd && (end <= m.m_loUnit || begin >= m.m_hiUnit))
                << "block outside the units at " << begin;
            ASSERT_TRUE(i == 0 || blocks[i - 1].second <= begin) << "blocks overlap at " << begin;
        }
    }
};

namespace {

// The first 514 packed bytes of a 20111-byte HTML page compressed by RAR with PPMd (order 8,
// 25 MiB, escape byte 2): the block header A7 18, then the range coder's data.
const std::uint8_t kHtmlStream[] = {
    0xA7, 0x18, 0x3B, 0xE4, 0xC1, 0xAF, 0x34, 0x5D, 0xF4, 0xEA, 0x9D, 0xAC, 0x40, 0x7A, 0xDD, 0xEE,
    0xCF, 0xAD, 0x10, 0x2C, 0xFA, 0x2A, 0x97, 0xC6, 0x8A, 0x01, 0x33, 0x4A, 0x5B, 0xDF, 0xD6, 0xDF,
    0x05, 0xC3, 0xFE, 0xC3, 0x2B, 0xB4, 0x2C, 0xED, 0x12, 0x59, 0x27, 0xCF, 0x75, 0xF4, 0xA6, 0xF4,
    0x2B, 0x6E, 0x4D, 0xA0, 0xDD, 0x9F, 0x68, 0x3A, 0xF1, 0x55, 0x14, 0x8E, 0x81, 0x3C, 0x26, 0xC8,
    0xDF, 0x6D, 0x2C, 0x48, 0x75, 0x56, 0x0A, 0xE8, 0xEE, 0x6D, 0x42, 0x2A, 0xA2, 0x95, 0x73, 0xB7,
    0xAA, 0x19, 0xFF, 0xD1, 0xBF, 0x5A, 0x9D, 0xE5, 0x7A, 0x99, 0xD9, 0x45, 0x4D, 0xA6, 0x64, 0x07,
    0x65, 0x7F, 0x8A, 0x3B, 0xE2, 0xFF, 0xFC, 0x2C, 0xDC, 0xCD, 0x74, 0x62, 0xD9, 0xCE, 0xD8, 0x4C,
    0x57, 0xAF, 0x3E, 0x92, 0x0E, 0xB7, 0x03, 0x97, 0x07, 0x05, 0xC1, 0x92, 0xC0, 0xE7, 0x13, 0x4F,
    0x3E, 0xAC, 0xCF, 0xBE, 0x76, 0x05, 0x9E, 0x66, 0x9D, 0x41, 0xF5, 0x1B, 0x0B, 0x45, 0x40, 0x95,
    0x97, 0xAA, 0x2C, 0xD3, 0x1B, 0x2E, 0xEA, 0x52, 0xAD, 0x63, 0x6F, 0x7F, 0xBB, 0x3E, 0xD5, 0x38,
    0x8B, 0x97, 0xEA, 0x4D, 0x89, 0x0E, 0x18, 0x34, 0x17, 0xAB, 0x27, 0xE5, 0x17, 0xF4, 0xE9, 0xAA,
    0xE4, 0xA7, 0x71, 0x45, 0x0F, 0x41, 0x7A, 0x6A, 0x9F, 0xCD, 0x06, 0xFA, 0xFA, 0x2F, 0x29, 0x15,
    0x76, 0x94, 0x82, 0x86, 0xD0, 0x86, 0x15, 0xC7, 0x21, 0x3C, 0x06, 0x6B, 0xBF, 0x2A, 0xD4, 0x86,
    0x09, 0x1D, 0x51, 0x16, 0x48, 0x8A, 0x86, 0x13, 0x7F, 0x09, 0xC7, 0x6D, 0xD4, 0x56, 0xDF, 0x92,
    0x67, 0x04, 0xF3, 0x86, 0x48, 0xFF, 0x08, 0x11, 0x8B, 0x6E, 0xC3, 0x23, 0x90, 0x75, 0x64, 0xA2,
    0x15, 0x0E, 0xE4, 0xF6, 0x11, 0x41, 0x3C, 0xB4, 0xC9, 0xD5, 0x02, 0x47, 0xFF, 0xBE, 0x09, 0xF7,
    0x1D, 0xFE, 0xB0, 0x12, 0xEC, 0xAD, 0x64, 0x05, 0x5F, 0x55, 0x96, 0xCB, 0xEF, 0x91, 0x94, 0x14,
    0xAE, 0x82, 0x23, 0x3A, 0x4F, 0xE9, 0x32, 0x5F, 0xCA, 0xDD, 0x49, 0xC5, 0x7D, 0xA0, 0xAA, 0xB1,
    0x39, 0xB3, 0x18, 0x7E, 0x07, 0x06, 0xD6, 0x3C, 0xF7, 0xF5, 0x2E, 0xFA, 0x7A, 0x66, 0x74, 0x25,
    0x46, 0xD8, 0x97, 0xAD, 0x30, 0xFF, 0xD6, 0xBA, 0xC7, 0xC6, 0x9C, 0xD0, 0x47, 0x2E, 0xC1, 0x7F,
    0x89, 0xC3, 0x84, 0xCB, 0xB8, 0x26, 0xF1, 0xAF, 0x65, 0x3B, 0x39, 0x67, 0xEB, 0x86, 0x2A, 0x9C,
    0xAC, 0x01, 0x75, 0xA5, 0x1F, 0x8B, 0x1A, 0x64, 0xF9, 0xF7, 0xBE, 0x12, 0xB2, 0x5A, 0xEA, 0x12,
    0x9B, 0x16, 0x1D, 0x06, 0xC6, 0x75, 0x28, 0x61, 0x7B, 0xAB, 0x04, 0x2D, 0x8E, 0xA3, 0xDC, 0x72,
    0xB0, 0x12, 0xBA, 0x5D, 0x5C, 0x0A, 0xA1, 0xDC, 0x68, 0x80, 0xE0, 0x2B, 0x04, 0x5D, 0x49, 0x65,
    0x87, 0xC4, 0x26, 0x25, 0x4F, 0x0C, 0x7C, 0x42, 0x9D, 0x27, 0xE9, 0xAD, 0xAC, 0xE7, 0x34, 0xD9,
    0x9C, 0x78, 0x54, 0x30, 0x3C, 0x6B, 0x07, 0xEF, 0x78, 0x92, 0x07, 0x55, 0xDC, 0x29, 0xF5, 0x2C,
    0x52, 0xEB, 0xEF, 0xD7, 0x4D, 0x0E, 0xCF, 0x20, 0x40, 0xA7, 0xCC, 0xBB, 0xFF, 0x04, 0x66, 0x75,
    0x04, 0xA8, 0xC9, 0xE1, 0xF1, 0xE1, 0x81, 0xFE, 0x4A, 0x8D, 0x86, 0x56, 0xAD, 0x80, 0xF4, 0xDA,
    0xF1, 0xA4, 0xB4, 0x49, 0x12, 0x4A, 0x55, 0xCA, 0xB8, 0xA2, 0x22, 0x4F, 0xE3, 0x1F, 0xCF, 0xCB,
    0xF5, 0x54, 0x5F, 0x70, 0xCB, 0x60, 0x73, 0x5F, 0x0A, 0xF2, 0xCF, 0x60, 0xB3, 0xBF, 0x40, 0x74,
    0x33, 0xAD, 0x0C, 0xC2, 0xC5, 0x32, 0x2A, 0x03, 0x32, 0xE2, 0x46, 0x8F, 0xCD, 0x27, 0x8B, 0x04,
    0x94, 0xAF, 0x0C, 0xB3, 0x9A, 0xE9, 0xA3, 0x31, 0x63, 0xFF, 0x8E, 0x4B, 0xA5, 0x86, 0xC9, 0xCC,
    0x0C, 0x21,
};

std::uint32_t Crc32(const std::vector<std::uint8_t>& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        }
    }
    return ~crc;
}

TEST(Ppmd, DecodesRarStream) {
    const std::vector<std::uint8_t> packed(std::begin(kHtmlStream), std::end(kHtmlStream));
    VectorSource source(packed);
    BitInput in;
    in.Reset(source);
    ASSERT_EQ(in.ReadByte(), 0xA7); // PPMd, reset, order field 7
    const unsigned memory = in.ReadByte();
    PpmdModel model;
    ASSERT_TRUE(model.Restart((memory + 1) << 20, 8));
    PpmdRangeDecoder rc;
    rc.Init(in);
    std::vector<std::uint8_t> symbols;
    for (int i = 0; i < 1020; ++i) {
        const int c = model.DecodeSymbol(rc);
        ASSERT_GE(c, 0) << "at " << i;
        symbols.push_back(static_cast<std::uint8_t>(c));
    }
    EXPECT_FALSE(in.Exhausted());
    EXPECT_EQ(std::string(symbols.begin(), symbols.begin() + 21), "<!DOCTYPE HTML PUBLIC");
    // The page's first 1020 symbols (literals and the model-coded escapes between them), as
    // decoding the whole entry to the archive's CRC confirms.
    EXPECT_EQ(Crc32(symbols), 0x5049EA3Cu);
}

// Encodes and decodes with one model code; heaps this small fill up over and over, so the
// glue, the text-area allocation and the restart run many times and must stay in step.
TEST(Ppmd, RoundTripsThroughFullHeaps) {
    struct Case {
        Kind kind;
        std::size_t size;
        std::uint32_t memory;
        unsigned order;
        unsigned blocks;
        bool fills; // the heap is expected to fill up
    };
    const Case cases[] = {
        {Kind::Mixed, 300000, PpmdModel::kMinMemory, 2, 1, true},
        {Kind::Text, 300000, 64u << 10, 8, 1, true},
        {Kind::Random, 200000, 1u << 20, 16, 1, true},
        {Kind::Mixed, 400000, 256u << 10, 64, 1, true},
        {Kind::Mixed, 300000, 1u << 20, 64, 3, true},
        {Kind::Mixed, 200000, 25u << 20, 8, 2, false},
    };
    unsigned seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << int(c.kind) << " memory " << c.memory
                                        << " order " << c.order << " blocks " << c.blocks);
        const std::vector<std::uint8_t> data = MakeData(c.kind, c.size, seed++);
        std::uint64_t encoderRestarts = 0;
        const std::vector<std::uint8_t> packed =
            Encode(data, c.memory, c.order, c.blocks, &encoderRestarts);
        ASSERT_FALSE(packed.empty());
        EXPECT_EQ(encoderRestarts > 0, c.fills) << encoderRestarts << " restarts";

        VectorSource source(packed);
        BitInput in;
        in.Reset(source);
        PpmdModel model;
        ASSERT_TRUE(model.Restart(c.memory, c.order));
        PpmdRangeDecoder rc;
        rc.Init(in);
        const std::size_t perBlock = data.size() / c.blocks + 1;
        for (std::size_t i = 0; i < data.size(); ++i) {
            const int symbol = model.DecodeSymbol(rc);
            ASSERT_EQ(symbol, data[i]) << "at " << i;
            if ((i + 1) % perBlock == 0) {
                rc.Init(in); // the next block: same model, new coder
            }
        }
        EXPECT_FALSE(in.Exhausted());
        EXPECT_EQ(model.RestartCount(), encoderRestarts);
    }
}

TEST(Ppmd, HeapStaysSoundWhileFillingUp) {
    const struct {
        std::uint32_t memory;
        unsigned order;
        Kind kind;
    } cases[] = {
        {PpmdModel::kMinMemory, 2, Kind::Mixed},
        {PpmdModel::kMinMemory, 64, Kind::Mixed},
        {24u << 10, 5, Kind::Text},
        {48u << 10, 12, Kind::Random},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "memory " << c.memory << " order " << c.order);
        const std::vector<std::uint8_t> data = MakeData(c.kind, 60000, c.order);
        PpmdModel model;
        ASSERT_TRUE(model.Restart(c.memory, c.order));
        std::vector<std::uint8_t> packed;
        RangeEncoder encoder(packed);
        std::uint32_t glueCount = 0;
        for (std::size_t i = 0; i < data.size(); ++i) {
            EncoderPort port{encoder, data[i]};
            ASSERT_EQ(model.CodeSymbol(port), data[i]);
            // Whenever the allocator glued or cut into the text area, and now and then.
            const std::uint32_t count =
                std::exchange(glueCount, PpmdModelInspector::GlueCount(model));
            if (count != glueCount || i % 32 == 0) {
                PpmdModelInspector::Audit(model);
                if (testing::Test::HasFatalFailure()) {
                    FAIL() << "after symbol " << i << ", " << model.RestartCount() << " restarts";
                }
            }
        }
        EXPECT_GT(model.RestartCount(), 1u);
    }
}

// Damaged streams end in -1 or in plain symbols, never outside the heap (run this under the
// address sanitizer) and never in a hang: every call returns after finite input. Sizes and
// orders outside the format are refused up front.
TEST(Ppmd, SurvivesDamagedStreamsAndRefusesBadHeaders) {
    const std::vector<std::uint8_t> data = MakeData(Kind::Mixed, 40000, 7);
    std::uint64_t restarts = 0;
    const std::vector<std::uint8_t> good = Encode(data, 64u << 10, 6, 1, &restarts);
    PpmdModel model; // one heap for all rounds, as a solid archive reuses it
    const std::pair<std::uint32_t, unsigned> refused[] = {{1u << 20, 1},
                                                          {1u << 20, 65},
                                                          {PpmdModel::kMinMemory - 1, 8},
                                                          {PpmdModel::kMaxMemory + 1, 8}};
    for (const auto& [memory, order] : refused) {
        EXPECT_FALSE(model.Restart(memory, order)) << memory << " " << order;
        EXPECT_FALSE(model.Alive());
    }
    std::mt19937 rng(99);
    unsigned failures = 0;
    for (int round = 0; round < 60; ++round) {
        std::vector<std::uint8_t> bad = good;
        if (round % 3 == 0) { // pure noise
            for (auto& b : bad) {
                b = static_cast<std::uint8_t>(rng());
            }
        } else {
            for (int k = 0; k < 1 + round % 5; ++k) {
                bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
            }
        }
        VectorSource source(bad);
        BitInput in;
        in.Reset(source);
        ASSERT_TRUE(model.Restart(64u << 10, 2 + round % 63));
        PpmdRangeDecoder rc;
        rc.Init(in);
        for (std::size_t i = 0; i < data.size() + 1000; ++i) {
            if (model.DecodeSymbol(rc) < 0) {
                EXPECT_FALSE(model.Alive());
                EXPECT_EQ(model.DecodeSymbol(rc), -1);
                ++failures;
                break;
            }
        }
    }
    EXPECT_GT(failures, 10u); // most damage is caught as an impossible count
}

} // namespace
} // namespace bi::codec
