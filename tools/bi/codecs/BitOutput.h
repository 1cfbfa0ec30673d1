// Most-significant-bit-first writer of packed data, as both RAR LZ formats store it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bi::codec {

// Writes into a caller's buffer through a 64-bit accumulator, four bytes at a time. The caller
// makes room for everything it writes plus kSlack bytes; nothing checks the end.
class BitOutput {
public:
    static constexpr std::size_t kSlack = 8;

    explicit BitOutput(std::uint8_t* buffer) : m_start(buffer), m_next(buffer) {}

    // Appends the low `count` bits of `value` (count 0..32; higher bits of value are zero).
    void Put(std::uint32_t value, unsigned count) {
        m_bits = (m_bits << count) | value;
        m_count += count;
        if (m_count >= 32) {
            m_count -= 32;
            const std::uint32_t word = static_cast<std::uint32_t>(m_bits >> m_count);
            const std::uint8_t bytes[4] = {
                static_cast<std::uint8_t>(word >> 24), static_cast<std::uint8_t>(word >> 16),
                static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)};
            std::memcpy(m_next, bytes, 4);
            m_next += 4;
        }
    }

    // Pads with zero bits to the next byte boundary and writes out what is pending; returns
    // the number of bytes written since construction.
    std::size_t Finish() {
        Put(0, (8 - m_count % 8) % 8);
        while (m_count > 0) {
            m_count -= 8;
            *m_next++ = static_cast<std::uint8_t>(m_bits >> m_count);
        }
        return static_cast<std::size_t>(m_next - m_start);
    }

    std::uint64_t BitCount() const {
        return static_cast<std::uint64_t>(m_next - m_start) * 8 + m_count;
    }

private:
    std::uint8_t* m_start;
    std::uint8_t* m_next;
    std::uint64_t m_bits = 0; // the low m_count bits are pending, first bit highest
    unsigned m_count = 0;
};

} // namespace bi::codec
