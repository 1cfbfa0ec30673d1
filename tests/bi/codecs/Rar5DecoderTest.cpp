// RAR 5.0 decoding: the compression field, the filter transforms, and the decoder on a small
// archived text and on streams written here bit by bit where a fault would hide in real archives
// (codes of every length, overlapping and wrapping copies, distance history, filters at edges,
// solid streams, damage).
#include "Rar5Decoder.h"
#include "CodecTestSupport.h"
#include "Rar5Filters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace bi::codec {
namespace {

using MemorySource = test::PieceSource<std::string>;

class StringSink : public UnpackedSink {
public:
    bool Write(const std::uint8_t* data, std::size_t size) override {
        output.append(reinterpret_cast<const char*>(data), refuse ? 0 : size);
        return !refuse;
    }
    std::string output;
    bool refuse = false;
};

struct Outcome {
    DecodeError error;
    std::string output;
    std::wstring reason;
};

Outcome Decode(Rar5Decoder& decoder, const std::string& data, std::uint64_t size,
               bool solid = false, std::uint64_t window = 1 << 20, std::size_t piece = 1 << 20,
               bool refuse = false) {
    static BitInput in; // one for all: its 1 MiB buffer costs a fresh mapping each time under Wine
    StringSink sink;
    sink.refuse = refuse;
    DecodeResult result = decoder.BeginEntry(solid, window);
    if (result.ok()) {
        MemorySource source(data, piece);
        in.Reset(source);
        result = decoder.DecodeEntry(in, size, sink);
    }
    return {result.error, sink.output, result.reason};
}

Outcome Decode(const std::string& data, std::uint64_t size, std::uint64_t window = 1 << 20) {
    Rar5Decoder decoder;
    return Decode(decoder, data, size, false, window);
}

// Writes one block. Its default tables give all symbols of an alphabet one code length, so a
// symbol's code is its number (main 9 bits, distance slots 6, low distance 4, length slots 6;
// the bit-length code 5 bits each). Symbols use the canonical codes of the last lengths given.
enum class Tables { Default, Custom, None };
enum Alphabet { kMain, kDistance, kLow, kLength };

class BlockWriter {
public:
    explicit BlockWriter(Tables tables = Tables::Default) : m_tables(tables != Tables::None) {
        if (tables == Tables::Default) {
            Lengths(Uniform(9, 6, 4, 6));
        } else {
            UseLengths(Uniform(9, 6, 4, 6));
        }
    }
    static std::vector<std::uint8_t> Uniform(unsigned main, unsigned distance, unsigned low,
                                             unsigned length) {
        std::vector<std::uint8_t> lengths(306, static_cast<std::uint8_t>(main));
        lengths.insert(lengths.end(), 64, static_cast<std::uint8_t>(distance));
        lengths.insert(lengths.end(), 16, static_cast<std::uint8_t>(low));
        lengths.insert(lengths.end(), 44, static_cast<std::uint8_t>(length));
        return lengths;
    }

