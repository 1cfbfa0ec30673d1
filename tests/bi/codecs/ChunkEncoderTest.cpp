// The LZ chunk encoder of both RAR formats. Every output is decoded by the project's decoders
// and also walked by a strict reader written here, which checks what the decoders forgive:
// complete Huffman tables, exact block framing and padding, and a distance history that a
// chunk fills itself before it names an entry of it (chunks are decoded after other chunks
// whose copies their encoder never saw).
#include "ChunkEncoder.h"
#include "CodecTestSupport.h"
#include "HuffmanEncoder.h"
#include "Rar29Decoder.h"
#include "Rar5Decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace bi::codec {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr LzFormat kFormats[] = {LzFormat::Rar29, LzFormat::Rar50};
constexpr int kMethods[] = {1, 2, 3, 4, 5};

std::string Name(LzFormat format, int method) {
    return (format == LzFormat::Rar29 ? "RAR 2.9 -m" : "RAR 5.0 -m") + std::to_string(method);
}

// ---------------------------------------------------------------------------------------------
// Test data.

Bytes Noise(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    Bytes data(size);
    for (auto& b : data) {
        b = static_cast<std::uint8_t>(random());
    }
    return data;
}

// Words of a small vocabulary with punctuation, like log or help text.
Bytes Text(std::size_t size, std::uint32_t seed) {
    static const char* const kWords[] = {"the",    "table",  "index", "page",  "record", "of",
                                         "server", "commit", "log",   "value", "and",    "key",
                                         "SELECT", "FROM",   "WHERE", "=",     "12",     "2024"};
    std::mt19937 random(seed);
    Bytes data;
    while (data.size() < size) {
        const char* word = kWords[random() % std::size(kWords)];
        data.insert(data.end(), word, word + std::strlen(word));
        data.push_back(random() % 9 == 0 ? '\n' : ' ');
    }
    data.resize(size);
    return data;
}

// Rows of a database page: a rising id, small numbers, a name from a short list, zero
// padding, and now and then a page header of zeros and a checksum.
Bytes Records(std::size_t size, std::uint32_t seed) {
    static const char* const kNames[] = {"alpha", "bravo", "charlie", "delta", "echo"};
    std::mt19937 random(seed);
    Bytes data;
    for (std::uint32_t id = 0; data.size() < size; ++id) {
        if (id % 100 == 0) {
            data.insert(data.end(), 38, 0);
            for (int i = 0; i < 4; ++i) {
                data.push_back(static_cast<std::uint8_t>(random()));
            }
        }
        for (int shift = 24; shift >= 0; shift -= 8) {
            data.push_back(static_cast<std::uint8_t>(id >> shift));
        }
        data.push_back(static_cast<std::uint8_t>(random() % 4));
        data.push_back(static_cast<std::uint8_t>(random() % 200));
        const char* name = kNames[random() % std::size(kNames)];
        data.insert(data.end(), name, name + std::strlen(name));
        data.insert(data.end(), 12 - std::strlen(name), 0);
    }
    data.resize(size);
    return data;
}

// Text in long repeats (each 40 KiB again, with a changed line): compressible at little cost
// to the slower methods.
Bytes Repeats(std::size_t size, std::uint32_t seed) {
    const Bytes text = Text(40 << 10, seed);
    Bytes data;
    for (std::size_t n = 0; data.size() < size; ++n) {
        data.insert(data.end(), text.begin(), text.end());
        const std::string line = "line " + std::to_string(n) + "\n";
        data.insert(data.end(), line.begin(), line.end());
    }
    data.resize(size);
    return data;
}

// Fixed-size rows whose four fields each copy the same field of one of the four rows before,
// picked at random, behind a changed first byte: the distances in use are four values in
// every order, so every entry of the distance history gets named.
Bytes RotatingRows(std::size_t size) {
    constexpr std::size_t kField = 12;
    constexpr std::size_t kRow = 4 * kField;
    std::mt19937 random(7);
    Bytes data = Noise(4 * kRow, 7);
    for (std::size_t row = 4; data.size() < size; ++row) {
        for (std::size_t field = 0; field < 4; ++field) {
            const std::size_t from = (row - 1 - random() % 4) * kRow + field * kField;
            data.push_back(static_cast<std::uint8_t>(random()));
            for (std::size_t i = 1; i < kField; ++i) {
                data.push_back(data[from + i]);
            }
        }
    }
    data.resize(size);
    return data;
}

