// Decoder of RAR 5.0 compressed data.
//
// A data area is a chain of blocks: a 3-5 byte header (flags, check byte, 1-3 byte size), then
// the block data, optionally starting with new Huffman tables, then symbols up to a bit position
// the header gives. Each block is read whole into m_block and decoded from there with a bit
// reader held in registers; decoded bytes go into a ring window and leave it, through the
// pending filters, in pieces of up to kFlushSize.
#include "Rar5Decoder.h"

#include "Rar5Filters.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace bi::codec {

namespace {

// Alphabets, in the order their code lengths are sent.
constexpr std::size_t kBitLengthSymbols = 20;
constexpr std::size_t kMainSymbols = 306;
constexpr std::size_t kDistanceSymbols = 64;
constexpr std::size_t kLowDistanceSymbols = 16;
constexpr std::size_t kLengthSymbols = 44;
constexpr std::size_t kTableLengths =
    kMainSymbols + kDistanceSymbols + kLowDistanceSymbols + kLengthSymbols;

// Main alphabet: 0-255 literals, then these commands, then 44 length slots of new copies.
constexpr int kFilterSymbol = 256;
constexpr int kRepeatLastSymbol = 257;
constexpr int kFirstOldDistanceSymbol = 258;
constexpr int kFirstNewCopySymbol = 262;

// Block header.
constexpr unsigned kBlockLastBitsMask = 0x07; // bits used in the last byte, minus one
constexpr unsigned kBlockSizeBytesShift = 3;  // and mask 3: size field bytes, minus one
constexpr unsigned kBlockLast = 0x40;         // last block of the entry
constexpr unsigned kBlockTables = 0x80;       // new tables at the start of the block data
constexpr unsigned kBlockCheckSeed = 0x5A;    // check byte = seed ^ flags ^ size bytes
constexpr unsigned kMaxBlockSizeBytes = 3;
constexpr std::size_t kMaxBlockSize = (1u << 24) - 1;

// The bit reader refills 8 bytes at a time and may run one symbol (under 100 bits) past the
// block's end before it notices; the padding keeps those reads inside the buffer.
constexpr std::size_t kBlockPadding = 64;
// Block data is read in pieces, the buffer growing with what actually arrives, so that a size
// field larger than the data area cannot make it allocate 16 MiB for nothing.
constexpr std::size_t kBlockReadPiece = 64 * 1024;

// Longest copy: length slot 43 (4097) plus the far-distance bonus of 3.
constexpr std::uint32_t kMaxCopyLength = 4100;
// A window at least this large, so that output leaves it in pieces worth a sink call.
constexpr std::uint64_t kMinWindowSize = 256 * 1024;
// Decoded bytes are handed on at least every kFlushSize bytes, which keeps them in the cache
// for the sink's CRC and hash. After a flush, any single symbol's output must fit.
constexpr std::uint64_t kFlushSize = 256 * 1024;
static_assert(kFlushSize >= kMaxCopyLength && kMinWindowSize >= kFlushSize);

// RAR's own limit on filters defined and not yet applied.
constexpr std::size_t kMaxPendingFilters = 8192;

// Dictionary sizes: 128 KiB << exponent; the RAR 5.0 stream reaches 4 GiB, RAR 7 fields 1 TiB.
constexpr std::uint64_t kMinDictionary = 128 * 1024;
constexpr unsigned kMaxExponentVersion0 = 15;
constexpr unsigned kMaxExponentVersion1 = 23;

struct LengthSlot {
    std::uint16_t base;
    std::uint8_t extraBits;
};

// Slots 0-7 are lengths 2-9; above, each number of extra bits serves four slots.
constexpr std::array<LengthSlot, kLengthSymbols> MakeLengthSlots() {
    std::array<LengthSlot, kLengthSymbols> slots{};
    for (unsigned slot = 0; slot < kLengthSymbols; ++slot) {
        if (slot < 8) {
            slots[slot] = {static_cast<std::uint16_t>(slot + 2), 0};
        } else {
            const unsigned extraBits = slot / 4 - 1;
            slots[slot] = {static_cast<std::uint16_t>(2 + ((4 + slot % 4) << extraBits)),
                           static_cast<std::uint8_t>(extraBits)};
        }
    }
    return slots;
}
constexpr std::array<LengthSlot, kLengthSymbols> kLengthSlots = MakeLengthSlots();

// Uninitialised and without throwing: the window may be large, and a failed allocation is an
// answer (OutOfMemory) rather than an exception.
std::unique_ptr<std::uint8_t[]> AllocateBytes(std::size_t size) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[size]);
}