    void Put(std::uint64_t value, unsigned count) {
        for (unsigned i = count; i-- > 0; ++m_bits) {
            if (m_bits % 8 == 0) {
                m_bytes.push_back(0);
            }
            m_bytes.back() =
                static_cast<char>(m_bytes.back() | (((value >> i) & 1) << (7 - m_bits % 8)));
        }
    }
    // The table section: bit lengths, then the 306 + 64 + 16 + 44 lengths of the four alphabets.
    void Lengths(const std::vector<std::uint8_t>& lengths) {
        Items(5, 20, 4);
        for (const std::uint8_t length : lengths) {
            Put(length, 5);
        }
        UseLengths(lengths);
    }
    void Items(unsigned value, int count, unsigned bits = 5) {
        for (int i = 0; i < count; ++i) {
            Put(value, bits);
        }
    }
    void Symbol(Alphabet alphabet, unsigned symbol) {
        Put(m_codes[alphabet][symbol], m_lengths[alphabet][symbol]);
    }
    void Literals(const std::string& text) {
        for (const char c : text) {
            Symbol(kMain, static_cast<std::uint8_t>(c));
        }
    }
    // A copy with a new distance; `length` includes the bonus far distances get.
    void Copy(std::uint32_t length, std::uint64_t distance) {
        Length(length - (distance > 0x100) - (distance > 0x2000) - (distance > 0x40000), kMain,
               262);
        // Slots 0-3 are distances 1-4; then two slots for each number of extra bits.
        const auto base = [](unsigned s) {
            return s < 4 ? s : std::uint64_t{2 + s % 2} << (s / 2 - 1);
        };
        unsigned slot = 0;
        while (slot < 63 && base(slot + 1) <= distance - 1) {
            ++slot;
        }
        const unsigned extra = slot < 4 ? 0 : slot / 2 - 1;
        const std::uint64_t rest = distance - 1 - base(slot);
        Symbol(kDistance, slot);
        if (extra < 4) {
            Put(rest, extra);
        } else {
            Put(rest >> 4, extra - 4);
            Symbol(kLow, rest & 15);
        }
    }
    // Symbols 258-261: the k-th last distance with a new length; 257 repeats the last copy.
    void OldDistance(unsigned k, std::uint32_t length) {
        Symbol(kMain, 258 + k);
        Length(length, kLength, 0);
    }
    void RepeatLast() { Symbol(kMain, 257); }
    void Filter(std::uint32_t offset, std::uint32_t length, unsigned type, unsigned channels = 1) {
        Symbol(kMain, 256);
        for (const std::uint32_t value : {offset, length}) {
            const unsigned bytes = value < 0x100       ? 1
                                   : value < 0x10000   ? 2
                                   : value < 0x1000000 ? 3
                                                       : 4;
            Put(bytes - 1, 2);
            for (unsigned i = 0; i < bytes; ++i) {
                Put((value >> (8 * i)) & 0xFF, 8);
            }
        }
        Put(type, 3);
        if (type == 0) {
            Put(channels - 1, 5);
        }
    }
    // Header (flags, check byte, size) and data; `trim` declares the block that many bits short.
    std::string Finish(bool last, unsigned trim = 0) const {
        const std::size_t endBit = m_bits - trim;
        const std::size_t size = (endBit + 7) / 8;
        const unsigned sizeBytes = size < 0x100 ? 1 : size < 0x10000 ? 2 : 3;
        const unsigned flags = (m_tables ? 0x80 : 0) | (last ? 0x40 : 0) | ((sizeBytes - 1) << 3) |
                               static_cast<unsigned>(endBit - (size - 1) * 8 - 1);
        std::string header(1, static_cast<char>(flags));
        unsigned check = 0x5A ^ flags;
        for (unsigned i = 0; i < sizeBytes; ++i) {
            header.push_back(static_cast<char>(size >> (8 * i)));
            check ^= (size >> (8 * i)) & 0xFF;
        }
        header.insert(header.begin() + 1, static_cast<char>(check));
        return header + m_bytes.substr(0, size);
    }

private:
    // Canonical codes: shorter first, equal lengths in symbol order.
    void UseLengths(const std::vector<std::uint8_t>& lengths) {
        const std::size_t sizes[] = {306, 64, 16, 44};
        auto at = lengths.begin();
        for (int alphabet = kMain; alphabet <= kLength; at += sizes[alphabet++]) {
            m_lengths[alphabet].assign(at, at + sizes[alphabet]);
            m_codes[alphabet].assign(sizes[alphabet], 0);
            std::uint32_t code = 0;
            for (unsigned length = 1; length <= 15; ++length, code <<= 1) {
                for (std::size_t symbol = 0; symbol < sizes[alphabet]; ++symbol) {
                    if (m_lengths[alphabet][symbol] == length) {
                        m_codes[alphabet][symbol] = code++;
                    }
                }
            }
        }
    }
    // Slots 0-7 are lengths 2-9; then four slots for each number of extra bits.
    void Length(std::uint32_t length, Alphabet alphabet, unsigned firstSymbol) {
        const auto base = [](unsigned s) {
            return s < 8 ? s + 2 : 2 + ((4 + s % 4) << (s / 4 - 1));
        };
        unsigned slot = 0;
        while (slot < 43 && base(slot + 1) <= length) {
            ++slot;
        }
        Symbol(alphabet, firstSymbol + slot);
        Put(length - base(slot), slot < 8 ? 0 : slot / 4 - 1);
    }

    bool m_tables;
    std::string m_bytes;
    std::size_t m_bits = 0;
    std::array<std::vector<std::uint8_t>, 4> m_lengths;
    std::array<std::vector<std::uint32_t>, 4> m_codes;
};

// What a copy produces, byte by byte.
void Copy(std::string& out, std::size_t length, std::size_t distance) {
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(out[out.size() - distance]);
    }
}

// Writes a copy to the stream and to its expected output.
void Copy(BlockWriter& block, std::string& out, std::size_t length, std::size_t distance) {
    block.Copy(static_cast<std::uint32_t>(length), distance);
    Copy(out, length, distance);
}

const std::string kSeedText = "The quick brown fox jumps over the lazy dog; 0123456789!";

// A stream of kSeedText grown to `size` bytes by copies of varied distances, so that the content
// does not repeat with a short period.
void FillTo(BlockWriter& block, std::string& expected, std::size_t size) {
    if (expected.empty()) {
        expected = kSeedText;
        block.Literals(expected);
    }
    std::mt19937 random(7);
    while (expected.size() < size) {
        const std::size_t distance = 1 + random() % std::min<std::size_t>(expected.size(), 200);
        std::size_t length = std::min<std::size_t>(size - expected.size(), 2 + random() % 4000);
        length += size - expected.size() - length == 1;
        Copy(block, expected, length, distance);
    }
}