// ---------------------------------------------------------------------------------------------
// Encoding a file as the archive writer does: chunk by chunk; a chunk that does not shrink is
// sent as literals (the caller stores the file when no chunk shrinks).

struct Packed {
    Bytes data;
    std::vector<std::size_t> chunkEnds; // end of each chunk's output in data
    std::vector<std::size_t> chunkSizes;
    std::size_t literalChunks = 0;
};

Packed EncodeFile(ChunkEncoder& encoder, LzFormat format, int method, const Bytes& file) {
    Packed packed;
    const std::size_t chunk = ChunkEncoder::ChunkSize(format, method);
    for (std::size_t pos = 0; pos < file.size(); pos += chunk) {
        const std::size_t size = std::min(chunk, file.size() - pos);
        const bool last = pos + size == file.size();
        if (!encoder.Encode(file.data() + pos, size, last, packed.data)) {
            encoder.EncodeLiterals(file.data() + pos, size, last, packed.data);
            ++packed.literalChunks;
        }
        packed.chunkEnds.push_back(packed.data.size());
        packed.chunkSizes.push_back(size);
    }
    return packed;
}

Packed EncodeFile(LzFormat format, int method, const Bytes& file) {
    ChunkEncoder encoder(format, method);
    return EncodeFile(encoder, format, method, file);
}

using MemorySource = test::PieceSource<Bytes>;

class MemorySink : public UnpackedSink {
public:
    bool Write(const std::uint8_t* data, std::size_t size) override {
        output.insert(output.end(), data, data + size);
        return true;
    }
    Bytes output;
};

// The file's data area through the project's decoder, with the dictionary the encoder
// declares; empty on any error.
Bytes Decode(LzFormat format, int method, const Bytes& packed, std::size_t size) {
    static BitInput in; // its 1 MiB buffer is a fresh mapping each time under Wine
    MemorySource source(packed);
    MemorySink sink;
    const std::uint64_t dictionary = ChunkEncoder::DictionarySize(format, method);
    DecodeResult result;
    if (format == LzFormat::Rar29) {
        Rar29Decoder decoder;
        result = decoder.BeginEntry(false, dictionary);
        if (result.ok()) {
            in.Reset(source);
            result = decoder.DecodeEntry(in, size, sink);
        }
    } else {
        Rar5Decoder decoder;
        result = decoder.BeginEntry(false, dictionary);
        if (result.ok()) {
            in.Reset(source);
            result = decoder.DecodeEntry(in, size, sink);
        }
    }
    return result.ok() ? sink.output : Bytes{};
}

// ---------------------------------------------------------------------------------------------
// A strict reader of one chunk's output. It follows the symbols without producing bytes and
// fails on anything the encoder must never write, even where decoders are lenient.

class BitReader {
public:
    BitReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint32_t Get(unsigned count) {
        std::uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i, ++m_bit) {
            const std::size_t byte = m_bit / 8;
            overrun |= byte >= m_size;
            const unsigned bit = byte < m_size ? (m_data[byte] >> (7 - m_bit % 8)) & 1 : 0;
            value = value << 1 | bit;
        }
        return value;
    }
    void Align() { m_bit = (m_bit + 7) / 8 * 8; }
    std::uint64_t Bit() const { return m_bit; }
    bool overrun = false;

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::uint64_t m_bit = 0;
};

// A canonical code decoded bit by bit.
class Code {
public:
    Code() = default;
    Code(const std::uint8_t* lengths, std::size_t size) {
        for (unsigned length = 1; length <= 15; ++length) {
            for (std::size_t symbol = 0; symbol < size; ++symbol) {
                if (lengths[symbol] == length) {
                    m_sorted.push_back(static_cast<int>(symbol));
                    ++m_count[length];
                }
            }
        }
    }
    int Decode(BitReader& in) const {
        std::uint32_t code = 0;
        std::uint32_t first = 0;
        std::size_t index = 0;
        for (unsigned length = 1; length <= 15; ++length) {
            code |= in.Get(1);
            if (code - first < m_count[length]) {
                return m_sorted[index + code - first];
            }
            index += m_count[length];
            first = (first + m_count[length]) << 1;
            code <<= 1;
        }
        return -1;
    }

private:
    std::array<std::uint32_t, 16> m_count{};
    std::vector<int> m_sorted;
};