// Grows `buffer` to at least `needed` bytes (a power of two, for filter ranges of at most
// 4 MiB); its contents are not kept.
bool Reserve(std::unique_ptr<std::uint8_t[]>& buffer, std::size_t& capacity, std::size_t needed) {
    if (capacity >= needed) {
        return true;
    }
    std::size_t size = 4096;
    while (size < needed) {
        size *= 2;
    }
    buffer.reset();
    capacity = 0;
    buffer = AllocateBytes(size);
    if (!buffer) {
        return false;
    }
    capacity = size;
    return true;
}

inline void Copy4(std::uint8_t* to, const std::uint8_t* from) {
    std::uint32_t value;
    std::memcpy(&value, from, sizeof value);
    std::memcpy(to, &value, sizeof value);
}

inline void Copy8(std::uint8_t* to, const std::uint8_t* from) {
    std::uint64_t value;
    std::memcpy(&value, from, sizeof value);
    std::memcpy(to, &value, sizeof value);
}

inline void Copy16(std::uint8_t* to, const std::uint8_t* from) {
    std::uint8_t value[16];
    std::memcpy(value, from, sizeof value);
    std::memcpy(to, value, sizeof value);
}

// Appends `length` bytes at `position`, each a copy of the byte `distance` before it, to the
// ring `window` of mask + 1 bytes. Never writes outside [position, position + length): the
// bytes just past it may still be referenced by the next copy.
inline void CopyMatch(std::uint8_t* window, std::size_t mask, std::uint64_t position,
                      std::uint64_t distance, std::size_t length) {
    const std::size_t size = mask + 1;
    const std::size_t to = static_cast<std::size_t>(position) & mask;
    const std::size_t from = static_cast<std::size_t>(position - distance) & mask;
    if (to + length > size || from + length > size) {
        // The source or the destination wraps round the end of the ring: rare, byte by byte.
        for (std::size_t i = 0; i < length; ++i) {
            window[(to + i) & mask] = window[(from + i) & mask];
        }
        return;
    }
    std::uint8_t* out = window + to;
    const std::uint8_t* in = window + from;
    // When the source is behind the destination by at least a chunk, or anywhere ahead of it,
    // copying whole chunks front to back reads only bytes already final. The last chunk ends
    // exactly at the end, overlapping the one before, rather than running past it.
    const std::size_t gap = from < to ? to - from : from - to;
    if (gap >= 8) {
        if (length >= 16 && gap >= 16) {
            std::size_t i = 0;
            for (; i + 16 <= length; i += 16) {
                Copy16(out + i, in + i);
            }
            if (i < length) {
                Copy16(out + length - 16, in + length - 16);
            }
        } else if (length >= 8) {
            std::size_t i = 0;
            for (; i + 8 <= length; i += 8) {
                Copy8(out + i, in + i);
            }
            if (i < length) {
                Copy8(out + length - 8, in + length - 8);
            }
        } else if (length >= 4) {
            Copy4(out, in);
            Copy4(out + length - 4, in + length - 4);
        } else {
            for (std::size_t i = 0; i < length; ++i) {
                out[i] = in[i];
            }
        }
        return;
    }
    if (from < to && distance == 1) {
        std::memset(out, in[0], length);
        return;
    }
    if (from < to && length >= 24) {
        // A short pattern (distance 2..7) repeats with any multiple of its distance as well;
        // after the first period of at least 8 bytes, the rest goes in 8-byte chunks.
        std::size_t period = static_cast<std::size_t>(distance);
        while (period < 8) {
            period += static_cast<std::size_t>(distance);
        }
        std::size_t i = 0;
        for (; i < period; ++i) {
            out[i] = in[i];
        }
        for (; i + 8 <= length; i += 8) {
            Copy8(out + i, out + i - period);
        }
        if (i < length) {
            Copy8(out + length - 8, out + length - 8 - period);
        }
        return;
    }
    // Short patterns, and a source just ahead of the destination (a distance within a few
    // bytes of the window size).
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = in[i];
    }
}

