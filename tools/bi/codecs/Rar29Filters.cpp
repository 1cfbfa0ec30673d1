// The standard filters of RAR 2.9-4.x streams.
#include "Rar29Filters.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace bi::codec {

namespace {

// E8/E8E9 addresses are rewritten only inside this range, which the encoder assumed for the
// size of any program.
constexpr std::uint32_t kE8AddressRange = 0x1000000;
// Global data a record may carry; the standard programs ignore it.
constexpr std::uint32_t kMaxGlobalData = 0x2000 - 0x40;
constexpr std::uint32_t kMaxCodeLength = 0xFFFF;

struct KnownProgram {
    Rar29FilterKind kind;
    std::uint32_t length;
    std::uint32_t crc;
};

constexpr KnownProgram kKnownPrograms[] = {
    {Rar29FilterKind::E8, 53, 0xAD576887},       {Rar29FilterKind::E8E9, 57, 0x3CD7E57E},
    {Rar29FilterKind::Itanium, 120, 0x3769893F}, {Rar29FilterKind::Delta, 29, 0x0E06077D},
    {Rar29FilterKind::Rgb, 149, 0x1C2C5DC8},     {Rar29FilterKind::Audio, 216, 0xBC85E701},
};
constexpr std::uint32_t kLongestKnownProgram = 216;

std::uint32_t Crc32Of(const std::uint8_t* data, std::size_t size) {
    // Bitwise: it runs once per program definition, over at most a few hundred bytes.
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// Most-significant-bit-first reader over a record. Reading past the end yields zeros and is
// remembered, so a record is checked once after parsing.
class RecordBits {
public:
    RecordBits(const std::uint8_t* data, std::size_t size) : m_data(data), m_bits(size * 8) {}

    std::uint32_t Read(unsigned count) {
        std::uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i, ++m_position) {
            std::uint32_t bit = 0;
            if (m_position < m_bits) {
                bit = (m_data[m_position >> 3] >> (7 - (m_position & 7))) & 1u;
            }
            value = (value << 1) | bit;
        }
        return value;
    }

    // The variable-length numbers of a record: a 2-bit selector, then 4, 8 (or 4+8 for a
    // small negative), 16 or 32 bits.
    std::uint32_t Number() {
        switch (Read(2)) {
        case 0:
            return Read(4);
        case 1: {
            const std::uint32_t value = Read(8);
            if (value >= 16) {
                return value;
            }
            return 0xFFFFFF00u | (value << 4) | Read(4);
        }
        case 2:
            return Read(16);
        default:
            return Read(32);
        }
    }

    void SkipBytes(std::uint64_t count) { m_position += count * 8; }
    std::uint64_t BytesLeft() const { return m_position >= m_bits ? 0 : (m_bits - m_position) / 8; }
    bool Overrun() const { return m_position > m_bits; }

private:
    const std::uint8_t* m_data;
    std::uint64_t m_bits;
    std::uint64_t m_position = 0;
};

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLe32(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
    p[2] = static_cast<std::uint8_t>(value >> 16);
    p[3] = static_cast<std::uint8_t>(value >> 24);
}

// x86 CALL (E8) and JMP (E9) operands were made absolute by the encoder; they become relative
// again. Operands of instructions that straddle the block end are left alone.
void UndoE8(std::uint8_t* data, std::uint32_t size, std::uint64_t fileOffset, bool withE9) {
    if (size <= 4) {
        return;
    }
    for (std::uint32_t i = 0; i < size - 4;) {
        const std::uint8_t code = data[i++];
        if (code != 0xE8 && !(withE9 && code == 0xE9)) {
            continue;
        }
        const auto position = static_cast<std::uint32_t>(fileOffset + i);
        const std::uint32_t address = Le32(data + i);
        if ((address & 0x80000000u) != 0) {
            if (((address + position) & 0x80000000u) == 0) {
                PutLe32(data + i, address + kE8AddressRange);
            }
        } else if (address < kE8AddressRange) {
            PutLe32(data + i, address - position);
        }
        i += 4;
    }
}

// Bits of a 16-byte IA-64 bundle, read as one little-endian number.
std::uint32_t BundleBits(const std::uint8_t* bundle, unsigned first, unsigned count) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned bit = first + i;
        value |= static_cast<std::uint32_t>((bundle[bit >> 3] >> (bit & 7)) & 1u) << i;
    }
    return value;
}

