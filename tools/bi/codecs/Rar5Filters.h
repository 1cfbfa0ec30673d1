// The transforms RAR 5.0 applies to decoded ranges before they are written: DELTA, x86 E8 and
// E8E9, and ARM. Each undoes what the archiver did to make the range compress better.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bi::codec {

enum class Rar5FilterType : std::uint8_t {
    Delta = 0,
    E8 = 1,
    E8E9 = 2,
    Arm = 3,
};

// A filter range is 4 bytes to 4 MiB long; RAR's own archiver keeps it at 64 KiB or less.
inline constexpr std::uint32_t kRar5MinFilterLength = 4;
inline constexpr std::uint32_t kRar5MaxFilterLength = 0x400000;
inline constexpr unsigned kRar5MaxDeltaChannels = 32;

// x86 call (and, with `withE9`, jump) operands back from absolute to relative addresses, in
// place. `fileOffset` is where `data` starts in the entry's content.
void UndoRar5E8(std::uint8_t* data, std::size_t size, std::uint64_t fileOffset, bool withE9);

// ARM BL offsets back from absolute to relative, in place.
void UndoRar5Arm(std::uint8_t* data, std::size_t size, std::uint64_t fileOffset);

// Interleaves `channels` (1..32) byte planes stored one after the other and undoes their
// running differences, from `source` into a separate `target` of the same size.
void UndoRar5Delta(const std::uint8_t* source, std::uint8_t* target, std::size_t size,
                   unsigned channels);

} // namespace bi::codec
