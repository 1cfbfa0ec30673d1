// Decoder of the packed data of RAR 2.9-4.x entries (unpack version 29).
#include "Rar29Decoder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace bi::codec {

namespace {

// Match lengths: slot s of the main code (271..298) or of the length code gives a base and a
// number of extra bits.
constexpr std::array<std::uint8_t, 28> kLengthBase = {0,  1,  2,  3,   4,   5,   6,   7,  8,  10,
                                                      12, 14, 16, 20,  24,  28,  32,  40, 48, 56,
                                                      64, 80, 96, 112, 128, 160, 192, 224};
constexpr std::array<std::uint8_t, 28> kLengthBits = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                                      2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};

// Distances: 60 slots; the number of extra bits grows by one every two slots up to 16, then
// stays at 16 for twelve slots and at 18 for the last twelve.
constexpr std::array<std::uint8_t, 60> kDistanceBits = [] {
    std::array<std::uint8_t, 60> bits{};
    for (unsigned slot = 0; slot < 60; ++slot) {
        bits[slot] = static_cast<std::uint8_t>(slot < 4    ? 0
                                               : slot < 36 ? (slot - 2) / 2
                                               : slot < 48 ? 16
                                                           : 18);
    }
    return bits;
}();
constexpr std::array<std::uint32_t, 60> kDistanceBase = [] {
    std::array<std::uint32_t, 60> base{};
    for (unsigned slot = 1; slot < 60; ++slot) {
        base[slot] = base[slot - 1] + (1u << kDistanceBits[slot - 1]);
    }
    return base;
}();
// From this slot on, the low four bits of a distance have a code of their own.
constexpr unsigned kFirstLowDistanceSlot = 10;
// A low-distance symbol that repeats the previous low bits for this and the next 15 distances.
constexpr int kLowDistanceRepeat = 16;
constexpr std::uint32_t kLowDistanceRepeats = 15;

// Short matches (symbols 263..270) of length 2.
constexpr std::array<std::uint8_t, 8> kShortBase = {0, 4, 8, 16, 32, 64, 128, 192};
constexpr std::array<std::uint8_t, 8> kShortBits = {2, 2, 3, 4, 5, 6, 6, 6};

// Longer distances make matches of the same length worth less, so the encoder codes their
// lengths one or two less.
constexpr std::uint32_t kBonusDistance1 = 0x2000;
constexpr std::uint32_t kBonusDistance2 = 0x40000;

constexpr int kEndOfBlock = 256;
constexpr int kFilterRecord = 257;
constexpr int kRepeatLast = 258;
constexpr int kFirstOldDistance = 259;
constexpr int kFirstShortMatch = 263;
constexpr int kFirstMatch = 271;

// PPMd block header flags.
constexpr std::uint32_t kPpmdReset = 0x20;
constexpr std::uint32_t kPpmdNewEscape = 0x40;
// What follows an escape byte in a PPMd block.
enum PpmdCode : int {
    kPpmdEndOfBlock = 0,
    kPpmdEndOfEntry = 2,
    kPpmdFilter = 3,
    kPpmdMatch = 4,
    kPpmdRun = 5,
};

// Copies a match in whole chunks of N bytes, each loaded before it is stored: a source N or
// more bytes behind is already complete, and one less than N ahead (the oldest bytes of a full
// window) is read before it is overwritten. The last chunk may spill up to N - 1 bytes past the
// match, into bytes that a match of nearly the window's size still needs, so they are put back.
template <std::size_t N>
[[gnu::always_inline]] inline void CopyChunks(char8_t* destination, const char8_t* source,
                                              std::uint32_t length) {
    char8_t spill[N];
    char8_t chunk[N];
    std::memcpy(spill, destination + length, N);
    for (std::uint32_t i = 0; i < length; i += N) {
        std::memcpy(chunk, source + i, N);
        std::memcpy(destination + i, chunk, N);
    }
    std::memcpy(destination + length, spill, N);
}

// A zeroed window of ringSize bytes and the slack that chunked copies may touch past its end.
constexpr std::size_t kWindowSlack = 16;
std::unique_ptr<char8_t[]> AllocateWindow(std::size_t ringSize) {
    return std::unique_ptr<char8_t[]>(new (std::nothrow) char8_t[ringSize + kWindowSlack]());
}

