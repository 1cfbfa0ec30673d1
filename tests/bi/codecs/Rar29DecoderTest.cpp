// Hand-made RAR 2.9-4.x streams through the decoder: code tables and their deltas, the
// distance history and the low-distance repeats, copies at the edges of the window, filter
// records, PPMd blocks and their escapes, solid entries, and damaged data.
#include "Rar29Decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace bi::codec {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lengths = std::array<std::uint8_t, 404>;
enum class Low { Code, Repeat, Implicit }; // how a long distance gives its low four bits

// Canonical codes: shorter first, then by symbol.
void Codes(const std::uint8_t* lengths, std::size_t count, std::uint32_t* codes) {
    std::uint32_t code = 0;
    for (unsigned length = 1; length <= 15; ++length, code <<= 1) {
        for (std::size_t i = 0; i < count; ++i) {
            if (lengths[i] == length) {
                codes[i] = code++;
            }
        }
    }
}

constexpr std::uint32_t kLengthBase[28] = {0,  1,  2,  3,   4,   5,   6,   7,  8,  10,
                                           12, 14, 16, 20,  24,  28,  32,  40, 48, 56,
                                           64, 80, 96, 112, 128, 160, 192, 224};
unsigned LengthBits(unsigned slot) {
    return slot < 8 ? 0 : (slot - 4) / 4;
}
unsigned DistanceBits(unsigned slot) {
    return slot < 4 ? 0 : slot < 36 ? (slot - 2) / 2 : slot < 48 ? 16 : 18;
}
unsigned LengthSlot(std::uint32_t value) {
    unsigned slot = 27;
    while (kLengthBase[slot] > value) {
        --slot;
    }
    return slot;
}

// Every symbol present: 9-bit main codes, 6-bit distance slots, 5-bit low distances and lengths.
Lengths Full() {
    Lengths lengths{};
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        lengths[i] = i < 299 ? 9 : i < 359 ? 6 : 5;
    }
    return lengths;
}

// Writes LZ blocks, with tables through a bit-length code of 5-bit codes for 0..15 and 3-bit
// ones for the run symbols, and PPMd blocks, coded with a model of its own that follows the
// decoder's (the model asks the writer, as its coder, for the intervals of each symbol).
class Writer {
public:
    Bytes bytes;

    void Put(std::uint32_t value, unsigned count) {
        for (unsigned i = count; i-- > 0; m_used = (m_used + 1) & 7) {
            if (m_used == 0) {
                bytes.push_back(0);
            }
            bytes.back() |= static_cast<std::uint8_t>(((value >> i) & 1u) << (7 - m_used));
        }
    }
    void Align() { m_used = 0; }
    void Table(const Lengths& lengths, bool keepOld = false) {
        Align();
        Put(keepOld ? 1 : 0, 2);
        for (unsigned i = 0; i < 20; ++i) {
            Put(i < 16 ? 5 : 3, 4);
        }
        for (std::size_t i = 0; i < lengths.size(); ++i) {
            Put(16 + ((lengths[i] - (keepOld ? m_lengths[i] : 0)) & 15), 5);
        }
        Adopt(lengths);
    }
    void Adopt(const Lengths& lengths) {
        m_lengths = lengths;
        for (const auto& [first, count] : {std::pair{0, 299}, {299, 60}, {359, 17}, {376, 28}}) {
            Codes(lengths.data() + first, count, m_codes.data() + first);
        }
    }
    void Code(std::size_t index) { Put(m_codes[index], m_lengths[index]); }
    void Literals(const std::string& text) {
        for (const char c : text) {
            Code(static_cast<std::uint8_t>(c));
        }
    }
    void Match(std::uint32_t length, std::uint32_t distance, Low low = Low::Code) {
        const std::uint32_t coded = length - (distance >= 0x2000) - (distance >= 0x40000) - 3;
        const unsigned slot = LengthSlot(coded);
        Code(271 + slot);
        Put(coded - kLengthBase[slot], LengthBits(slot));
        unsigned dslot = 0;
        std::uint32_t extra = distance - 1;
        for (; extra >> DistanceBits(dslot) != 0; ++dslot) {
            extra -= 1u << DistanceBits(dslot);
        }
        Code(299 + dslot);
        if (dslot < 10) {
            Put(extra, DistanceBits(dslot));
            return;
        }
        Put(extra >> 4, DistanceBits(dslot) - 4);
        if (low != Low::Implicit) {
            Code(359 + (low == Low::Repeat ? 16 : extra & 15));
        }
    }
    void Short(std::uint32_t distance) { // distances up to 256, length 2
        static constexpr std::uint32_t kBase[8] = {0, 4, 8, 16, 32, 64, 128, 192};
        static constexpr unsigned kBits[8] = {2, 2, 3, 4, 5, 6, 6, 6};
        unsigned index = 7;
        while (kBase[index] > distance - 1) {
            --index;
        }
        Code(263 + index);
        Put(distance - 1 - kBase[index], kBits[index]);
    }
    void Old(unsigned index, std::uint32_t length) {
        const unsigned slot = LengthSlot(length - 2);
        Code(259 + index);
        Code(376 + slot);
        Put(length - 2 - kLengthBase[slot], LengthBits(slot));
    }
    void End(bool newTable, bool tableNext = false) {
        Code(256);
        Put(newTable || tableNext ? 1 : 0, newTable ? 1 : 2);
    }
    void Filter(const Bytes& record) {
        Code(257);
        for (const std::uint8_t b : record) {
            Put(b, 8);
        }
    }