void SetBundleBits(std::uint8_t* bundle, unsigned first, unsigned count, std::uint32_t value) {
    for (unsigned i = 0; i < count; ++i) {
        const unsigned bit = first + i;
        const auto mask = static_cast<std::uint8_t>(1u << (bit & 7));
        if ((value >> i) & 1u) {
            bundle[bit >> 3] |= mask;
        } else {
            bundle[bit >> 3] &= static_cast<std::uint8_t>(~mask);
        }
    }
}

// IA-64 branches: in bundles whose template has branch slots, the 20-bit target of each
// IP-relative branch (opcode 5) was made absolute in units of bundles.
void UndoItanium(std::uint8_t* data, std::uint32_t size, std::uint64_t fileOffset) {
    // Which of the three slots hold branches, by template 0x10..0x1F.
    static constexpr std::uint8_t kBranchSlots[16] = {4, 4, 6, 6, 0, 0, 7, 7,
                                                      4, 4, 0, 0, 4, 4, 0, 0};
    auto bundleNumber = static_cast<std::uint32_t>(fileOffset >> 4);
    // The last 21 bytes are never touched, as the encoder left them.
    for (std::uint32_t p = 0; p + 21 < size; p += 16, ++bundleNumber) {
        std::uint8_t* bundle = data + p;
        const int templ = (bundle[0] & 0x1F) - 0x10;
        if (templ < 0) {
            continue;
        }
        const std::uint8_t slots = kBranchSlots[templ];
        for (unsigned slot = 0; slot < 3; ++slot) {
            if ((slots & (1u << slot)) == 0) {
                continue;
            }
            const unsigned base = 41 * slot + 5;
            if (BundleBits(bundle, base + 37, 4) == 5) {
                const std::uint32_t target = BundleBits(bundle, base + 13, 20);
                SetBundleBits(bundle, base + 13, 20, (target - bundleNumber) & 0xFFFFFu);
            }
        }
    }
}

// Bytes were split into `channels` interleaved streams, each stored as differences.
void UndoDelta(const std::uint8_t* in, std::uint8_t* out, std::uint32_t size,
               std::uint32_t channels) {
    std::size_t source = 0;
    for (std::uint64_t channel = 0; channel < channels && channel < size; ++channel) {
        std::uint8_t previous = 0;
        for (std::uint64_t j = channel; j < size; j += channels) {
            previous = static_cast<std::uint8_t>(previous - in[source++]);
            out[j] = previous;
        }
    }
}

// 24-bit pixels: each byte predicted from its left, upper and upper-left neighbours (the
// Paeth choice), and red and blue stored as differences from green.
void UndoRgb(const std::uint8_t* in, std::uint8_t* out, std::uint32_t size, std::uint32_t width,
             std::uint32_t redPosition) {
    // A row width of 3 makes the upper neighbour the byte itself; zeroing first keeps that
    // case deterministic.
    std::memset(out, 0, size);
    std::size_t source = 0;
    for (std::uint32_t channel = 0; channel < 3; ++channel) {
        int previous = 0;
        for (std::uint32_t j = channel; j < size; j += 3) {
            int predicted = previous;
            if (j >= width) {
                const int upper = out[j - width + 3];
                const int upperLeft = out[j - width];
                const int guess = previous + upper - upperLeft;
                const int fromPrevious = std::abs(guess - previous);
                const int fromUpper = std::abs(guess - upper);
                const int fromUpperLeft = std::abs(guess - upperLeft);
                if (fromPrevious <= fromUpper && fromPrevious <= fromUpperLeft) {
                    predicted = previous;
                } else if (fromUpper <= fromUpperLeft) {
                    predicted = upper;
                } else {
                    predicted = upperLeft;
                }
            }
            previous = (predicted - in[source++]) & 0xFF;
            out[j] = static_cast<std::uint8_t>(previous);
        }
    }
    for (std::uint32_t j = redPosition; j + 2 < size; j += 3) {
        const std::uint8_t green = out[j + 1];
        out[j] = static_cast<std::uint8_t>(out[j] + green);
        out[j + 2] = static_cast<std::uint8_t>(out[j + 2] + green);
    }
}