DecodeResult BadCode() {
    return DecodeResult::Damaged(L"bad Huffman code");
}

DecodeResult PastBlockEnd() {
    return DecodeResult::Damaged(L"a code runs past the end of its block");
}

} // namespace

bool ParseRar5Compression(std::uint64_t info, Rar5Compression& out) {
    Rar5Compression parsed;
    parsed.version = static_cast<unsigned>(info & 0x3F);
    parsed.solid = ((info >> 6) & 1) != 0;
    parsed.method = static_cast<unsigned>((info >> 7) & 7);
    const unsigned exponent = static_cast<unsigned>((info >> 10) & 0x1F);
    if (parsed.method > 5) {
        return false;
    }
    if (parsed.version == 0) {
        if (exponent > kMaxExponentVersion0) {
            // Stored entries may carry any dictionary bits; they mean nothing there.
            if (parsed.method != 0) {
                return false;
            }
        } else {
            parsed.dictionarySize = kMinDictionary << exponent;
        }
    } else if (parsed.version == 1) {
        // RAR 7 fields: a finer dictionary size (plus fraction / 32), and a flag saying the
        // data still uses the RAR 5.0 stream.
        const unsigned fraction = static_cast<unsigned>((info >> 15) & 0x1F);
        parsed.rar5Stream = ((info >> 20) & 1) != 0;
        if (exponent > kMaxExponentVersion1) {
            if (parsed.method != 0) {
                return false;
            }
        } else {
            parsed.dictionarySize = (kMinDictionary << exponent) / 32 * (32 + fraction);
        }
    } else {
        return false;
    }
    if (parsed.method == 0) {
        parsed.dictionarySize = 0;
    }
    out = parsed;
    return true;
}

struct Rar5Decoder::BlockBits {
    const std::uint8_t* base = nullptr; // first byte of the block data
    const std::uint8_t* next = nullptr; // next byte not yet in `bits`
    std::uint64_t bits = 0;             // next bit at bit 63
    unsigned count = 0;                 // valid bits in `bits`

    // Makes at least 56 bits available. The bits below `count` are the next byte's own, so
    // taking that byte again later changes nothing.
    void Refill() {
        std::uint64_t value;
        std::memcpy(&value, next, sizeof value);
        bits |= __builtin_bswap64(value) >> count;
        next += (63 - count) >> 3;
        count |= 56;
    }
    std::uint32_t Peek15() const { return static_cast<std::uint32_t>(bits >> 49); }
    void Skip(unsigned n) {
        bits <<= n;
        count -= n;
    }
    // Reads n bits, 0..32 (two shifts so that n = 0 needs no test).
    std::uint32_t Read(unsigned n) {
        const auto value = static_cast<std::uint32_t>((bits >> 1) >> (63 - n));
        Skip(n);
        return value;
    }
    std::uint64_t Position() const { return static_cast<std::uint64_t>(next - base) * 8 - count; }
};

Rar5Decoder::Rar5Decoder() = default;
Rar5Decoder::~Rar5Decoder() = default;