    // PPMd: a header (memory byte 0, so 1 MiB), symbols, and the coder's last bytes.
    void PpmdHeader(std::uint32_t flags, int escape = -1) {
        Align();
        Put(flags, 8);
        if (flags & 0x20) {
            Put(0, 8);
            EXPECT_TRUE(m_model.Restart(1u << 20, (flags & 0x1F) + 1));
        }
        if (flags & 0x40) {
            Put(static_cast<std::uint32_t>(escape), 8);
            m_escape = static_cast<std::uint8_t>(escape);
        }
    }
    void Ppmd(std::uint32_t symbol) {
        m_target = static_cast<std::uint8_t>(symbol);
        EXPECT_EQ(static_cast<int>(symbol), m_model.CodeSymbol(*this));
    }
    void PpmdText(const std::string& text) {
        for (const char c : text) {
            Ppmd(static_cast<std::uint8_t>(c));
            if (static_cast<std::uint8_t>(c) == m_escape) {
                Ppmd(1);
            }
        }
    }
    void Escape(std::uint32_t code, const Bytes& operands = {}) {
        Ppmd(m_escape);
        Ppmd(code);
        for (const std::uint8_t b : operands) {
            Ppmd(b);
        }
    }
    void PpmdEnd() {
        for (int i = 0; i < 4; ++i, m_low <<= 8) {
            Put(m_low >> 24, 8);
        }
        m_low = 0;
        m_range = 0xFFFFFFFFu;
    }

    // The coder side of PpmdModel::CodeSymbol: a carry-less range encoder.
    void SetTotal(std::uint32_t total) { m_total = total; }
    bool Hit(std::uint32_t, std::uint8_t symbol) const { return symbol == m_target; }
    bool EscapeValid(std::uint32_t) const { return true; }
    void Take(std::uint32_t start, std::uint32_t size) {
        m_range /= m_total;
        m_low += start * m_range;
        m_range *= size;
        Normalise();
    }
    unsigned Bit(std::uint32_t p, std::uint8_t symbol) {
        const unsigned bit = symbol == m_target ? 0 : 1;
        m_range >>= 14;
        m_low += bit * p * m_range;
        m_range *= bit ? (1u << 14) - p : p;
        Normalise();
        return bit;
    }

private:
    void Normalise() {
        while ((m_low ^ (m_low + m_range)) < (1u << 24) ||
               (m_range < (1u << 15) && ((m_range = (0u - m_low) & ((1u << 15) - 1)), true))) {
            Put(m_low >> 24, 8);
            m_low <<= 8;
            m_range <<= 8;
        }
    }