TEST(Rar5CompressionTest, ParsesTheCompressionField) {
    struct Case {
        std::uint64_t info;
        bool valid;
        unsigned method = 0;
        std::uint64_t dictionary = 0;
        bool solid = false;
        bool rar5Stream = true;
    };
    const Case cases[] = {
        {0x0180, true, 3, 128 << 10},
        {0x0EC0, true, 5, 1 << 20, true},
        {0x3C80, true, 1, 128ull << 25}, // exponent 15: 4 GiB
        {0x4080, false},                 // exponent 16 needs the RAR 7 field
        {0x7C00, true, 0, 0},            // stored: dictionary bits mean nothing, even invalid
        {0x0300, false},                 // method 6
        {0x0182, false},                 // algorithm version 2
        {0x100000 | (4 << 15) | 0x0981, true, 3, (512ull << 10) * 36 / 32}, // RAR 5.0 data
        {0x0981, true, 3, 512 << 10, false, false},                         // RAR 7 data
        {0x6181, false}, // RAR 7 field, exponent 24
    };
    for (const Case& c : cases) {
        Rar5Compression parsed;
        EXPECT_EQ(c.valid, ParseRar5Compression(c.info, parsed)) << std::hex << c.info;
        if (c.valid) {
            EXPECT_EQ(c.method, parsed.method) << std::hex << c.info;
            EXPECT_EQ(c.dictionary, parsed.dictionarySize) << std::hex << c.info;
            EXPECT_EQ(c.solid, parsed.solid) << std::hex << c.info;
            EXPECT_EQ(c.rar5Stream, parsed.rar5Stream) << std::hex << c.info;
        }
    }
}

// Bytes from hex text, two digits each, spaces ignored.
std::string FromHex(const char* hex) {
    std::string bytes;
    for (; *hex != 0; ++hex) {
        if (*hex != ' ') {
            bytes.push_back(static_cast<char>(std::stoi(std::string(hex++, 2), nullptr, 16)));
        }
    }
    return bytes;
}

// Each transform on ranges worked out by hand: operands at the range's end, addresses on
// both sides of the 16 MiB wrap, the file offset, and what must stay untouched.
TEST(Rar5FilterTest, UndoesEachTransform) {
    using enum Rar5FilterType;
    struct Case {
        const char* what;
        Rar5FilterType type;
        std::uint64_t fileOffset;
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"call forwards", E8, 0, "E8 10000000 90909090", "E8 0F000000 90909090"},
        {"offset in the file", E8, 0x1000, "E8 10000000 90", "E8 0FF0FFFF 90"},
        {"offset taken modulo 16 MiB", E8, 0x100000F, "E8 10000000 90", "E8 00000000 90"},
        {"negative address back inside", E8, 0, "E8 FFFFFFFF 90", "E8 FFFFFF00 90"},
        {"negative address outside", E8, 0, "E8 F0FFFFFF 90", "E8 F0FFFFFF 90"},
        {"address beyond 16 MiB", E8, 0, "E8 00000001 90", "E8 00000001 90"},
        {"operand bytes are not opcodes", E8, 0, "E8 E8000000 90909090", "E8 E7000000 90909090"},
        {"last operand byte is not an opcode", E8, 0, "E8 100000E8 10000000 90909090",
         "E8 100000E8 10000000 90909090"},
        {"last operand ends the range", E8, 0, "909090 E8 10000000", "909090 E8 0C000000"},
        {"opcode in the last 4 bytes", E8, 0, "90909090 E8 100000", "90909090 E8 100000"},
        {"jump left alone by E8", E8, 0, "E9 10000000 90", "E9 10000000 90"},
        {"jump converted by E8E9", E8E9, 0, "E9 10000000 90", "E9 0F000000 90"},
        {"BL words only, whole words only", Arm, 8, "010000EB 00000000 100000EB 050000EA 1234",
         "FFFFFFEB 00000000 0C0000EB 050000EA 1234"},
        {"BL as the last word", Arm, 0, "00000000 100000EB", "00000000 0F0000EB"},
    };
    for (const Case& c : cases) {
        std::string data = FromHex(c.in);
        auto* bytes = reinterpret_cast<std::uint8_t*>(data.data());
        if (c.type == Arm) {
            UndoRar5Arm(bytes, data.size(), c.fileOffset);
        } else {
            UndoRar5E8(bytes, data.size(), c.fileOffset, c.type == E8E9);
        }
        EXPECT_EQ(FromHex(c.out), data) << c.what;
    }

    // DELTA: planes stored one after the other, each a running difference from zero.
    const std::uint8_t planes[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    std::uint8_t interleaved[5] = {};
    UndoRar5Delta(planes, interleaved, 5, 2);
    EXPECT_EQ(FromHex("FF FC FD F7 FA"), std::string(interleaved, interleaved + 5));
    UndoRar5Delta(planes, interleaved, 3, 1);
    EXPECT_EQ(FromHex("FF FD FA"), std::string(interleaved, interleaved + 3));
}