DecodeResult Rar5Decoder::ReserveWindow(std::uint64_t windowSize, bool keepHistory) {
    std::uint64_t size = kMinWindowSize;
    while (size < windowSize) {
        size *= 2;
    }
    if (size - 1 > static_cast<std::uint64_t>(SIZE_MAX)) {
        return DecodeResult::OutOfMemory(L"dictionary too large for this system");
    }
    const std::size_t oldSize = m_window ? m_windowMask + 1 : 0;
    if (size <= oldSize) {
        return DecodeResult::Ok();
    }
    if (!keepHistory) {
        m_window.reset(); // before allocating, so that both never coexist
    }
    std::unique_ptr<std::uint8_t[]> window = AllocateBytes(static_cast<std::size_t>(size));
    if (!window) {
        return DecodeResult::OutOfMemory(L"not enough memory for the dictionary");
    }
    const std::size_t mask = static_cast<std::size_t>(size - 1);
    if (keepHistory && m_window) {
        // A solid entry asking for a larger window: the history moves to the same stream
        // positions in the larger ring. What the smaller ring had already dropped stays lost.
        const std::uint64_t kept = std::min<std::uint64_t>(m_written, oldSize);
        for (std::uint64_t p = m_written - kept; p < m_written; ++p) {
            window[p & mask] = m_window[p & m_windowMask];
        }
        m_historyStart = std::max(m_historyStart, m_written - kept);
    }
    m_window = std::move(window);
    m_windowMask = mask;
    return DecodeResult::Ok();
}

DecodeResult Rar5Decoder::BeginEntry(bool solid, std::uint64_t windowSize) {
    m_entryBegun = false;
    windowSize = std::min(windowSize, kMaxWindowSize);
    if (solid) {
        if (!m_streamClean) {
            return DecodeResult::Damaged(L"solid entry without a complete entry before it");
        }
        const DecodeResult result = ReserveWindow(windowSize, true);
        if (!result.ok()) {
            return result;
        }
        m_maxDistance = std::max(m_maxDistance, windowSize);
    } else {
        m_streamClean = false;
        const DecodeResult result = ReserveWindow(windowSize, false);
        if (!result.ok()) {
            return result;
        }
        m_maxDistance = windowSize;
        m_historyStart = 0;
        m_written = 0;
        m_flushed = 0;
        m_distances = {};
        m_lastLength = 0;
        m_haveTables = false;
    }
    m_entryBegun = true;
    return DecodeResult::Ok();
}

DecodeResult Rar5Decoder::DecodeEntry(BitInput& in, std::uint64_t unpackedSize, UnpackedSink& out) {
    if (!m_entryBegun) {
        return DecodeResult::Damaged(L"entry decoded without being begun");
    }
    m_entryBegun = false;
    m_streamClean = false;
    m_sink = &out;
    m_entryStart = m_written;
    m_entryEnd = unpackedSize > kUnknownSize - m_written ? kUnknownSize : m_written + unpackedSize;
    m_filterHead = 0;
    m_filterCount = 0;
    m_filterEnd = m_entryStart;

    DecodeResult result = DecodeBlocks(in);
    if (result.ok()) {
        result = Flush(m_written);
    }
    if (result.ok() && unpackedSize != kUnknownSize && m_written != m_entryEnd) {
        result = DecodeResult::Damaged(L"data shorter than its declared size");
    }
    if (result.ok() && m_filterCount != 0) {
        result = DecodeResult::Damaged(L"filter reaches past the end of the data");
    }
    m_sink = nullptr;
    m_streamClean = result.ok();
    return result;
}

DecodeResult Rar5Decoder::DecodeBlocks(BitInput& in) {
    for (;;) {
        const unsigned flags = in.ReadByte();
        const unsigned check = in.ReadByte();
        if (in.Exhausted()) {
            return DecodeResult::Truncated();
        }
        const unsigned sizeBytes = ((flags >> kBlockSizeBytesShift) & 3) + 1;
        if (sizeBytes > kMaxBlockSizeBytes) {
            return DecodeResult::Damaged(L"bad block header");
        }
        std::size_t size = 0;
        unsigned expected = kBlockCheckSeed ^ flags;
        for (unsigned i = 0; i < sizeBytes; ++i) {
            const unsigned byte = in.ReadByte();
            size |= static_cast<std::size_t>(byte) << (8 * i);
            expected ^= byte;
        }
        if (in.Exhausted()) {
            return DecodeResult::Truncated();
        }
        if (expected != check) {
            return DecodeResult::Damaged(L"bad block header");
        }
        if (size == 0) {
            return DecodeResult::Damaged(L"empty block");
        }
        DecodeResult result = ReadBlockData(in, size);
        if (!result.ok()) {
            return result;
        }
        const std::uint64_t endBit = (size - 1) * 8ull + (flags & kBlockLastBitsMask) + 1;
        BlockBits bits;
        bits.base = bits.next = m_block.get();
        if ((flags & kBlockTables) != 0) {
            result = ReadTables(bits, endBit);
        } else if (!m_haveTables) {
            result = DecodeResult::Damaged(L"block without Huffman tables");
        }
        if (result.ok()) {
            result = DecodeSymbols(bits, endBit);
        }
        if (!result.ok() || (flags & kBlockLast) != 0) {
            return result;
        }
    }
}

