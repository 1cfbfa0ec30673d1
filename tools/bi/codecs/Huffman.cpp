// Canonical Huffman codes of up to 15 bits.
#include "Huffman.h"

namespace bi::codec {

bool HuffmanTable::Build(const std::uint8_t* lengths, std::size_t count) {
    if (count > kMaxSymbols) {
        return false;
    }
    std::array<std::uint32_t, kMaxLength + 1> lengthCount{};
    for (std::size_t symbol = 0; symbol < count; ++symbol) {
        if (lengths[symbol] > kMaxLength) {
            return false;
        }
        ++lengthCount[lengths[symbol]];
    }
    lengthCount[0] = 0;

    std::uint32_t code = 0;
    std::uint16_t index = 0;
    for (unsigned length = 1; length <= kMaxLength; ++length) {
        code = (code + (length > 1 ? lengthCount[length - 1] : 0)) << (length > 1 ? 1 : 0);
        m_firstCode[length] = code;
        m_firstIndex[length] = index;
        if (code + lengthCount[length] > (1u << length)) {
            return false; // over-subscribed
        }
        m_limit[length] = (code + lengthCount[length]) << (kMaxLength - length);
        index = static_cast<std::uint16_t>(index + lengthCount[length]);
    }

    std::array<std::uint16_t, kMaxLength + 1> next = m_firstIndex;
    for (std::size_t symbol = 0; symbol < count; ++symbol) {
        if (lengths[symbol] != 0) {
            m_sorted[next[lengths[symbol]]++] = static_cast<std::uint16_t>(symbol);
        }
    }

    m_quick.fill(QuickEntry{});
    for (unsigned length = 1; length <= kQuickBits; ++length) {
        const unsigned span = 1u << (kQuickBits - length);
        for (std::uint32_t i = 0; i < lengthCount[length]; ++i) {
            const std::uint32_t first = (m_firstCode[length] + i) << (kQuickBits - length);
            const QuickEntry entry{m_sorted[m_firstIndex[length] + i],
                                   static_cast<std::uint8_t>(length)};
            for (unsigned j = 0; j < span; ++j) {
                m_quick[first + j] = entry;
            }
        }
    }
    return true;
}

int HuffmanTable::DecodeLong(BitInput& in, std::uint32_t bits) const {
    unsigned length = 0;
    const int symbol = LookupLong(bits, length);
    if (symbol >= 0) {
        in.Skip(length);
    }
    return symbol;
}

int HuffmanTable::LookupLong(std::uint32_t bits, unsigned& length) const {
    for (unsigned candidate = kQuickBits + 1; candidate <= kMaxLength; ++candidate) {
        if (bits < m_limit[candidate]) {
            const std::uint32_t code = bits >> (kMaxLength - candidate);
            if (code < m_firstCode[candidate]) {
                return -1; // a gap left by an incomplete code
            }
            length = candidate;
            return m_sorted[m_firstIndex[candidate] + (code - m_firstCode[candidate])];
        }
    }
    return -1;
}

} // namespace bi::codec
