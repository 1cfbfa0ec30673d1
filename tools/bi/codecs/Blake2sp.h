// BLAKE2sp, the file hash RAR 5.0 stores instead of (or beside) CRC32: eight BLAKE2s leaves fed
// 64-byte pieces in turn, and a root BLAKE2s over their digests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace bi::codec {

// Streams content of any length in pieces of any size; Final gives the 32-byte digest and
// starts the object over for the next content.
class Blake2sp {
public:
    static constexpr std::size_t kDigestSize = 32;

    Blake2sp();
    void Update(const void* data, std::size_t size);
    std::array<std::uint8_t, kDigestSize> Final();
    void Reset();

private:
    static constexpr std::size_t kLeaves = 8;
    static constexpr std::size_t kBlockSize = 64;
    static constexpr std::size_t kStripeSize = kLeaves * kBlockSize; // one block for each leaf
    // A leaf's block may be compressed only once the leaf's next block has begun (the last one
    // is compressed differently), so a stripe waits until 449 bytes follow it: at most this
    // much stays buffered.
    static constexpr std::size_t kHeldBack = kStripeSize + (kLeaves - 1) * kBlockSize;

    void CompressStripe(const std::uint8_t* stripe);

    // Leaf states, word by word: m_state[word][leaf], so that one word of all eight leaves is
    // one pair of SSE2 registers.
    alignas(16) std::uint32_t m_state[8][kLeaves];
    std::uint64_t m_stripes = 0; // stripes compressed, the same number of blocks in each leaf
    std::uint8_t m_buffer[2 * kStripeSize];
    std::size_t m_buffered = 0;
};

} // namespace bi::codec
