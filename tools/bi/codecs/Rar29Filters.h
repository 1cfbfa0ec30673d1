// The standard filters of RAR 2.9-4.x streams: their records, the programs they name, the
// transforms, and the order in which filtered blocks leave the decoder.
#pragma once

#include "CodecTypes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace bi::codec {

// The programs RAR writes. A record names its program by bytecode; the decoder knows these by
// the length and checksum of that code and runs its own transform instead of the code.
enum class Rar29FilterKind : std::uint8_t { E8, E8E9, Itanium, Delta, Rgb, Audio };

// One filter waiting for its block, in positions of the whole (solid) stream.
struct Rar29Filter {
    Rar29FilterKind kind = Rar29FilterKind::E8;
    std::uint64_t blockStart = 0;
    std::uint32_t blockLength = 0;
    // The two parameters the transforms use: channels (DELTA, AUDIO) or row width (RGB), and
    // the position of the red byte (RGB).
    std::uint32_t param0 = 0;
    std::uint32_t param1 = 0;
};

// The largest block of each kind: the filter's work area holds 0x3C000 bytes, and the kinds
// that write their output behind their input get half of it.
std::uint32_t Rar29MaxBlock(Rar29FilterKind kind);

// Checks a filter's block length and parameters against its kind.
DecodeResult CheckRar29Filter(const Rar29Filter& filter);

// Transforms filter.blockLength bytes from `in` into `out` (separate buffers). fileOffset is
// the number of bytes of the entry before the block; E8, E8E9 and ITANIUM code addresses
// relative to it.
DecodeResult RunRar29Filter(const Rar29Filter& filter, const std::uint8_t* in, std::uint8_t* out,
                            std::uint64_t fileOffset);

// The programs a stream has defined and the filters waiting for their blocks.
class Rar29FilterSet {
public:
    static constexpr std::size_t kMaxPrograms = 1024;
    static constexpr std::size_t kMaxPending = 8192;
    static constexpr std::uint32_t kWorkArea = 0x3C000;
    // A record is at most 0xFFFF bytes (its length is a 16-bit field).
    static constexpr std::size_t kMaxRecord = 0xFFFF;

    // A fresh stream: no programs, nothing pending.
    void ResetStream();
    // The next entry of a solid stream: programs stay, pending filters are dropped.
    void ResetPending() { m_head = m_count = 0; }

    // Buffers for the record and the blocks; OutOfMemory when they cannot be had.
    DecodeResult Prepare();
    // Where the decoder collects a record of up to kMaxRecord bytes (after Prepare).
    std::uint8_t* RecordBuffer() { return m_record.get(); }

    // Reads a record that follows the flags byte. `position` is the stream position of the
    // decoder; the filter's block must end by entryEnd.
    DecodeResult AddRecord(std::uint8_t flags, const std::uint8_t* record, std::size_t size,
                           std::uint64_t position, std::uint64_t entryEnd);

    bool HasPending() const { return m_count != 0; }
    const Rar29Filter& Next() const { return m_pending[m_head]; }

    // Filters the block of the next pending filter, then that output again by every filter
    // that follows with the same block start and length, and drops them. The block arrives in
    // two pieces (the second empty unless it wraps round the window). `output` then points at
    // Next().blockLength bytes that stay valid until the next call.
    DecodeResult RunNext(const std::uint8_t* first, std::size_t firstSize,
                         const std::uint8_t* second, std::uint64_t fileOffset,
                         const std::uint8_t*& output);

private:
    struct Program {
        Rar29FilterKind kind = Rar29FilterKind::E8;
        std::uint32_t lastLength = 0;
    };

    void Pop() {
        m_head = (m_head + 1) % kMaxPending;
        --m_count;
    }

    std::array<Program, kMaxPrograms> m_programs{};
    std::size_t m_programCount = 0;
    std::size_t m_lastNumber = 0;

    std::unique_ptr<Rar29Filter[]> m_pending; // ring of kMaxPending
    std::size_t m_head = 0;
    std::size_t m_count = 0;

    std::unique_ptr<std::uint8_t[]> m_record;
    std::unique_ptr<std::uint8_t[]> m_work; // two areas of kWorkArea: input and output
};

} // namespace bi::codec