DecodeResult BadTable() {
    return DecodeResult::Damaged(L"bad Huffman table");
}
DecodeResult NoCode() {
    return DecodeResult::Damaged(L"bit pattern with no code");
}
DecodeResult BadPpmdData() {
    return DecodeResult::Damaged(L"damaged PPMd data");
}

// Reads 0..16 bits without a branch on the count. Forced inline, like CopyChunks: GCC would
// otherwise call it from the decoding loop, which costs a sixth of the time.
[[gnu::always_inline]] inline std::uint32_t ReadBits(BitInput& in, unsigned count) {
    const std::uint32_t value = in.Peek(16) >> (16 - count);
    in.Skip(count);
    return value;
}

} // namespace

DecodeResult Rar29Decoder::BeginEntry(bool solid, std::uint64_t windowSize) {
    m_entryReady = false;
    std::uint64_t dictionary = kMinWindow;
    while (dictionary < windowSize && dictionary < kMaxWindow) {
        dictionary <<= 1;
    }
    const std::size_t ringSize = std::max(static_cast<std::size_t>(dictionary), kMinRing);

    if (solid) {
        if (!m_streamSound) {
            return DecodeResult::Damaged(L"solid entry without a sound previous entry");
        }
        m_streamSound = false;
        if (ringSize > m_ringSize) {
            const DecodeResult grown = GrowWindow(ringSize);
            if (!grown.ok()) {
                return grown;
            }
        }
        m_dictionary = std::max(m_dictionary, dictionary);
        m_filters.ResetPending();
    } else {
        m_streamSound = false;
        if (!m_window || m_ringSize != ringSize) {
            m_window.reset();
            m_ringSize = 0;
            m_window = AllocateWindow(ringSize);
            if (!m_window) {
                return DecodeResult::OutOfMemory(L"not enough memory for the dictionary");
            }
        }
        m_ringSize = ringSize;
        m_ringMask = ringSize - 1;
        m_dictionary = dictionary;
        m_position = 0;
        m_written = 0;
        m_headerDue = true;
        m_tablesRead = false;
        m_mode = Mode::Lz;
        m_oldDistances.fill(0);
        m_lastLength = 0;
        m_lowPrevious = 0;
        m_lowRepeats = 0;
        m_lengths.fill(0);
        m_model.Kill();
        m_escape = 2;
        m_filters.ResetStream();
    }
    m_entryStart = m_position;
    m_entryReady = true;
    return DecodeResult::Ok();
}

DecodeResult Rar29Decoder::GrowWindow(std::size_t ringSize) {
    std::unique_ptr<Byte[]> grown = AllocateWindow(ringSize);
    if (!grown) {
        return DecodeResult::OutOfMemory(L"not enough memory for the dictionary");
    }
    // Every byte keeps its stream position, now modulo the larger size.
    const std::uint64_t kept = std::min<std::uint64_t>(m_position, m_ringSize);
    for (std::uint64_t p = m_position - kept; p < m_position; ++p) {
        grown[p & (ringSize - 1)] = m_window[p & m_ringMask];
    }
    m_window = std::move(grown);
    m_ringSize = ringSize;
    m_ringMask = ringSize - 1;
    return DecodeResult::Ok();
}

DecodeResult Rar29Decoder::DecodeEntry(BitInput& in, std::uint64_t unpackedSize,
                                       UnpackedSink& out) {
    if (!m_entryReady) {
        return DecodeResult::Damaged(L"entry decoded without being begun");
    }
    m_entryReady = false;
    if (unpackedSize > std::numeric_limits<std::uint64_t>::max() / 2 - m_entryStart) {
        return DecodeResult::Damaged(L"unpacked size too large");
    }
    m_entryEnd = m_entryStart + unpackedSize;
    m_sink = &out;
    const DecodeResult result = Run(in);
    m_sink = nullptr;
    if (!result.ok()) {
        // A later solid entry must not continue a half-updated model.
        m_model.Kill();
        return result;
    }
    m_streamSound = true;
    return result;
}