// A 76-byte text packed into 74 bytes: two blocks with their own tables, a repeat distance and
// the low-distance table. Read one byte at a time as well; every shortened copy is truncated,
// every damaged header refused.
TEST(Rar5DecoderTest, DecodesATwoBlockText) {
    const std::string data =
        FromHex("87C31E24032F94033C5637B94BE41A2020D2EFF6B8E71DB733C7D45D1383B34CA0C4B82633"
                "0024F840324AF720FB8F990941FE8D34302413B65595CED92A77DF01234567B79AC737E2E8");
    const std::string text =
        "abcabcabc, hello world! 0123456789 hello_world? abcabcabc, hello 0123456789!";
    Rar5Decoder decoder;
    for (const std::size_t piece : {1 << 20, 1}) {
        const Outcome got = Decode(decoder, data, 76, false, 128 << 10, piece);
        EXPECT_EQ(DecodeError::None, got.error) << piece;
        EXPECT_EQ(text, got.output) << piece;
    }
    for (std::size_t size = 0; size < data.size(); ++size) {
        EXPECT_EQ(DecodeError::Truncated, Decode(data.substr(0, size), 76).error) << size;
    }
    // The check byte, four size bytes, the second header, bit lengths all 1 (over-subscribed).
    for (const auto& [at, value] : {std::pair{1, '\xC4'}, {0, '\x9F'}, {34, '\xB9'}, {3, '\x11'}}) {
        std::string bad = data;
        bad[at] = value;
        EXPECT_EQ(DecodeError::Damaged, Decode(bad, 76).error) << at;
    }
}

// Every alphabet with codes of 1 to 15 bits, on both sides of any first lookup a decoder may
// use: each main symbol, distance slot, low distance and length slot given a code is used, with
// length extra bits up to 9 and distance extra bits up to 13. The one pattern each alphabet
// leaves without a symbol is refused.
TEST(Rar5DecoderTest, DecodesCodesOfEveryLength) {
    const unsigned mainSymbols[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h',
                                    257, 258, 261, 262, 270, 290, 305};
    const unsigned copySlots[] = {0, 8, 28, 43}; // main symbols 262, 270, 290, 305
    const unsigned distanceSlots[] = {0, 1, 2, 3, 5, 8, 9, 10, 11, 15, 20, 25, 26, 28, 29};
    const unsigned lengthSlots[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 20, 30, 40, 42, 43};
    const unsigned order[] = {15, 1, 14, 2, 13, 3, 12, 4, 11, 5, 10, 6, 9, 7, 8};
    std::vector<std::uint8_t> lengths(430, 0);
    for (unsigned i = 0; i < 15; ++i) {
        lengths[mainSymbols[i]] = static_cast<std::uint8_t>(order[i]);
        lengths[306 + distanceSlots[i]] = static_cast<std::uint8_t>(order[(i + 4) % 15]);
        lengths[370 + i] = static_cast<std::uint8_t>(order[(i + 8) % 15]); // low values 0-14
        lengths[386 + lengthSlots[i]] = static_cast<std::uint8_t>(order[(i + 12) % 15]);
    }
    std::mt19937 random(5);
    const auto length = [&](unsigned s) { // random within length slot s
        const std::uint32_t base = s < 8 ? s + 2 : 2 + ((4 + s % 4) << (s / 4 - 1));
        return base + static_cast<std::uint32_t>(random() % (1u << (s < 8 ? 0 : s / 4 - 1)));
    };

    BlockWriter block(Tables::Custom);
    block.Lengths(lengths);
    std::string expected = "abcdefghhgfedcbaaceghbdfcafchebgdhhdfgabce";
    block.Literals(expected);
    std::vector<std::uint64_t> history;
    const auto copy = [&](std::uint32_t slotLength, std::uint64_t distance) {
        const std::uint32_t bonus = (distance > 0x100) + (distance > 0x2000) + (distance > 0x40000);
        Copy(block, expected, slotLength + bonus, distance);
        history.insert(history.begin(), distance);
    };
    while (expected.size() < 40000) {
        const char letter = static_cast<char>('a' + expected.size() % 8);
        block.Literals(std::string(1, letter)), expected += letter;
        copy(length(43), 25 + random() % 8); // distance slot 9
    }
    for (const unsigned slot : distanceSlots) {
        const unsigned extra = slot < 4 ? 0 : slot / 2 - 1;
        const std::uint64_t base = slot < 4 ? slot : std::uint64_t{2 + slot % 2} << extra;
        for (const unsigned copySlot : copySlots) {
            std::uint64_t rest = random() % (std::uint64_t{1} << extra);
            rest -= extra >= 4 && rest % 16 == 15; // low distance 15 has no code
            block.Literals("h"), expected += 'h';
            copy(length(copySlot), base + rest + 1);
        }
    }
    for (const unsigned lengthSlot : lengthSlots) {
        for (const unsigned age : {0u, 3u}) {
            const std::uint32_t reused = length(lengthSlot);
            const std::uint64_t distance = history[age];
            history.erase(history.begin() + age);
            history.insert(history.begin(), distance);
            block.OldDistance(age, reused), Copy(expected, reused, distance);
            block.RepeatLast(), Copy(expected, reused, distance);
        }
    }
    const Outcome got = Decode(block.Finish(true), expected.size());
    EXPECT_EQ(DecodeError::None, got.error);
    EXPECT_TRUE(expected == got.output);

    // A copy, then the prefix (main, distance, low, length) that leads to the unused pattern.
    const std::vector<std::pair<Alphabet, unsigned>> prefixes[] = {
        {}, {{kMain, 262}}, {{kMain, 262}, {kDistance, 10}}, {{kMain, 258}}};
    for (const auto& prefix : prefixes) {
        BlockWriter gap(Tables::Custom);
        gap.Lengths(lengths);
        gap.Literals("abcdefgh");
        gap.Copy(2, 8);
        for (const auto& [alphabet, symbol] : prefix) {
            gap.Symbol(alphabet, symbol);
        }
        gap.Put(0x7FFF, 15);
        const Outcome refused = Decode(gap.Finish(true), 100);
        EXPECT_EQ(DecodeError::Damaged, refused.error) << prefix.size();
        EXPECT_EQ(std::wstring(L"bad Huffman code"), refused.reason) << prefix.size();
    }
}

