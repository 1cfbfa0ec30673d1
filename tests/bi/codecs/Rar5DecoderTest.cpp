// RAR 5.0 decoding: the compression field, the filter transforms, and the decoder on a small
// archived text and on streams written here bit by bit where a fault would hide in real archives
// (codes of every length, overlapping and wrapping copies, distance history, filters at edges,
// solid streams, damage).
#include "Rar5Decoder.h"
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

class MemorySource : public PackedSource {
public:
    explicit MemorySource(const std::string& data, std::size_t piece = 1 << 20)
        : m_data(data), m_piece(piece) {}
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        const std::size_t count = std::min({size, m_piece, m_data.size() - m_at});
        std::memcpy(buffer, m_data.data() + m_at, count);
        m_at += count;
        return count;
    }

private:
    std::string m_data;
    std::size_t m_piece;
    std::size_t m_at = 0;
};

class StringSink : public UnpackedSink {
public:
    bool Write(const std::uint8_t* data, std::size_t size) override {
        if (output.size() + size > refuseAfter) {
            return false;
        }
        output.append(reinterpret_cast<const char*>(data), size);
        return true;
    }
    std::string output;
    std::size_t refuseAfter = SIZE_MAX;
};

struct Outcome {
    DecodeError error;
    std::string output;
    std::wstring reason;
};

