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
constexpr unsigned kFilterSymbol = 256;
constexpr unsigned kRepeatLastSymbol = 257;
constexpr unsigned kFirstOldDistanceSymbol = 258;
constexpr unsigned kFirstNewCopySymbol = 262;

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
// Copies write whole 8- or 16-byte chunks and may run up to 15 bytes past their end. The ring
// is this much larger than the farthest distance allowed, so that the bytes run over (the
// oldest of the ring) can no longer be referenced, and as much again follows the ring in
// memory for a copy that ends at its end.
constexpr std::size_t kCopySlack = 64;
static_assert(kFlushSize >= kMaxCopyLength && kMinWindowSize >= kFlushSize);

// RAR's own limit on filters defined and not yet applied.
constexpr std::size_t kMaxPendingFilters = 8192;

// Dictionary sizes: 128 KiB << exponent; the RAR 5.0 stream reaches 4 GiB, RAR 7 fields 1 TiB.
constexpr std::uint64_t kMinDictionary = 128 * 1024;
constexpr unsigned kMaxExponentVersion0 = 15;
constexpr unsigned kMaxExponentVersion1 = 23;

// Entries of the quick lookup tables (QuickCode): in the low six bits, the bits to consume,
// which for length and distance slots include the extra bits that follow the code, so that a
// shift by the entry takes them; from bit 8, what the symbol is.
constexpr std::uint32_t kEntryBitsMask = 0x3F;
constexpr unsigned kEntrySymbolShift = 8;
// Main alphabet: literals have the byte; commands a flag and the symbol minus 256, which is
// at least kFirstNewCopyCommand for new copies.
constexpr std::uint32_t kCommandFlag = 0x40;
constexpr std::uint32_t kFirstNewCopyCommand = kFirstNewCopySymbol - kFilterSymbol;
constexpr std::uint32_t kFirstNewCopyEntry = kFirstNewCopyCommand << kEntrySymbolShift;
// Distance alphabet: a flag for the slots whose low 4 bits follow in their own code.
constexpr std::uint32_t kDistanceLowFlag = 0x40;

// The bits the last consumed entry took, as a number: the raw extra bits are their low end.
inline std::uint64_t ConsumedBits(std::uint64_t bitsBefore, std::uint32_t entry) {
    return (bitsBefore >> 1) >> (~entry & kEntryBitsMask);
}

// Length slots, indexed like the main alphabet's commands (symbol - 256; the length alphabet's
// slot s at kFirstNewCopyCommand + s). Slots 0-7 are lengths 2-9; above, each number of extra
// bits serves four slots.
struct LengthSlot {
    std::uint32_t base;
    std::uint32_t extraMask;
};
constexpr std::size_t kCommands = kMainSymbols - kFilterSymbol;
constexpr unsigned LengthExtraBits(unsigned slot) {
    return slot < 8 ? 0 : slot / 4 - 1;
}
constexpr std::array<LengthSlot, kCommands> MakeLengthSlots() {
    std::array<LengthSlot, kCommands> slots{};
    for (unsigned slot = 0; slot < kLengthSymbols; ++slot) {
        const unsigned extraBits = LengthExtraBits(slot);
        const unsigned base = slot < 8 ? slot + 2 : 2 + ((4 + slot % 4) << extraBits);
        slots[kFirstNewCopyCommand + slot] = {base, (1u << extraBits) - 1};
    }
    return slots;
}
constexpr std::array<LengthSlot, kCommands> kLengthSlots = MakeLengthSlots();