// Distances 1-17 repeat a pattern shorter than the copy, with lengths up to the longest slot.
// New distances fill the history; symbols 258-261 take an entry with a length from the length
// alphabet and move it to the front; 257 repeats the last length and distance. Far distances
// add 1, 2 or 3 to a new copy's length, and 257 repeats the longer length.
TEST(Rar5DecoderTest, CopiesOverlappingAndFromTheDistanceHistory) {
    BlockWriter block;
    std::string expected = "ABCDEFGHIJKLMNOPQ";
    block.Literals(expected);
    for (std::size_t distance = 1; distance <= 17; ++distance) {
        for (const std::uint32_t length : {2u, 7u, 9u, 23u, 24u, 31u, 100u, 4097u}) {
            Copy(block, expected, length, distance);
            block.Literals("x"), expected += "x";
        }
        block.Literals("ABCDEFGHIJKLMNOPQ"), expected += "ABCDEFGHIJKLMNOPQ";
    }
    Copy(block, expected, 3, 20);                       // history 20
    Copy(block, expected, 3, 10);                       // 10 20
    Copy(block, expected, 3, 5);                        // 5 10 20
    Copy(block, expected, 3, 2);                        // 2 5 10 20
    block.OldDistance(3, 4), Copy(expected, 4, 20);     // 20 2 5 10
    block.OldDistance(1, 5), Copy(expected, 5, 2);      // 2 20 5 10
    block.OldDistance(2, 33), Copy(expected, 33, 5);    // 5 2 20 10
    block.OldDistance(3, 999), Copy(expected, 999, 10); // 10 5 2 20
    block.OldDistance(0, 2), Copy(expected, 2, 10);
    block.RepeatLast(), Copy(expected, 2, 10);
    block.OldDistance(2, 6), Copy(expected, 6, 2); // 2 10 5 20
    block.RepeatLast(), Copy(expected, 6, 2);
    FillTo(block, expected, 300000);
    for (const std::size_t distance : {257u, 8193u, 262145u, 256u, 8192u, 262144u}) {
        Copy(block, expected, 50, distance);
        block.RepeatLast(), Copy(expected, 50, distance);
    }
    const Outcome got = Decode(block.Finish(true), expected.size());
    EXPECT_EQ(DecodeError::None, got.error);
    EXPECT_TRUE(expected == got.output);
}