DecodeResult Rar5Decoder::ReadBlockData(BitInput& in, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t piece = std::min(size - done, kBlockReadPiece);
        const std::size_t needed = done + piece + kBlockPadding;
        if (needed > m_blockCapacity) {
            const std::size_t grown =
                std::max(needed, std::min(2 * m_blockCapacity, kMaxBlockSize + kBlockPadding));
            std::unique_ptr<std::uint8_t[]> block = AllocateBytes(grown);
            if (!block) {
                return DecodeResult::OutOfMemory(L"not enough memory for a block");
            }
            if (done != 0) {
                std::memcpy(block.get(), m_block.get(), done);
            }
            m_block = std::move(block);
            m_blockCapacity = grown;
        }
        std::uint8_t* out = m_block.get() + done;
        std::size_t i = 0;
        // Eight bytes per store: every byte store makes the compiler reload the bit reader.
        for (; i + 8 <= piece; i += 8) {
            const std::uint64_t high = in.Read(32);
            const std::uint64_t bytes = __builtin_bswap64(high << 32 | in.Read(32));
            std::memcpy(out + i, &bytes, sizeof bytes);
        }
        for (; i < piece; ++i) {
            out[i] = in.ReadByte();
        }
        done += piece;
        if (in.Exhausted()) {
            return DecodeResult::Truncated();
        }
    }
    std::memset(m_block.get() + size, 0, kBlockPadding);
    return DecodeResult::Ok();
}

DecodeResult Rar5Decoder::ReadTables(BlockBits& bits, std::uint64_t endBit) {
    m_haveTables = false;

    // The code lengths of the 20 symbols that encode the other lengths: 4 bits each, 15 being
    // an escape for either a real 15 or a run of zeros.
    std::array<std::uint8_t, kBitLengthSymbols> bitLengths{};
    bool anyBitLength = false;
    std::size_t filled = 0;
    while (filled < kBitLengthSymbols) {
        bits.Refill();
        const unsigned value = bits.Read(4);
        if (value == 15) {
            const unsigned zeros = bits.Read(4);
            if (zeros == 0) {
                bitLengths[filled++] = 15;
                anyBitLength = true;
            } else {
                filled = std::min(filled + zeros + 2, kBitLengthSymbols);
            }
        } else {
            bitLengths[filled++] = static_cast<std::uint8_t>(value);
            anyBitLength = anyBitLength || value != 0;
        }
        if (bits.Position() > endBit) {
            return DecodeResult::Damaged(L"Huffman tables run past the end of their block");
        }
    }
    HuffmanTable bitLengthTable;
    if (!anyBitLength || !bitLengthTable.Build(bitLengths.data(), bitLengths.size())) {
        return DecodeResult::Damaged(L"bad Huffman table");
    }

    // The lengths of the four alphabets, as one sequence: runs may cross from one to the next.
    std::array<std::uint8_t, kTableLengths> lengths{};
    std::size_t count = 0;
    while (count < kTableLengths) {
        bits.Refill();
        unsigned codeLength = 0;
        const int symbol = bitLengthTable.Lookup(bits.Peek15(), codeLength);
        if (symbol < 0) {
            return BadCode();
        }
        bits.Skip(codeLength);
        if (symbol < 16) {
            lengths[count++] = static_cast<std::uint8_t>(symbol);
        } else {
            // 16/17 repeat the previous length, 18/19 write zeros; the odd ones take longer runs.
            const bool longRun = (symbol & 1) != 0;
            const std::size_t run = longRun ? 11 + bits.Read(7) : 3 + bits.Read(3);
            std::uint8_t value = 0;
            if (symbol < 18) {
                if (count == 0) {
                    return DecodeResult::Damaged(L"Huffman table repeats a length before any");
                }
                value = lengths[count - 1];
            }
            const std::size_t end = std::min(count + run, kTableLengths);
            std::fill(lengths.begin() + static_cast<std::ptrdiff_t>(count),
                      lengths.begin() + static_cast<std::ptrdiff_t>(end), value);
            count = end;
        }
        if (bits.Position() > endBit) {
            return DecodeResult::Damaged(L"Huffman tables run past the end of their block");
        }
    }

    const std::uint8_t* next = lengths.data();
    if (!m_mainTable.Build(next, kMainSymbols) ||
        !m_distanceTable.Build(next + kMainSymbols, kDistanceSymbols) ||
        !m_lowDistanceTable.Build(next + kMainSymbols + kDistanceSymbols, kLowDistanceSymbols) ||
        !m_lengthTable.Build(next + kMainSymbols + kDistanceSymbols + kLowDistanceSymbols,
                             kLengthSymbols)) {
        return DecodeResult::Damaged(L"bad Huffman table");
    }
    m_haveTables = true;
    return DecodeResult::Ok();
}