    unsigned m_used = 0;
    Lengths m_lengths{};
    std::array<std::uint32_t, 404> m_codes{};
    PpmdModel m_model;
    std::uint8_t m_escape = 2, m_target = 0;
    std::uint32_t m_total = 0, m_low = 0, m_range = 0xFFFFFFFFu;
};

// Bytecode that passes for the standard DELTA program, which the decoder knows only by its
// length, its CRC-32 and its first byte being the XOR of the others.
const Bytes kDelta = {0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0,    0,   0,
                      0, 0,    0, 0, 0, 0, 0, 0, 0, 0, 0x63, 0x1F, 0x55, 0xD6};

// A record for a DELTA filter of one channel, with its flags and size bytes: program number
// (-1: the last one), block start from the current position, length (-1: the program's last),
// the code of a new program, bytes of global data, and flag 0x40 (258 bytes further on).
Bytes Record(int number, std::uint32_t start, int length, const Bytes& code = {},
             std::uint32_t global = 0, bool plus258 = false) {
    Writer body;
    const auto put = [&](std::uint32_t v) {
        const unsigned selector = v < 16 ? 0 : v < 256 ? 1 : v < 65536 ? 2 : 3;
        body.Put(selector, 2);
        body.Put(v, 4u << selector);
    };
    if (number >= 0) {
        put(static_cast<std::uint32_t>(number));
    }
    put(start);
    if (length >= 0) {
        put(static_cast<std::uint32_t>(length));
    }
    body.Put(1, 7); // register 0: one channel
    put(1);
    if (!code.empty()) {
        put(static_cast<std::uint32_t>(code.size()));
        for (const std::uint8_t b : code) {
            body.Put(b, 8);
        }
    }
    if (global != 0) {
        put(global);
        body.bytes.resize(body.bytes.size() + global);
    }
    const std::size_t n = body.bytes.size();
    const std::uint32_t flags = (number >= 0 ? 0x80 : 0) | (plus258 ? 0x40 : 0) |
                                (length >= 0 ? 0x20 : 0) | 0x10 | (global ? 0x08 : 0);
    Bytes record{static_cast<std::uint8_t>(flags | (n <= 6 ? n - 1 : n <= 262 ? 6 : 7))};
    if (n > 262) {
        record.push_back(static_cast<std::uint8_t>(n >> 8));
    }
    if (n > 6) {
        record.push_back(static_cast<std::uint8_t>(n <= 262 ? n - 7 : n));
    }
    record.insert(record.end(), body.bytes.begin(), body.bytes.end());
    return record;
}

// Packed bytes in, content out.
struct Pipe : PackedSource, UnpackedSink {
    explicit Pipe(const Bytes& data) : packed(data) {}
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        const std::size_t n = std::min(size, packed.size() - read);
        std::memcpy(buffer, packed.data() + read, n);
        read += n;
        return n;
    }
    bool Write(const std::uint8_t* data, std::size_t size) override {
        text.append(reinterpret_cast<const char*>(data), size);
        return true;
    }
    const Bytes& packed;
    std::size_t read = 0;
    std::string text;
};

struct Decoded {
    DecodeResult result;
    std::string text;
};

Decoded Decode(Rar29Decoder& decoder, const Bytes& packed, std::uint64_t size, bool solid = false,
               std::uint64_t window = 64u << 10) {
    Pipe pipe(packed);
    BitInput in;
    in.Reset(pipe);
    DecodeResult result = decoder.BeginEntry(solid, window);
    if (result.ok()) {
        result = decoder.DecodeEntry(in, size, pipe);
    }
    return {result, pipe.text};
}