// In a 256 KiB window: copies whose source, destination or both wrap round its end, copies
// from exactly the window size back (also right after short copies, which a decoder may write
// in whole chunks beyond their end), and one byte further. Then new distances starting at every
// position round the window's end, one right where a ring a little larger than the window wraps.
TEST(Rar5DecoderTest, CopiesAcrossTheWindowEnd) {
    constexpr std::size_t kWindow = 256 << 10;
    BlockWriter block;
    std::string expected;
    FillTo(block, expected, kWindow - 2000);
    Copy(block, expected, 4097, 3000); // destination wraps
    Copy(block, expected, 1000, 2500); // source wraps
    Copy(block, expected, 4000, 5000); // source wraps, far behind
    Copy(block, expected, 3000, kWindow);
    FillTo(block, expected, 3 * kWindow + 100);
    const std::string capitals = "ABCDEFGHIJKLMNOPQRSUVWXYZ"; // none in the text a window back
    for (std::size_t i = 0; i < 64; ++i) {
        const std::string fresh = capitals.substr(i % 8) + capitals.substr(0, i % 8);
        block.Literals(fresh), expected += fresh;
        Copy(block, expected, 3, fresh.size());
        Copy(block, expected, 20, kWindow);
    }
    Copy(block, expected, 4097, kWindow - 10);
    const Outcome got = Decode(block.Finish(true), expected.size(), kWindow);
    EXPECT_EQ(DecodeError::None, got.error);
    EXPECT_TRUE(expected == got.output);
    block.Copy(10, kWindow + 1);
    EXPECT_EQ(DecodeError::Damaged,
              Decode(block.Finish(true), expected.size() + 10, kWindow).error);

    for (const std::size_t shift : {0, 1}) {
        BlockWriter around;
        std::string text;
        FillTo(around, text, kWindow - 300 + shift);
        while (text.size() < kWindow + 600) {
            Copy(around, text, 2, 50);
        }
        const Outcome wrapped = Decode(around.Finish(true), text.size(), kWindow);
        EXPECT_EQ(DecodeError::None, wrapped.error) << shift;
        EXPECT_TRUE(text == wrapped.output) << shift;
    }
}

// An E8E9 range that starts in one block, ends in the next and, in a solid entry that begins
// near the end of the window, wraps round it: the same bytes as when decoded alone. A DELTA
// range of three channels, and an E8 range that ends the entry with an opcode 5 bytes before
// its end. Random damage to it.
TEST(Rar5DecoderTest, AppliesFiltersAcrossBlocksAndTheWindowEnd) {
    std::string code;
    while (code.size() < 3000) {
        code += std::string("\xE8\x10\x00\x00\x00\x90\xE9\xF0\xFF\xFF\xFF\x55", 12);
    }
    BlockWriter first;
    first.Filter(0, 3000, 2);
    first.Literals(code.substr(0, 1500));
    BlockWriter second(Tables::None);
    second.Literals(code.substr(1500));
    second.Filter(0, 40, 0, 3);
    second.Literals(std::string(40, '\x01'));
    second.Filter(10, 20, 1);
    second.Literals("0123456789" + std::string(15, '\x90') +
                    std::string("\xE8\x00\x01\x00\x00", 5));
    const std::string entry = first.Finish(false) + second.Finish(true);

    const Outcome alone = Decode(entry, 3070);
    ASSERT_EQ(DecodeError::None, alone.error);
    const std::pair<std::size_t, const char*> operands[] = {
        {1, "\x0F\x00\x00\x00"},    {7, "\xF0\xFF\xFF\xFF"},    {1501, "\x33\xFA\xFF\xFF"},
        {1507, "\xF0\xFF\xFF\x00"}, {2989, "\x63\xF4\xFF\xFF"}, {2995, "\xF0\xFF\xFF\x00"},
        {3066, "\x06\xF5\xFF\xFF"}};
    for (const auto& [at, bytes] : operands) {
        EXPECT_EQ(std::string(bytes, 4), alone.output.substr(at, 4)) << at;
    }
    for (std::size_t i = 0; i < 40; ++i) {
        EXPECT_EQ(static_cast<char>(0xFF - i / 3), alone.output[3000 + i]) << i;
    }

    Rar5Decoder solid;
    BlockWriter filler;
    std::string history;
    FillTo(filler, history, (256 << 10) - 1000);
    ASSERT_EQ(DecodeError::None,
              Decode(solid, filler.Finish(true), history.size(), false, 256 << 10).error);
    const Outcome wrapped = Decode(solid, entry, 3070, true, 256 << 10);
    EXPECT_EQ(DecodeError::None, wrapped.error);
    EXPECT_EQ(alone.output, wrapped.output);

    // Random damage: any answer but a crash, a hang or output beyond the declared size.
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        std::string bad = entry.substr(0, random() % 4 ? entry.size() : 1 + random() % 3000);
        for (unsigned flips = 1 + random() % 3; flips > 0; --flips) {
            bad[random() % bad.size()] ^= static_cast<char>(1 + random() % 255);
        }
        EXPECT_LE(Decode(solid, bad, 3070).output.size(), 3070u);
    }
}

