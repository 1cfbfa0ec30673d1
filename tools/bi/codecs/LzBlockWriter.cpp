// Block writer of the LZ encoders for both RAR formats.
#include "LzBlockWriter.h"

#include "BitOutput.h"
#include "HuffmanEncoder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace bi::codec {

namespace {

// RAR 2.9 main symbols: 0-255 literals, 256 end of block, 257 filter (unused here), 258 the
// last copy again, 259-262 a distance from the history, 263-270 a length-2 copy up to distance
// 256, 271-298 a copy with a new distance (coded length = length - 3 - bonus).
struct Rar29Alphabet {
    static constexpr std::size_t kMain = 299;
    static constexpr std::size_t kDistance = 60;
    static constexpr std::size_t kLowDistance = 17;
    static constexpr std::size_t kLength = 28;
    static constexpr unsigned kEndOfBlock = 256;
    static constexpr unsigned kRepeatLast = 258;
    static constexpr unsigned kFirstRepeat = 259;
    static constexpr unsigned kFirstShort = 263;
    static constexpr unsigned kFirstNew = 271;
    static constexpr std::uint32_t kNewLengthBase = 3;
    static constexpr bool kShortCopies = true;
    static constexpr const LzRules& kRules = kRar29Rules;
    static SlotCode Distance(std::uint32_t distance) { return Rar29DistanceSlot(distance); }
};

// RAR 5.0 main symbols: 0-255 literals, 256 filter (unused here), 257 the last copy again,
// 258-261 a distance from the history, 262-305 a copy with a new distance (coded length =
// length - 2 - bonus).
struct Rar5Alphabet {
    static constexpr std::size_t kMain = 306;
    static constexpr std::size_t kDistance = 64;
    static constexpr std::size_t kLowDistance = 16;
    static constexpr std::size_t kLength = 44;
    static constexpr unsigned kEndOfBlock = 0; // blocks have a size instead
    static constexpr unsigned kRepeatLast = 257;
    static constexpr unsigned kFirstRepeat = 258;
    static constexpr unsigned kFirstShort = 0;
    static constexpr unsigned kFirstNew = 262;
    static constexpr std::uint32_t kNewLengthBase = 2;
    static constexpr bool kShortCopies = false;
    static constexpr const LzRules& kRules = kRar5Rules;
    static SlotCode Distance(std::uint32_t distance) { return DistanceSlot(distance); }
};

constexpr std::uint8_t kRar5TablesFlag = 0x80;
constexpr std::uint8_t kRar5LastBlockFlag = 0x40;
constexpr std::uint8_t kRar5CheckSeed = 0x5A;
constexpr std::size_t kRar29Margin = 2; // zero bytes after a file's last block

template <class A> class BlockCoder final : public LzBlockWriter {
public:
    void SetCopies(const std::uint8_t* data, std::size_t begin, const LzCopy* copies,
                   std::size_t count) override {
        m_data = data;
        m_begin = begin;
        m_copies = copies;
        m_copyCount = count;
        m_literalBlock = 0;
    }
    void SetLiterals(const std::uint8_t* data, std::size_t begin, std::size_t size) override {
        m_data = data;
        m_begin = begin;
        m_copies = nullptr;
        m_copyCount = 0;
        m_literalBlock = size;
    }
    std::size_t Plan(bool endsFile) override;
    void Write(std::uint8_t* out) override;

    const std::uint8_t* MainLengths() const override { return m_main.lengths.data(); }
    const std::uint8_t* DistanceLengths() const override { return m_distance.lengths.data(); }
    const std::uint8_t* LowDistanceLengths() const override { return m_lowDistance.lengths.data(); }
    const std::uint8_t* LengthLengths() const override { return m_length.lengths.data(); }

private:
    static constexpr std::size_t kAllLengths =
        A::kMain + A::kDistance + A::kLowDistance + A::kLength;

    void CountLiterals(const std::uint8_t* p, std::size_t n);
    void CountCopy(const LzCopy& copy);
    void WriteLiterals(BitOutput& out, const std::uint8_t* p, std::size_t n) const;
    void WriteCopy(BitOutput& out, const LzCopy& copy) const;
    void WriteSymbols(BitOutput& out) const;

    const std::uint8_t* m_data = nullptr;
    std::size_t m_begin = 0;
    const LzCopy* m_copies = nullptr;
    std::size_t m_copyCount = 0;
    std::size_t m_literalBlock = 0;

    // Literal counts in four lanes, so that a run of bytes does not wait on its own stores.
    std::array<std::array<std::uint32_t, 256>, 4> m_lanes{};
    std::array<std::uint32_t, A::kMain> m_mainCounts{};
    std::array<std::uint32_t, A::kDistance> m_distanceCounts{};
    std::array<std::uint32_t, A::kLowDistance> m_lowCounts{};
    std::array<std::uint32_t, A::kLength> m_lengthCounts{};
    std::uint64_t m_extraBits = 0;

    HuffmanCode<A::kMain> m_main;
    HuffmanCode<A::kDistance> m_distance;
    HuffmanCode<A::kLowDistance> m_lowDistance;
    HuffmanCode<A::kLength> m_length;
    TableSection m_tables;
    bool m_endsFile = false;
    std::uint64_t m_symbolBits = 0; // table section and symbols (RAR 2.9: and the end code)
    std::size_t m_size = 0;
};

template <class A> void BlockCoder<A>::CountLiterals(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++m_lanes[0][p[i]];
        ++m_lanes[1][p[i + 1]];
        ++m_lanes[2][p[i + 2]];
        ++m_lanes[3][p[i + 3]];
    }
    for (; i < n; ++i) {
        ++m_lanes[0][p[i]];
    }
}