std::uint64_t Rar5Decoder::OutputLimit() const {
    const std::uint64_t room = std::min<std::uint64_t>(m_windowMask + 1, kFlushSize);
    return std::min(m_flushed + room, m_entryEnd);
}

DecodeResult Rar5Decoder::MakeRoom(std::uint64_t position, std::uint32_t length) {
    if (length > m_entryEnd - position) {
        return DecodeResult::Damaged(L"data longer than its declared size");
    }
    m_written = position;
    return Flush(position);
}

DecodeResult Rar5Decoder::DecodeSymbols(BlockBits& state, std::uint64_t endBit) {
    // Everything the loop touches per symbol lives in locals: stores into the window are byte
    // stores, which the compiler must assume may change any member.
    BlockBits bits = state;
    std::uint8_t* const window = m_window.get();
    const std::size_t mask = m_windowMask;
    std::uint64_t position = m_written;
    std::uint64_t limit = OutputLimit();
    DecodeResult result;
    for (;;) {
        bits.Refill();
        if (bits.Position() >= endBit) {
            break;
        }
        unsigned codeLength = 0;
        const int symbol = m_mainTable.Lookup(bits.Peek15(), codeLength);
        if (symbol < 0) {
            result = BadCode();
            break;
        }
        bits.Skip(codeLength);
        if (symbol < kFilterSymbol) {
            if (position >= limit) {
                result = MakeRoom(position, 1);
                if (!result.ok()) {
                    break;
                }
                limit = OutputLimit();
            }
            window[position & mask] = static_cast<std::uint8_t>(symbol);
            ++position;
            continue;
        }

        std::uint32_t length = 0;
        std::uint64_t distance = 0;
        if (symbol >= kFirstNewCopySymbol) {
            const LengthSlot slot = kLengthSlots[symbol - kFirstNewCopySymbol];
            length = slot.base + bits.Read(slot.extraBits);
            bits.Refill();
            const int distanceSlot = m_distanceTable.Lookup(bits.Peek15(), codeLength);
            if (distanceSlot < 0) {
                result = BadCode();
                break;
            }
            bits.Skip(codeLength);
            if (distanceSlot < 4) {
                distance = static_cast<std::uint64_t>(distanceSlot) + 1;
            } else {
                // Two base values per extra bit; from 4 extra bits on, the low 4 come from
                // their own alphabet.
                const unsigned extraBits = static_cast<unsigned>(distanceSlot) / 2 - 1;
                distance = static_cast<std::uint64_t>(2 | (distanceSlot & 1)) << extraBits;
                if (extraBits < 4) {
                    distance += bits.Read(extraBits);
                } else {
                    distance += static_cast<std::uint64_t>(bits.Read(extraBits - 4)) << 4;
                    const int low = m_lowDistanceTable.Lookup(bits.Peek15(), codeLength);
                    if (low < 0) {
                        result = BadCode();
                        break;
                    }
                    bits.Skip(codeLength);
                    distance += static_cast<std::uint64_t>(low);
                }
                distance += 1;
            }
            // Far copies are at least one to three bytes longer than their slot says.
            length += (distance > 0x100) + (distance > 0x2000) + (distance > 0x40000);
            if (distance > position - m_historyStart) {
                result = DecodeResult::Damaged(L"distance before the start of the data");
                break;
            }
            if (distance > m_maxDistance) {
                result = DecodeResult::Damaged(L"distance beyond the dictionary");
                break;
            }
            m_distances = {distance, m_distances[0], m_distances[1], m_distances[2]};
            m_lastLength = length;
        } else if (symbol == kFilterSymbol) {
            m_written = position;
            BlockBits filterBits = bits; // a copy, so that `bits` stays in registers
            result = ReadFilter(filterBits, endBit);
            bits = filterBits;
            if (!result.ok()) {
                break;
            }
            continue;
        } else if (symbol == kRepeatLastSymbol) {
            length = m_lastLength;
            distance = m_distances[0];
            if (length == 0) {
                continue; // nothing to repeat yet
            }
        } else {
            // Reuse of one of the last four distances, which moves to the front.
            const unsigned index = static_cast<unsigned>(symbol - kFirstOldDistanceSymbol);
            distance = m_distances[index];
            if (distance == 0) {
                result = DecodeResult::Damaged(L"repeated distance never set");
                break;
            }
            for (unsigned i = index; i > 0; --i) {
                m_distances[i] = m_distances[i - 1];
            }
            m_distances[0] = distance;
            const int lengthSlot = m_lengthTable.Lookup(bits.Peek15(), codeLength);
            if (lengthSlot < 0) {
                result = BadCode();
                break;
            }
            bits.Skip(codeLength);
            const LengthSlot slot = kLengthSlots[static_cast<std::size_t>(lengthSlot)];
            length = slot.base + bits.Read(slot.extraBits);
            m_lastLength = length;
        }

        // Every distance in the history was checked against the data written and the window
        // when it was first used, and both only grow.
        if (position + length > limit) {
            result = MakeRoom(position, length);
            if (!result.ok()) {
                break;
            }
            limit = OutputLimit();
        }
        CopyMatch(window, mask, position, distance, length);
        position += length;
    }
    m_written = position;
    state = bits;
    if (!result.ok()) {
        return result;
    }
    if (bits.Position() != endBit) {
        return PastBlockEnd();
    }
    return DecodeResult::Ok();
}