Decoded Decode(const Writer& writer, std::uint64_t size, std::uint64_t window = 64u << 10) {
    Rar29Decoder decoder;
    return Decode(decoder, writer.bytes, size, false, window);
}

// What a match makes of the output so far, byte by byte.
void Copy(std::string& text, std::size_t distance, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(text[text.size() - distance]);
    }
}

std::string Noise(std::size_t size, std::uint32_t seed) {
    std::string text(size, '\0');
    for (char& c : text) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 23);
    }
    return text;
}

// Three tables in one entry: plain lengths; deltas against them (9 to 4 wraps round 16); and
// plain lengths again, written with every run symbol through a bit-length code that needs the
// escape for a length of 15 and for runs of zeros, the last run longer than the table.
TEST(Rar29DecoderTest, TablesTakeDeltasRunsAndEscapes) {
    Writer w;
    w.Table(Full());
    w.Literals("ab");
    w.End(true);
    Lengths second = Full();
    second['A'] = 4;
    second['B'] = 6;
    w.Table(second, true);
    w.Literals("AB");
    w.End(true);

    w.Align();
    w.Put(0, 2);
    // Lengths 2, 15, 6 zeros, 2, 7 zeros, 3, 3, 3, 4.
    for (const std::uint32_t nibble : {2, 15, 0, 15, 4, 2, 15, 5, 3, 3, 3, 4}) {
        w.Put(nibble, 4);
    }
    const std::uint8_t bitLengths[20] = {2, 15, 0, 0, 0, 0, 0, 0, 2, 0,
                                         0, 0,  0, 0, 0, 0, 3, 3, 3, 4};
    std::uint32_t codes[20];
    Codes(bitLengths, 20, codes);
    // Main: 120 absent, 'x' = 8 repeated for "yz{", absent up to 255, 256 = 8, the rest and the
    // distances absent; low distances absent in two runs; lengths 8, repeated too often.
    for (const auto& [symbol, extra, bits] : std::vector<std::array<unsigned, 3>>{{19, 109, 7},
                                                                                  {8, 0, 0},
                                                                                  {16, 0, 3},
                                                                                  {19, 121, 7},
                                                                                  {8, 0, 0},
                                                                                  {19, 31, 7},
                                                                                  {19, 49, 7},
                                                                                  {18, 7, 3},
                                                                                  {18, 4, 3},
                                                                                  {8, 0, 0},
                                                                                  {17, 20, 7}}) {
        w.Put(codes[symbol], bitLengths[symbol]);
        w.Put(extra, bits);
    }
    Lengths third{};
    third['x'] = third['y'] = third['z'] = third['{'] = third[256] = 8;
    std::fill(third.begin() + 376, third.end(), 8);
    w.Adopt(third);
    w.Literals("zyx{");
    w.End(false);

    const Decoded decoded = Decode(w, 8);
    ASSERT_TRUE(decoded.result.ok()) << decoded.result.reason;
    EXPECT_EQ("abABzyx{", decoded.text);
}

