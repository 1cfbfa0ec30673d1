// Tests of the PPMd variant H model and RAR's range decoder: a known stream from a RAR 4
// archive, round trips through a matching encoder with heaps small enough to fill up many
// times (auditing the heap while that happens), and damaged input.
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

// Claims the bytes of the free blocks and of every context and stats block the model can
// reach: each must lie in the units area outside the gap, no byte may be claimed twice, and
// every suffix must hold the symbols of its child.
class PpmdModelInspector {
public:
    static std::uint32_t GlueCount(const PpmdModel& m) { return m.m_glueCount; }

    static void Audit(const PpmdModel& m) {
        std::vector<bool> owned(m.m_heapEnd);
        const auto claim = [&](std::uint32_t at, std::uint32_t units) {
            const std::uint32_t end = at + units * 12;
            bool ok = at >= m.m_unitsStart && end <= m.m_heapEnd && (m.m_heapEnd - at) % 12 == 0 &&
                      (end <= m.m_loUnit || at >= m.m_hiUnit);
            for (std::uint32_t b = at; ok && b < end; ++b) {
                ok = !owned[b];
                owned[b] = true;
            }
            return ok;
        };
        // Units of the block sizes: 1-4, 6-12, 15-24, 28-128.
        const auto units = [](std::uint32_t i) {
            return i < 4 ? i + 1 : i < 8 ? 2 * i - 2 : i < 12 ? 3 * i - 9 : 4 * i - 20;
        };
        for (unsigned i = 0; i < ppmd::kNumIndexes; ++i) {
            for (std::uint32_t b = m.m_freeList[i]; b != 0; b = m.Get32(b)) {
                ASSERT_TRUE(claim(b, units(i))) << "free block " << b << " of list " << i;
            }
        }
        std::vector<std::uint32_t> pending{m.m_minContext, m.m_maxContext};
        for (std::unordered_set<std::uint32_t> seen; !pending.empty();) {
            const std::uint32_t c = pending.back();
            pending.pop_back();
            if (!seen.insert(c).second) {
                continue;
            }
            ASSERT_TRUE(claim(c, 1)) << "context at " << c;
            const std::uint32_t n = m.NumStats(c), suffix = m.Suffix(c);
            ASSERT_TRUE(suffix == 0 ? n == 256 : suffix >= m.m_unitsStart && suffix < m.m_heapEnd)
                << "suffix of " << c;
            std::uint32_t i = 0;
            while (units(i) < (n + 1) / 2) {
                ++i;
            }
            const std::uint32_t states = n > 1 ? m.Stats(c) : c + 2;
            ASSERT_TRUE(n >= 1 && n <= 256 && (n == 1 || claim(states, units(i))))
                << n << " states of " << c;
            for (std::uint32_t s = states; s < states + n * 6; s += 6) {
                ASSERT_TRUE(suffix == 0 || m.FindState(suffix, m.Symbol(s)) != 0)
                    << "suffix of " << c << " lacks symbol " << int(m.Symbol(s));
                if (m.Successor(s) > m.m_text) {
                    pending.push_back(m.Successor(s));
                }
            }
            if (suffix != 0) {
                pending.push_back(suffix);
            }
        }
    }
};

namespace {

// Packed bytes behind a BitInput and a range decoder, after `skip` header bytes.
struct Unpacker : PackedSource {
    const std::vector<std::uint8_t>& data;
    std::size_t pos = 0;
    BitInput in;
    PpmdRangeDecoder rc;

    explicit Unpacker(const std::vector<std::uint8_t>& packed, int skip = 0) : data(packed) {
        in.Reset(*this);
        for (int i = 0; i < skip; ++i) {
            in.ReadByte();
        }
        rc.Init(in);
    }
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        const std::size_t n = std::min(size, data.size() - pos);
        std::memcpy(buffer, data.data() + pos, n);
        pos += n;
        return n;
    }
};

// The carry-less range encoder that PpmdRangeDecoder undoes, as the port through which the
// model's CodeSymbol picks the intervals of a known symbol.
struct EncoderPort {
    std::vector<std::uint8_t>& out;
    std::uint8_t target = 0;
    std::uint32_t low = 0, range = 0xFFFFFFFFu, total = 0;