DecodeResult Rar5Decoder::ReadFilter(BlockBits& bits, std::uint64_t endBit) {
    // Start and length: 2 bits giving the byte count (1-4), then the bytes, low byte first.
    const auto readNumber = [&bits]() {
        bits.Refill();
        const unsigned bytes = bits.Read(2) + 1;
        std::uint32_t value = 0;
        for (unsigned i = 0; i < bytes; ++i) {
            value |= bits.Read(8) << (8 * i);
        }
        return value;
    };
    const std::uint32_t offset = readNumber();
    const std::uint32_t length = readNumber();
    bits.Refill();
    const unsigned type = bits.Read(3);
    unsigned channels = 0;
    if (type == static_cast<unsigned>(Rar5FilterType::Delta)) {
        channels = bits.Read(5) + 1;
    }
    if (bits.Position() > endBit) {
        return PastBlockEnd();
    }
    if (type > static_cast<unsigned>(Rar5FilterType::Arm)) {
        return DecodeResult::Damaged(L"unknown filter type");
    }
    if (length < kRar5MinFilterLength || length > kRar5MaxFilterLength) {
        return DecodeResult::Damaged(L"filter length out of range");
    }
    // The range counts from the entry's current position; ranges come in order, apart.
    const std::uint64_t start = m_written + offset;
    if (start < m_filterEnd) {
        return DecodeResult::Damaged(L"filters overlap or are out of order");
    }
    if (start > m_entryEnd || length > m_entryEnd - start) {
        return DecodeResult::Damaged(L"filter reaches past the end of the data");
    }
    if (m_filterCount == kMaxPendingFilters) {
        return DecodeResult::Damaged(L"too many filters waiting");
    }
    if (!m_filters) {
        m_filters.reset(new (std::nothrow) PendingFilter[kMaxPendingFilters]);
        if (!m_filters) {
            return DecodeResult::OutOfMemory(L"not enough memory for filters");
        }
    }
    PendingFilter& filter = m_filters[(m_filterHead + m_filterCount) % kMaxPendingFilters];
    filter.start = start;
    filter.length = length;
    filter.type = static_cast<std::uint8_t>(type);
    filter.channels = static_cast<std::uint8_t>(channels);
    ++m_filterCount;
    m_filterEnd = start + length;
    return DecodeResult::Ok();
}