// Distance slots 0-3 are distances 1-4; from slot 4, two base values (binary 10 and 11
// followed by zeros) for each number of extra bits, of which the low 4 have their own code
// from 4 on. Distances over 0x100, 0x2000 and 0x40000 (slots 16, 26 and 36 on) each lengthen
// a new copy by one.
struct DistanceSlot {
    std::uint64_t basePlusOne;
    std::uint32_t rawMask; // the extra bits that follow the slot's code
    std::uint32_t bonus;
};
constexpr unsigned DistanceRawBits(unsigned slot) {
    const unsigned extraBits = slot < 4 ? 0 : slot / 2 - 1;
    return extraBits < 4 ? extraBits : extraBits - 4;
}
constexpr std::array<DistanceSlot, kDistanceSymbols> MakeDistanceSlots() {
    std::array<DistanceSlot, kDistanceSymbols> slots{};
    for (unsigned slot = 0; slot < kDistanceSymbols; ++slot) {
        const unsigned extraBits = slot < 4 ? 0 : slot / 2 - 1;
        const std::uint64_t base = slot < 4 ? slot : std::uint64_t{2 | (slot & 1)} << extraBits;
        const std::uint32_t bonus = (slot >= 16) + (slot >= 26) + (slot >= 36);
        slots[slot] = {base + 1, (1u << DistanceRawBits(slot)) - 1, bonus};
    }
    return slots;
}
constexpr std::array<DistanceSlot, kDistanceSymbols> kDistanceSlots = MakeDistanceSlots();

std::uint32_t MainMeaning(unsigned symbol) {
    if (symbol < kFilterSymbol) {
        return symbol << kEntrySymbolShift;
    }
    const unsigned command = symbol - kFilterSymbol;
    return kCommandFlag | command << kEntrySymbolShift |
           (symbol >= kFirstNewCopySymbol ? LengthExtraBits(symbol - kFirstNewCopySymbol) : 0);
}

std::uint32_t LengthSlotMeaning(unsigned slot) {
    const unsigned command = kFirstNewCopyCommand + slot;
    return command << kEntrySymbolShift | LengthExtraBits(slot);
}

std::uint32_t DistanceSlotMeaning(unsigned slot) {
    return slot << kEntrySymbolShift | DistanceRawBits(slot) | (slot >= 10 ? kDistanceLowFlag : 0);
}

std::uint32_t LowDistanceMeaning(unsigned value) {
    return value << kEntrySymbolShift;
}

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

// Copies `length` bytes to `out` from `distance` bytes before it, front to back, so that a
// copy longer than its distance repeats its own output. Writes whole chunks, up to 15 bytes
// past the end (see kCopySlack); those are rewritten before anything reads them.
inline void CopyBehind(std::uint8_t* out, std::size_t distance, std::size_t length) {
    const std::uint8_t* in = out - distance;
    // A chunk may go at once when its source ends before the chunk starts.
    if (distance >= 16) {
        Copy16(out, in);
        for (std::size_t i = 16; i < length; i += 16) {
            Copy16(out + i, in + i);
        }
        return;
    }
    if (distance >= 8) {
        for (std::size_t i = 0; i < length; i += 8) {
            Copy8(out + i, in + i);
        }
        return;
    }
    if (distance == 1) {
        std::memset(out, in[0], length);
        return;
    }
    // A short pattern (distance 2..7) repeats with any multiple of its distance as well: after
    // the first period of at least 8 bytes, the rest goes in 8-byte chunks.
    std::size_t period = distance;
    while (period < 8) {
        period += distance;
    }
    for (std::size_t i = 0; i < period; ++i) {
        out[i] = in[i];
    }
    for (std::size_t i = period; i < length; i += 8) {
        Copy8(out + i, out + i - period);
    }
}

// The same for a source `gap` bytes ahead of `out` (in the previous round of the ring), where
// gap >= kCopySlack: all of the source is read before the destination reaches it.
inline void CopyAhead(std::uint8_t* out, std::size_t gap, std::size_t length) {
    for (std::size_t i = 0; i < length; i += 16) {
        Copy16(out + i, out + gap + i);
    }
}

