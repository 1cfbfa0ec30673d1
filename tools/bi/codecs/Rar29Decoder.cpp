// Decoder of the packed data of RAR 2.9-4.x entries (unpack version 29).
#include "Rar29Decoder.h"

#include "Huffman.h"

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

// Copies a match whose source lies `distance` >= N bytes behind its destination, in whole
// chunks of N bytes: each chunk's source is complete before it is read. The last chunk may
// overwrite up to N - 1 bytes past the match, which the window leaves room for.
template <std::size_t N>
[[gnu::always_inline]] inline void CopyChunks(char8_t* destination, const char8_t* source,
                                              std::uint32_t length) {
    char8_t chunk[N];
    std::uint32_t i = 0;
    do {
        std::memcpy(chunk, source + i, N);
        std::memcpy(destination + i, chunk, N);
        i += N;
    } while (i < length);
}

// A zeroed window of ringSize bytes and the slack that chunked copies may touch past its end.
constexpr std::size_t kWindowSlack = 16;
std::unique_ptr<char8_t[]> AllocateWindow(std::size_t ringSize) {
    return std::unique_ptr<char8_t[]>(new (std::nothrow) char8_t[ringSize + kWindowSlack]());
}

// The next `count` bits (0..31) after the first `skip` of `bits`, without a branch on the count.
[[gnu::always_inline]] inline std::uint32_t ExtraBits(std::uint32_t bits, unsigned skip,
                                                      unsigned count) {
    return ((bits << skip) >> 1) >> (31 - count);
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

} // namespace

template <class Entry, unsigned FastBits, std::size_t Symbols>
bool Rar29Decoder::FastCode<Entry, FastBits, Symbols>::Build(const std::uint8_t* lengths,
                                                             Entry (*make)(unsigned symbol)) {
    std::array<std::uint32_t, kMaxBits + 1> count{};
    for (std::size_t symbol = 0; symbol < Symbols; ++symbol) {
        if (lengths[symbol] > kMaxBits) {
            return false;
        }
        ++count[lengths[symbol]];
    }
    count[0] = 0;
    std::uint32_t code = 0;
    std::uint32_t index = 0;
    for (unsigned length = 1; length <= kMaxBits; ++length) {
        if (code + count[length] > (1u << length)) {
            return false; // over-subscribed
        }
        firstCode[length] = code;
        firstIndex[length] = static_cast<std::uint16_t>(index);
        limit[length] = (code + count[length]) << (kMaxBits - length);
        code = (code + count[length]) << 1;
        index += count[length];
    }
    std::array<std::uint16_t, kMaxBits + 1> next = firstIndex;
    for (std::size_t symbol = 0; symbol < Symbols; ++symbol) {
        const unsigned length = lengths[symbol];
        bySymbol[symbol] = make(static_cast<unsigned>(symbol));
        bySymbol[symbol].codeBits = static_cast<std::uint8_t>(length);
        if (length != 0) {
            sorted[next[length]++] = static_cast<std::uint16_t>(symbol);
        }
    }
    // Patterns of longer codes and of no code get an entry without code bits, and a value that
    // is no literal, so the literal test needs no check of its own.
    Entry missing{};
    missing.value = static_cast<decltype(missing.value)>(~0u);
    fast.fill(missing);
    for (unsigned length = 1; length <= FastBits; ++length) {
        const std::size_t span = std::size_t{1} << (FastBits - length);
        for (std::uint32_t i = 0; i < count[length]; ++i) {
            const std::size_t first = std::size_t{firstCode[length] + i} << (FastBits - length);
            std::fill_n(fast.begin() + first, span, bySymbol[sorted[firstIndex[length] + i]]);
        }
    }
    return true;
}

template <class Entry, unsigned FastBits, std::size_t Symbols>
Entry Rar29Decoder::FastCode<Entry, FastBits, Symbols>::FindLong(std::uint32_t bits15) const {
    for (unsigned length = FastBits + 1; length <= kMaxBits; ++length) {
        if (bits15 < limit[length]) {
            const std::uint32_t code = bits15 >> (kMaxBits - length);
            if (code < firstCode[length]) {
                break; // a gap left by an incomplete code
            }
            return bySymbol[sorted[firstIndex[length] + (code - firstCode[length])]];
        }
    }
    Entry missing{};
    missing.value = static_cast<decltype(missing.value)>(~0u);
    return missing;
}