// A solid entry keeps the window, the distance history, the last length and the tables: its
// block has no tables and its copies reach into the previous entry. It follows only an entry
// that ended well; a larger window serves later distances, not bytes already dropped; a new
// stream keeps nothing.
TEST(Rar5DecoderTest, ContinuesSolidStreams) {
    BlockWriter first;
    std::string output = kSeedText;
    first.Literals(output);
    Copy(first, output, 10, 44);
    const std::size_t firstSize = output.size();
    BlockWriter second(Tables::None);
    second.RepeatLast(), Copy(output, 10, 44);
    second.OldDistance(0, 20), Copy(output, 20, 44);
    Copy(second, output, 30, output.size() - 3);
    const std::string secondData = second.Finish(true);

    Rar5Decoder decoder;
    ASSERT_EQ(DecodeError::None, Decode(decoder, first.Finish(true), firstSize).error);
    const Outcome got = Decode(decoder, secondData, output.size() - firstSize, true);
    EXPECT_EQ(DecodeError::None, got.error);
    EXPECT_EQ(output.substr(firstSize), got.output);

    BlockWriter own;
    own.Literals("xyz");
    const std::string selfContained = own.Finish(true);
    EXPECT_EQ(DecodeError::None, Decode(decoder, selfContained, 3, true).error);
    EXPECT_EQ(DecodeError::Damaged, Decode(decoder, selfContained, 2, true).error);
    EXPECT_EQ(DecodeError::Damaged, Decode(decoder, selfContained, 3, true).error);
    Rar5Decoder fresh;
    EXPECT_EQ(DecodeError::Damaged, Decode(fresh, selfContained, 3, true).error);

    Rar5Decoder growing;
    BlockWriter filler;
    std::string history;
    FillTo(filler, history, 300000);
    ASSERT_EQ(DecodeError::None,
              Decode(growing, filler.Finish(true), history.size(), false, 256 << 10).error);
    BlockWriter far(Tables::None);
    Copy(far, history, 50, 256 << 10); // the oldest byte the 256 KiB window kept
    const Outcome reached = Decode(growing, far.Finish(true), 50, true, 1 << 20);
    EXPECT_EQ(DecodeError::None, reached.error);
    EXPECT_EQ(history.substr(history.size() - 50), reached.output);
    BlockWriter tooFar(Tables::None);
    tooFar.Copy(50, (256 << 10) + 51);
    EXPECT_EQ(DecodeError::Damaged, Decode(growing, tooFar.Finish(true), 50, true, 1 << 20).error);

    ASSERT_EQ(DecodeError::None, Decode(decoder, first.Finish(true), firstSize).error);
    EXPECT_EQ(DecodeError::Damaged, Decode(decoder, secondData, 60).error); // no tables
    BlockWriter repeats;
    repeats.Literals("ab");
    repeats.RepeatLast(); // no last length
    EXPECT_EQ(DecodeError::None, Decode(decoder, repeats.Finish(true), 2).error);
    repeats.OldDistance(0, 2); // no distances
    ASSERT_EQ(DecodeError::None, Decode(decoder, first.Finish(true), firstSize).error);
    EXPECT_EQ(DecodeError::Damaged, Decode(decoder, repeats.Finish(true), 4).error);
}

