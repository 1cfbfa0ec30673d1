// Canonical Huffman codes of up to 15 bits, built from code lengths, as both RAR LZ formats
// describe their alphabets.
#pragma once

#include "BitInput.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace bi::codec {

class HuffmanTable {
public:
    static constexpr unsigned kMaxLength = 15;
    static constexpr std::size_t kMaxSymbols = 512;

    // Builds the code: shorter codes first, equal lengths in symbol order, length 0 = absent.
    // Returns false for lengths that over-subscribe the code space (or too many symbols). An
    // empty or incomplete code is accepted; Decode then fails on a pattern that has no symbol.
    bool Build(const std::uint8_t* lengths, std::size_t count);

    // Decodes and consumes one symbol; -1 when the next bits match no code.
    int Decode(BitInput& in) const {
        const std::uint32_t bits = in.Peek(kMaxLength);
        const QuickEntry entry = m_quick[bits >> (kMaxLength - kQuickBits)];
        if (entry.length != 0) {
            in.Skip(entry.length);
            return entry.symbol;
        }
        return DecodeLong(in, bits);
    }

    // The same for a decoder that keeps its own bit reader in registers: `bits` are the next
    // kMaxLength bits, first bit highest. Returns the symbol and sets `length` to the number of
    // bits its code takes (the caller consumes them), or returns -1 when they match no code.
    int Lookup(std::uint32_t bits, unsigned& length) const {
        const QuickEntry entry = m_quick[bits >> (kMaxLength - kQuickBits)];
        if (entry.length != 0) {
            length = entry.length;
            return entry.symbol;
        }
        return LookupLong(bits, length);
    }

private:
    static constexpr unsigned kQuickBits = 10;

    struct QuickEntry {
        std::uint16_t symbol = 0;
        std::uint8_t length = 0; // 0: the code is longer than kQuickBits, or there is none
    };

    int DecodeLong(BitInput& in, std::uint32_t bits) const;
    int LookupLong(std::uint32_t bits, unsigned& length) const;

    std::array<QuickEntry, 1u << kQuickBits> m_quick{};
    // For each length L: the first pattern past the codes of length <= L (15-bit aligned),
    // the first code of length L, and where its symbols start in m_sorted.
    std::array<std::uint32_t, kMaxLength + 1> m_limit{};
    std::array<std::uint32_t, kMaxLength + 1> m_firstCode{};
    std::array<std::uint16_t, kMaxLength + 1> m_firstIndex{};
    std::array<std::uint16_t, kMaxSymbols> m_sorted{};
};

} // namespace bi::codec