DecodeResult Rar29Decoder::Run(BitInput& in) {
    while (m_position < m_entryEnd) {
        if (m_mode == Mode::Lz && !m_tablesRead) {
            m_headerDue = true;
        }
        if (m_headerDue) {
            const DecodeResult header = ReadBlockHeader(in);
            if (!header.ok()) {
                return in.Exhausted() ? DecodeResult::Truncated() : header;
            }
            continue;
        }
        const std::uint64_t stop = StopPosition();
        if (stop <= m_position) {
            return DecodeResult::Damaged(L"filter blocks overlap");
        }
        const Event event = m_mode == Mode::Lz ? DecodeLz(in, stop) : DecodePpmd(in, stop);
        // Whatever the decoder made of the zeros read past the end, the data was cut short.
        if (in.Exhausted()) {
            return DecodeResult::Truncated();
        }
        if (event == Event::Failed) {
            return m_failure;
        }
        if (event == Event::EntryEnd) {
            return DecodeResult::Damaged(L"data ends before the unpacked size");
        }
        if (m_position >= stop) {
            const DecodeResult flushed = Flush();
            if (!flushed.ok()) {
                return flushed;
            }
        }
    }
    return FinishEntry(in);
}

std::uint64_t Rar29Decoder::StopPosition() const {
    // Bytes not yet written must not be overwritten: one step past the stop still fits.
    const std::uint64_t room =
        m_written + std::min<std::uint64_t>(m_ringSize - kMaxStep, kFlushPiece);
    return std::min(m_entryEnd, room);
}

DecodeResult Rar29Decoder::ReadBlockHeader(BitInput& in) {
    in.AlignToByte();
    if (in.Peek(1) == 0) {
        in.Skip(1);
        const DecodeResult tables = ReadTables(in);
        if (!tables.ok()) {
            return tables;
        }
        m_mode = Mode::Lz;
        m_headerDue = false;
        return tables;
    }

    // A PPMd block: flags, then the model memory if the model starts over, then the escape
    // byte if it changes, then the range decoder's bytes.
    const std::uint32_t flags = in.ReadByte();
    std::uint32_t memory = 0;
    if (flags & kPpmdReset) {
        memory = (in.ReadByte() + 1u) << 20;
    }
    std::uint8_t escape = m_escape;
    if (flags & kPpmdNewEscape) {
        escape = in.ReadByte();
    }
    if (in.Exhausted()) {
        return DecodeResult::Truncated();
    }
    if (flags & kPpmdReset) {
        unsigned order = (flags & 0x1F) + 1;
        if (order > 16) {
            order = 16 + (order - 16) * 3;
        }
        if (order < PpmdModel::kMinOrder) {
            return DecodeResult::Damaged(L"PPMd order of 1");
        }
        m_ppmdMemory = memory;
        if (!m_model.Restart(memory, order)) {
            return DecodeResult::OutOfMemory(L"not enough memory for the PPMd model");
        }
    } else if (!m_model.Alive()) {
        return DecodeResult::Damaged(L"PPMd block without a model");
    }
    m_escape = escape;
    m_rangeDecoder.Init(in);
    if (in.Exhausted()) {
        return DecodeResult::Truncated();
    }
    m_mode = Mode::Ppmd;
    m_headerDue = false;
    return DecodeResult::Ok();
}

