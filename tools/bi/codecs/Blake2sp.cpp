// BLAKE2sp: eight BLAKE2s leaves and a root. With SSE2 the eight leaves run side by side, one
// leaf per 32-bit lane; without it, one after another through the same round code.
#include "Blake2sp.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bi::codec {

namespace {

constexpr std::uint32_t kIv[8] = {0x6A09E667u, 0xBB67AE85u, 0x3C6EF372u, 0xA54FF53Au,
                                  0x510E527Fu, 0x9B05688Cu, 0x1F83D9ABu, 0x5BE0CD19u};

constexpr std::uint8_t kSigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

// Parameter block word 0: digest length 32, no key, fanout 8, depth 2. Word 3: node depth
// (0 for leaves, 1 for the root) in byte 2, inner digest length 32 in byte 3. Word 2 holds a
// leaf's node offset, its number.
constexpr std::uint32_t kParamWord0 = 32u | (8u << 16) | (2u << 24);
constexpr std::uint32_t kParamWord3Leaf = 32u << 24;
constexpr std::uint32_t kParamWord3Root = (1u << 16) | (32u << 24);
constexpr std::uint32_t kLastFlag = 0xFFFFFFFFu;

std::uint32_t LoadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The round arithmetic, for one leaf (std::uint32_t) or eight side by side (Lanes).
inline std::uint32_t Add(std::uint32_t a, std::uint32_t b) {
    return a + b;
}
inline std::uint32_t Xor(std::uint32_t a, std::uint32_t b) {
    return a ^ b;
}
template <int N> inline std::uint32_t Rotr(std::uint32_t x) {
    return (x >> N) | (x << (32 - N));
}

#if defined(__SSE2__)
// Four leaves side by side, one per 32-bit lane: the sixteen working words then fit the
// sixteen SSE registers.
inline __m128i Add(__m128i a, __m128i b) {
    return _mm_add_epi32(a, b);
}
inline __m128i Xor(__m128i a, __m128i b) {
    return _mm_xor_si128(a, b);
}
template <int N> inline __m128i Rotr(__m128i x) {
    if constexpr (N == 16) {
        return _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
    } else {
        return _mm_or_si128(_mm_srli_epi32(x, N), _mm_slli_epi32(x, 32 - N));
    }
}
#endif

template <class V> inline void Mix(V& a, V& b, V& c, V& d, V x, V y) {
    a = Add(Add(a, b), x);
    d = Rotr<16>(Xor(d, a));
    c = Add(c, d);
    b = Rotr<12>(Xor(b, c));
    a = Add(Add(a, b), y);
    d = Rotr<8>(Xor(d, a));
    c = Add(c, d);
    b = Rotr<7>(Xor(b, c));
}

// One round of the BLAKE2s compression over v, with message words m; the round number is a
// constant so that every message word is picked at compile time.
template <int R, class V> inline void Round(V (&v)[16], const V (&m)[16]) {
    constexpr const std::uint8_t* s = kSigma[R % 10];
    Mix(v[0], v[4], v[8], v[12], m[s[0]], m[s[1]]);
    Mix(v[1], v[5], v[9], v[13], m[s[2]], m[s[3]]);
    Mix(v[2], v[6], v[10], v[14], m[s[4]], m[s[5]]);
    Mix(v[3], v[7], v[11], v[15], m[s[6]], m[s[7]]);
    Mix(v[0], v[5], v[10], v[15], m[s[8]], m[s[9]]);
    Mix(v[1], v[6], v[11], v[12], m[s[10]], m[s[11]]);
    Mix(v[2], v[7], v[8], v[13], m[s[12]], m[s[13]]);
    Mix(v[3], v[4], v[9], v[14], m[s[14]], m[s[15]]);
}

template <class V> inline void Rounds(V (&v)[16], const V (&m)[16]) {
    Round<0>(v, m);
    Round<1>(v, m);
    Round<2>(v, m);
    Round<3>(v, m);
    Round<4>(v, m);
    Round<5>(v, m);
    Round<6>(v, m);
    Round<7>(v, m);
    Round<8>(v, m);
    Round<9>(v, m);
}

// One BLAKE2s compression of a 64-byte block into h; `counter` counts the bytes hashed so far
// including this block's, `last` and `lastNode` are the two finalisation flags.
void Compress(std::uint32_t (&h)[8], const std::uint8_t* block, std::uint64_t counter, bool last,
              bool lastNode) {
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = LoadLe32(block + 4 * i);
    }
    std::uint32_t v[16];
    for (int i = 0; i < 8; ++i) {
        v[i] = h[i];
        v[i + 8] = kIv[i];
    }
    v[12] ^= static_cast<std::uint32_t>(counter);
    v[13] ^= static_cast<std::uint32_t>(counter >> 32);
    v[14] ^= last ? kLastFlag : 0;
    v[15] ^= lastNode ? kLastFlag : 0;
    Rounds(v, m);
    for (int i = 0; i < 8; ++i) {
        h[i] ^= v[i] ^ v[i + 8];
    }
}