// Kraft sum of a code in units of 2^-15: 2^15 for a complete code.
std::uint32_t Kraft(const std::uint8_t* lengths, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        sum += lengths[i] != 0 ? 1u << (15 - lengths[i]) : 0;
    }
    return sum;
}

enum class Kind { None, Literal, New, Short, Repeat0, Repeat1, Repeat2, Repeat3, RepeatLast };

struct Walk {
    std::string error; // empty when the chunk keeps every rule
    std::size_t blocks = 0;
    Kind firstCopy = Kind::None;
    std::array<std::size_t, 9> kinds{};
    std::uint32_t longest = 0;
    std::uint32_t furthest = 0;
};

class ChunkWalker {
public:
    ChunkWalker(LzFormat format, std::uint32_t maxDistance)
        : m_rar29(format == LzFormat::Rar29), m_maxDistance(maxDistance) {}

    // Walks one chunk's output, which must produce `size` bytes.
    Walk Run(const std::uint8_t* data, std::size_t bytes, std::size_t size, bool last) {
        m_walk = Walk{};
        m_size = size;
        m_produced = 0;
        m_known = 0;
        m_lastLength = 0;
        if (m_rar29) {
            Rar29(data, bytes, last);
        } else {
            Rar5(data, bytes, last);
        }
        if (m_walk.error.empty() && m_produced != size) {
            Fail("chunk produces " + std::to_string(m_produced) + " bytes");
        }
        return m_walk;
    }

private:
    bool Fail(const std::string& what) {
        if (m_walk.error.empty()) {
            m_walk.error = what + " (after " + std::to_string(m_produced) + " bytes)";
        }
        return false;
    }

    bool Tables(BitReader& in, std::size_t count) {
        std::array<std::uint8_t, 20> bitLengths{};
        for (std::size_t i = 0; i < 20;) {
            const std::uint32_t value = in.Get(4);
            if (value != 15) {
                bitLengths[i++] = static_cast<std::uint8_t>(value);
                continue;
            }
            const std::uint32_t zeros = in.Get(4);
            if (zeros == 0) {
                bitLengths[i++] = 15;
            } else {
                i = std::min<std::size_t>(20, i + zeros + 2);
            }
        }
        if (Kraft(bitLengths.data(), 20) != 1u << 15) {
            return Fail("bit-length code not complete");
        }
        const Code bitLengthCode(bitLengths.data(), 20);
        std::vector<std::uint8_t> lengths;
        while (lengths.size() < count) {
            const int symbol = bitLengthCode.Decode(in);
            if (symbol < 0) {
                return Fail("bad bit-length code");
            }
            if (symbol < 16) {
                lengths.push_back(static_cast<std::uint8_t>(symbol));
                continue;
            }
            if (symbol < 18 && lengths.empty()) {
                return Fail("repeat before the first length");
            }
            const std::size_t n = symbol % 2 == 0 ? 3 + in.Get(3) : 11 + in.Get(7);
            if (lengths.size() + n > count) {
                return Fail("length run past the end of the table");
            }
            lengths.insert(lengths.end(), n, symbol < 18 ? lengths.back() : 0);
        }
        const std::array<std::size_t, 4> sizes = m_rar29
                                                     ? std::array<std::size_t, 4>{299, 60, 17, 28}
                                                     : std::array<std::size_t, 4>{306, 64, 16, 44};
        const std::uint8_t* at = lengths.data();
        for (std::size_t i = 0; i < 4; at += sizes[i++]) {
            const std::uint32_t kraft = Kraft(at, sizes[i]);
            const bool emptyAllowed = !m_rar29 && i > 0;
            if (kraft != 1u << 15 && !(emptyAllowed && kraft == 0)) {
                return Fail("table " + std::to_string(i) + " neither complete nor empty");
            }
            m_codes[i] = Code(at, sizes[i]);
        }
        return !in.overrun || Fail("tables run past the data");
    }

    // The length slot value (slots as in both formats).
    static std::uint32_t SlotValue(BitReader& in, int slot) {
        if (slot < 8) {
            return static_cast<std::uint32_t>(slot);
        }
        const unsigned bits = static_cast<unsigned>(slot) / 4 - 1;
        return ((4 + (static_cast<unsigned>(slot) % 4)) << bits) + in.Get(bits);
    }