DecodeResult Rar29Decoder::ReadTables(BitInput& in) {
    m_tablesRead = false;
    m_lowPrevious = 0;
    m_lowRepeats = 0;
    // Without this bit the lengths start from zero; with it they are changes to the last ones.
    if (in.Read(1) == 0) {
        m_lengths.fill(0);
    }

    // The code of the code lengths: 20 lengths of 4 bits, where 15 is followed by a count of
    // zeros (0 meaning a real 15).
    std::array<std::uint8_t, 20> bitLengths{};
    for (std::size_t i = 0; i < bitLengths.size();) {
        const std::uint32_t length = in.Read(4);
        if (length != 15) {
            bitLengths[i++] = static_cast<std::uint8_t>(length);
            continue;
        }
        const std::uint32_t zeros = in.Read(4);
        if (zeros == 0) {
            bitLengths[i++] = 15;
            continue;
        }
        for (std::uint32_t n = zeros + 2; n > 0 && i < bitLengths.size(); --n) {
            bitLengths[i++] = 0;
        }
    }
    HuffmanTable bitLengthTable;
    if (!bitLengthTable.Build(bitLengths.data(), bitLengths.size())) {
        return BadTable();
    }

    for (std::size_t i = 0; i < kTableSize;) {
        const int symbol = bitLengthTable.Decode(in);
        if (symbol < 0) {
            return in.Exhausted() ? DecodeResult::Truncated() : NoCode();
        }
        if (symbol < 16) {
            m_lengths[i] = static_cast<std::uint8_t>((m_lengths[i] + symbol) & 15);
            ++i;
        } else if (symbol < 18) {
            if (i == 0) {
                return DecodeResult::Damaged(L"length repeat at the start of a table");
            }
            std::uint32_t count = symbol == 16 ? 3 + in.Read(3) : 11 + in.Read(7);
            for (; count > 0 && i < kTableSize; --count, ++i) {
                m_lengths[i] = m_lengths[i - 1];
            }
        } else {
            std::uint32_t count = symbol == 18 ? 3 + in.Read(3) : 11 + in.Read(7);
            for (; count > 0 && i < kTableSize; --count, ++i) {
                m_lengths[i] = 0;
            }
        }
    }
    if (in.Exhausted()) {
        return DecodeResult::Truncated();
    }

    const std::uint8_t* lengths = m_lengths.data();
    if (!m_mainTable.Build(lengths, kMainSymbols) ||
        !m_distanceTable.Build(lengths + kMainSymbols, kDistanceSymbols) ||
        !m_lowDistanceTable.Build(lengths + kMainSymbols + kDistanceSymbols, kLowDistanceSymbols) ||
        !m_lengthTable.Build(lengths + kMainSymbols + kDistanceSymbols + kLowDistanceSymbols,
                             kLengthSymbols)) {
        return BadTable();
    }
    m_tablesRead = true;
    return DecodeResult::Ok();
}

DecodeResult Rar29Decoder::CheckMatch(std::uint64_t position, std::uint32_t distance,
                                      std::uint32_t length) const {
    if (distance == 0) {
        return DecodeResult::Damaged(L"match distance of zero");
    }
    if (distance > m_dictionary) {
        return DecodeResult::Damaged(L"distance beyond the dictionary");
    }
    if (distance > position) {
        return DecodeResult::Damaged(L"distance before the start of the data");
    }
    if (length > m_entryEnd - position) {
        return DecodeResult::Damaged(L"data runs past the unpacked size");
    }
    return DecodeResult::Ok();
}

[[gnu::always_inline]] inline void
Rar29Decoder::CopyMatch(std::uint64_t position, std::uint32_t distance, std::uint32_t length) {
    Byte* const window = m_window.get();
    const std::size_t to = static_cast<std::size_t>(position) & m_ringMask;
    const std::size_t from = static_cast<std::size_t>(position - distance) & m_ringMask;
    if (to + length > m_ringSize || from + length > m_ringSize) {
        for (std::uint32_t i = 0; i < length; ++i) {
            window[(to + i) & m_ringMask] = window[(from + i) & m_ringMask];
        }
        return;
    }
    Byte* destination = window + to;
    const Byte* source = window + from;
    if (distance >= 16) {
        CopyChunks<16>(destination, source, length);
    } else if (distance >= 8) {
        CopyChunks<8>(destination, source, length);
    } else if (distance == 1) {
        std::memset(destination, static_cast<int>(*source), length);
    } else {
        for (std::uint32_t i = 0; i < length; ++i) {
            destination[i] = source[i];
        }
    }
}