// 258 before any match does nothing; then the four old distances move with every kind of
// match, and 258 repeats the last length at the front distance. Long distances (slot 10 and
// up) code their low four bits apart: low symbol 16 repeats the previous low bits for this and
// the next 15 long distances, which then have no low code. A new table forgets both the repeat
// count and the previous low bits.
TEST(Rar29DecoderTest, DistanceHistoryAndLowDistanceRepeats) {
    Writer w;
    w.Table(Full());
    w.Code(258);
    std::string expected = "0123456789ABCDEF" + Noise(250, 7);
    w.Literals(expected);
    const auto match = [&](std::uint32_t length, std::uint32_t distance, Low low, int times = 1) {
        for (int i = 0; i < times; ++i) {
            w.Match(length, distance, low);
            Copy(expected, distance, length);
        }
    };
    const std::pair<std::function<void()>, std::array<std::size_t, 2>> steps[] = {
        {[&] { w.Match(4, 16); }, {16, 4}},                         // history 16
        {[&] { w.Short(3); }, {3, 2}},                          // 3 16
        {[&] { w.Match(3, 10); }, {10, 3}},                         // 10 3 16
        {[&] { w.Match(5, 7); }, {7, 5}},                          // 7 10 3 16
        {[&] { w.Old(2, 3); }, {3, 3}},                          // 3 7 10 16
        {[&] { w.Old(3, 4); }, {16, 4}},                         // 16 3 7 10
        {[&] { w.Old(0, 2); }, {16, 2}},                         // unchanged
        {[&] { w.Code(258); }, {16, 2}},    {[&] { w.Old(1, 5); }, {3, 5}},   // 3 16 7 10
        {[&] { w.Code(258); }, {3, 5}},     {[&] { w.Short(256); }, {256, 2}}, // 256 3 16 7
        {[&] { w.Old(3, 30); }, {7, 30}},                         // 7 256 3 16
        {[&] { w.Old(1, 2); }, {256, 2}},
    };
    for (const auto& [write, copied] : steps) {
        write();
        Copy(expected, copied[0], copied[1]);
    }
    match(3, 100, Low::Code);   // low bits 3
    match(4, 132, Low::Repeat); // 3 again, for 16 distances
    match(3, 100, Low::Implicit, 15);
    match(3, 36, Low::Code);
    match(5, 100, Low::Repeat);
    match(3, 100, Low::Implicit, 5);
    w.End(true);
    w.Table(Full(), true);
    match(3, 97, Low::Repeat); // the previous low bits are 0 again
    match(3, 97, Low::Implicit);
    w.End(false);

    const Decoded decoded = Decode(w, expected.size());
    ASSERT_TRUE(decoded.result.ok()) << decoded.result.reason;
    EXPECT_EQ(expected, decoded.text);
}

// Matches over their own output, across the end of the window (a 64 KiB dictionary still gets a
// 256 KiB window), and at distances of the whole window right after a copy of whole chunks; the
// length bonus of long distances.
TEST(Rar29DecoderTest, CopiesOverlapWrapAndReachAcrossTheWholeWindow) {
    struct Case {
        const char* what;
        std::uint64_t window;
        std::size_t literals;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> matches; // distance, length
    };
    const Case cases[] = {
        {"own output", 64 << 10, 5, {{1, 20}, {3, 9}, {5, 17}, {7, 3}}},
        {"chunks", 64 << 10, 20, {{8, 30}, {9, 8}, {16, 3}, {12, 17}}},
        {"destination wraps", 64 << 10, 262140, {{100, 50}}},
        {"source wraps", 64 << 10, 262150, {{20, 30}}},
        {"whole window",
         256 << 10,
         262150,
         {{20, 10}, {262141, 7}, {262144, 5}, {0x2000, 4}, {0x1FFF, 3}}},
    };
    for (const Case& c : cases) {
        Writer w;
        w.Table(Full());
        std::string expected = Noise(c.literals, 5);
        w.Literals(expected);
        for (const auto& [distance, length] : c.matches) {
            w.Match(length, distance);
            Copy(expected, distance, length);
        }
        w.End(false);
        const Decoded decoded = Decode(w, expected.size(), c.window);
        EXPECT_TRUE(decoded.result.ok()) << c.what << ": " << decoded.result.reason;
        EXPECT_TRUE(decoded.text == expected) << c.what;
    }
}