    bool Distance(BitReader& in, std::uint32_t& distance) {
        const int slot = m_codes[1].Decode(in);
        if (slot < 0) {
            return Fail("bad distance code");
        }
        unsigned bits;
        std::uint32_t base;
        if (m_rar29 && slot >= 36) {
            bits = slot < 48 ? 16 : 18;
            base = slot < 48 ? 0x40000 + (static_cast<std::uint32_t>(slot) - 36) * 0x10000
                             : 0x100000 + (static_cast<std::uint32_t>(slot) - 48) * 0x40000;
        } else if (slot < 4) {
            bits = 0;
            base = static_cast<std::uint32_t>(slot);
        } else {
            bits = static_cast<unsigned>(slot) / 2 - 1;
            base = (2 + static_cast<std::uint32_t>(slot) % 2) << bits;
        }
        std::uint32_t extra;
        if (slot < 10) {
            extra = in.Get(bits);
        } else {
            extra = in.Get(bits - 4) << 4;
            const int low = m_codes[2].Decode(in);
            if (low < 0 || low > 15) {
                return Fail("bad low-distance code");
            }
            extra += static_cast<std::uint32_t>(low);
        }
        distance = base + extra + 1;
        return true;
    }

    bool Copy(Kind kind, std::uint32_t length, std::uint32_t distance) {
        if (m_walk.firstCopy == Kind::None) {
            m_walk.firstCopy = kind;
        }
        ++m_walk.kinds[static_cast<std::size_t>(kind)];
        if (kind == Kind::New || kind == Kind::Short) {
            if (distance > m_produced || distance > m_maxDistance) {
                return Fail("distance " + std::to_string(distance) + " out of reach");
            }
            m_history = {distance, m_history[0], m_history[1], m_history[2]};
            m_known = std::min(m_known + 1, 4u);
            m_walk.furthest = std::max(m_walk.furthest, distance);
        } else if (kind != Kind::RepeatLast) {
            const unsigned k = static_cast<unsigned>(kind) - static_cast<unsigned>(Kind::Repeat0);
            if (k >= m_known) {
                return Fail("repeat of a distance the chunk did not set");
            }
            std::rotate(m_history.begin(), m_history.begin() + k, m_history.begin() + k + 1);
        } else if (m_lastLength == 0) {
            return Fail("repeat of a copy the chunk did not make");
        }
        m_lastLength = length;
        m_produced += length;
        m_walk.longest = std::max(m_walk.longest, length);
        return m_produced <= m_size || Fail("copy runs past the chunk");
    }

    // One main symbol; false at the end of the block or on a fault.
    bool Symbol(BitReader& in, int symbol) {
        if (symbol < 256) {
            ++m_walk.kinds[static_cast<std::size_t>(Kind::Literal)];
            return ++m_produced <= m_size || Fail("literal past the chunk");
        }
        const int repeatLast = m_rar29 ? 258 : 257;
        const int firstRepeat = repeatLast + 1;
        const int firstNew = m_rar29 ? 271 : 262;
        if (symbol == repeatLast) {
            return Copy(Kind::RepeatLast, m_lastLength, 0);
        }
        if (symbol >= firstRepeat && symbol < firstRepeat + 4) {
            const int slot = m_codes[3].Decode(in);
            if (slot < 0) {
                return Fail("bad length code");
            }
            const Kind kind =
                static_cast<Kind>(static_cast<int>(Kind::Repeat0) + symbol - firstRepeat);
            return Copy(kind, 2 + SlotValue(in, slot), 0);
        }
        if (m_rar29 && symbol >= 263 && symbol < 271) {
            static const std::uint32_t kBase[] = {0, 4, 8, 16, 32, 64, 128, 192};
            static const unsigned kBits[] = {2, 2, 3, 4, 5, 6, 6, 6};
            const std::uint32_t distance = kBase[symbol - 263] + 1 + in.Get(kBits[symbol - 263]);
            return Copy(Kind::Short, 2, distance);
        }
        if (symbol >= firstNew) {
            std::uint32_t length = (m_rar29 ? 3 : 2) + SlotValue(in, symbol - firstNew);
            std::uint32_t distance = 0;
            if (!Distance(in, distance)) {
                return false;
            }
            length += m_rar29 ? (distance >= 0x2000) + (distance >= 0x40000)
                              : (distance > 0x100) + (distance > 0x2000) + (distance > 0x40000);
            return Copy(Kind::New, length, distance);
        }
        return Fail("unexpected symbol " + std::to_string(symbol));
    }

