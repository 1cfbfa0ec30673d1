// CRC-32 (the zlib/PNG/ZIP polynomial), as RAR uses it for header and data checks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bi {

// Continues a CRC-32 over one more piece of data. `crc` is the finished CRC of everything
// before the piece (0 for the first piece), so Crc32Update(Crc32Update(0, a), b) equals the
// CRC of a followed by b.
std::uint32_t Crc32Update(std::uint32_t crc, const void* data, std::size_t size);

inline std::uint32_t Crc32(const void* data, std::size_t size) {
    return Crc32Update(0, data, size);
}

// The CRC of a piece followed by another, from the CRC of each and the second one's length, so
// that pieces can be checked on several threads and joined in order.
std::uint32_t Crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondSize);

// The table-driven path (8 bytes a step) on its own, whatever the processor offers; the tests
// compare it with the path that Crc32Update picks.
std::uint32_t Crc32UpdateTable(std::uint32_t crc, const void* data, std::size_t size);

// True when Crc32Update folds with carry-less multiplication (PCLMULQDQ) on this processor.
bool Crc32UsesFolding();

} // namespace bi