DecodeResult Rar29Decoder::BeginEntry(bool solid, std::uint64_t windowSize) {
    m_entryReady = false;
    std::uint64_t dictionary = kMinWindow;
    while (dictionary < windowSize && dictionary < kMaxWindow) {
        dictionary <<= 1;
    }
    const std::size_t ringSize = std::max(static_cast<std::size_t>(dictionary) * 2, kMinRing);

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

    const auto mainEntry = [](unsigned symbol) {
        CodeEntry entry;
        if (symbol < 256) {
            entry.value = static_cast<std::uint16_t>(symbol);
        } else if (symbol >= kFirstMatch) {
            const unsigned slot = symbol - kFirstMatch;
            entry.value = static_cast<std::uint16_t>(kMatchFlag | (3u + kLengthBase[slot]));
            entry.extraBits = kLengthBits[slot];
        } else {
            entry.value = static_cast<std::uint16_t>(kOtherFlag | symbol);
        }
        return entry;
    };
    const auto distanceEntry = [](unsigned slot) {
        DistanceEntry entry;
        entry.value = kDistanceBase[slot] + 1;
        entry.extraBits = kDistanceBits[slot];
        if (slot >= kFirstLowDistanceSlot) {
            entry.extraBits = static_cast<std::uint8_t>(entry.extraBits - 4);
            entry.lowCoded = 1;
        }
        return entry;
    };
    const auto lowDistanceEntry = [](unsigned symbol) {
        CodeEntry entry;
        entry.value = static_cast<std::uint16_t>(symbol);
        return entry;
    };
    const auto lengthEntry = [](unsigned slot) {
        CodeEntry entry;
        entry.value = static_cast<std::uint16_t>(2u + kLengthBase[slot]);
        entry.extraBits = kLengthBits[slot];
        return entry;
    };
    const std::uint8_t* lengths = m_lengths.data();
    if (!m_mainCode.Build(lengths, mainEntry) ||
        !m_distanceCode.Build(lengths + kMainSymbols, distanceEntry) ||
        !m_lowDistanceCode.Build(lengths + kMainSymbols + kDistanceSymbols, lowDistanceEntry) ||
        !m_lengthCode.Build(lengths + kMainSymbols + kDistanceSymbols + kLowDistanceSymbols,
                            lengthEntry)) {
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
    // The distance state stays in locals during the loop: stores to members could otherwise
    // be taken for changes to the tables or the bit reader, which would then be reloaded.
    std::array<std::uint32_t, 4> oldDistances = m_oldDistances;
    std::uint32_t lastLength = m_lastLength;
    std::uint32_t lowPrevious = m_lowPrevious;
    std::uint32_t lowRepeats = m_lowRepeats;
    const auto leave = [&](Event event) {
        m_position = position;
        m_oldDistances = oldDistances;
        m_lastLength = lastLength;
        m_lowPrevious = lowPrevious;
        m_lowRepeats = lowRepeats;
        return event;
    };
    const auto fail = [&](const DecodeResult& result) {
        leave(Event::Failed);
        return Fail(result);
    };

    while (position < stop) {
        // Each Peek makes 32 bits available; a literal run takes as many codes from them as
        // surely fit, and a match takes its length, its distance and its low bits in turn.
        std::uint32_t bits = in.Peek(32);
        CodeEntry entry = m_mainCode.Find(bits);
        if (entry.value < 256) {
            unsigned used = 0;
            do {
                window[position & mask] = static_cast<Byte>(entry.value);
                ++position;
                used += entry.codeBits;
                if (used > 32 - kMainFastBits || position >= stop) {
                    break;
                }
                entry = m_mainCode.fast[(bits << used) >> (32 - kMainFastBits)];
            } while (entry.value < 256);
            in.Skip(used);
            continue;
        }
        if (entry.codeBits == 0) {
            return fail(NoCode());
        }

        std::uint32_t distance;
        std::uint32_t length;
        if (entry.value & kMatchFlag) {
            length = (entry.value & ~kMatchFlag) + ExtraBits(bits, entry.codeBits, entry.extraBits);
            in.Skip(entry.codeBits + entry.extraBits);
            bits = in.Peek(32);
            const DistanceEntry slot = m_distanceCode.Find(bits);
            if (slot.codeBits == 0) {
                return fail(NoCode());
            }
            distance = slot.value +
                       (ExtraBits(bits, slot.codeBits, slot.extraBits) << (slot.lowCoded * 4));
            in.Skip(slot.codeBits + slot.extraBits);
            if (slot.lowCoded) {
                if (lowRepeats > 0) {
                    --lowRepeats;
                } else {
                    const CodeEntry low = m_lowDistanceCode.Find(in.Peek(32));
                    if (low.codeBits == 0) {
                        return fail(NoCode());
                    }
                    in.Skip(low.codeBits);
                    if (low.value == kLowDistanceRepeat) {
                        lowRepeats = kLowDistanceRepeats;
                    } else {
                        lowPrevious = low.value;
                    }
                }
                distance += lowPrevious;
            }
            length += static_cast<std::uint32_t>(distance >= kBonusDistance1) +
                      static_cast<std::uint32_t>(distance >= kBonusDistance2);
            oldDistances = {distance, oldDistances[0], oldDistances[1], oldDistances[2]};
            lastLength = length;
        } else {
            in.Skip(entry.codeBits);
            const int symbol = entry.value & ~kOtherFlag;
            if (symbol >= kFirstShortMatch) {
                const unsigned index = static_cast<unsigned>(symbol - kFirstShortMatch);
                distance = kShortBase[index] + 1u + ExtraBits(in.Peek(32), 0, kShortBits[index]);
                in.Skip(kShortBits[index]);
                length = 2;
                oldDistances = {distance, oldDistances[0], oldDistances[1], oldDistances[2]};
                lastLength = length;
            } else if (symbol >= kFirstOldDistance) {
                const unsigned index = static_cast<unsigned>(symbol - kFirstOldDistance);
                distance = oldDistances[index];
                for (unsigned i = index; i > 0; --i) {
                    oldDistances[i] = oldDistances[i - 1];
                }
                oldDistances[0] = distance;
                bits = in.Peek(32);
                const CodeEntry slot = m_lengthCode.Find(bits);
                if (slot.codeBits == 0) {
                    return fail(NoCode());
                }
                length = slot.value + ExtraBits(bits, slot.codeBits, slot.extraBits);
                in.Skip(slot.codeBits + slot.extraBits);
                lastLength = length;
            } else if (symbol == kRepeatLast) {
                if (lastLength == 0) {
                    // Nothing to repeat; the symbol still took bits, so running out of data
                    // ends a chain of these.
                    if (in.Exhausted()) {
                        return fail(DecodeResult::Truncated());
                    }
                    continue;
                }
                distance = oldDistances[0];
                length = lastLength;
            } else if (symbol == kFilterRecord) {
                leave(Event::None);
                const DecodeResult filter = ReadLzFilter(in);
                if (!filter.ok()) {
                    return Fail(filter);
                }
                continue;
            } else {
                if (in.Read(1) != 0) {
                    m_headerDue = true;
                    return leave(Event::BlockEnd);
                }
                return leave(Event::EntryEnd); // before the unpacked size, so an error
            }
        }

        if (distance - 1 >= m_dictionary || distance > position || length > m_entryEnd - position) {
            return fail(CheckMatch(position, distance, length));
        }
        CopyMatch(position, distance, length);
        position += length;
    }
    return leave(Event::None);
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
            const CodeEntry entry = m_mainCode.Find(in.Peek(32));
            if (entry.codeBits == 0 || entry.value != (kOtherFlag | kEndOfBlock)) {
                return DecodeResult::Ok(); // no end code: the next entry goes on with symbols
            }
            in.Skip(entry.codeBits);
            if (in.Exhausted()) {
                return DecodeResult::Ok();
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
