// Most-significant-bit-first reader of packed data.
#include "BitInput.h"

#include <algorithm>
#include <cstring>

namespace bi::codec {

BitInput::BitInput() : m_buffer(std::make_unique<std::uint8_t[]>(kBufferSize)) {
    m_next = m_end = m_buffer.get();
}

void BitInput::Reset(PackedSource& source) {
    m_source = &source;
    m_next = m_end = m_buffer.get();
    m_bufferStart = 0;
    m_zeroBytes = 0;
    m_streamBytes = 0;
    m_ended = false;
    m_bits = 0;
    m_count = 0;
}

bool BitInput::Refill() {
    if (m_ended || m_source == nullptr) {
        return false;
    }
    const std::size_t kept = static_cast<std::size_t>(m_end - m_next);
    std::memmove(m_buffer.get(), m_next, kept);
    m_bufferStart += static_cast<std::uint64_t>(m_next - m_buffer.get());
    m_next = m_buffer.get();
    m_end = m_next + kept;
    const std::size_t got = m_source->Read(m_buffer.get() + kept, kBufferSize - kept);
    if (got == 0) {
        m_ended = true;
        return false;
    }
    m_end += got;
    m_streamBytes += got;
    return true;
}

void BitInput::ReadBytes(std::uint8_t* out, std::size_t size) {
    if ((m_count & 7) != 0) {
        for (std::size_t i = 0; i < size; ++i) {
            out[i] = ReadByte();
        }
        return;
    }
    std::size_t done = 0;
    for (; done < size && m_count != 0; ++done) {
        out[done] = static_cast<std::uint8_t>(m_bits >> 56);
        Skip(8);
    }
    if (done == size) {
        return;
    }
    // The accumulator is empty, but its low bits may hold a look at the next byte, which the
    // copy below moves past: they must not be merged into what is filled in later.
    m_bits = 0;
    while (done < size) {
        if (m_next == m_end && !Refill()) {
            // Past the end: zeros, counted so that BitPosition stays right.
            std::memset(out + done, 0, size - done);
            m_zeroBytes += size - done;
            return;
        }
        const std::size_t piece = std::min(size - done, static_cast<std::size_t>(m_end - m_next));
        std::memcpy(out + done, m_next, piece);
        m_next += piece;
        done += piece;
    }
}

void BitInput::FillSlowly() {
    while (m_count <= 56) {
        if (m_next == m_end && !Refill()) {
            // Past the end: zeros, counted so that BitPosition stays right.
            m_count += 8;
            ++m_zeroBytes;
            continue;
        }
        if (m_end - m_next >= 8 && m_count < 32) {
            Fill();
            return;
        }
        m_bits |= static_cast<std::uint64_t>(*m_next++) << (56 - m_count);
        m_count += 8;
    }
}

} // namespace bi::codec