    void SetTotal(std::uint32_t t) { total = t; }
    bool Hit(std::uint32_t, std::uint8_t symbol) const { return symbol == target; }
    bool EscapeValid(std::uint32_t) const { return true; }
    void Take(std::uint32_t start, std::uint32_t size) { Code(start, size, total); }
    unsigned Bit(std::uint32_t p, std::uint8_t symbol) {
        constexpr std::uint32_t kOne = 1u << PpmdRangeDecoder::kBinaryBits;
        symbol == target ? Code(0, p, kOne) : Code(p, kOne - p, kOne);
        return symbol == target ? 0 : 1;
    }
    void Code(std::uint32_t start, std::uint32_t size, std::uint32_t of) {
        range /= of;
        low += start * range;
        range *= size;
        for (;; range <<= 8, low <<= 8) {
            if ((low ^ (low + range)) >= PpmdRangeDecoder::kTop) {
                if (range >= PpmdRangeDecoder::kBottom) {
                    return;
                }
                range = (0u - low) & (PpmdRangeDecoder::kBottom - 1);
            }
            out.push_back(static_cast<std::uint8_t>(low >> 24));
        }
    }
    void Flush() { // ends a block: the decoder has read four bytes ahead
        for (int i = 0; i < 4; ++i, low <<= 8) {
            out.push_back(static_cast<std::uint8_t>(low >> 24));
        }
        low = 0;
        range = 0xFFFFFFFFu;
    }
};

enum class Kind { Random, Text, Mixed };

// Noise, words, long runs (whose frequencies overflow and get rescaled) and a small alphabet
// of high bytes, in random order for Mixed.
std::vector<std::uint8_t> MakeData(Kind kind, std::size_t size, unsigned seed) {
    static const std::string kWords[] = {"the",     "backup", "of",  "database", "tables", "QUOR",
                                         "restore", "error",  "and", "\r\n",     "12:00",  "a"};
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> data;
    while (data.size() < size) {
        const unsigned pick = kind == Kind::Mixed ? rng() % 4 : kind == Kind::Text ? 1 : 0;
        for (int i = 0; i < 300; ++i) {
            const std::string& w = kWords[rng() % std::size(kWords)];
            if (pick == 1) {
                data.insert(data.end(), w.begin(), w.end());
                data.push_back(rng() % 9 == 0 ? ',' : ' ');
            } else {
                data.push_back(static_cast<std::uint8_t>(pick == 0   ? rng()
                                                         : pick == 2 ? 0x41
                                                                     : 0xF0 + rng() % 5));
            }
        }
    }
    data.resize(size);
    return data;
}

// Encodes `data` in `blocks` pieces; each piece restarts only the range coder, as a PPMd block
// without the reset flag does. With `audit`, checks the heap every 32 symbols and whenever the
// allocator glued the free blocks.
std::vector<std::uint8_t> Encode(const std::vector<std::uint8_t>& data, std::uint32_t memory,
                                 unsigned order, unsigned blocks, std::uint64_t* restarts,
                                 bool audit = false) {
    PpmdModel model;
    EXPECT_TRUE(model.Restart(memory, order));
    std::vector<std::uint8_t> packed;
    EncoderPort port{packed};
    std::uint32_t glues = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        port.target = data[i];
        if (model.CodeSymbol(port) != data[i]) {
            ADD_FAILURE() << "encoder lost the symbol at " << i;
            return {};
        }
        if (audit &&
            (std::exchange(glues, PpmdModelInspector::GlueCount(model)) != glues || i % 32 == 0)) {
            PpmdModelInspector::Audit(model);
            if (testing::Test::HasFatalFailure()) {
                ADD_FAILURE() << "after symbol " << i << ", " << model.RestartCount()
                              << " restarts";
                return {};
            }
        }
        if ((i + 1) % (data.size() / blocks + 1) == 0) {
            port.Flush();
        }
    }
    port.Flush();
    *restarts = model.RestartCount();
    return packed;
}