    void Rar29(const std::uint8_t* data, std::size_t bytes, bool last) {
        BitReader in(data, bytes);
        for (;;) {
            in.Align();
            if (in.Get(2) != 0) {
                Fail("not a fresh LZ table");
                return;
            }
            ++m_walk.blocks;
            if (!Tables(in, 404)) {
                return;
            }
            int symbol;
            while ((symbol = m_codes[0].Decode(in)) != 256) {
                if (symbol < 0 || !Symbol(in, symbol) || in.overrun) {
                    Fail("bad symbol stream");
                    return;
                }
            }
            if (in.Get(1) == 1) { // a table follows: in this chunk, or the next chunk's
                if (m_produced == m_size) {
                    in.Align();
                    if (last || in.Bit() != 8 * bytes) {
                        Fail("chunk does not end after its last block");
                    }
                    return;
                }
                continue;
            }
            const std::uint32_t solidTable = in.Get(1);
            in.Align();
            if (!last || solidTable != 0 || in.Bit() + 16 != 8 * bytes || data[bytes - 1] != 0 ||
                data[bytes - 2] != 0) {
                Fail("bad end of the file's data");
            }
            return;
        }
    }

    void Rar5(const std::uint8_t* data, std::size_t bytes, bool last) {
        std::size_t at = 0;
        while (at < bytes) {
            if (bytes - at < 3) {
                Fail("block header cut off");
                return;
            }
            const std::uint8_t flags = data[at];
            const unsigned sizeBytes = ((flags >> 3) & 3) + 1;
            std::uint32_t size = 0;
            std::uint8_t check = 0x5A ^ flags;
            for (unsigned i = 0; i < sizeBytes && sizeBytes < 4; ++i) {
                size |= static_cast<std::uint32_t>(data[at + 2 + i]) << (8 * i);
                check ^= data[at + 2 + i];
            }
            at += 2 + sizeBytes;
            if (sizeBytes > 3 || check != data[at - sizeBytes - 1] || (flags & 0xA0) != 0x80 ||
                size == 0 || at + size > bytes) {
                Fail("bad block header");
                return;
            }
            const bool finalBlock = at + size == bytes;
            if (((flags & 0x40) != 0) != (finalBlock && last)) {
                Fail("last-block flag on the wrong block");
                return;
            }
            ++m_walk.blocks;
            BitReader in(data + at, size);
            const std::uint64_t endBit = (size - 1) * 8ull + (flags & 7) + 1;
            if (!Tables(in, 430)) {
                return;
            }
            while (in.Bit() < endBit) {
                const int symbol = m_codes[0].Decode(in);
                if (symbol < 0 || !Symbol(in, symbol)) {
                    Fail("bad symbol stream");
                    return;
                }
            }
            if (in.Bit() != endBit || in.Get(static_cast<unsigned>(8 * size - endBit)) != 0) {
                Fail("symbols do not end at the block end, or padding not zero");
                return;
            }
            at += size;
        }
    }

    const bool m_rar29;
    const std::uint32_t m_maxDistance;
    Walk m_walk;
    std::array<Code, 4> m_codes;
    std::size_t m_size = 0;
    std::size_t m_produced = 0;
    std::array<std::uint32_t, 4> m_history{};
    unsigned m_known = 0;
    std::uint32_t m_lastLength = 0;
};

// The largest distance a method may use: what the declared dictionary allows, and for RAR 5.0
// the 4100 bytes RAR keeps free below it.
std::uint32_t MaxDistance(LzFormat format, int method) {
    const std::uint64_t dictionary = ChunkEncoder::DictionarySize(format, method);
    return static_cast<std::uint32_t>(format == LzFormat::Rar29 ? dictionary : dictionary - 4100);
}

std::vector<Walk> WalkFile(LzFormat format, int method, const Packed& packed) {
    std::vector<Walk> walks;
    ChunkWalker walker(format, MaxDistance(format, method));
    std::size_t begin = 0;
    for (std::size_t i = 0; i < packed.chunkEnds.size(); ++i) {
        walks.push_back(walker.Run(packed.data.data() + begin, packed.chunkEnds[i] - begin,
                                   packed.chunkSizes[i], i + 1 == packed.chunkEnds.size()));
        begin = packed.chunkEnds[i];
    }
    return walks;
}