// Hashes the final block of a node (`size` bytes, 0..64) and returns the digest bytes.
void FinishNode(std::uint32_t (&h)[8], const std::uint8_t* data, std::size_t size,
                std::uint64_t counter, bool lastNode, std::uint8_t* digest) {
    std::uint8_t block[64] = {};
    std::memcpy(block, data, size);
    Compress(h, block, counter + size, true, lastNode);
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<std::uint8_t>(h[i]);
        digest[4 * i + 1] = static_cast<std::uint8_t>(h[i] >> 8);
        digest[4 * i + 2] = static_cast<std::uint8_t>(h[i] >> 16);
        digest[4 * i + 3] = static_cast<std::uint8_t>(h[i] >> 24);
    }
}

} // namespace

Blake2sp::Blake2sp() {
    Reset();
}

void Blake2sp::Reset() {
    for (std::size_t word = 0; word < 8; ++word) {
        for (std::size_t leaf = 0; leaf < kLeaves; ++leaf) {
            m_state[word][leaf] = kIv[word];
        }
    }
    for (std::size_t leaf = 0; leaf < kLeaves; ++leaf) {
        m_state[0][leaf] ^= kParamWord0;
        m_state[2][leaf] ^= static_cast<std::uint32_t>(leaf);
        m_state[3][leaf] ^= kParamWord3Leaf;
    }
    m_stripes = 0;
    m_buffered = 0;
}

void Blake2sp::CompressStripe(const std::uint8_t* stripe) {
    ++m_stripes;
    const std::uint64_t counter = m_stripes * kBlockSize;
#if defined(__SSE2__)
    const __m128i low = _mm_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(counter)));
    const __m128i high =
        _mm_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(counter >> 32)));
    for (std::size_t half = 0; half < kLeaves / 4; ++half) {
        // Message words of four blocks, transposed so that m[w] holds word w of each leaf.
        const std::uint8_t* blocks = stripe + half * 4 * kBlockSize;
        __m128i m[16];
        for (std::size_t quarter = 0; quarter < 4; ++quarter) {
            __m128i r[4];
            for (std::size_t leaf = 0; leaf < 4; ++leaf) {
                r[leaf] = _mm_loadu_si128(
                    reinterpret_cast<const __m128i*>(blocks + leaf * kBlockSize + quarter * 16));
            }
            const __m128i t0 = _mm_unpacklo_epi32(r[0], r[1]); // words 0 and 1 of leaves 0, 1
            const __m128i t1 = _mm_unpacklo_epi32(r[2], r[3]);
            const __m128i t2 = _mm_unpackhi_epi32(r[0], r[1]); // words 2 and 3
            const __m128i t3 = _mm_unpackhi_epi32(r[2], r[3]);
            m[quarter * 4] = _mm_unpacklo_epi64(t0, t1);
            m[quarter * 4 + 1] = _mm_unpackhi_epi64(t0, t1);
            m[quarter * 4 + 2] = _mm_unpacklo_epi64(t2, t3);
            m[quarter * 4 + 3] = _mm_unpackhi_epi64(t2, t3);
        }
        __m128i h[8];
        __m128i v[16];
        for (std::size_t i = 0; i < 8; ++i) {
            h[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(&m_state[i][half * 4]));
            v[i] = h[i];
            v[i + 8] = _mm_set1_epi32(static_cast<int>(kIv[i]));
        }
        v[12] = Xor(v[12], low);
        v[13] = Xor(v[13], high);
        Rounds(v, m);
        for (std::size_t i = 0; i < 8; ++i) {
            _mm_store_si128(reinterpret_cast<__m128i*>(&m_state[i][half * 4]),
                            Xor(h[i], Xor(v[i], v[i + 8])));
        }
    }