Outcome Decode(Rar5Decoder& decoder, const std::string& data, std::uint64_t size,
               bool solid = false, std::uint64_t window = 1 << 20, std::size_t piece = 1 << 20) {
    // One reader for all: its 1 MiB buffer costs a fresh mapping each time under Wine.
    static BitInput in;
    StringSink sink;
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

// Writes one block. Its default tables give every symbol of an alphabet the same code length,
// so a symbol's code is simply its number: main 9 bits, distance slots 6, low distance 4,
// length slots 6. The bit-length code is 5 bits for each of its 20 symbols. Symbols are written
// with the canonical codes of the last lengths given (a block without tables keeps the
// defaults, as the tests' earlier blocks have them).
enum class Tables { Default, Custom, None };
enum Alphabet { kMain, kDistance, kLow, kLength };

class BlockWriter {
public:
    explicit BlockWriter(Tables tables = Tables::Default) : m_tables(tables != Tables::None) {
        if (tables == Tables::Default) {
            Lengths(9, 6, 4, 6);
        } else {
            UseLengths(Uniform(9, 6, 4, 6));
        }
    }

    void Put(std::uint64_t value, unsigned count) {
        for (unsigned i = count; i-- > 0;) {
            if (m_bits % 8 == 0) {
                m_bytes.push_back(0);
            }
            if ((value >> i) & 1) {
                m_bytes.back() = static_cast<char>(m_bytes.back() | (0x80 >> (m_bits % 8)));
            }
            ++m_bits;
        }
    }
    // The table section with uniform lengths per alphabet (0 = empty alphabet).
    void Lengths(unsigned main, unsigned distance, unsigned low, unsigned length) {
        Lengths(Uniform(main, distance, low, length));
    }
    // The table section with the 306 + 64 + 16 + 44 lengths of the four alphabets.
    void Lengths(const std::vector<std::uint8_t>& lengths) {
        BitLengths();
        for (const std::uint8_t length : lengths) {
            Put(length, 5);
        }
        UseLengths(lengths);
    }
    // `count` code lengths (or run symbols) of the table section.
    void Items(unsigned value, int count) {
        for (int i = 0; i < count; ++i) {
            Put(value, 5);
        }
    }
    void BitLengths() {
        for (int i = 0; i < 20; ++i) {
            Put(5, 4);
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
        length -= (distance > 0x100) + (distance > 0x2000) + (distance > 0x40000);
        Length(length, kMain, 262);
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
    // Symbols 258-261: the k-th last distance with a new length.
    void OldDistance(unsigned k, std::uint32_t length) {
        Symbol(kMain, 258 + k);
        Length(length, kLength, 0);
    }
    void RepeatLast() { Symbol(kMain, 257); }
    void Filter(std::uint32_t offset, std::uint32_t length, unsigned type, unsigned channels = 1) {
        Symbol(kMain, 256);
        Number(offset);
        Number(length);
        Put(type, 3);
        if (type == 0) {
            Put(channels - 1, 5);
        }
    }
    // Header and data: flags, check byte, size, with the used bits of the last byte; `trim`
    // declares the block that many bits shorter than what was written.
    std::string Finish(bool last, unsigned trim = 0) const {
        const std::size_t endBit = m_bits - trim;
        const std::size_t size = (endBit + 7) / 8;
        const unsigned sizeBytes = size < 0x100 ? 1 : size < 0x10000 ? 2 : 3;
        const unsigned usedBits = static_cast<unsigned>(endBit - (size - 1) * 8);
        const unsigned flags =
            (m_tables ? 0x80 : 0) | (last ? 0x40 : 0) | ((sizeBytes - 1) << 3) | (usedBits - 1);
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
    static std::vector<std::uint8_t> Uniform(unsigned main, unsigned distance, unsigned low,
                                             unsigned length) {
        std::vector<std::uint8_t> lengths(306, static_cast<std::uint8_t>(main));
        lengths.insert(lengths.end(), 64, static_cast<std::uint8_t>(distance));
        lengths.insert(lengths.end(), 16, static_cast<std::uint8_t>(low));
        lengths.insert(lengths.end(), 44, static_cast<std::uint8_t>(length));
        return lengths;
    }
    // Canonical codes: shorter first, equal lengths in symbol order.
    void UseLengths(const std::vector<std::uint8_t>& lengths) {
        const std::size_t sizes[] = {306, 64, 16, 44};
        std::size_t at = 0;
        for (int alphabet = kMain; alphabet <= kLength; ++alphabet) {
            m_lengths[alphabet].assign(lengths.begin() + at,
                                       lengths.begin() + at + sizes[alphabet]);
            m_codes[alphabet].assign(sizes[alphabet], 0);
            std::uint32_t code = 0;
            for (unsigned length = 1; length <= 15; ++length, code <<= 1) {
                for (std::size_t symbol = 0; symbol < sizes[alphabet]; ++symbol) {
                    if (m_lengths[alphabet][symbol] == length) {
                        m_codes[alphabet][symbol] = code++;
                    }
                }
            }
            at += sizes[alphabet];
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
    void Number(std::uint32_t value) {
        const unsigned bytes = value < 0x100 ? 1 : value < 0x10000 ? 2 : value < 0x1000000 ? 3 : 4;
        Put(bytes - 1, 2);
        for (unsigned i = 0; i < bytes; ++i) {
            Put((value >> (8 * i)) & 0xFF, 8);
        }
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

// Grows both the stream and its expected output to `size` bytes with copies of varied
// distances, so that the content does not repeat with a short period.
void FillTo(BlockWriter& block, std::string& expected, std::size_t size) {
    std::mt19937 random(7);
    while (expected.size() < size) {
        const std::size_t distance = 1 + random() % std::min<std::size_t>(expected.size(), 200);
        std::size_t length = std::min<std::size_t>(size - expected.size(), 2 + random() % 4000);
        if (size - expected.size() - length == 1) {
            ++length;
        }
        block.Copy(static_cast<std::uint32_t>(length), distance);
        Copy(expected, length, distance);
    }
}

const std::string kSeedText = "The quick brown fox jumps over the lazy dog; 0123456789!";

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
        {0x2000, true, 0, 0},            // stored: dictionary bits mean nothing
        {0x7C00, true, 0, 0},            // not even invalid ones
        {0x0300, false},                 // method 6
        {0x0380, false},                 // method 7
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
            bytes.push_back(static_cast<char>(std::stoi(std::string(hex, 2), nullptr, 16)));
            ++hex;
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

// A 76-byte text packed into 74 bytes: two blocks with their own tables, a
// repeat distance and the low-distance table. Read one byte at a time as well; every
// shortened copy is truncated, every damaged header refused.
TEST(Rar5DecoderTest, DecodesATwoBlockText) {
    const std::string data =
        FromHex("87C31E24032F94033C5637B94BE41A2020D2EFF6B8E71DB733C7D45D1383B34CA0C4B82633"
                "0024F840324AF720FB8F990941FE8D34302413B65595CED92A77DF01234567B79AC737E2E8");
    const std::string text =
        "abcabcabc, hello world! 0123456789 hello_world? abcabcabc, hello 0123456789!";
    Rar5Decoder decoder;
    EXPECT_EQ(text, Decode(decoder, data, 76, false, 128 << 10).output);
    const Outcome bytewise = Decode(decoder, data, 76, false, 128 << 10, 1);
    EXPECT_EQ(DecodeError::None, bytewise.error);
    EXPECT_EQ(text, bytewise.output);
    EXPECT_EQ(DecodeError::None, Decode(decoder, data, Rar5Decoder::kUnknownSize).error);

    for (std::size_t size = 0; size < data.size(); ++size) {
        EXPECT_EQ(DecodeError::Truncated, Decode(data.substr(0, size), 76).error) << size;
    }
    struct Damage {
        const char* what;
        std::size_t at;
        char value;
        std::uint64_t size = 76;
    };
    const Damage damages[] = {
        {"check byte", 1, '\xC4'},
        {"four size bytes", 0, '\x9F'},
        {"second header", 34, '\xB9'},
        {"first Huffman code", 3, '\x11'}, // bit lengths all 1: over-subscribed
        {"one byte too many", 0, '\x87', 75},
        {"one byte short", 0, '\x87', 77},
    };
    for (const Damage& d : damages) {
        std::string bad = data;
        bad[d.at] = d.value;
        EXPECT_EQ(DecodeError::Damaged, Decode(bad, d.size).error) << d.what;
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
    const auto lengthBase = [](unsigned s) {
        return s < 8 ? s + 2 : 2 + ((4 + s % 4) << (s / 4 - 1));
    };
    const auto lengthExtra = [](unsigned s) { return s < 8 ? 0u : s / 4 - 1; };
    std::mt19937 random(5);
    const auto length = [&](unsigned slot) {
        return lengthBase(slot) + static_cast<std::uint32_t>(random() % (1u << lengthExtra(slot)));
    };

    BlockWriter block(Tables::Custom);
    block.Lengths(lengths);
    std::string expected = "abcdefghhgfedcbaaceghbdfcafchebgdhhdfgabce";
    block.Literals(expected);
    std::vector<std::uint64_t> history;
    const auto copy = [&](std::uint32_t slotLength, std::uint64_t distance) {
        const std::uint32_t bonus = (distance > 0x100) + (distance > 0x2000) + (distance > 0x40000);
        block.Copy(slotLength + bonus, distance), Copy(expected, slotLength + bonus, distance);
        history.insert(history.begin(), distance);
    };
    while (expected.size() < 40000) {
        const char letter = static_cast<char>('a' + expected.size() % 8);
        block.Literals(std::string(1, letter)), expected += letter;
        copy(length(43), 25 + random() % 8); // distance slot 9
    }
    for (const unsigned distanceSlot : distanceSlots) {
        const unsigned extra = distanceSlot < 4 ? 0 : distanceSlot / 2 - 1;
        const std::uint64_t base =
            distanceSlot < 4 ? distanceSlot : std::uint64_t{2 + distanceSlot % 2} << extra;
        for (const unsigned copySlot : copySlots) {
            std::uint64_t rest = random() % (std::uint64_t{1} << extra);
            if (extra >= 4 && rest % 16 == 15) {
                --rest; // low distance 15 has no code
            }
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

    for (const Alphabet alphabet : {kMain, kDistance, kLow, kLength}) {
        BlockWriter gap(Tables::Custom);
        gap.Lengths(lengths);
        gap.Literals("abcdefgh");
        gap.Copy(2, 8);
        if (alphabet == kDistance || alphabet == kLow) {
            gap.Symbol(kMain, 262);
        }
        if (alphabet == kLow) {
            gap.Symbol(kDistance, 10);
        }
        if (alphabet == kLength) {
            gap.Symbol(kMain, 258);
        }
        gap.Put(0x7FFF, 15);
        const Outcome refused = Decode(gap.Finish(true), 100);
        EXPECT_EQ(DecodeError::Damaged, refused.error) << alphabet;
        EXPECT_EQ(std::wstring(L"bad Huffman code"), refused.reason) << alphabet;
    }
}

// Distances 1-17 repeat a pattern shorter than the copy; lengths up to the longest slot.
TEST(Rar5DecoderTest, CopiesOverlappingTheirOwnOutput) {
    for (std::size_t distance = 1; distance <= 17; ++distance) {
        BlockWriter block;
        std::string expected = "ABCDEFGHIJKLMNOPQ";
        block.Literals(expected);
        for (const std::uint32_t length : {2u, 7u, 9u, 23u, 24u, 31u, 100u, 4097u}) {
            block.Copy(length, distance);
            Copy(expected, length, distance);
            block.Literals("x");
            expected += "x";
        }
        const Outcome got = Decode(block.Finish(true), expected.size());
        EXPECT_EQ(DecodeError::None, got.error) << distance;
        EXPECT_EQ(expected, got.output) << "distance " << distance;
    }
}

// New distances fill the history; symbols 258-261 take an entry with a length from the length
// alphabet and move it to the front; 257 repeats the last length and distance. Far distances
// add 1, 2 or 3 to a new copy's length, and 257 repeats the longer length.
TEST(Rar5DecoderTest, KeepsTheDistanceHistory) {
    BlockWriter block;
    std::string expected = "0123456789abcdefghij";
    block.Literals(expected);
    const auto copy = [&](std::size_t length, std::size_t distance) {
        Copy(expected, length, distance);
    };
    block.Copy(3, 20), copy(3, 20);             // history 20
    block.Copy(3, 10), copy(3, 10);             // 10 20
    block.Copy(3, 5), copy(3, 5);               // 5 10 20
    block.Copy(3, 2), copy(3, 2);               // 2 5 10 20
    block.OldDistance(3, 4), copy(4, 20);       // 20 2 5 10
    block.OldDistance(1, 5), copy(5, 2);        // 2 20 5 10
    block.OldDistance(2, 33), copy(33, 5);      // 5 2 20 10
    block.OldDistance(3, 1000), copy(1000, 10); // 10 5 2 20
    block.OldDistance(0, 2), copy(2, 10);
    block.RepeatLast(), copy(2, 10);
    block.OldDistance(2, 6), copy(6, 2); // 2 10 5 20
    block.RepeatLast(), copy(6, 2);
    FillTo(block, expected, 300000);
    for (const std::size_t distance : {257u, 8193u, 262145u, 256u, 8192u, 262144u}) {
        block.Copy(50, distance), copy(50, distance);
        block.RepeatLast(), copy(50, distance);
    }
    const Outcome got = Decode(block.Finish(true), expected.size());
    EXPECT_EQ(DecodeError::None, got.error);
    EXPECT_TRUE(expected == got.output);
}

// In a 256 KiB window: copies whose source, destination or both wrap round its end, copies
// from exactly the window size back (also right after short copies, which a decoder may write
// in whole chunks beyond their end), and one byte further.
TEST(Rar5DecoderTest, CopiesAcrossTheWindowEnd) {
    constexpr std::size_t kWindow = 256 << 10;
    BlockWriter block;
    std::string expected = kSeedText;
    block.Literals(expected);
    FillTo(block, expected, kWindow - 2000);
    block.Copy(4097, 3000), Copy(expected, 4097, 3000); // destination wraps
    block.Copy(1000, 2500), Copy(expected, 1000, 2500); // source wraps
    block.Copy(4000, 5000), Copy(expected, 4000, 5000); // source wraps, far behind
    block.Copy(3000, kWindow), Copy(expected, 3000, kWindow);
    FillTo(block, expected, 3 * kWindow + 100);
    const std::string capitals = "ABCDEFGHIJKLMNOPQRSUVWXYZ"; // none in the text a window back
    for (std::size_t i = 0; i < 64; ++i) {
        const std::string fresh = capitals.substr(i % 8) + capitals.substr(0, i % 8);
        block.Literals(fresh), expected += fresh;
        block.Copy(3, fresh.size()), Copy(expected, 3, fresh.size());
        block.Copy(20, kWindow), Copy(expected, 20, kWindow);
    }
    block.Copy(4097, kWindow - 10), Copy(expected, 4097, kWindow - 10);
    const std::string data = block.Finish(true);
    const Outcome got = Decode(data, expected.size(), kWindow);
    EXPECT_EQ(DecodeError::None, got.error);
    EXPECT_TRUE(expected == got.output);

    block.Copy(10, kWindow + 1);
    EXPECT_EQ(DecodeError::Damaged,
              Decode(block.Finish(true), expected.size() + 10, kWindow).error);

    // New distances starting at every position round the window's end, so that one starts
    // right where a ring a little larger than the window wraps: it still reaches back.
    for (const std::size_t shift : {0, 1}) {
        BlockWriter around;
        std::string text = kSeedText;
        around.Literals(text);
        FillTo(around, text, kWindow - 300 + shift);
        while (text.size() < kWindow + 600) {
            around.Copy(2, 50), Copy(text, 2, 50);
        }
        const Outcome wrapped = Decode(around.Finish(true), text.size(), kWindow);
        EXPECT_EQ(DecodeError::None, wrapped.error) << shift;
        EXPECT_TRUE(text == wrapped.output) << shift;
    }
}

// An E8E9 range that starts in one block, ends in the next and, in a solid entry that begins
// near the end of the window, wraps round it: the same bytes as when decoded alone. A DELTA
// range of three channels, and an E8 range that ends the entry with an opcode 5 bytes before
// its end.
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
    const std::size_t size = 3070;

    Rar5Decoder alone;
    const Outcome expected = Decode(alone, entry, size);
    ASSERT_EQ(DecodeError::None, expected.error);
    const std::pair<std::size_t, const char*> operands[] = {
        {1, "\x0F\x00\x00\x00"},    {7, "\xF0\xFF\xFF\xFF"},    {1501, "\x33\xFA\xFF\xFF"},
        {1507, "\xF0\xFF\xFF\x00"}, {2989, "\x63\xF4\xFF\xFF"}, {2995, "\xF0\xFF\xFF\x00"},
        {3066, "\x06\xF5\xFF\xFF"}};
    for (const auto& [at, bytes] : operands) {
        EXPECT_EQ(std::string(bytes, 4), expected.output.substr(at, 4)) << at;
    }
    for (std::size_t i = 0; i < 40; ++i) {
        EXPECT_EQ(static_cast<char>(0xFF - i / 3), expected.output[3000 + i]) << i;
    }

    Rar5Decoder solid;
    BlockWriter filler;
    std::string history = kSeedText;
    filler.Literals(history);
    FillTo(filler, history, (256 << 10) - 1000);
    ASSERT_EQ(DecodeError::None,
              Decode(solid, filler.Finish(true), history.size(), false, 256 << 10).error);
    const Outcome wrapped = Decode(solid, entry, size, true, 256 << 10);
    EXPECT_EQ(DecodeError::None, wrapped.error);
    EXPECT_EQ(expected.output, wrapped.output);
}

// A solid entry keeps the window, the distance history, the last length and the tables: its
// block has no tables and its copies reach into the previous entry.
TEST(Rar5DecoderTest, ContinuesSolidStreams) {
    BlockWriter first;
    std::string output = kSeedText;
    first.Literals(output);
    first.Copy(10, 44), Copy(output, 10, 44);
    const std::size_t firstSize = output.size();
    BlockWriter second(Tables::None);
    second.RepeatLast(), Copy(output, 10, 44);
    second.OldDistance(0, 20), Copy(output, 20, 44);
    second.Copy(30, output.size() - 3), Copy(output, 30, output.size() - 3);
    const std::string secondData = second.Finish(true);

    Rar5Decoder decoder;
    ASSERT_EQ(DecodeError::None, Decode(decoder, first.Finish(true), firstSize).error);
    const Outcome got = Decode(decoder, secondData, output.size() - firstSize, true);
    EXPECT_EQ(DecodeError::None, got.error);
    EXPECT_EQ(output.substr(firstSize), got.output);

    // A solid entry only after one that ended well, and never as the first entry.
    BlockWriter own;
    own.Literals("xyz");
    const std::string selfContained = own.Finish(true);
    EXPECT_EQ(DecodeError::None, Decode(decoder, selfContained, 3, true).error);
    EXPECT_EQ(DecodeError::Damaged, Decode(decoder, selfContained, 2, true).error);
    EXPECT_EQ(DecodeError::Damaged, Decode(decoder, selfContained, 3, true).error);
    Rar5Decoder fresh;
    EXPECT_EQ(DecodeError::Damaged, Decode(fresh, selfContained, 3, true).error);

    // A larger window for a solid entry serves later distances, not bytes already dropped.
    Rar5Decoder growing;
    BlockWriter filler;
    std::string history = kSeedText;
    filler.Literals(history);
    FillTo(filler, history, 300000);
    ASSERT_EQ(DecodeError::None,
              Decode(growing, filler.Finish(true), history.size(), false, 256 << 10).error);
    BlockWriter far(Tables::None);
    far.Copy(50, 256 << 10); // the oldest byte the 256 KiB window kept
    const Outcome reached = Decode(growing, far.Finish(true), 50, true, 1 << 20);
    EXPECT_EQ(DecodeError::None, reached.error);
    Copy(history, 50, 256 << 10);
    EXPECT_EQ(history.substr(history.size() - 50), reached.output);
    BlockWriter tooFar(Tables::None);
    tooFar.Copy(50, (256 << 10) + 51);
    EXPECT_EQ(DecodeError::Damaged, Decode(growing, tooFar.Finish(true), 50, true, 1 << 20).error);

    // A new stream keeps nothing: no tables, distances or last length.
    ASSERT_EQ(DecodeError::None, Decode(decoder, first.Finish(true), firstSize).error);
    EXPECT_EQ(DecodeError::Damaged, Decode(decoder, secondData, 60).error);
    BlockWriter repeats;
    repeats.Literals("ab");
    repeats.RepeatLast();
    EXPECT_EQ(DecodeError::None, Decode(decoder, repeats.Finish(true), 2).error);
    repeats.OldDistance(0, 2);
    ASSERT_EQ(DecodeError::None, Decode(decoder, first.Finish(true), firstSize).error);
    EXPECT_EQ(DecodeError::Damaged, Decode(decoder, repeats.Finish(true), 4).error);
}

// Streams that break one rule each, beside valid ones that differ from them only there.
TEST(Rar5DecoderTest, RefusesBrokenStreams) {
    struct Case {
        const char* what;
        std::function<std::string()> data;
        std::uint64_t size;
        DecodeError error;
        const wchar_t* reason = nullptr; // where another check could refuse it too
    };
    const auto abc = [](BlockWriter block, bool last = true, unsigned trim = 0) {
        block.Literals("abc");
        return block.Finish(last, trim);
    };
    const auto tables = [](unsigned main, unsigned distance, unsigned low, unsigned length) {
        BlockWriter block(Tables::Custom);
        block.Lengths(main, distance, low, length);
        return block;
    };
    const auto custom = [](const std::function<void(BlockWriter&)>& write) {
        BlockWriter block(Tables::Custom);
        write(block);
        return block.Finish(true);
    };
    const auto copies = [](std::uint32_t length, std::uint64_t distance, unsigned old = 0) {
        BlockWriter block;
        block.Literals("ab");
        if (old != 0) {
            block.OldDistance(old, length);
        } else {
            block.Copy(length, distance);
        }
        return block.Finish(true);
    };
    // Filters, then the data they cover: kSeedText and copies up to `size`.
    const auto filtered = [](std::uint32_t offset, std::uint32_t length, unsigned type,
                             std::size_t size, std::uint32_t secondOffset = 0) {
        BlockWriter block;
        block.Filter(offset, length, type);
        if (secondOffset != 0) {
            block.Filter(secondOffset, 8, 1);
        }
        std::string output = kSeedText;
        block.Literals(output);
        FillTo(block, output, size);
        return block.Finish(true);
    };
    const auto manyFilters = [](int count) {
        BlockWriter block;
        for (int i = 0; i < count; ++i) {
            block.Filter(4 * i, 4, 1);
        }
        block.Literals(std::string(4 * count, 'f'));
        return block.Finish(true);
    };
    constexpr std::uint64_t kUnknown = Rar5Decoder::kUnknownSize;
    constexpr DecodeError kOk = DecodeError::None;
    constexpr DecodeError kDamaged = DecodeError::Damaged;
    const Case cases[] = {
        {"valid", [&] { return abc(BlockWriter()); }, 3, kOk},
        {"size unknown", [&] { return abc(BlockWriter()); }, kUnknown, kOk},
        {"over-subscribed main table", [&] { return abc(tables(1, 6, 4, 6)); }, 3, kDamaged},
        {"only literals, other tables empty", [&] { return abc(tables(9, 0, 0, 0)); }, 3, kOk},
        {"copy with an empty distance table",
         [&] {
             BlockWriter block = tables(9, 0, 0, 0);
             block.Literals("ab");
             block.Copy(2, 1);
             return block.Finish(true);
         },
         4, kDamaged},
        {"empty bit-length table",
         [&] { return custom([](BlockWriter& b) { b.Put(0xFF, 8), b.Put(0xF1, 8); }); }, 0,
         kDamaged},
        {"length repeated before any",
         [&] {
             return custom([](BlockWriter& b) {
                 b.BitLengths();
                 b.Put(16, 5), b.Put(0, 3); // three times the length before the first
                 b.Items(9, 303), b.Items(6, 64), b.Items(4, 16), b.Items(6, 44);
                 b.Literals("abc");
             });
         },
         3, kDamaged},
        {"tables cut by the block end",
         [&] { return custom([](BlockWriter& b) { b.BitLengths(); }); }, 0, kDamaged},
        {"tables only", [&] { return BlockWriter().Finish(true); }, 0, kOk},
        {"no tables yet", [&] { return abc(BlockWriter(Tables::None)); }, 3, kDamaged},
        {"code with no symbol",
         [] {
             BlockWriter block;
             block.Put(400, 9);
             return block.Finish(true);
         },
         1, kDamaged},
        {"symbol past the block end", [&] { return abc(BlockWriter(), true, 1); }, 3, kDamaged},
        {"empty block", [] { return std::string("\xC7\x9D\x00", 3); }, 0, kDamaged},
        {"no last block", [&] { return abc(BlockWriter(), false); }, 3, DecodeError::Truncated},
        {"bytes missing at the end", [&] { return abc(BlockWriter()); }, 4, kDamaged},
        {"bytes beyond the declared size", [&] { return abc(BlockWriter()); }, 2, kDamaged},
        {"copy", [&] { return copies(5, 2); }, 7, kOk},
        {"copy beyond the declared size", [&] { return copies(5, 2); }, 6, kDamaged},
        {"distance before the data", [&] { return copies(5, 3); }, 7, kDamaged},
        {"repeat of an unset distance", [&] { return copies(2, 0, 1); }, 4, kDamaged},
        {"filter", [&] { return filtered(0, 64, 1, 100); }, 100, kOk},
        {"filter of 3 bytes", [&] { return filtered(0, 3, 1, 100); }, 100, kDamaged},
        {"filter of 4 MiB", [&] { return filtered(0, 0x400000, 1, 0x400000); }, 0x400000, kOk},
        {"filter over 4 MiB", [&] { return filtered(0, 0x400001, 1, 0x400001); }, 0x400001,
         kDamaged},
        {"unknown filter type", [&] { return filtered(0, 16, 4, 100); }, 100, kDamaged},
        {"filters side by side", [&] { return filtered(0, 16, 1, 100, 16); }, 100, kOk},
        {"overlapping filters", [&] { return filtered(0, 16, 1, 100, 15); }, 100, kDamaged},
        {"filter ending the data", [&] { return filtered(92, 8, 1, 100); }, 100, kOk},
        {"filter past the declared size", [&] { return filtered(93, 8, 1, 100); }, 100, kDamaged},
        {"filter past the data, size unknown", [&] { return filtered(93, 8, 1, 100); }, kUnknown,
         kDamaged},
        {"8192 filters waiting", [&] { return manyFilters(8192); }, 4 * 8192, kOk},
        {"8193 filters waiting", [&] { return manyFilters(8193); }, 4 * 8193, kDamaged,
         L"too many filters waiting"},
    };
    for (const Case& c : cases) {
        const Outcome got = Decode(c.data(), c.size);
        EXPECT_EQ(c.error, got.error) << c.what;
        if (c.size != kUnknown) {
            EXPECT_LE(got.output.size(), c.size) << c.what;
        }
        if (c.reason != nullptr) {
            EXPECT_EQ(std::wstring(c.reason), got.reason) << c.what;
        }
    }

    Rar5Decoder decoder;
    StringSink full;
    full.refuseAfter = 0;
    MemorySource source(abc(BlockWriter()));
    BitInput in;
    in.Reset(source);
    ASSERT_TRUE(decoder.BeginEntry(false, 1 << 20).ok());
    EXPECT_EQ(DecodeError::OutputStopped, decoder.DecodeEntry(in, 3, full).error);
}

// Random damage to a stream with filters, copies and two blocks: any answer but a crash, a
// hang or output beyond the declared size. Mostly of use under the address sanitizer.
TEST(Rar5DecoderTest, SurvivesRandomDamage) {
    BlockWriter first;
    std::string expected = kSeedText;
    first.Filter(10, 300, 0, 4);
    first.Literals(kSeedText);
    FillTo(first, expected, 5000);
    BlockWriter second(Tables::None);
    second.Filter(100, 4000, 2);
    second.Literals(std::string("\xE8\x01\x02\x03\x04", 5));
    expected += std::string("\xE8\x01\x02\x03\x04", 5);
    FillTo(second, expected, 20000);
    const std::string data = first.Finish(false) + second.Finish(true);
    ASSERT_EQ(DecodeError::None, Decode(data, expected.size()).error);

    Rar5Decoder decoder;
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        std::string bad = data;
        if (random() % 4 == 0) {
            bad.resize(1 + random() % (data.size() - 1));
        }
        for (unsigned flips = 1 + random() % 3; flips > 0; --flips) {
            bad[random() % bad.size()] ^= static_cast<char>(1 + random() % 255);
        }
        const Outcome got = Decode(decoder, bad, expected.size());
        EXPECT_LE(got.output.size(), expected.size());
    }
}

} // namespace
} // namespace bi::codec