// Encodes, walks and decodes a file; returns the walks for further checks.
std::vector<Walk> RoundTrip(LzFormat format, int method, const Bytes& file,
                            const std::string& what) {
    SCOPED_TRACE(Name(format, method) + ", " + what);
    const Packed packed = EncodeFile(format, method, file);
    const std::vector<Walk> walks = WalkFile(format, method, packed);
    for (std::size_t i = 0; i < walks.size(); ++i) {
        EXPECT_EQ("", walks[i].error) << "chunk " << i;
    }
    EXPECT_TRUE(Decode(format, method, packed.data, file.size()) == file);
    return walks;
}

// ---------------------------------------------------------------------------------------------

TEST(ChunkEncoderTest, RoundTripsEveryMethodAndFormat) {
    for (const LzFormat format : kFormats) {
        for (const int method : kMethods) {
            const std::size_t chunk = ChunkEncoder::ChunkSize(format, method);
            RoundTrip(format, method, Text(300 << 10, 1), "text");
            // Several chunks of one file decode as one entry.
            const auto walks = RoundTrip(format, method, Records(chunk + chunk / 3, 2), "records");
            ASSERT_EQ(2u, walks.size());
            EXPECT_GT(walks[0].blocks, 1u) << "a chunk's codes are renewed block by block";
            RoundTrip(format, method, Bytes(2 * chunk + 7, 0), "zeros");
            RoundTrip(format, method, Text(40, 3), "a line");
        }
    }
}

TEST(ChunkEncoderTest, ChunksLeanOnNothingBeforeThem) {
    // The second chunk repeats the first. Encoded apart, it may neither copy from the first
    // nor name distances or a last copy that the first left in the decoder's history.
    constexpr std::size_t kChunk = 256 << 10;
    const Bytes first = Records(kChunk, 4);
    const Bytes other = Text(kChunk, 5);
    for (const LzFormat format : kFormats) {
        for (const int method : {1, 3, 5}) {
            SCOPED_TRACE(Name(format, method));
            ChunkEncoder encoder(format, method);
            Bytes firstOut;
            Bytes otherOut;
            Bytes secondOut;
            ASSERT_TRUE(encoder.Encode(first.data(), kChunk, false, firstOut));
            ASSERT_TRUE(encoder.Encode(other.data(), kChunk, false, otherOut));
            ASSERT_TRUE(encoder.Encode(first.data(), kChunk, true, secondOut));

            const Walk walk = ChunkWalker(format, MaxDistance(format, method))
                                  .Run(secondOut.data(), secondOut.size(), kChunk, true);
            EXPECT_EQ("", walk.error);
            EXPECT_TRUE(walk.firstCopy == Kind::New || walk.firstCopy == Kind::Short);

            for (const Bytes* before : {&firstOut, &otherOut}) {
                Bytes packed = *before;
                packed.insert(packed.end(), secondOut.begin(), secondOut.end());
                Bytes expected = before == &firstOut ? first : other;
                expected.insert(expected.end(), first.begin(), first.end());
                EXPECT_TRUE(Decode(format, method, packed, expected.size()) == expected);
            }
        }
    }
}

TEST(ChunkEncoderTest, ReachesTheFormatLimitsAndNoFurther) {
    // Random bytes at the start and again as far on as the method may reach (or one byte
    // further), zeros between: the only copy of them is at that distance. The zeros make the
    // longest copies near by; the random bytes, in RAR 2.9, the longest far away (its length
    // bonus included).
    for (const LzFormat format : kFormats) {
        for (const int method : {1, 3, 5}) {
            const std::uint32_t allowed = MaxDistance(format, method);
            const std::uint32_t reach = std::min<std::uint32_t>(
                allowed,
                static_cast<std::uint32_t>(ChunkEncoder::ChunkSize(format, method)) - 4096);
            const Bytes marker = Noise(2048, 6);
            for (const std::uint32_t distance : {reach, reach + 1}) {
                Bytes file(distance + marker.size(), 0);
                std::copy(marker.begin(), marker.end(), file.begin());
                std::copy(marker.begin(), marker.end(), file.begin() + distance);
                const auto walks = RoundTrip(format, method, file,
                                             "marker at distance " + std::to_string(distance));
                ASSERT_EQ(1u, walks.size());
                if (distance <= allowed) {
                    EXPECT_EQ(distance, walks[0].furthest);
                } else {
                    EXPECT_LT(walks[0].furthest, marker.size());
                }
                EXPECT_EQ(format == LzFormat::Rar29 ? 260u : 4097u, walks[0].longest);
            }
        }
    }
}