// Appends `length` bytes at ring index `to`, each a copy of the byte `distance` before it, to
// the ring `window` of `size` bytes, byte by byte: for the rare copies whose source or
// destination wraps round the end of the ring.
void CopyAcrossRingEnd(std::uint8_t* window, std::size_t size, std::size_t to, std::size_t distance,
                       std::size_t length) {
    std::size_t from = distance <= to ? to - distance : to + (size - distance);
    for (std::size_t i = 0; i < length; ++i) {
        window[to] = window[from];
        if (++to == size) {
            to = 0;
        }
        if (++from == size) {
            from = 0;
        }
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
    // Valid bits in `bits`, in the low six bits only: the higher ones are left as they fall, so
    // that consuming a lookup entry is one subtraction of the whole entry.
    unsigned count = 0;

    // Makes at least 56 bits available. The bits below the valid ones are the next byte's own,
    // so taking that byte again later changes nothing.
    void Refill() {
        std::uint64_t value;
        std::memcpy(&value, next, sizeof value);
        bits |= __builtin_bswap64(value) >> (count & 63);
        next += (~count & 63) >> 3;
        count |= 56;
    }
    std::uint32_t Peek15() const { return static_cast<std::uint32_t>(bits >> 49); }
    void Skip(unsigned n) {
        bits <<= n;
        count -= n;
    }
    // Consumes the bits a quick lookup entry names (its low six bits).
    void Consume(std::uint32_t entry) {
        bits <<= entry & kEntryBitsMask;
        count -= entry;
    }
    // Reads n bits, 0..32 (two shifts so that n = 0 needs no test).
    std::uint32_t Read(unsigned n) {
        const auto value = static_cast<std::uint32_t>((bits >> 1) >> (63 - n));
        Skip(n);
        return value;
    }
    std::uint64_t Position() const {
        return static_cast<std::uint64_t>(next - base) * 8 - (count & 63);
    }
};

Rar5Decoder::Rar5Decoder() {
    m_mainCode.meaning = MainMeaning;
    m_distanceCode.meaning = DistanceSlotMeaning;
    m_lowDistanceCode.meaning = LowDistanceMeaning;
    m_lengthCode.meaning = LengthSlotMeaning;
}

Rar5Decoder::~Rar5Decoder() = default;

DecodeResult Rar5Decoder::ReserveWindow(std::uint64_t windowSize, bool keepHistory) {
    const std::uint64_t size = std::max(windowSize, kMinWindowSize) + kCopySlack;
    if (size + kCopySlack > static_cast<std::uint64_t>(SIZE_MAX)) {
        return DecodeResult::OutOfMemory(L"dictionary too large for this system");
    }
    const std::size_t oldSize = m_window ? m_ringSize : 0;
    if (size <= oldSize) {
        return DecodeResult::Ok();
    }
    if (!keepHistory) {
        m_window.reset(); // before allocating, so that both never coexist
    }
    std::unique_ptr<std::uint8_t[]> window =
        AllocateBytes(static_cast<std::size_t>(size) + kCopySlack);
    if (!window) {
        return DecodeResult::OutOfMemory(L"not enough memory for the dictionary");
    }
    if (keepHistory && m_window) {
        // A solid entry asking for a larger window: the history moves to the same stream
        // positions in the larger ring. What the smaller ring had already dropped stays lost,
        // and so do the bytes copies may have run over, just ahead of the write position.
        const std::uint64_t kept = std::min<std::uint64_t>(m_written, oldSize - kCopySlack);
        std::uint64_t position = m_written - kept;
        while (position < m_written) {
            const std::size_t from = static_cast<std::size_t>(position % oldSize);
            const std::size_t to = static_cast<std::size_t>(position % size);
            const std::size_t piece = static_cast<std::size_t>(
                std::min<std::uint64_t>({m_written - position, oldSize - from, size - to}));
            std::memcpy(window.get() + to, m_window.get() + from, piece);
            position += piece;
        }
        m_historyStart = std::max(m_historyStart, m_written - kept);
    }
    m_window = std::move(window);
    m_ringSize = static_cast<std::size_t>(size);
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
        in.ReadBytes(m_block.get() + done, piece);
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
    if (!m_mainCode.Build(next, kMainSymbols) ||
        !m_distanceCode.Build(next + kMainSymbols, kDistanceSymbols) ||
        !m_lowDistanceCode.Build(next + kMainSymbols + kDistanceSymbols, kLowDistanceSymbols) ||
        !m_lengthCode.Build(next + kMainSymbols + kDistanceSymbols + kLowDistanceSymbols,
                            kLengthSymbols)) {
        return DecodeResult::Damaged(L"bad Huffman table");
    }
    m_haveTables = true;
    return DecodeResult::Ok();
}

template <unsigned kBits>
bool Rar5Decoder::QuickCode<kBits>::Build(const std::uint8_t* lengths, std::size_t count) {
    if (!full.Build(lengths, count)) {
        return false;
    }
    // The canonical codes the full table assigns: shorter first, equal lengths in symbol order.
    std::array<std::uint32_t, HuffmanTable::kMaxLength + 1> lengthCount{};
    for (std::size_t symbol = 0; symbol < count; ++symbol) {
        ++lengthCount[lengths[symbol]];
    }
    std::array<std::uint32_t, HuffmanTable::kMaxLength + 1> nextCode{};
    std::uint32_t code = 0;
    for (unsigned length = 1; length <= HuffmanTable::kMaxLength; ++length) {
        code = (code + (length > 1 ? lengthCount[length - 1] : 0)) << 1;
        nextCode[length] = code;
    }
    entries.fill(0);
    for (std::size_t symbol = 0; symbol < count; ++symbol) {
        const unsigned length = lengths[symbol];
        if (length == 0) {
            continue;
        }
        const std::uint32_t symbolCode = nextCode[length]++;
        if (length > kBits) {
            continue; // left to the full table
        }
        // Some meanings count bits to consume beyond the code's own.
        const std::uint32_t entry = meaning(static_cast<unsigned>(symbol)) + length;
        const std::size_t first = std::size_t{symbolCode} << (kBits - length);
        std::fill_n(entries.begin() + static_cast<std::ptrdiff_t>(first),
                    std::size_t{1} << (kBits - length), entry);
    }
    return true;
}

template <unsigned kBits>
inline std::uint32_t Rar5Decoder::QuickCode<kBits>::Peek(std::uint64_t bits) const {
    return entries[static_cast<std::size_t>(bits >> (64 - kBits))];
}

template <unsigned kBits>
inline std::uint32_t Rar5Decoder::QuickCode<kBits>::Find(std::uint64_t bits) const {
    const std::uint32_t entry = entries[static_cast<std::size_t>(bits >> (64 - kBits))];
    if (entry != 0) [[likely]] {
        return entry;
    }
    return FindLong(bits);
}

template <unsigned kBits>
std::uint32_t Rar5Decoder::QuickCode<kBits>::FindLong(std::uint64_t bits) const {
    unsigned length = 0;
    const int symbol = full.Lookup(static_cast<std::uint32_t>(bits >> 49), length);
    return symbol < 0 ? 0 : meaning(static_cast<unsigned>(symbol)) + length;
}

void Rar5Decoder::SetOutputLimit(Output& out) const {
    const std::size_t index = static_cast<std::size_t>(out.next - m_window.get());
    const std::uint64_t position = out.ringStart + index;
    // Output that runs over its end (kCopySlack) stays clear of bytes not yet flushed, as the
    // ring is larger than kFlushSize by that much.
    const std::uint64_t limit = std::min(m_flushed + kFlushSize, m_entryEnd);
    out.limit = out.next + static_cast<std::size_t>(
                               std::min<std::uint64_t>(limit - position, m_ringSize - index));
}

DecodeResult Rar5Decoder::MakeRoom(Output& out, std::uint32_t length) {
    std::uint8_t* const window = m_window.get();
    const std::uint64_t position = out.ringStart + static_cast<std::size_t>(out.next - window);
    if (length > m_entryEnd - position) {
        return DecodeResult::Damaged(L"data longer than its declared size");
    }
    m_written = position;
    const DecodeResult result = Flush(position);
    if (out.next == window + m_ringSize) {
        out.next = window;
        out.ringStart += m_ringSize;
    }
    SetOutputLimit(out);
    return result;
}

DecodeResult Rar5Decoder::DecodeSymbols(BlockBits& state, std::uint64_t endBit) {
    // Everything the loop touches per symbol lives in locals: stores into the window are byte
    // stores, which the compiler must assume may change any member.
    BlockBits bits = state;
    std::uint8_t* const window = m_window.get();
    const std::size_t ringSize = m_ringSize;
    const std::size_t startIndex = static_cast<std::size_t>(m_written % ringSize);
    Output start{window + startIndex, nullptr, m_written - startIndex};
    SetOutputLimit(start);
    std::uint8_t* out = start.next;
    std::uint8_t* outLimit = start.limit;
    std::uint64_t ringStart = start.ringStart;
    // While the reader has not loaded the byte holding the block's last bit, the next symbol
    // starts before the end, and the loop need not compute the bit position.
    const std::uint8_t* const nearEnd = bits.base + (endBit - 1) / 8;
    const std::uint64_t maxDistance = m_maxDistance;
    const std::uint64_t historyStart = m_historyStart;
    // The distance history as a ring, most recent at `recent`: a new distance is one store.
    std::array<std::uint64_t, 4> history = m_distances;
    unsigned recent = 0;
    std::uint32_t lastLength = m_lastLength;
    // The distance that reaches back to the oldest byte of history, as a difference of
    // addresses in the window, so that the check needs no stream position; it moves when the
    // ring starts a new round.
    std::uintptr_t historyFloor = 0;
    const auto setHistoryFloor = [&] {
        historyFloor = reinterpret_cast<std::uintptr_t>(window) - (ringStart - historyStart);
    };
    setHistoryFloor();
    // The rare calls that move the output limit take a copy, so that the three stay in
    // registers.
    const auto makeRoom = [&](std::uint32_t length) {
        Output moved{out, outLimit, ringStart};
        const DecodeResult made = MakeRoom(moved, length);
        out = moved.next;
        outLimit = moved.limit;
        ringStart = moved.ringStart;
        setHistoryFloor();
        return made;
    };
    DecodeResult result;
    // The main lookup of the next symbol is made ahead; codes too long for it are looked up
    // again in full at the top of the loop.
    bits.Refill();
    std::uint32_t entry = m_mainCode.Peek(bits.bits);
    const auto nextSymbol = [&] {
        bits.Refill();
        entry = m_mainCode.Peek(bits.bits);
    };
    for (;;) {
        if (bits.next > nearEnd && bits.Position() >= endBit) [[unlikely]] {
            break;
        }
        if (entry == 0) [[unlikely]] {
            entry = m_mainCode.FindLong(bits.bits);
            if (entry == 0) {
                result = BadCode();
                break;
            }
        }
        const std::uint64_t mainBits = bits.bits;
        bits.Consume(entry);
        if ((entry & kCommandFlag) == 0) {
            if (out == outLimit) [[unlikely]] {
                result = makeRoom(1);
                if (!result.ok()) {
                    break;
                }
            }
            *out++ = static_cast<std::uint8_t>(entry >> kEntrySymbolShift);
            // A literal takes at most 15 of the 56 bits the last refill made available, so the
            // next lookup need not wait for the refill.
            entry = m_mainCode.Peek(bits.bits);
            bits.Refill();
            continue;
        }

        std::uint32_t length = 0;
        std::uint64_t distance = 0;
        if (entry >= kFirstNewCopyEntry) [[likely]] {
            const LengthSlot& lengthSlot = kLengthSlots[entry >> kEntrySymbolShift];
            length = lengthSlot.base + (static_cast<std::uint32_t>(ConsumedBits(mainBits, entry)) &
                                        lengthSlot.extraMask);
            // At least 32 bits are left, enough for the distance lookup; the refill for what
            // follows it can then run alongside.
            std::uint32_t slot = m_distanceCode.Peek(bits.bits);
            if (slot == 0) [[unlikely]] {
                slot = m_distanceCode.FindLong(bits.bits);
                if (slot == 0) {
                    result = BadCode();
                    break;
                }
            }
            bits.Refill();
            const DistanceSlot& distanceSlot = kDistanceSlots[slot >> kEntrySymbolShift];
            const std::uint64_t raw = ConsumedBits(bits.bits, slot) & distanceSlot.rawMask;
            bits.Consume(slot);
            distance = distanceSlot.basePlusOne;
            if ((slot & kDistanceLowFlag) != 0) {
                const std::uint32_t low = m_lowDistanceCode.Find(bits.bits);
                if (low == 0) [[unlikely]] {
                    result = BadCode();
                    break;
                }
                bits.Consume(low);
                distance += (raw << 4) + (low >> kEntrySymbolShift);
            } else {
                distance += raw;
            }
            length += distanceSlot.bonus;
            if (distance > reinterpret_cast<std::uintptr_t>(out) - historyFloor) [[unlikely]] {
                result = DecodeResult::Damaged(L"distance before the start of the data");
                break;
            }
            if (distance > maxDistance) [[unlikely]] {
                result = DecodeResult::Damaged(L"distance beyond the dictionary");
                break;
            }
            recent = (recent - 1) & 3;
            history[recent] = distance;
            lastLength = length;
        } else {
            const unsigned command = entry >> kEntrySymbolShift;
            if (command == kFilterSymbol - kFilterSymbol) {
                m_written = ringStart + static_cast<std::size_t>(out - window);
                BlockBits filterBits = bits; // a copy, so that `bits` stays in registers
                result = ReadFilter(filterBits, endBit);
                bits = filterBits;
                if (!result.ok()) {
                    break;
                }
                nextSymbol();
                continue;
            }
            if (command == kRepeatLastSymbol - kFilterSymbol) {
                length = lastLength;
                distance = history[recent];
                if (length == 0) {
                    nextSymbol(); // nothing to repeat yet
                    continue;
                }
            } else {
                // Reuse of one of the last four distances, which moves to the front.
                const unsigned age = command - (kFirstOldDistanceSymbol - kFilterSymbol);
                distance = history[(recent + age) & 3];
                for (unsigned i = age; i > 0; --i) {
                    history[(recent + i) & 3] = history[(recent + i - 1) & 3];
                }
                history[recent] = distance;
                if (distance == 0) [[unlikely]] {
                    result = DecodeResult::Damaged(L"repeated distance never set");
                    break;
                }
                const std::uint64_t lengthBits = bits.bits;
                const std::uint32_t slot = m_lengthCode.Find(lengthBits);
                if (slot == 0) [[unlikely]] {
                    result = BadCode();
                    break;
                }
                bits.Consume(slot);
                const LengthSlot& lengthSlot = kLengthSlots[slot >> kEntrySymbolShift];
                length =
                    lengthSlot.base + (static_cast<std::uint32_t>(ConsumedBits(lengthBits, slot)) &
                                       lengthSlot.extraMask);
                lastLength = length;
            }
        }

        // Every distance in the history was checked against the data written and the window
        // when it was first used, and both only grow.
        if (length > static_cast<std::size_t>(outLimit - out)) [[unlikely]] {
            result = makeRoom(length);
            if (!result.ok()) {
                break;
            }
            const std::size_t index = static_cast<std::size_t>(out - window);
            if (length > ringSize - index) {
                CopyAcrossRingEnd(window, ringSize, index, static_cast<std::size_t>(distance),
                                  length);
                out = window + (index + length - ringSize);
                ringStart += ringSize;
                setHistoryFloor();
                Output moved{out, outLimit, ringStart};
                SetOutputLimit(moved);
                outLimit = moved.limit;
                nextSymbol();
                continue;
            }
        }
        const std::size_t index = static_cast<std::size_t>(out - window);
        if (distance <= index) [[likely]] {
            CopyBehind(out, static_cast<std::size_t>(distance), length);
        } else {
            // The source lies in the previous round of the ring, ahead of the destination.
            const std::size_t gap = ringSize - static_cast<std::size_t>(distance);
            if (length > ringSize - (index + gap)) {
                CopyAcrossRingEnd(window, ringSize, index, static_cast<std::size_t>(distance),
                                  length);
            } else {
                CopyAhead(out, gap, length);
            }
        }
        out += length;
        nextSymbol();
    }
    m_written = ringStart + static_cast<std::size_t>(out - window);
    for (unsigned i = 0; i < 4; ++i) {
        m_distances[i] = history[(recent + i) & 3];
    }
    m_lastLength = lastLength;
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
    while (from < to) {
        const std::size_t index = static_cast<std::size_t>(from % m_ringSize);
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(to - from, m_ringSize - index));
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
            const std::size_t index = static_cast<std::size_t>(m_flushed % m_ringSize);
            const std::size_t piece = static_cast<std::size_t>(
                std::min<std::uint64_t>(to - m_flushed, m_ringSize - index));
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