template <class A> void BlockCoder<A>::CountCopy(const LzCopy& copy) {
    switch (copy.kind) {
    case CopyKind::RepeatLast:
        ++m_mainCounts[A::kRepeatLast];
        return;
    case CopyKind::NewDistance:
        break;
    default: {
        ++m_mainCounts[A::kFirstRepeat + static_cast<unsigned>(copy.kind)];
        const SlotCode length = LengthSlot(copy.length - 2);
        ++m_lengthCounts[length.slot];
        m_extraBits += length.extraBits;
        return;
    }
    }
    if (A::kShortCopies && copy.length == 2) {
        const SlotCode slot = ShortCopySlot(copy.distance);
        ++m_mainCounts[A::kFirstShort + slot.slot];
        m_extraBits += slot.extraBits;
        return;
    }
    const SlotCode length =
        LengthSlot(copy.length - A::kNewLengthBase - A::kRules.Bonus(copy.distance));
    ++m_mainCounts[A::kFirstNew + length.slot];
    const SlotCode distance = A::Distance(copy.distance);
    ++m_distanceCounts[distance.slot];
    if (distance.slot >= kFirstLowDistanceSlot) {
        ++m_lowCounts[distance.extra & 15];
        m_extraBits += length.extraBits + distance.extraBits - 4;
    } else {
        m_extraBits += length.extraBits + distance.extraBits;
    }
}

template <class A> std::size_t BlockCoder<A>::Plan(bool endsFile) {
    m_endsFile = endsFile;
    for (auto& lane : m_lanes) {
        lane.fill(0);
    }
    m_mainCounts.fill(0);
    m_distanceCounts.fill(0);
    m_lowCounts.fill(0);
    m_lengthCounts.fill(0);
    m_extraBits = 0;

    const std::uint8_t* p = m_data + m_begin;
    if (m_copies == nullptr) {
        CountLiterals(p, m_literalBlock);
    }
    for (std::size_t i = 0; i < m_copyCount; ++i) {
        const LzCopy& copy = m_copies[i];
        CountLiterals(p, copy.literals);
        p += copy.literals;
        if (copy.length != 0) {
            CountCopy(copy);
            p += copy.length;
        }
    }
    for (unsigned b = 0; b < 256; ++b) {
        m_mainCounts[b] = m_lanes[0][b] + m_lanes[1][b] + m_lanes[2][b] + m_lanes[3][b];
    }
    if (A::kEndOfBlock != 0) {
        ++m_mainCounts[A::kEndOfBlock];
    }

    // RAR 2.9 readers differ on empty and one-symbol tables, so there every table gets two
    // codes; RAR 5.0 leaves the tables of unused alphabets empty.
    const bool allowEmpty = A::kEndOfBlock == 0;
    m_main.Build(m_mainCounts.data(), false);
    m_distance.Build(m_distanceCounts.data(), allowEmpty);
    m_lowDistance.Build(m_lowCounts.data(), allowEmpty);
    m_length.Build(m_lengthCounts.data(), allowEmpty);

    std::array<std::uint8_t, kAllLengths> all;
    auto at = std::copy(m_main.lengths.begin(), m_main.lengths.end(), all.begin());
    at = std::copy(m_distance.lengths.begin(), m_distance.lengths.end(), at);
    at = std::copy(m_lowDistance.lengths.begin(), m_lowDistance.lengths.end(), at);
    std::copy(m_length.lengths.begin(), m_length.lengths.end(), at);
    m_tables.Prepare(all.data(), all.size());

    m_symbolBits = m_tables.Bits() + m_main.Cost(m_mainCounts.data()) +
                   m_distance.Cost(m_distanceCounts.data()) +
                   m_lowDistance.Cost(m_lowCounts.data()) + m_length.Cost(m_lengthCounts.data()) +
                   m_extraBits;
    if (A::kEndOfBlock != 0) {
        // Block type and "fresh lengths" bits before the tables; after the end code one bit
        // (a table follows), or two at the end of the file's data.
        const std::uint64_t bits = 2 + m_symbolBits + (endsFile ? 2 : 1);
        m_size = static_cast<std::size_t>((bits + 7) / 8) + (endsFile ? kRar29Margin : 0);
    } else {
        const std::size_t data = static_cast<std::size_t>((m_symbolBits + 7) / 8);
        m_size = 2 + (data < 0x100 ? 1 : data < 0x10000 ? 2 : 3) + data;
    }
    return m_size;
}

