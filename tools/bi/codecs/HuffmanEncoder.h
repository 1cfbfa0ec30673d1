// Length-limited canonical Huffman codes for the LZ encoders, and the table section in which
// both RAR LZ formats send a block's code lengths.
#pragma once

#include "BitOutput.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace bi::codec {

inline constexpr unsigned kMaxCodeLength = 15;
inline constexpr std::size_t kMaxAlphabet = 512;

// Code lengths of an optimal prefix code of at most maxLength bits for the symbol counts:
// symbols with count 0 get length 0, the others a complete code (Kraft sum exactly 1). With
// fewer than two used symbols, unused ones are added (length 1) so that the code is still
// complete, unless allowEmpty and no symbol is used: then all lengths are 0.
void BuildCodeLengths(const std::uint32_t* counts, std::size_t size, unsigned maxLength,
                      bool allowEmpty, std::uint8_t* lengths);

// Canonical codes from lengths: shorter codes first, equal lengths in symbol order.
void BuildCanonicalCodes(const std::uint8_t* lengths, std::size_t size, std::uint16_t* codes);

// An alphabet's code ready for writing.
template <std::size_t N> struct HuffmanCode {
    std::array<std::uint8_t, N> lengths{};
    std::array<std::uint16_t, N> codes{};

    void Build(const std::uint32_t* counts, bool allowEmpty) {
        BuildCodeLengths(counts, N, kMaxCodeLength, allowEmpty, lengths.data());
        BuildCanonicalCodes(lengths.data(), N, codes.data());
    }
    void Write(BitOutput& out, std::size_t symbol) const {
        out.Put(codes[symbol], lengths[symbol]);
    }
    // Bits of all symbols of `counts` under this code.
    std::uint64_t Cost(const std::uint32_t* counts) const {
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < N; ++i) {
            bits += static_cast<std::uint64_t>(counts[i]) * lengths[i];
        }
        return bits;
    }
};

// The table section of a block: the 20 lengths of a "bit-length" code in 4-bit groups (15
// escapes a run of zeros or the length 15 itself), then all code lengths of the block coded
// with it, where 16/17 repeat the previous length 3-10/11-138 times and 18/19 give 3-10/11-138
// zeros. The lengths are values, not changes: RAR 2.9 tables that do not keep the old lengths
// start from zeros, and RAR 5.0 tables always do.
class TableSection {
public:
    // Prepares the section for `size` lengths (at most kMaxAlphabet).
    void Prepare(const std::uint8_t* lengths, std::size_t size);
    std::uint64_t Bits() const { return m_bits; }
    void Write(BitOutput& out) const;

private:
    struct Item {
        std::uint8_t symbol;
        std::uint8_t extra;
    };
    static constexpr std::size_t kBitLengthSymbols = 20;

    std::array<Item, kMaxAlphabet> m_items{};
    std::size_t m_itemCount = 0;
    HuffmanCode<kBitLengthSymbols> m_code;
    std::uint64_t m_bits = 0;
};

} // namespace bi::codec