TEST(ChunkEncoderTest, NamesEveryEntryOfTheDistanceHistory) {
    const Bytes rows = RotatingRows(200 << 10);
    for (const LzFormat format : kFormats) {
        for (const int method : {3, 5}) {
            const auto walks = RoundTrip(format, method, rows, "rotating rows");
            for (const Kind kind :
                 {Kind::Repeat0, Kind::Repeat1, Kind::Repeat2, Kind::Repeat3, Kind::RepeatLast}) {
                EXPECT_GT(walks[0].kinds[static_cast<std::size_t>(kind)], 0u)
                    << Name(format, method) << ", kind " << static_cast<int>(kind);
            }
        }
    }
}

TEST(ChunkEncoderTest, RefusesWhatDoesNotShrinkAndSendsItAsLiterals) {
    for (const LzFormat format : kFormats) {
        for (const int method : kMethods) {
            SCOPED_TRACE(Name(format, method));
            const std::size_t chunk = ChunkEncoder::ChunkSize(format, method);
            ChunkEncoder encoder(format, method);
            const Bytes noise = Noise(chunk, 8);
            Bytes out = {1, 2, 3};
            EXPECT_FALSE(encoder.Encode(noise.data(), chunk, false, out));
            EXPECT_EQ((Bytes{1, 2, 3}), out);

            // A file of noise and text: the noise goes as literals, about a byte each.
            Bytes file = noise;
            const Bytes tail = Text(chunk / 8, 10);
            file.insert(file.end(), tail.begin(), tail.end());
            const Packed packed = EncodeFile(encoder, format, method, file);
            ASSERT_EQ(1u, packed.literalChunks);
            EXPECT_LT(packed.chunkEnds[0], chunk + chunk / 100);
            for (const Walk& walk : WalkFile(format, method, packed)) {
                EXPECT_EQ("", walk.error);
            }
            EXPECT_TRUE(Decode(format, method, packed.data, file.size()) == file);

            // Noise and text within one chunk: blocks of noise go as literals between blocks
            // of copies, wherever they are.
            Bytes mixed(noise.begin(), noise.begin() + (300 << 10));
            const Bytes text = Text(400 << 10, 11);
            mixed.insert(mixed.end(), text.begin(), text.end());
            mixed.insert(mixed.end(), noise.begin(), noise.begin() + (300 << 10));
            RoundTrip(format, method, mixed, "noise, text, noise");
        }
    }
}

TEST(ChunkEncoderTest, EndsExactlyWithTheChunk) {
    // Text, then up to the end either noise of various lengths (a parse that skips through it
    // in growing steps must still stop at the last byte) or a repeat of the text's first
    // bytes (a match found by comparing 4 or 8 bytes at once must not run past the end).
    // Last chunk of a file or not.
    const Bytes text = Text(64 << 10, 17);
    const Bytes noise = Noise(300 << 10, 18);
    std::vector<Bytes> tails = {Bytes(noise.begin(), noise.begin() + 1),
                                Bytes(noise.begin(), noise.begin() + 1000), noise};
    for (std::size_t n = 2; n <= 12; ++n) {
        tails.emplace_back(text.begin(), text.begin() + n);
    }
    for (const LzFormat format : kFormats) {
        for (const int method : kMethods) {
            for (const Bytes& tail : tails) {
                SCOPED_TRACE(Name(format, method) + ", tail of " + std::to_string(tail.size()));
                Bytes chunk = text;
                chunk.insert(chunk.end(), tail.begin(), tail.end());
                for (const bool last : {false, true}) {
                    ChunkEncoder encoder(format, method);
                    Bytes out;
                    ASSERT_TRUE(encoder.Encode(chunk.data(), chunk.size(), last, out));
                    const Walk walk = ChunkWalker(format, MaxDistance(format, method))
                                          .Run(out.data(), out.size(), chunk.size(), last);
                    EXPECT_EQ("", walk.error);
                }
            }
        }
    }
}

