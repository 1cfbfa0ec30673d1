// The RAR 5.0 DELTA, E8, E8E9 and ARM transforms.
#include "Rar5Filters.h"

namespace bi::codec {

namespace {

// The x86 transform works on addresses modulo a notional 16 MiB file.
constexpr std::uint32_t kE8FileSize = 1u << 24;

std::uint32_t LoadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void StoreLe32(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
    p[2] = static_cast<std::uint8_t>(value >> 16);
    p[3] = static_cast<std::uint8_t>(value >> 24);
}

} // namespace

void UndoRar5E8(std::uint8_t* data, std::size_t size, std::uint64_t fileOffset, bool withE9) {
    if (size <= 4) {
        return;
    }
    // An opcode in the last four bytes has no complete operand and is left alone; the four
    // operand bytes after an opcode are never taken for opcodes themselves.
    const std::size_t end = size - 4;
    std::size_t i = 0;
    while (i < end) {
        const std::uint8_t opcode = data[i++];
        if (opcode != 0xE8 && (!withE9 || opcode != 0xE9)) {
            continue;
        }
        const std::uint32_t offset = static_cast<std::uint32_t>(fileOffset + i) & (kE8FileSize - 1);
        const std::uint32_t address = LoadLe32(data + i);
        if ((address & 0x80000000u) != 0) {
            // A negative address was a call backwards from inside the file.
            if (((address + offset) & 0x80000000u) == 0) {
                StoreLe32(data + i, address + kE8FileSize);
            }
        } else if (address < kE8FileSize) {
            StoreLe32(data + i, address - offset);
        }
        i += 4;
    }
}

void UndoRar5Arm(std::uint8_t* data, std::size_t size, std::uint64_t fileOffset) {
    for (std::size_t i = 0; i + 3 < size; i += 4) {
        std::uint8_t* word = data + i;
        if (word[3] != 0xEB) {
            continue;
        }
        // BL holds a 24-bit offset in words; the archiver made it absolute.
        std::uint32_t offset = static_cast<std::uint32_t>(word[0]) |
                               static_cast<std::uint32_t>(word[1]) << 8 |
                               static_cast<std::uint32_t>(word[2]) << 16;
        offset -= static_cast<std::uint32_t>((fileOffset + i) / 4);
        word[0] = static_cast<std::uint8_t>(offset);
        word[1] = static_cast<std::uint8_t>(offset >> 8);
        word[2] = static_cast<std::uint8_t>(offset >> 16);
    }
}

void UndoRar5Delta(const std::uint8_t* source, std::uint8_t* target, std::size_t size,
                   unsigned channels) {
    for (unsigned channel = 0; channel < channels; ++channel) {
        std::uint8_t previous = 0;
        for (std::size_t i = channel; i < size; i += channels) {
            previous = static_cast<std::uint8_t>(previous - *source++);
            target[i] = previous;
        }
    }
}

} // namespace bi::codec