// The first 514 packed bytes of a 20111-byte HTML page compressed by RAR with PPMd (order 8,
// 25 MiB, escape byte 2): the block header A7 18 (PPMd, reset, memory 0x18 + 1 MiB), then the
// range coder's data.
const char kHtmlStream[] =
    "\xA7\x18\x3B\xE4\xC1\xAF\x34\x5D\xF4\xEA\x9D\xAC\x40\x7A\xDD\xEE\xCF\xAD\x10\x2C\xFA\x2A"
    "\x97\xC6\x8A\x01\x33\x4A\x5B\xDF\xD6\xDF\x05\xC3\xFE\xC3\x2B\xB4\x2C\xED\x12\x59\x27\xCF"
    "\x75\xF4\xA6\xF4\x2B\x6E\x4D\xA0\xDD\x9F\x68\x3A\xF1\x55\x14\x8E\x81\x3C\x26\xC8\xDF\x6D"
    "\x2C\x48\x75\x56\x0A\xE8\xEE\x6D\x42\x2A\xA2\x95\x73\xB7\xAA\x19\xFF\xD1\xBF\x5A\x9D\xE5"
    "\x7A\x99\xD9\x45\x4D\xA6\x64\x07\x65\x7F\x8A\x3B\xE2\xFF\xFC\x2C\xDC\xCD\x74\x62\xD9\xCE"
    "\xD8\x4C\x57\xAF\x3E\x92\x0E\xB7\x03\x97\x07\x05\xC1\x92\xC0\xE7\x13\x4F\x3E\xAC\xCF\xBE"
    "\x76\x05\x9E\x66\x9D\x41\xF5\x1B\x0B\x45\x40\x95\x97\xAA\x2C\xD3\x1B\x2E\xEA\x52\xAD\x63"
    "\x6F\x7F\xBB\x3E\xD5\x38\x8B\x97\xEA\x4D\x89\x0E\x18\x34\x17\xAB\x27\xE5\x17\xF4\xE9\xAA"
    "\xE4\xA7\x71\x45\x0F\x41\x7A\x6A\x9F\xCD\x06\xFA\xFA\x2F\x29\x15\x76\x94\x82\x86\xD0\x86"
    "\x15\xC7\x21\x3C\x06\x6B\xBF\x2A\xD4\x86\x09\x1D\x51\x16\x48\x8A\x86\x13\x7F\x09\xC7\x6D"
    "\xD4\x56\xDF\x92\x67\x04\xF3\x86\x48\xFF\x08\x11\x8B\x6E\xC3\x23\x90\x75\x64\xA2\x15\x0E"
    "\xE4\xF6\x11\x41\x3C\xB4\xC9\xD5\x02\x47\xFF\xBE\x09\xF7\x1D\xFE\xB0\x12\xEC\xAD\x64\x05"
    "\x5F\x55\x96\xCB\xEF\x91\x94\x14\xAE\x82\x23\x3A\x4F\xE9\x32\x5F\xCA\xDD\x49\xC5\x7D\xA0"
    "\xAA\xB1\x39\xB3\x18\x7E\x07\x06\xD6\x3C\xF7\xF5\x2E\xFA\x7A\x66\x74\x25\x46\xD8\x97\xAD"
    "\x30\xFF\xD6\xBA\xC7\xC6\x9C\xD0\x47\x2E\xC1\x7F\x89\xC3\x84\xCB\xB8\x26\xF1\xAF\x65\x3B"
    "\x39\x67\xEB\x86\x2A\x9C\xAC\x01\x75\xA5\x1F\x8B\x1A\x64\xF9\xF7\xBE\x12\xB2\x5A\xEA\x12"
    "\x9B\x16\x1D\x06\xC6\x75\x28\x61\x7B\xAB\x04\x2D\x8E\xA3\xDC\x72\xB0\x12\xBA\x5D\x5C\x0A"
    "\xA1\xDC\x68\x80\xE0\x2B\x04\x5D\x49\x65\x87\xC4\x26\x25\x4F\x0C\x7C\x42\x9D\x27\xE9\xAD"
    "\xAC\xE7\x34\xD9\x9C\x78\x54\x30\x3C\x6B\x07\xEF\x78\x92\x07\x55\xDC\x29\xF5\x2C\x52\xEB"
    "\xEF\xD7\x4D\x0E\xCF\x20\x40\xA7\xCC\xBB\xFF\x04\x66\x75\x04\xA8\xC9\xE1\xF1\xE1\x81\xFE"
    "\x4A\x8D\x86\x56\xAD\x80\xF4\xDA\xF1\xA4\xB4\x49\x12\x4A\x55\xCA\xB8\xA2\x22\x4F\xE3\x1F"
    "\xCF\xCB\xF5\x54\x5F\x70\xCB\x60\x73\x5F\x0A\xF2\xCF\x60\xB3\xBF\x40\x74\x33\xAD\x0C\xC2"
    "\xC5\x32\x2A\x03\x32\xE2\x46\x8F\xCD\x27\x8B\x04\x94\xAF\x0C\xB3\x9A\xE9\xA3\x31\x63\xFF"
    "\x8E\x4B\xA5\x86\xC9\xCC\x0C\x21";

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
    const std::vector<std::uint8_t> packed(kHtmlStream, kHtmlStream + sizeof kHtmlStream - 1);
    Unpacker u(packed, 2);
    PpmdModel model;
    ASSERT_TRUE(model.Restart((packed[1] + 1u) << 20, 8));
    std::vector<std::uint8_t> symbols;
    for (int i = 0; i < 1020; ++i) {
        const int c = model.DecodeSymbol(u.rc);
        ASSERT_GE(c, 0) << "at " << i;
        symbols.push_back(static_cast<std::uint8_t>(c));
    }
    EXPECT_FALSE(u.in.Exhausted());
    EXPECT_EQ(std::string(symbols.begin(), symbols.begin() + 21), "<!DOCTYPE HTML PUBLIC");
    // The page's first 1020 symbols (literals and the model-coded escapes between them), as
    // decoding the whole entry to the archive's CRC confirms.
    EXPECT_EQ(Crc32(symbols), 0x5049EA3Cu);
}