TEST(ChunkEncoderTest, EncodesOneByteAndWholeChunks) {
    for (const LzFormat format : kFormats) {
        for (const int method : kMethods) {
            const std::size_t chunk = ChunkEncoder::ChunkSize(format, method);
            // One byte cannot shrink, but as literals it is a valid stream: a table with one
            // used symbol.
            ChunkEncoder encoder(format, method);
            Bytes out;
            const std::uint8_t byte = 'x';
            EXPECT_FALSE(encoder.Encode(&byte, 1, true, out));
            RoundTrip(format, method, {byte}, "one byte");
            RoundTrip(format, method, Repeats(chunk, 12), "exactly one chunk");
            // The last chunk is a single byte.
            const auto walks = RoundTrip(format, method, Repeats(chunk + 1, 13), "chunk + 1");
            EXPECT_EQ(2u, walks.size());
        }
    }
}

TEST(ChunkEncoderTest, OutputDependsOnTheChunkAlone) {
    for (const LzFormat format : kFormats) {
        for (const int method : kMethods) {
            SCOPED_TRACE(Name(format, method));
            const Bytes a = Records(300 << 10, 14);
            const Bytes b = Text(200 << 10, 15);
            ChunkEncoder used(format, method);
            ChunkEncoder fresh(format, method);
            Bytes first;
            Bytes between;
            Bytes again;
            Bytes alone;
            ASSERT_TRUE(used.Encode(a.data(), a.size(), false, first));
            ASSERT_TRUE(used.Encode(b.data(), b.size(), true, between));
            ASSERT_TRUE(used.Encode(a.data(), a.size(), false, again));
            ASSERT_TRUE(fresh.Encode(a.data(), a.size(), false, alone));
            EXPECT_TRUE(first == again);
            EXPECT_TRUE(first == alone);
        }
    }
}

TEST(ChunkEncoderTest, BuildsCompleteHuffmanCodesOfAtMost15Bits) {
    struct Case {
        const char* name;
        std::vector<std::uint32_t> counts;
        bool allowEmpty;
    };
    std::vector<std::uint32_t> fibonacci(306);
    fibonacci[0] = fibonacci[1] = 1;
    for (std::size_t i = 2; i < fibonacci.size(); ++i) {
        fibonacci[i] = std::min<std::uint64_t>(fibonacci[i - 1] + fibonacci[i - 2], 1u << 30);
    }
    std::vector<std::uint32_t> skewed(306, 1);
    skewed[0] = 1u << 30;
    std::vector<std::uint32_t> mixed(299, 0);
    std::mt19937 random(16);
    for (auto& c : mixed) {
        c = random() % 3 == 0 ? 0 : random() % 5000;
    }
    std::vector<std::uint32_t> one(60, 0);
    one[41] = 9;
    const std::vector<Case> cases = {
        {"nothing used, empty allowed", std::vector<std::uint32_t>(64, 0), true},
        {"nothing used", std::vector<std::uint32_t>(17, 0), false},
        {"one symbol", one, false},
        {"all symbols, equal", std::vector<std::uint32_t>(306, 7), false},
        {"all symbols, Fibonacci", fibonacci, false},
        {"one symbol dominates", skewed, false},
        {"mixed", mixed, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> lengths(c.counts.size());
        BuildCodeLengths(c.counts.data(), c.counts.size(), 15, c.allowEmpty, lengths.data());
        const std::size_t used =
            std::count_if(c.counts.begin(), c.counts.end(), [](std::uint32_t n) { return n != 0; });
        if (used == 0 && c.allowEmpty) {
            EXPECT_EQ(0u, Kraft(lengths.data(), lengths.size()));
            continue;
        }
        EXPECT_EQ(1u << 15, Kraft(lengths.data(), lengths.size()));
        EXPECT_LE(*std::max_element(lengths.begin(), lengths.end()), 15);
        std::size_t coded = 0;
        for (std::size_t i = 0; i < lengths.size(); ++i) {
            coded += lengths[i] != 0;
            if (c.counts[i] != 0) {
                EXPECT_NE(0, lengths[i]) << "symbol " << i;
            }
        }
        EXPECT_EQ(std::max<std::size_t>(used, 2), coded);
    }
}

} // namespace
} // namespace bi::codec