// Interleaved audio channels, each predicted by an adaptive linear filter whose three weights
// move every 32 samples towards whichever small change would have predicted best.
void UndoAudio(const std::uint8_t* in, std::uint8_t* out, std::uint32_t size,
               std::uint32_t channels) {
    std::size_t source = 0;
    for (std::uint64_t channel = 0; channel < channels && channel < size; ++channel) {
        std::uint32_t previousByte = 0;
        std::int32_t previousDelta = 0;
        std::int32_t d1 = 0, d2 = 0, d3 = 0;
        std::int32_t k1 = 0, k2 = 0, k3 = 0;
        std::uint32_t error[7] = {};
        std::uint32_t count = 0;
        for (std::uint64_t j = channel; j < size; j += channels, ++count) {
            d3 = d2;
            d2 = previousDelta - d1;
            d1 = previousDelta;
            const std::uint32_t sum = 8 * previousByte + static_cast<std::uint32_t>(k1 * d1) +
                                      static_cast<std::uint32_t>(k2 * d2) +
                                      static_cast<std::uint32_t>(k3 * d3);
            const std::uint32_t predicted = (sum >> 3) & 0xFF;
            const std::uint8_t coded = in[source++];
            const auto value = static_cast<std::uint8_t>(predicted - coded);
            out[j] = value;
            previousDelta = static_cast<std::int8_t>(value - previousByte);
            previousByte = value;

            const std::int32_t e = static_cast<std::int8_t>(coded) * 8;
            error[0] += static_cast<std::uint32_t>(std::abs(e));
            error[1] += static_cast<std::uint32_t>(std::abs(e - d1));
            error[2] += static_cast<std::uint32_t>(std::abs(e + d1));
            error[3] += static_cast<std::uint32_t>(std::abs(e - d2));
            error[4] += static_cast<std::uint32_t>(std::abs(e + d2));
            error[5] += static_cast<std::uint32_t>(std::abs(e - d3));
            error[6] += static_cast<std::uint32_t>(std::abs(e + d3));
            if ((count & 31) != 0) {
                continue;
            }
            unsigned best = 0;
            std::uint32_t least = error[0];
            error[0] = 0;
            for (unsigned i = 1; i < 7; ++i) {
                if (error[i] < least) {
                    least = error[i];
                    best = i;
                }
                error[i] = 0;
            }
            switch (best) {
            case 1:
                k1 -= k1 >= -16 ? 1 : 0;
                break;
            case 2:
                k1 += k1 < 16 ? 1 : 0;
                break;
            case 3:
                k2 -= k2 >= -16 ? 1 : 0;
                break;
            case 4:
                k2 += k2 < 16 ? 1 : 0;
                break;
            case 5:
                k3 -= k3 >= -16 ? 1 : 0;
                break;
            case 6:
                k3 += k3 < 16 ? 1 : 0;
                break;
            default:
                break;
            }
        }
    }
}

DecodeResult RecordEndsEarly() {
    return DecodeResult::Damaged(L"filter record ends early");
}

std::unique_ptr<std::uint8_t[]> AllocateBytes(std::size_t size) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[size]);
}

} // namespace