// Streams that break one rule each, beside valid ones that differ from them only there.
TEST(Rar5DecoderTest, RefusesBrokenStreams) {
    // A block with `lengths` (none if empty), written on by `write`.
    const auto stream = [](const std::vector<std::uint8_t>& lengths,
                           const std::function<void(BlockWriter&)>& write, bool last = true,
                           unsigned trim = 0) {
        BlockWriter block(Tables::Custom);
        if (!lengths.empty()) {
            block.Lengths(lengths);
        }
        write(block);
        return block.Finish(last, trim);
    };
    const auto abc = [](BlockWriter& b) { b.Literals("abc"); };
    const auto plain = BlockWriter::Uniform(9, 6, 4, 6);
    const auto literalsOnly = BlockWriter::Uniform(9, 0, 0, 0);
    const auto copy = [](std::uint32_t length, std::uint64_t distance, int old = -1) {
        return [=](BlockWriter& b) {
            b.Literals("ab");
            old < 0 ? b.Copy(length, distance) : b.OldDistance(old, length);
        };
    };
    // Filters, then the data they cover: kSeedText and copies up to `size`.
    const auto filtered = [](std::uint32_t offset, std::uint32_t length, unsigned type,
                             std::size_t size, std::uint32_t secondOffset = 0) {
        return [=](BlockWriter& b) {
            b.Filter(offset, length, type);
            if (secondOffset != 0) {
                b.Filter(secondOffset, 8, 1);
            }
            std::string output;
            FillTo(b, output, size);
        };
    };
    const auto filters = [](int count) {
        return [=](BlockWriter& b) {
            for (int i = 0; i < count; ++i) {
                b.Filter(4 * i, 4, 1);
            }
            b.Literals(std::string(4 * count, 'f'));
        };
    };
    const auto repeatedFirst = [](BlockWriter& b) {
        b.Items(5, 20, 4);
        b.Put(16, 5), b.Put(0, 3); // three times the length before the first
        b.Items(9, 303), b.Items(6, 64), b.Items(4, 16), b.Items(6, 44);
        b.Literals("abc");
    };
    constexpr std::uint64_t kUnknown = Rar5Decoder::kUnknownSize;
    constexpr DecodeError kOk = DecodeError::None;
    constexpr DecodeError kBad = DecodeError::Damaged;
    const struct {
        const char* what;
        std::string data;
        std::uint64_t size;
        DecodeError error;
        const wchar_t* reason = nullptr; // where another check could refuse it too
    } cases[] = {
        {"valid", stream(plain, abc), 3, kOk},
        {"size unknown", stream(plain, abc), kUnknown, kOk},
        {"over-subscribed main table", stream(BlockWriter::Uniform(1, 6, 4, 6), abc), 3, kBad},
        {"only literals, other tables empty", stream(literalsOnly, abc), 3, kOk},
        {"copy with an empty distance table", stream(literalsOnly, copy(2, 1)), 4, kBad},
        {"empty bit-length table", stream({}, [](BlockWriter& b) { b.Put(0xFFF1, 16); }), 0, kBad},
        {"length repeated before any", stream({}, repeatedFirst), 3, kBad},
        {"tables cut by the block end", stream({}, [](BlockWriter& b) { b.Items(5, 20, 4); }), 0,
         kBad},
        {"tables only", stream(plain, [](BlockWriter&) {}), 0, kOk},
        {"no tables yet",
         [&] {
             BlockWriter b(Tables::None);
             return abc(b), b.Finish(true);
         }(),
         3, kBad},
        {"code with no symbol", stream(plain, [](BlockWriter& b) { b.Put(400, 9); }), 1, kBad},
        {"symbol past the block end", stream(plain, abc, true, 1), 3, kBad},
        {"empty block", std::string("\xC7\x9D\x00", 3), 0, kBad},
        {"no last block", stream(plain, abc, false), 3, DecodeError::Truncated},
        {"bytes missing at the end", stream(plain, abc), 4, kBad},
        {"bytes beyond the declared size", stream(plain, abc), 2, kBad},
        {"copy", stream(plain, copy(5, 2)), 7, kOk},
        {"copy beyond the declared size", stream(plain, copy(5, 2)), 6, kBad},
        {"distance before the data", stream(plain, copy(5, 3)), 7, kBad},
        {"repeat of an unset distance", stream(plain, copy(2, 0, 1)), 4, kBad},
        {"filter", stream(plain, filtered(0, 64, 1, 100)), 100, kOk},
        {"filter of 3 bytes", stream(plain, filtered(0, 3, 1, 100)), 100, kBad},
        {"filter of 4 MiB", stream(plain, filtered(0, 0x400000, 1, 0x400000)), 0x400000, kOk},
        {"filter over 4 MiB", stream(plain, filtered(0, 0x400001, 1, 0x400001)), 0x400001, kBad},
        {"unknown filter type", stream(plain, filtered(0, 16, 4, 100)), 100, kBad},
        {"filters side by side", stream(plain, filtered(0, 16, 1, 100, 16)), 100, kOk},
        {"overlapping filters", stream(plain, filtered(0, 16, 1, 100, 15)), 100, kBad},
        {"filter ending the data", stream(plain, filtered(92, 8, 1, 100)), 100, kOk},
        {"filter past the declared size", stream(plain, filtered(93, 8, 1, 100)), 100, kBad},
        {"filter past the data, size unknown", stream(plain, filtered(93, 8, 1, 100)), kUnknown,
         kBad},
        {"8192 filters waiting", stream(plain, filters(8192)), 4 * 8192, kOk},
        {"8193 filters waiting", stream(plain, filters(8193)), 4 * 8193, kBad,
         L"too many filters waiting"},
    };
    for (const auto& c : cases) {
        const Outcome got = Decode(c.data, c.size);
        EXPECT_EQ(c.error, got.error) << c.what;
        EXPECT_LE(got.output.size(), std::min<std::uint64_t>(c.size, 1 << 23)) << c.what;
        if (c.reason != nullptr) {
            EXPECT_EQ(std::wstring(c.reason), got.reason) << c.what;
        }
    }
    Rar5Decoder decoder;
    EXPECT_EQ(DecodeError::OutputStopped,
              Decode(decoder, stream(plain, abc), 3, false, 1 << 20, 1 << 20, true).error);
}

} // namespace
} // namespace bi::codec