// A record without a number uses the last program and, without a length, its last length; a
// second filter on the same block works on the first one's output; the window keeps the bytes
// as decoded, not as filtered; flag 0x40 moves the block 258 bytes on; the programs outlive the
// entry in a solid stream.
TEST(Rar29DecoderTest, FilterProgramsAreReusedChainedAndKeptInSolidEntries) {
    Writer first;
    first.Table(Full());
    first.Filter(Record(1, 0, 4, kDelta));
    first.Filter(Record(-1, 0, -1));
    first.Literals("\1\1\1\1");
    first.Match(4, 4);
    first.Filter(Record(-1, 2, -1, {}, 0, true));
    const std::string noise = Noise(260, 9);
    first.Literals(noise + "\5\5\5\5");
    first.End(false);
    Writer second;
    second.Adopt(Full());
    second.Filter(Record(1, 0, 3));
    second.Literals("\2\2\2");
    second.End(false);

    Rar29Decoder decoder;
    const Decoded one = Decode(decoder, first.bytes, 272);
    ASSERT_TRUE(one.result.ok()) << one.result.reason;
    EXPECT_EQ("\1\3\6\x0A\1\1\1\1" + noise + "\xFB\xF6\xF1\xEC", one.text);
    const Decoded two = Decode(decoder, second.bytes, 3, true);
    ASSERT_TRUE(two.result.ok()) << two.result.reason;
    EXPECT_EQ("\xFE\xFC\xFA", two.text);
}

// A PPMd block with an escape byte of its own: the escape as a literal (code 1 and an unknown
// code), a long match, a run, and a filter record long enough for a 16-bit size; then an LZ
// block right after the range coder's bytes, and a PPMd block that goes on with the model but
// changes the escape byte.
TEST(Rar29DecoderTest, PpmdBlocksHandOverToLzAndBack) {
    Writer w;
    std::string expected = "abc\7d";
    w.PpmdHeader(0x80 | 0x40 | 0x20 | 5, 7);
    w.PpmdText(expected);
    w.Escape(4, {0, 0, 3, 3});
    Copy(expected, 5, 35);
    w.Escape(5, {2});
    Copy(expected, 1, 6);
    w.Escape(9);
    w.Escape(3, Record(0, 0, 4, kDelta, 250));
    w.PpmdText("\1\1\1\1");
    expected += "\7\xFF\xFE\xFD\xFC";
    w.Escape(0);
    w.PpmdEnd();
    w.Table(Full());
    w.Literals("LZ");
    expected += "LZ";
    w.Match(6, 20);
    Copy(expected, 20, 6);
    w.End(true);
    w.PpmdHeader(0x80 | 0x40, 8);
    w.PpmdText("x\7\10y");
    expected += "x\7\10y";
    w.Escape(2);
    w.PpmdEnd();

    const Decoded decoded = Decode(w, expected.size());
    ASSERT_TRUE(decoded.result.ok()) << decoded.result.reason;
    EXPECT_EQ(expected, decoded.text);
}

// Entries of one solid stream: LZ whose end code says "no table next"; LZ that goes on with
// symbols (258 repeats the match of the entry before) and asks for a table; PPMd with a new
// model and escape byte; PPMd that continues both and copies from the first entry. After a
// damaged entry the stream cannot go on.
TEST(Rar29DecoderTest, SolidEntriesContinueTheStream) {
    std::vector<Writer> entries(5);
    entries[0].Table(Full());
    entries[0].Literals("hello ");
    entries[0].Match(5, 6);
    entries[0].End(false, false);
    entries[1].Adopt(Full());
    entries[1].Code(258);
    entries[1].Literals("!");
    entries[1].End(false, true);
    Writer ppmd; // one model for both PPMd entries
    ppmd.PpmdHeader(0x80 | 0x40 | 0x20 | 3, 9);
    ppmd.PpmdText("abc");
    ppmd.Escape(2);
    ppmd.PpmdEnd();
    entries[2].bytes = std::exchange(ppmd.bytes, {});
    ppmd.PpmdHeader(0x80);
    ppmd.PpmdText("d\x09");
    ppmd.Escape(4, {0, 0, 18, 0});
    ppmd.Escape(2);
    ppmd.PpmdEnd();
    entries[3].bytes = ppmd.bytes;
    entries[4].PpmdHeader(0x80 | 0x40 | 0x20 | 3, 2);
    entries[4].Escape(4, {0xFF, 0xFF, 0xFF, 0});
    entries[4].PpmdEnd();

    std::string stream = "hello hello";
    Copy(stream, 6, 5);
    stream += "!abcd\x09";
    Copy(stream, 20, 32);
    const std::size_t ends[] = {11, 17, 20, 54};
    Rar29Decoder decoder;
    EXPECT_EQ(DecodeError::Damaged, decoder.BeginEntry(true, 64 << 10).error);
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t start = i == 0 ? 0 : ends[i - 1];
        const Decoded decoded = Decode(decoder, entries[i].bytes, ends[i] - start, i > 0);
        ASSERT_TRUE(decoded.result.ok()) << i << ": " << decoded.result.reason;
        EXPECT_EQ(stream.substr(start, ends[i] - start), decoded.text) << i;
    }
    EXPECT_EQ(DecodeError::Damaged, Decode(decoder, entries[4].bytes, 32, true).result.error);
    EXPECT_EQ(DecodeError::Damaged, decoder.BeginEntry(true, 64 << 10).error);
    EXPECT_TRUE(Decode(decoder, entries[0].bytes, 11).result.ok());
}