std::uint32_t Rar29MaxBlock(Rar29FilterKind kind) {
    switch (kind) {
    case Rar29FilterKind::Delta:
    case Rar29FilterKind::Rgb:
    case Rar29FilterKind::Audio:
        return Rar29FilterSet::kWorkArea / 2;
    default:
        return Rar29FilterSet::kWorkArea;
    }
}

DecodeResult CheckRar29Filter(const Rar29Filter& filter) {
    if (filter.blockLength > Rar29MaxBlock(filter.kind)) {
        return DecodeResult::Damaged(L"filter block larger than the filter memory");
    }
    switch (filter.kind) {
    case Rar29FilterKind::Delta:
    case Rar29FilterKind::Audio:
        if (filter.param0 == 0) {
            return DecodeResult::Damaged(L"filter with no channels");
        }
        break;
    case Rar29FilterKind::Rgb:
        if (filter.blockLength < 3 || filter.param0 < 3 || filter.param0 > filter.blockLength ||
            filter.param1 > 2) {
            return DecodeResult::Damaged(L"bad picture filter parameters");
        }
        break;
    default:
        break;
    }
    return DecodeResult::Ok();
}

DecodeResult RunRar29Filter(const Rar29Filter& filter, const std::uint8_t* in, std::uint8_t* out,
                            std::uint64_t fileOffset) {
    const DecodeResult check = CheckRar29Filter(filter);
    if (!check.ok()) {
        return check;
    }
    const std::uint32_t size = filter.blockLength;
    switch (filter.kind) {
    case Rar29FilterKind::E8:
    case Rar29FilterKind::E8E9:
        std::memcpy(out, in, size);
        UndoE8(out, size, fileOffset, filter.kind == Rar29FilterKind::E8E9);
        break;
    case Rar29FilterKind::Itanium:
        std::memcpy(out, in, size);
        UndoItanium(out, size, fileOffset);
        break;
    case Rar29FilterKind::Delta:
        UndoDelta(in, out, size, filter.param0);
        break;
    case Rar29FilterKind::Rgb:
        UndoRgb(in, out, size, filter.param0, filter.param1);
        break;
    case Rar29FilterKind::Audio:
        UndoAudio(in, out, size, filter.param0);
        break;
    }
    return DecodeResult::Ok();
}

void Rar29FilterSet::ResetStream() {
    m_programCount = 0;
    m_lastNumber = 0;
    ResetPending();
}

DecodeResult Rar29FilterSet::Prepare() {
    if (!m_pending) {
        m_pending.reset(new (std::nothrow) Rar29Filter[kMaxPending]);
    }
    if (!m_record) {
        m_record = AllocateBytes(kMaxRecord);
    }
    if (!m_work) {
        m_work = AllocateBytes(2 * std::size_t{kWorkArea});
    }
    if (!m_pending || !m_record || !m_work) {
        return DecodeResult::OutOfMemory(L"not enough memory for the filters");
    }
    return DecodeResult::Ok();
}

