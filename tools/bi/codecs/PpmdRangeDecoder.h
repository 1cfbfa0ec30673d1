// The carry-less range decoder that RAR 2.9-4.x uses under its PPMd blocks.
#pragma once

#include "BitInput.h"

#include <cstdint>

namespace bi::codec {

// Decodes intervals of a cumulative frequency table from whole bytes of a BitInput. Each
// GetFreq(total) is followed by exactly one Decode(start, size) with the same total, because
// GetFreq leaves the range divided by the total. Bytes past the end of the data read as zero;
// the caller learns of it from BitInput::Exhausted().
class PpmdRangeDecoder {
public:
    static constexpr std::uint32_t kTop = 1u << 24;
    static constexpr std::uint32_t kBottom = 1u << 15;
    static constexpr unsigned kBinaryBits = 14; // scale of the binary decision's probability

    // Starts on the byte-aligned bytes that follow in `in`: reads four bytes now, then whole
    // bytes with in.ReadByte() as it normalises.
    void Init(BitInput& in) {
        m_in = &in;
        m_low = 0;
        m_code = 0;
        m_range = 0xFFFFFFFFu;
        for (int i = 0; i < 4; ++i) {
            m_code = (m_code << 8) | in.ReadByte();
        }
    }

    // The cumulative count that the next symbol falls on, in 0..total-1 for sound data. A
    // result >= total means the data is damaged; then no Decode may follow.
    std::uint32_t GetFreq(std::uint32_t total) {
        m_range /= total;
        if (m_range == 0) {
            // Only a range squeezed below the total by damage gets here; an encoder could
            // not have coded anything in it.
            return total;
        }
        return (m_code - m_low) / m_range;
    }

    // Consumes the interval [start, start + size) of the total given to GetFreq.
    void Decode(std::uint32_t start, std::uint32_t size) {
        m_low += start * m_range;
        m_range *= size;
        Normalise();
    }

    // A binary decision where outcome 0 has probability p / 2^14 (0 < p < 2^14). Returns the
    // outcome.
    unsigned DecodeBit(std::uint32_t p) {
        m_range >>= kBinaryBits;
        const std::uint32_t count = (m_code - m_low) / m_range;
        if (count < p) {
            m_range *= p;
            Normalise();
            return 0;
        }
        m_low += p * m_range;
        m_range *= (1u << kBinaryBits) - p;
        Normalise();
        return 1;
    }

private:
    // Shifts out settled top bytes. The coder never carries: when the range straddles a top
    // byte boundary while being small, it is cut down to end at that boundary.
    void Normalise() {
        for (;;) {
            if ((m_low ^ (m_low + m_range)) >= kTop) {
                if (m_range >= kBottom) {
                    return;
                }
                m_range = (0u - m_low) & (kBottom - 1);
            }
            m_code = (m_code << 8) | m_in->ReadByte();
            m_range <<= 8;
            m_low <<= 8;
        }
    }

    BitInput* m_in = nullptr;
    std::uint32_t m_low = 0;
    std::uint32_t m_code = 0;
    std::uint32_t m_range = 0;
};

} // namespace bi::codec