Rar29Decoder::Event Rar29Decoder::DecodeLz(BitInput& in, std::uint64_t stop) {
    Byte* const window = m_window.get();
    const std::size_t mask = m_ringMask;
    std::uint64_t position = m_position;
    while (position < stop) {
        const int symbol = m_mainTable.Decode(in);
        if (symbol < kEndOfBlock) {
            if (symbol < 0) {
                m_position = position;
                return Fail(NoCode());
            }
            window[position & mask] = static_cast<Byte>(symbol);
            ++position;
            continue;
        }

        std::uint32_t distance;
        std::uint32_t length;
        if (symbol >= kFirstMatch) {
            const unsigned slot = static_cast<unsigned>(symbol - kFirstMatch);
            length = 3u + kLengthBase[slot] + ReadBits(in, kLengthBits[slot]);
            const int distanceSlot = m_distanceTable.Decode(in);
            if (distanceSlot < 0) {
                m_position = position;
                return Fail(NoCode());
            }
            distance = kDistanceBase[distanceSlot] + 1;
            const unsigned bits = kDistanceBits[distanceSlot];
            if (static_cast<unsigned>(distanceSlot) < kFirstLowDistanceSlot) {
                distance += ReadBits(in, bits);
            } else {
                distance += ReadBits(in, bits - 4) << 4;
                if (m_lowRepeats > 0) {
                    --m_lowRepeats;
                    distance += m_lowPrevious;
                } else {
                    const int low = m_lowDistanceTable.Decode(in);
                    if (low < 0) {
                        m_position = position;
                        return Fail(NoCode());
                    }
                    if (low == kLowDistanceRepeat) {
                        m_lowRepeats = kLowDistanceRepeats;
                        distance += m_lowPrevious;
                    } else {
                        m_lowPrevious = static_cast<std::uint32_t>(low);
                        distance += m_lowPrevious;
                    }
                }
            }
            if (distance >= kBonusDistance1) {
                ++length;
                if (distance >= kBonusDistance2) {
                    ++length;
                }
            }
            PushDistance(distance);
            m_lastLength = length;
        } else if (symbol >= kFirstShortMatch) {
            const unsigned index = static_cast<unsigned>(symbol - kFirstShortMatch);
            distance = kShortBase[index] + 1u + ReadBits(in, kShortBits[index]);
            length = 2;
            PushDistance(distance);
            m_lastLength = length;
        } else if (symbol >= kFirstOldDistance) {
            const unsigned index = static_cast<unsigned>(symbol - kFirstOldDistance);
            distance = m_oldDistances[index];
            for (unsigned i = index; i > 0; --i) {
                m_oldDistances[i] = m_oldDistances[i - 1];
            }
            m_oldDistances[0] = distance;
            const int slot = m_lengthTable.Decode(in);
            if (slot < 0) {
                m_position = position;
                return Fail(NoCode());
            }
            length = 2u + kLengthBase[slot] + ReadBits(in, kLengthBits[slot]);
            m_lastLength = length;
        } else if (symbol == kRepeatLast) {
            if (m_lastLength == 0) {
                // Nothing to repeat; the symbol still took bits, so running out of data
                // ends a chain of these.
                if (in.Exhausted()) {
                    m_position = position;
                    return Fail(DecodeResult::Truncated());
                }
                continue;
            }
            distance = m_oldDistances[0];
            length = m_lastLength;
        } else if (symbol == kFilterRecord) {
            m_position = position;
            const DecodeResult filter = ReadLzFilter(in);
            if (!filter.ok()) {
                return Fail(filter);
            }
            continue;
        } else {
            m_position = position;
            if (in.Read(1) != 0) {
                m_headerDue = true;
                return Event::BlockEnd;
            }
            return Event::EntryEnd; // before the unpacked size, so an error
        }

        const DecodeResult check = CheckMatch(position, distance, length);
        if (!check.ok()) {
            m_position = position;
            return Fail(check);
        }
        CopyMatch(position, distance, length);
        position += length;
    }
    m_position = position;
    return Event::None;
}