DecodeResult Rar5Decoder::WriteWindow(std::uint64_t from, std::uint64_t to) {
    const std::size_t size = m_windowMask + 1;
    while (from < to) {
        const std::size_t index = static_cast<std::size_t>(from) & m_windowMask;
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(to - from, size - index));
        if (!m_sink->Write(m_window.get() + index, piece)) {
            return DecodeResult::Stopped();
        }
        from += piece;
    }
    return DecodeResult::Ok();
}

DecodeResult Rar5Decoder::Flush(std::uint64_t upTo) {
    // Bytes outside filter ranges go straight to the sink; bytes inside the first pending
    // filter's range are gathered until the range is complete, then transformed and written.
    // The window keeps the untransformed bytes: later copies refer to those.
    while (m_flushed < upTo) {
        if (m_filterCount == 0) {
            const DecodeResult result = WriteWindow(m_flushed, upTo);
            m_flushed = upTo;
            return result;
        }
        const PendingFilter& filter = m_filters[m_filterHead];
        if (m_flushed < filter.start) {
            const std::uint64_t to = std::min(upTo, filter.start);
            const DecodeResult result = WriteWindow(m_flushed, to);
            m_flushed = to;
            if (!result.ok()) {
                return result;
            }
            continue;
        }
        if (m_flushed == filter.start &&
            !Reserve(m_filterData, m_filterDataCapacity, filter.length)) {
            return DecodeResult::OutOfMemory(L"not enough memory for a filter");
        }
        const std::uint64_t end = filter.start + filter.length;
        const std::uint64_t to = std::min(upTo, end);
        std::uint8_t* target = m_filterData.get() + (m_flushed - filter.start);
        while (m_flushed < to) {
            const std::size_t index = static_cast<std::size_t>(m_flushed) & m_windowMask;
            const std::size_t piece = static_cast<std::size_t>(
                std::min<std::uint64_t>(to - m_flushed, m_windowMask + 1 - index));
            std::memcpy(target, m_window.get() + index, piece);
            target += piece;
            m_flushed += piece;
        }
        if (m_flushed == end) {
            const DecodeResult result = ApplyFilter(filter);
            m_filterHead = (m_filterHead + 1) % kMaxPendingFilters;
            --m_filterCount;
            if (!result.ok()) {
                return result;
            }
        }
    }
    return DecodeResult::Ok();
}

DecodeResult Rar5Decoder::ApplyFilter(const PendingFilter& filter) {
    std::uint8_t* data = m_filterData.get();
    const std::uint64_t fileOffset = filter.start - m_entryStart;
    switch (static_cast<Rar5FilterType>(filter.type)) {
    case Rar5FilterType::Delta:
        if (!Reserve(m_filterOutput, m_filterOutputCapacity, filter.length)) {
            return DecodeResult::OutOfMemory(L"not enough memory for a filter");
        }
        UndoRar5Delta(data, m_filterOutput.get(), filter.length, filter.channels);
        data = m_filterOutput.get();
        break;
    case Rar5FilterType::E8:
        UndoRar5E8(data, filter.length, fileOffset, false);
        break;
    case Rar5FilterType::E8E9:
        UndoRar5E8(data, filter.length, fileOffset, true);
        break;
    case Rar5FilterType::Arm:
        UndoRar5Arm(data, filter.length, fileOffset);
        break;
    }
    if (!m_sink->Write(data, filter.length)) {
        return DecodeResult::Stopped();
    }
    return DecodeResult::Ok();
}

} // namespace bi::codec
