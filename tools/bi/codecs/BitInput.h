// Most-significant-bit-first reader of packed data, as both RAR LZ formats store it.
#pragma once

#include "CodecTypes.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace bi::codec {

// Reads a PackedSource through a buffer into a 64-bit accumulator. Bits past the end of the
// data read as zero, so a Huffman lookup may peek beyond it; Exhausted() then tells whether
// any of those bits were actually consumed, which is the decoder's "truncated".
class BitInput {
public:
    static constexpr std::size_t kBufferSize = 1u << 20;

    BitInput();

    // Starts reading a new stream from its first byte.
    void Reset(PackedSource& source);

    // The next `count` bits (1..32) as a number, first bit highest, without consuming them.
    std::uint32_t Peek(unsigned count) {
        Fill();
        return static_cast<std::uint32_t>(m_bits >> (64 - count));
    }
    // Consumes `count` bits; at most as many as the last Peek or Fill made available (32).
    void Skip(unsigned count) {
        m_bits <<= count;
        m_count -= count;
    }
    // Reads `count` bits (0..32).
    std::uint32_t Read(unsigned count) {
        if (count == 0) {
            return 0;
        }
        const std::uint32_t value = Peek(count);
        Skip(count);
        return value;
    }
    std::uint8_t ReadByte() { return static_cast<std::uint8_t>(Read(8)); }
    // Reads `size` bytes as that many ReadByte calls would; in bulk when the reader stands at a
    // byte boundary.
    void ReadBytes(std::uint8_t* out, std::size_t size);

    // Drops the bits left in the current byte.
    void AlignToByte() { Skip(m_count & 7); }

    // Bits consumed since Reset.
    std::uint64_t BitPosition() const {
        return (m_bufferStart + static_cast<std::uint64_t>(m_next - m_buffer.get()) + m_zeroBytes) *
                   8 -
               m_count;
    }
    // True once more bits were consumed than the stream holds.
    bool Exhausted() const { return m_ended && BitPosition() > m_streamBytes * 8; }

    // Makes at least 32 bits available to Peek.
    void Fill() {
        if (m_count >= 32) {
            return;
        }
        if (m_end - m_next >= 8) {
            // Eight bytes at once: the accumulator takes as many whole bytes as fit, and the
            // bits of the next byte that spill in are the stream's own, so refilling them
            // later changes nothing.
            std::uint64_t value;
            std::memcpy(&value, m_next, sizeof value);
            value = __builtin_bswap64(value); // the first byte highest
            m_bits |= value >> m_count;
            const unsigned taken = (63 - m_count) >> 3;
            m_next += taken;
            m_count += taken * 8;
            return;
        }
        FillSlowly();
    }

private:
    void FillSlowly();
    bool Refill();

    PackedSource* m_source = nullptr;
    std::unique_ptr<std::uint8_t[]> m_buffer;
    const std::uint8_t* m_next = nullptr; // next byte not yet in the accumulator
    const std::uint8_t* m_end = nullptr;  // end of the bytes read into the buffer
    std::uint64_t m_bufferStart = 0;      // stream offset of m_buffer[0]
    std::uint64_t m_zeroBytes = 0;        // zero bytes supplied past the end
    std::uint64_t m_streamBytes = 0;      // bytes the source gave in all
    bool m_ended = false;
    std::uint64_t m_bits = 0; // next bit at bit 63
    unsigned m_count = 0;     // valid bits in m_bits
};

} // namespace bi::codec