DecodeResult Rar29FilterSet::AddRecord(std::uint8_t flags, const std::uint8_t* record,
                                       std::size_t size, std::uint64_t position,
                                       std::uint64_t entryEnd) {
    RecordBits bits(record, size);

    std::size_t number = m_lastNumber;
    if (flags & 0x80) {
        const std::uint32_t given = bits.Number();
        if (given == 0) {
            // Number 0 starts the program list over; what was pending is dropped with it.
            m_programCount = 0;
            ResetPending();
            number = 0;
        } else {
            number = given - 1;
        }
    }
    if (bits.Overrun()) {
        return RecordEndsEarly();
    }
    if (number > m_programCount) {
        return DecodeResult::Damaged(L"filter number out of range");
    }
    const bool isNew = number == m_programCount;
    if (isNew && m_programCount == kMaxPrograms) {
        return DecodeResult::Damaged(L"too many filter programs");
    }
    m_lastNumber = number;

    std::uint64_t blockStart = position + bits.Number();
    if (flags & 0x40) {
        blockStart += 258;
    }
    std::uint32_t blockLength = isNew ? 0 : m_programs[number].lastLength;
    const bool lengthGiven = (flags & 0x20) != 0;
    if (lengthGiven) {
        blockLength = bits.Number();
    }
    std::uint32_t registers[7] = {};
    if (flags & 0x10) {
        const std::uint32_t mask = bits.Read(7);
        for (unsigned i = 0; i < 7; ++i) {
            if (mask & (1u << i)) {
                registers[i] = bits.Number();
            }
        }
    }

    Rar29FilterKind kind = isNew ? Rar29FilterKind::E8 : m_programs[number].kind;
    if (isNew) {
        const std::uint32_t codeLength = bits.Number();
        if (bits.Overrun()) {
            return RecordEndsEarly();
        }
        if (codeLength == 0 || codeLength > kMaxCodeLength) {
            return DecodeResult::Damaged(L"bad filter code length");
        }
        if (codeLength > bits.BytesLeft()) {
            return RecordEndsEarly();
        }
        std::uint8_t code[kLongestKnownProgram];
        std::uint8_t check = 0;
        std::uint8_t first = 0;
        for (std::uint32_t i = 0; i < codeLength; ++i) {
            const auto byte = static_cast<std::uint8_t>(bits.Read(8));
            if (i < kLongestKnownProgram) {
                code[i] = byte;
            }
            if (i == 0) {
                first = byte;
            } else {
                check ^= byte;
            }
        }
        if (check != first) {
            return DecodeResult::Damaged(L"filter code checksum mismatch");
        }
        bool known = false;
        for (const KnownProgram& program : kKnownPrograms) {
            if (program.length == codeLength && program.crc == Crc32Of(code, codeLength)) {
                kind = program.kind;
                known = true;
                break;
            }
        }
        if (!known) {
            return DecodeResult::Unsupported(L"filter is non-standard VM code");
        }
    }
    if (flags & 0x08) {
        const std::uint32_t globalSize = bits.Number();
        if (globalSize > kMaxGlobalData) {
            return DecodeResult::Damaged(L"filter data too long");
        }
        bits.SkipBytes(globalSize);
    }
    if (bits.Overrun()) {
        return RecordEndsEarly();
    }

    if (isNew) {
        m_programs[m_programCount++] = Program{kind, 0};
    }
    if (lengthGiven) {
        m_programs[number].lastLength = blockLength;
    }
    const Rar29Filter filter{kind, blockStart, blockLength, registers[0], registers[1]};
    const DecodeResult check = CheckRar29Filter(filter);
    if (!check.ok()) {
        return check;
    }
    if (blockStart + blockLength > entryEnd) {
        return DecodeResult::Damaged(L"filter block runs past the end of the entry");
    }
    if (m_count == kMaxPending) {
        return DecodeResult::Damaged(L"too many pending filters");
    }
    m_pending[(m_head + m_count) % kMaxPending] = filter;
    ++m_count;
    return DecodeResult::Ok();
}

DecodeResult Rar29FilterSet::RunNext(const std::uint8_t* first, std::size_t firstSize,
                                     const std::uint8_t* second, std::uint64_t fileOffset,
                                     const std::uint8_t*& output) {
    const Rar29Filter filter = Next();
    std::uint8_t* in = m_work.get();
    std::uint8_t* out = in + kWorkArea;
    if (firstSize != 0) {
        std::memcpy(in, first, firstSize);
    }
    if (filter.blockLength > firstSize) {
        std::memcpy(in + firstSize, second, filter.blockLength - firstSize);
    }
    DecodeResult result = RunRar29Filter(filter, in, out, fileOffset);
    Pop();
    while (result.ok() && HasPending() && Next().blockStart == filter.blockStart &&
           Next().blockLength == filter.blockLength) {
        std::swap(in, out);
        result = RunRar29Filter(Next(), in, out, fileOffset);
        Pop();
    }
    output = out;
    return result;
}

} // namespace bi::codec