// Encodes and decodes with one model code; heaps this small fill up over and over, so the
// glue, the text-area allocation and the restart run many times and must stay in step.
TEST(Ppmd, RoundTripsThroughFullHeaps) {
    const struct {
        Kind kind;
        std::size_t size;
        std::uint32_t memory;
        unsigned order, blocks;
        bool audit;
    } cases[] = {
        {Kind::Mixed, 60000, PpmdModel::kMinMemory, 2, 1, true},
        {Kind::Mixed, 60000, PpmdModel::kMinMemory, 64, 1, true},
        {Kind::Text, 60000, 24u << 10, 5, 1, true},
        {Kind::Random, 60000, 48u << 10, 12, 1, true},
        {Kind::Text, 300000, 64u << 10, 8, 1, false},
        {Kind::Mixed, 400000, 256u << 10, 64, 1, false},
        {Kind::Mixed, 300000, 1u << 20, 64, 3, false},
        {Kind::Mixed, 200000, 25u << 20, 8, 2, false}, // the only one that never fills
    };
    unsigned seed = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "memory " << c.memory << " order " << c.order);
        const std::vector<std::uint8_t> data = MakeData(c.kind, c.size, seed++);
        std::uint64_t restarts = 0;
        const auto packed = Encode(data, c.memory, c.order, c.blocks, &restarts, c.audit);
        ASSERT_FALSE(packed.empty());
        EXPECT_EQ(restarts > 1, c.memory < (25u << 20)) << restarts << " restarts";
        Unpacker u(packed);
        PpmdModel model;
        ASSERT_TRUE(model.Restart(c.memory, c.order));
        for (std::size_t i = 0; i < data.size(); ++i) {
            ASSERT_EQ(model.DecodeSymbol(u.rc), data[i]) << "at " << i;
            if ((i + 1) % (data.size() / c.blocks + 1) == 0) {
                u.rc.Init(u.in); // the next block: same model, new coder
            }
        }
        EXPECT_FALSE(u.in.Exhausted());
        EXPECT_EQ(model.RestartCount(), restarts);
    }
}

// Damaged streams end in -1 or in plain symbols, never outside the heap (run this under the
// address sanitizer) and never in a hang. Sizes and orders outside the format are refused.
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
        std::vector<std::uint8_t> bad = good; // every third round noise, else a few bytes changed
        const std::size_t changes = round % 3 == 0 ? bad.size() : 1 + round % 5;
        for (std::size_t k = 0; k < changes; ++k) {
            bad[round % 3 == 0 ? k : rng() % bad.size()] ^= static_cast<std::uint8_t>(rng());
        }
        Unpacker u(bad);
        ASSERT_TRUE(model.Restart(64u << 10, 2 + round % 63));
        for (std::size_t i = 0; i < data.size() + 1000; ++i) {
            if (model.DecodeSymbol(u.rc) < 0) {
                EXPECT_FALSE(model.Alive());
                EXPECT_EQ(model.DecodeSymbol(u.rc), -1);
                ++failures;
                break;
            }
        }
    }
    EXPECT_GT(failures, 10u); // most damage is caught as an impossible count
}

} // namespace
} // namespace bi::codec