// Cases from the third to the last filter one start with a full table.
TEST(Rar29DecoderTest, RefusesDamagedStreams) {
    struct Case {
        void (*write)(Writer&);
        std::uint64_t size;
        DecodeError error;
        const wchar_t* reason;
    };
    const Case cases[] = {
        {[](Writer& w) {
             Lengths l = Full();
             l[0] = l[1] = l[2] = 1, w.Table(l);
         },
         5, DecodeError::Damaged, L"bad Huffman table"},
        {[](Writer& w) {
             Lengths l{};
             l['a'] = 1, l[256] = 2, w.Table(l), w.Put(3, 2);
         },
         5, DecodeError::Damaged, L"bit pattern with no code"},
        {[](Writer& w) { w.Literals("a"), w.Old(0, 2); }, 5, DecodeError::Damaged,
         L"match distance of zero"},
        {[](Writer& w) { w.Literals("abc"), w.Match(3, 4); }, 6, DecodeError::Damaged,
         L"distance before the start of the data"},
        {[](Writer& w) { w.Literals(Noise(65540, 1)), w.Match(3, 65537); }, 65543,
         DecodeError::Damaged, L"distance beyond the dictionary"},
        {[](Writer& w) { w.Literals("abc"), w.Match(6, 3); }, 8, DecodeError::Damaged,
         L"data runs past the unpacked size"},
        {[](Writer& w) { w.Literals("abc"), w.End(false); }, 5, DecodeError::Damaged,
         L"data ends before the unpacked size"},
        {[](Writer& w) { w.Literals("abcdefgh"), w.bytes.resize(w.bytes.size() - 3); }, 8,
         DecodeError::Truncated, L"packed data ends early"},
        {[](Writer& w) { w.Filter(Record(0, 0, 51, kDelta)); }, 50, DecodeError::Damaged,
         L"filter block runs past the end of the entry"},
        {[](Writer& w) { w.Filter(Record(0, 0, 0x1E001, kDelta)); }, 0x20000, DecodeError::Damaged,
         L"filter block larger than the filter memory"},
        {[](Writer& w) { w.Filter(Record(0, 0, 4, Bytes(30))); }, 5, DecodeError::Unsupported,
         L"filter is non-standard VM code"},
        {[](Writer& w) { w.Put(0xA000, 16); }, 5, DecodeError::Damaged, L"PPMd order of 1"},
        {[](Writer& w) { w.Put(0x80000000u, 32); }, 5, DecodeError::Damaged,
         L"PPMd block without a model"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        Writer w;
        if (i >= 2 && i < 11) { // after the table cases, before the PPMd ones
            w.Table(Full());
        }
        cases[i].write(w);
        const DecodeResult result = Decode(w, cases[i].size).result;
        EXPECT_EQ(cases[i].error, result.error) << cases[i].reason << ": " << result.reason;
        EXPECT_EQ(std::wstring(cases[i].reason), result.reason);
    }
}

} // namespace
} // namespace bi::codec