Rar29Decoder::Event Rar29Decoder::DecodePpmd(BitInput& in, std::uint64_t stop) {
    Byte* const window = m_window.get();
    const std::size_t mask = m_ringMask;
    std::uint64_t position = m_position;
    while (position < stop) {
        const int symbol = m_model.DecodeSymbol(m_rangeDecoder);
        if (symbol != m_escape) {
            if (symbol < 0) {
                m_position = position;
                return Fail(BadPpmdData());
            }
            window[position & mask] = static_cast<Byte>(symbol);
            ++position;
            continue;
        }
        const int code = m_model.DecodeSymbol(m_rangeDecoder);
        std::uint32_t distance = 1;
        std::uint32_t length = 0;
        switch (code) {
        case -1:
            m_position = position;
            return Fail(BadPpmdData());
        case kPpmdEndOfBlock:
            m_position = position;
            m_headerDue = true;
            return Event::BlockEnd;
        case kPpmdEndOfEntry:
            m_position = position;
            m_headerDue = true;
            return Event::EntryEnd;
        case kPpmdFilter: {
            m_position = position;
            const DecodeResult filter = ReadPpmdFilter(in);
            if (!filter.ok()) {
                return Fail(filter);
            }
            continue;
        }
        case kPpmdMatch: {
            // Three bytes of distance (high first), one of length.
            std::uint32_t value = 0;
            for (int i = 0; i < 4; ++i) {
                const int byte = m_model.DecodeSymbol(m_rangeDecoder);
                if (byte < 0) {
                    m_position = position;
                    return Fail(BadPpmdData());
                }
                value = (value << 8) | static_cast<std::uint32_t>(byte);
            }
            distance = (value >> 8) + 2;
            length = (value & 0xFF) + 32;
            break;
        }
        case kPpmdRun: {
            const int count = m_model.DecodeSymbol(m_rangeDecoder);
            if (count < 0) {
                m_position = position;
                return Fail(BadPpmdData());
            }
            length = static_cast<std::uint32_t>(count) + 4;
            break;
        }
        default:
            // The escape byte itself (the encoder writes code 1).
            window[position & mask] = static_cast<Byte>(m_escape);
            ++position;
            continue;
        }
        const DecodeResult check = CheckMatch(position, distance, length);
        if (!check.ok()) {
            m_position = position;
            return Fail(check);
        }
        CopyMatch(position, distance, length);
        position += length;
    }
    m_position = position;
    return Event::None;
}

DecodeResult Rar29Decoder::ReadLzFilter(BitInput& in) {
    const DecodeResult prepared = m_filters.Prepare();
    if (!prepared.ok()) {
        return prepared;
    }
    const std::uint32_t flags = in.Read(8);
    std::uint32_t size = (flags & 7) + 1;
    if (size == 7) {
        size = in.Read(8) + 7;
    } else if (size == 8) {
        size = in.Read(16);
    }
    if (size == 0) {
        return DecodeResult::Damaged(L"empty filter record");
    }
    std::uint8_t* record = m_filters.RecordBuffer();
    for (std::uint32_t i = 0; i < size; ++i) {
        record[i] = static_cast<std::uint8_t>(in.Read(8));
    }
    if (in.Exhausted()) {
        return DecodeResult::Truncated();
    }
    return m_filters.AddRecord(static_cast<std::uint8_t>(flags), record, size, m_position,
                               m_entryEnd);
}

DecodeResult Rar29Decoder::ReadPpmdFilter(BitInput& in) {
    const DecodeResult prepared = m_filters.Prepare();
    if (!prepared.ok()) {
        return prepared;
    }
    // The same record as after LZ symbol 257, each byte a PPMd symbol.
    const int flags = m_model.DecodeSymbol(m_rangeDecoder);
    if (flags < 0) {
        return BadPpmdData();
    }
    std::uint32_t size = (static_cast<std::uint32_t>(flags) & 7) + 1;
    if (size >= 7) {
        const int high = m_model.DecodeSymbol(m_rangeDecoder);
        if (high < 0) {
            return BadPpmdData();
        }
        if (size == 7) {
            size = static_cast<std::uint32_t>(high) + 7;
        } else {
            const int low = m_model.DecodeSymbol(m_rangeDecoder);
            if (low < 0) {
                return BadPpmdData();
            }
            size = static_cast<std::uint32_t>(high) * 256 + static_cast<std::uint32_t>(low);
        }
    }
    if (size == 0) {
        return DecodeResult::Damaged(L"empty filter record");
    }
    std::uint8_t* record = m_filters.RecordBuffer();
    for (std::uint32_t i = 0; i < size; ++i) {
        const int byte = m_model.DecodeSymbol(m_rangeDecoder);
        if (byte < 0) {
            return BadPpmdData();
        }
        record[i] = static_cast<std::uint8_t>(byte);
    }
    if (in.Exhausted()) {
        return DecodeResult::Truncated();
    }
    return m_filters.AddRecord(static_cast<std::uint8_t>(flags), record, size, m_position,
                               m_entryEnd);
}

