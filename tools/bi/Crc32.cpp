// CRC-32: slicing-by-8 tables everywhere, and 4x128-bit folding with PCLMULQDQ where the
// processor has it (chosen once at run time). Folding is several times faster than the
// tables, which matters because every byte of a backup passes through here while the
// database is stopped.
#include "Crc32.h"

#include <array>
#include <cpuid.h>
#include <cstring>
#include <emmintrin.h>
#include <wmmintrin.h>

namespace bi {

namespace {

// Reflected form of the polynomial 0x04C11DB7.
constexpr std::uint32_t kReflectedPolynomial = 0xEDB88320u;

using Table = std::array<std::uint32_t, 256>;

// kTables[0] advances the register by one byte; kTables[k][i] is the effect of byte i
// followed by k zero bytes, so eight lookups advance it by eight bytes at once.
constexpr std::array<Table, 8> MakeTables() {
    std::array<Table, 8> tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 1) ? (r >> 1) ^ kReflectedPolynomial : r >> 1;
        }
        tables[0][i] = r;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::uint32_t i = 0; i < 256; ++i) {
            const std::uint32_t previous = tables[k - 1][i];
            tables[k][i] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr std::array<Table, 8> kTables = MakeTables();

// The register without the initial and final inversion.
std::uint32_t RawTable(std::uint32_t r, const std::uint8_t* p, std::size_t n) {
    while (n > 0 && (reinterpret_cast<std::uintptr_t>(p) & 7) != 0) {
        r = kTables[0][(r ^ *p++) & 0xFF] ^ (r >> 8);
        --n;
    }
    while (n >= 8) {
        std::uint32_t lo;
        std::uint32_t hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= r;
        r = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
            kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
            kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n > 0) {
        r = kTables[0][(r ^ *p++) & 0xFF] ^ (r >> 8);
        --n;
    }
    return r;
}

// Folding constants: reflect32(x^e mod P) << 1. A 128-bit block, seen as L*x^64 + H with L
// in the low (earlier) lane, moved forward by D bits is congruent to
// L*(x^(D+32) mod P)*x^32 + H*(x^(D-32) mod P)*x^32, and the carry-less product of a
// reflected lane with such a constant lands exactly in reflected 128-bit position.
constexpr std::uint64_t FoldConstant(unsigned exponent) {
    std::uint64_t v = 1; // x^0 in normal bit order
    for (unsigned i = 0; i < exponent; ++i) {
        v <<= 1;
        if (v & (std::uint64_t{1} << 32)) {
            v ^= 0x104C11DB7ull;
        }
    }
    std::uint64_t reflected = 0;
    for (int bit = 0; bit < 32; ++bit) {
        if (v & (std::uint64_t{1} << bit)) {
            reflected |= std::uint64_t{1} << (31 - bit);
        }
    }
    return reflected << 1;
}

constexpr std::uint64_t kFold512Low = FoldConstant(512 + 32);
constexpr std::uint64_t kFold512High = FoldConstant(512 - 32);
constexpr std::uint64_t kFold128Low = FoldConstant(128 + 32);
constexpr std::uint64_t kFold128High = FoldConstant(128 - 32);
static_assert(kFold512Low == 0x154442BD4ull && kFold128High == 0x0CCAA009Eull);

constexpr std::size_t kFoldingMinimum = 256;

__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
    const __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse2"))) std::uint32_t
RawFolding(std::uint32_t r, const std::uint8_t* p, std::size_t n) {
    auto load = [](const std::uint8_t* at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    };
    // The register is the polynomial still to be added to the next 32 message bits.
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(r)));
    __m128i x1 = load(p + 16);
    __m128i x2 = load(p + 32);
    __m128i x3 = load(p + 48);
    p += 64;
    n -= 64;
    const __m128i k512 =
        _mm_set_epi64x(static_cast<long long>(kFold512High), static_cast<long long>(kFold512Low));
    while (n >= 64) {
        x0 = Fold(x0, k512, load(p));
        x1 = Fold(x1, k512, load(p + 16));
        x2 = Fold(x2, k512, load(p + 32));
        x3 = Fold(x3, k512, load(p + 48));
        p += 64;
        n -= 64;
    }
    const __m128i k128 =
        _mm_set_epi64x(static_cast<long long>(kFold128High), static_cast<long long>(kFold128Low));
    x1 = Fold(x0, k128, x1);
    x2 = Fold(x1, k128, x2);
    x3 = Fold(x2, k128, x3);
    while (n >= 16) {
        x3 = Fold(x3, k128, load(p));
        p += 16;
        n -= 16;
    }
    // What is left is congruent to the 16 bytes of x3 fed to a zero register; the tables
    // finish them together with the tail, which spares a Barrett reduction.
    alignas(16) std::uint8_t rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(rest), x3);
    return RawTable(RawTable(0, rest, sizeof(rest)), p, n);
}

// Product of two polynomials modulo the CRC polynomial, in the reflected bit order of the CRC
// (bit 31 is x^0).
std::uint32_t MultiplyModulo(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if (a & bit) {
            product ^= b;
        }
        b = (b & 1) ? (b >> 1) ^ kReflectedPolynomial : b >> 1;
    }
    return product;
}

// x^(8 * bytes) modulo the CRC polynomial, by squaring: step k multiplies by x^(2^k) when bit
// k - 3 of the byte count is set.
std::uint32_t ShiftPolynomial(std::uint64_t bytes) {
    std::uint32_t power = 1u << 30; // x^1
    for (int k = 0; k < 3; ++k) {
        power = MultiplyModulo(power, power);
    }
    std::uint32_t result = 1u << 31; // x^0
    while (bytes != 0) {
        if (bytes & 1) {
            result = MultiplyModulo(power, result);
        }
        power = MultiplyModulo(power, power);
        bytes >>= 1;
    }
    return result;
}

bool ProcessorHasPclmul() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_PCLMUL) != 0;
}

} // namespace

bool Crc32UsesFolding() {
    static const bool folding = ProcessorHasPclmul();
    return folding;
}

std::uint32_t Crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondSize) {
    return MultiplyModulo(ShiftPolynomial(secondSize), first) ^ second;
}

std::uint32_t Crc32UpdateTable(std::uint32_t crc, const void* data, std::size_t size) {
    return ~RawTable(~crc, static_cast<const std::uint8_t*>(data), size);
}

std::uint32_t Crc32Update(std::uint32_t crc, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (size >= kFoldingMinimum && Crc32UsesFolding()) {
        return ~RawFolding(~crc, bytes, size);
    }
    return ~RawTable(~crc, bytes, size);
}

} // namespace bi