#else
    for (std::size_t leaf = 0; leaf < kLeaves; ++leaf) {
        std::uint32_t h[8];
        for (int i = 0; i < 8; ++i) {
            h[i] = m_state[i][leaf];
        }
        Compress(h, stripe + leaf * kBlockSize, counter, false, false);
        for (int i = 0; i < 8; ++i) {
            m_state[i][leaf] = h[i];
        }
    }
#endif
}

void Blake2sp::Update(const void* data, std::size_t size) {
    if (size == 0) {
        return; // data may then be null, which memcpy must not see
    }
    const auto* in = static_cast<const std::uint8_t*>(data);
    if (m_buffered != 0) {
        const std::size_t taken = std::min(size, sizeof m_buffer - m_buffered);
        std::memcpy(m_buffer + m_buffered, in, taken);
        m_buffered += taken;
        in += taken;
        size -= taken;
        if (m_buffered <= kHeldBack) {
            return; // all taken, and too little after the first stripe to compress it
        }
        CompressStripe(m_buffer);
        m_buffered -= kStripeSize;
        std::memmove(m_buffer, m_buffer + kStripeSize, m_buffered);
        if (size == 0) {
            return;
        }
        // The buffer was full, so one whole stripe is left in it: compress it if enough
        // follows, and go on from the caller's memory.
        if (size <= kHeldBack - kStripeSize) {
            std::memcpy(m_buffer + m_buffered, in, size);
            m_buffered += size;
            return;
        }
        CompressStripe(m_buffer);
        m_buffered = 0;
    }
    while (size > kHeldBack) {
        CompressStripe(in);
        in += kStripeSize;
        size -= kStripeSize;
    }
    std::memcpy(m_buffer, in, size);
    m_buffered = size;
}

std::array<std::uint8_t, Blake2sp::kDigestSize> Blake2sp::Final() {
    // What is buffered holds each leaf's last block, and for some the one before it.
    std::uint8_t leafDigests[kLeaves * kDigestSize];
    for (std::size_t leaf = 0; leaf < kLeaves; ++leaf) {
        std::uint32_t h[8];
        for (int i = 0; i < 8; ++i) {
            h[i] = m_state[i][leaf];
        }
        std::uint64_t counter = m_stripes * kBlockSize;
        const std::size_t first = leaf * kBlockSize;
        const std::size_t second = kStripeSize + leaf * kBlockSize;
        const std::uint8_t* last = m_buffer + first;
        std::size_t lastSize = m_buffered > first ? std::min(kBlockSize, m_buffered - first) : 0;
        if (m_buffered > second) {
            counter += kBlockSize;
            Compress(h, m_buffer + first, counter, false, false);
            last = m_buffer + second;
            lastSize = std::min(kBlockSize, m_buffered - second);
        }
        FinishNode(h, last, lastSize, counter, leaf == kLeaves - 1,
                   leafDigests + leaf * kDigestSize);
    }

    std::uint32_t root[8];
    for (int i = 0; i < 8; ++i) {
        root[i] = kIv[i];
    }
    root[0] ^= kParamWord0;
    root[3] ^= kParamWord3Root;
    const std::size_t rootBlocks = sizeof leafDigests / kBlockSize;
    for (std::size_t i = 0; i + 1 < rootBlocks; ++i) {
        Compress(root, leafDigests + i * kBlockSize, (i + 1) * kBlockSize, false, false);
    }
    std::array<std::uint8_t, kDigestSize> digest{};
    FinishNode(root, leafDigests + (rootBlocks - 1) * kBlockSize, kBlockSize,
               (rootBlocks - 1) * kBlockSize, true, digest.data());
    Reset();
    return digest;
}

} // namespace bi::codec
