// Memory stand-ins for the codecs' packed input, shared by the codec tests.
#pragma once

#include "CodecTypes.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bi::codec::test {

// Hands out the bytes of a string or vector in pieces of at most `piece` bytes, as a file
// read in parts would.
template <typename Bytes> class PieceSource : public PackedSource {
public:
    explicit PieceSource(const Bytes& data, std::size_t piece = SIZE_MAX)
        : m_data(data), m_piece(piece) {}
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        const std::size_t count = std::min({size, m_piece, m_data.size() - m_at});
        std::memcpy(buffer, m_data.data() + m_at, count);
        m_at += count;
        return count;
    }

private:
    const Bytes& m_data;
    std::size_t m_piece;
    std::size_t m_at = 0;
};

} // namespace bi::codec::test
