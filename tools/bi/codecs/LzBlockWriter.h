// Writes one block of LZ-coded data in the RAR 2.9 or RAR 5.0 format from a parse: counts the
// symbols, builds the block's Huffman tables, knows the block's exact size before writing it.
//
// RAR 2.9 block: [bit 0: LZ][bit 0: fresh lengths][table section, 404 lengths][symbols]
//     [256][bit 1: a table follows | bits 0 0: end of the file's data][zero bits to a byte]
//     and after the file's last block two zero bytes for readers that look ahead.
// RAR 5.0 block: [flags][check][size, 1-3 bytes][table section, 430 lengths][symbols]
//     [zero bits to a byte]; flags: tables present, last block of the file, bytes of the size
//     field, bits used in the last byte.
#pragma once

#include "ChunkEncoder.h"
#include "LzSymbols.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace bi::codec {

class LzBlockWriter {
public:
    static std::unique_ptr<LzBlockWriter> Create(LzFormat format);
    // Bytes a writer of the format holds.
    static std::size_t Footprint(LzFormat format);
    virtual ~LzBlockWriter() = default;

    // Takes the copies (and their literals) that cover data[begin...] as the next block.
    // They stay the caller's and must be kept until Write.
    virtual void SetCopies(const std::uint8_t* data, std::size_t begin, const LzCopy* copies,
                           std::size_t count) = 0;
    // Takes data[begin, begin + size) as the next block, all literals.
    virtual void SetLiterals(const std::uint8_t* data, std::size_t begin, std::size_t size) = 0;
    // Builds the block's tables; returns its size in bytes. endsFile: the file's last block.
    virtual std::size_t Plan(bool endsFile) = 0;
    // Writes the planned block to `out`, which has room for its size plus BitOutput::kSlack.
    virtual void Write(std::uint8_t* out) = 0;

    // Code lengths of the last planned block's main, distance, low-distance and length
    // alphabets (0 for an unused symbol), for estimating the cost of a parse.
    virtual const std::uint8_t* MainLengths() const = 0;
    virtual const std::uint8_t* DistanceLengths() const = 0;
    virtual const std::uint8_t* LowDistanceLengths() const = 0;
    virtual const std::uint8_t* LengthLengths() const = 0;
};

} // namespace bi::codec