bool Rar29Decoder::WriteWindow(std::uint64_t from, std::uint64_t to) {
    while (from < to) {
        const std::size_t offset = static_cast<std::size_t>(from) & m_ringMask;
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(to - from, m_ringSize - offset));
        if (!m_sink->Write(WindowBytes() + offset, piece)) {
            return false;
        }
        from += piece;
    }
    return true;
}

DecodeResult Rar29Decoder::Flush() {
    // The window keeps unfiltered bytes; a filtered block leaves through the filter instead.
    while (m_written < m_position) {
        std::uint64_t until = m_position;
        if (m_filters.HasPending()) {
            const Rar29Filter filter = m_filters.Next();
            if (filter.blockStart < m_written) {
                return DecodeResult::Damaged(L"filter blocks overlap");
            }
            if (filter.blockStart == m_written) {
                if (m_position < filter.blockStart + filter.blockLength) {
                    break; // the rest of the block is still to come
                }
                const std::size_t offset = static_cast<std::size_t>(filter.blockStart) & m_ringMask;
                const std::size_t firstSize = static_cast<std::size_t>(
                    std::min<std::uint64_t>(filter.blockLength, m_ringSize - offset));
                const std::uint8_t* output = nullptr;
                const DecodeResult result =
                    m_filters.RunNext(WindowBytes() + offset, firstSize, WindowBytes(),
                                      filter.blockStart - m_entryStart, output);
                if (!result.ok()) {
                    return result;
                }
                if (filter.blockLength != 0 && !m_sink->Write(output, filter.blockLength)) {
                    return DecodeResult::Stopped();
                }
                m_written += filter.blockLength;
                continue;
            }
            until = std::min(until, filter.blockStart);
        }
        if (!WriteWindow(m_written, until)) {
            return DecodeResult::Stopped();
        }
        m_written = until;
    }
    return DecodeResult::Ok();
}

DecodeResult Rar29Decoder::FinishEntry(BitInput& in) {
    const DecodeResult flushed = Flush();
    if (!flushed.ok()) {
        return flushed;
    }
    if (m_written != m_entryEnd) {
        return DecodeResult::Damaged(L"filter blocks overlap");
    }

    // The encoder ends an entry with an end-of-entry code after its last byte. In a solid
    // stream it decides how the next entry starts, so it is read here; anything after it
    // belongs to no entry. A block header that is due is left for the next entry: an entry
    // without bytes may have no data at all.
    if (m_mode == Mode::Lz && !m_tablesRead) {
        m_headerDue = true;
    }
    while (!m_headerDue) {
        if (m_mode == Mode::Lz) {
            const int symbol = m_mainTable.Decode(in);
            if (symbol != kEndOfBlock || in.Exhausted()) {
                return DecodeResult::Ok(); // no end code: the next entry goes on with symbols
            }
            if (in.Read(1) != 0) {
                m_headerDue = true;
                if (in.Exhausted()) {
                    return DecodeResult::Ok();
                }
                const DecodeResult header = ReadBlockHeader(in);
                if (!header.ok()) {
                    return header;
                }
                continue;
            }
            const bool tableNext = in.Read(1) != 0;
            if (!in.Exhausted()) {
                m_headerDue = tableNext;
            }
            return DecodeResult::Ok();
        }
        // PPMd data always ends with the escape byte and code 2; the model has to have taken
        // them before a solid entry continues it.
        const int symbol = m_model.DecodeSymbol(m_rangeDecoder);
        const int code = symbol == m_escape ? m_model.DecodeSymbol(m_rangeDecoder) : -1;
        if (code == kPpmdEndOfEntry) {
            m_headerDue = true;
            return in.Exhausted() ? DecodeResult::Truncated() : DecodeResult::Ok();
        }
        if (code != kPpmdEndOfBlock) {
            return symbol < 0 || (symbol == m_escape && code < 0)
                       ? BadPpmdData()
                       : DecodeResult::Damaged(L"data runs past the unpacked size");
        }
        m_headerDue = true;
        const DecodeResult header = ReadBlockHeader(in);
        if (!header.ok()) {
            return header;
        }
    }
    return DecodeResult::Ok();
}

} // namespace bi::codec