template <class A>
void BlockCoder<A>::WriteLiterals(BitOutput& out, const std::uint8_t* p, std::size_t n) const {
    std::size_t i = 0;
    // Two codes of at most 15 bits fit one call.
    for (; i + 2 <= n; i += 2) {
        const unsigned a = p[i];
        const unsigned b = p[i + 1];
        out.Put((static_cast<std::uint32_t>(m_main.codes[a]) << m_main.lengths[b]) |
                    m_main.codes[b],
                m_main.lengths[a] + m_main.lengths[b]);
    }
    if (i < n) {
        m_main.Write(out, p[i]);
    }
}

template <class A> void BlockCoder<A>::WriteCopy(BitOutput& out, const LzCopy& copy) const {
    switch (copy.kind) {
    case CopyKind::RepeatLast:
        m_main.Write(out, A::kRepeatLast);
        return;
    case CopyKind::NewDistance:
        break;
    default: {
        m_main.Write(out, A::kFirstRepeat + static_cast<unsigned>(copy.kind));
        const SlotCode length = LengthSlot(copy.length - 2);
        m_length.Write(out, length.slot);
        out.Put(length.extra, length.extraBits);
        return;
    }
    }
    if (A::kShortCopies && copy.length == 2) {
        const SlotCode slot = ShortCopySlot(copy.distance);
        m_main.Write(out, A::kFirstShort + slot.slot);
        out.Put(slot.extra, slot.extraBits);
        return;
    }
    const SlotCode length =
        LengthSlot(copy.length - A::kNewLengthBase - A::kRules.Bonus(copy.distance));
    m_main.Write(out, A::kFirstNew + length.slot);
    out.Put(length.extra, length.extraBits);
    const SlotCode distance = A::Distance(copy.distance);
    m_distance.Write(out, distance.slot);
    if (distance.slot >= kFirstLowDistanceSlot) {
        out.Put(distance.extra >> 4, distance.extraBits - 4);
        m_lowDistance.Write(out, distance.extra & 15);
    } else {
        out.Put(distance.extra, distance.extraBits);
    }
}

template <class A> void BlockCoder<A>::WriteSymbols(BitOutput& out) const {
    m_tables.Write(out);
    const std::uint8_t* p = m_data + m_begin;
    if (m_copies == nullptr) {
        WriteLiterals(out, p, m_literalBlock);
    }
    for (std::size_t i = 0; i < m_copyCount; ++i) {
        const LzCopy& copy = m_copies[i];
        WriteLiterals(out, p, copy.literals);
        p += copy.literals;
        if (copy.length != 0) {
            WriteCopy(out, copy);
            p += copy.length;
        }
    }
}

template <class A> void BlockCoder<A>::Write(std::uint8_t* out) {
    if (A::kEndOfBlock != 0) {
        BitOutput bits(out);
        bits.Put(0, 2); // LZ block, lengths not kept from the previous table
        WriteSymbols(bits);
        m_main.Write(bits, A::kEndOfBlock);
        bits.Put(m_endsFile ? 0 : 1, m_endsFile ? 2 : 1);
        const std::size_t written = bits.Finish();
        if (m_endsFile) {
            std::memset(out + written, 0, kRar29Margin);
        }
        return;
    }
    const std::size_t data = static_cast<std::size_t>((m_symbolBits + 7) / 8);
    const unsigned sizeBytes = data < 0x100 ? 1 : data < 0x10000 ? 2 : 3;
    const unsigned usedInLast = static_cast<unsigned>(m_symbolBits - 8 * (data - 1));
    std::uint8_t flags =
        static_cast<std::uint8_t>(kRar5TablesFlag | ((sizeBytes - 1) << 3) | (usedInLast - 1));
    if (m_endsFile) {
        flags |= kRar5LastBlockFlag;
    }
    std::uint8_t check = kRar5CheckSeed ^ flags;
    std::size_t at = 2;
    for (unsigned i = 0; i < sizeBytes; ++i) {
        out[at] = static_cast<std::uint8_t>(data >> (8 * i));
        check ^= out[at++];
    }
    out[0] = flags;
    out[1] = check;
    BitOutput bits(out + at);
    WriteSymbols(bits);
    bits.Finish();
}

} // namespace

std::size_t LzBlockWriter::Footprint(LzFormat format) {
    return format == LzFormat::Rar29 ? sizeof(BlockCoder<Rar29Alphabet>)
                                     : sizeof(BlockCoder<Rar5Alphabet>);
}

std::unique_ptr<LzBlockWriter> LzBlockWriter::Create(LzFormat format) {
    if (format == LzFormat::Rar29) {
        return std::make_unique<BlockCoder<Rar29Alphabet>>();
    }
    return std::make_unique<BlockCoder<Rar5Alphabet>>();
}

} // namespace bi::codec
