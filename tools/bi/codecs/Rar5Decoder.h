// Decoder of RAR 5.0 compressed data (methods 1-5): blocks, Huffman tables, LZ copies into a
// ring window, the DELTA/E8/E8E9/ARM filters, and solid streams that run across entries.
#pragma once

#include "BitInput.h"
#include "CodecTypes.h"
#include "Huffman.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace bi::codec {

// The compression information field of a RAR 5.0 file header, taken apart.
struct Rar5Compression {
    unsigned method = 0;              // 0 stored, 1-5 compressed
    std::uint64_t dictionarySize = 0; // meaningless for stored entries
    bool solid = false;               // continues the previous entry's stream
    unsigned version = 0;             // algorithm version field: 0 (RAR 5.0) or 1 (RAR 7)
    // False for the RAR 7 bit stream (version 1 without the "RAR 5.0 data" bit), which this
    // decoder does not read; the caller refuses such entries as unsupported.
    bool rar5Stream = true;
};

// Dictionary size and method from the compression information field of a RAR 5.0 file header;
// false when the field is invalid or names something unknown (version, reserved values).
bool ParseRar5Compression(std::uint64_t info, Rar5Compression& out);

// Decodes the data areas of RAR 5.0 entries, one after another, through one window. The window
// is allocated by BeginEntry and kept for solid continuation; memory is the window plus the
// largest block (under 16 MiB) and the filter buffers (at most 2 x 4 MiB).
class Rar5Decoder {
public:
    static constexpr std::uint64_t kUnknownSize = ~0ull;
    // No distance of the format reaches further back than 4 GiB, so no window needs more.
    static constexpr std::uint64_t kMaxWindowSize = 1ull << 32;

    Rar5Decoder();
    ~Rar5Decoder();
    Rar5Decoder(const Rar5Decoder&) = delete;
    Rar5Decoder& operator=(const Rar5Decoder&) = delete;

    // Begins an entry. solid: continue the previous entry's stream (window, written count,
    // distance history, last length, tables). Otherwise a fresh stream whose history holds at
    // least windowSize bytes (the caller passes the dictionary size, or less when it knows that
    // no more can be referenced; for a solid group, the group's dictionary size). Distances
    // beyond windowSize are refused as damage. OutOfMemory when the window cannot be allocated;
    // Damaged when solid is asked for but the previous entry did not end cleanly (or there was
    // none).
    DecodeResult BeginEntry(bool solid, std::uint64_t windowSize);

    // Decodes the entry's whole data area from `in` (already Reset on it) and writes exactly its
    // content to `out`, in order, in large pieces. unpackedSize may be kUnknownSize. Bytes after
    // the last block are not read.
    DecodeResult DecodeEntry(BitInput& in, std::uint64_t unpackedSize, UnpackedSink& out);

private:
    // Bit reader over one block held in memory, kept in registers by the symbol loop.
    struct BlockBits;

    struct PendingFilter {
        std::uint64_t start = 0; // stream position of the range
        std::uint32_t length = 0;
        std::uint8_t type = 0;
        std::uint8_t channels = 0;
    };

    // A Huffman code with a first lookup of 2^kBits entries, each holding the bits to consume
    // (the code, and the extra bits that follow it) and what the symbol means to the symbol
    // loop, so that one load yields both; 0 for codes longer than kBits, which the full table
    // decodes. The entry layout is in Rar5Decoder.cpp.
    template <unsigned kBits> struct QuickCode {
        std::array<std::uint32_t, std::size_t{1} << kBits> entries{};
        HuffmanTable full;
        std::uint32_t (*meaning)(unsigned symbol) = nullptr; // the entry of a symbol, less its code

        // False for lengths the full table refuses.
        bool Build(const std::uint8_t* lengths, std::size_t count);
        // The entry for the next bits (first bit at bit 63; 15 of them needed), 0 when they
        // match no code.
        std::uint32_t Find(std::uint64_t bits) const;
        // The first lookup alone, and the full table alone.
        std::uint32_t Peek(std::uint64_t bits) const;
        std::uint32_t FindLong(std::uint64_t bits) const;
    };

    // Where the symbol loop writes: a pointer into the ring, the end of the run it may write
    // without looking at anything else, and the stream position of the ring's first byte.
    struct Output {
        std::uint8_t* next;
        std::uint8_t* limit;
        std::uint64_t ringStart;
    };

    DecodeResult DecodeBlocks(BitInput& in);
    DecodeResult ReadBlockData(BitInput& in, std::size_t size);
    DecodeResult ReadTables(BlockBits& bits, std::uint64_t endBit);
    DecodeResult DecodeSymbols(BlockBits& bits, std::uint64_t endBit);
    DecodeResult ReadFilter(BlockBits& bits, std::uint64_t endBit);
    DecodeResult MakeRoom(Output& out, std::uint32_t length);
    void SetOutputLimit(Output& out) const;
    DecodeResult Flush(std::uint64_t upTo);
    DecodeResult WriteWindow(std::uint64_t from, std::uint64_t to);
    DecodeResult ApplyFilter(const PendingFilter& filter);
    DecodeResult ReserveWindow(std::uint64_t windowSize, bool keepHistory);

    // Window: a ring of m_ringSize bytes, indexed by stream position % m_ringSize, a little
    // larger than the window asked for and followed in memory by as much again (kCopySlack), so
    // that copies may write whole chunks past their end.
    std::unique_ptr<std::uint8_t[]> m_window;
    std::size_t m_ringSize = 0;
    std::uint64_t m_maxDistance = 0;  // the window size asked for
    std::uint64_t m_historyStart = 0; // oldest stream position the window still holds
    std::uint64_t m_written = 0;      // bytes decoded in the stream so far
    std::uint64_t m_flushed = 0;      // bytes of the stream handed on (sink or filter buffer)

    // Symbol state carried across blocks and, in solid streams, across entries.
    std::array<std::uint64_t, 4> m_distances{}; // most recent first; 0 = never set
    std::uint32_t m_lastLength = 0;
    bool m_haveTables = false;
    QuickCode<12> m_mainCode;
    QuickCode<10> m_distanceCode;
    QuickCode<8> m_lowDistanceCode;
    QuickCode<10> m_lengthCode;

    bool m_entryBegun = false;  // BeginEntry succeeded, DecodeEntry not yet called
    bool m_streamClean = false; // the last entry ended well, so the next may continue it

    // The entry being decoded.
    UnpackedSink* m_sink = nullptr;
    std::uint64_t m_entryStart = 0; // stream position of its first byte
    std::uint64_t m_entryEnd = 0;   // stream position after its last byte (or ~0)

    // One block's data, with zero padding for the bit reader's look-ahead.
    std::unique_ptr<std::uint8_t[]> m_block;
    std::size_t m_blockCapacity = 0;

    // Filters defined and not yet applied, in stream order (a ring of kMaxPendingFilters).
    std::unique_ptr<PendingFilter[]> m_filters;
    std::size_t m_filterHead = 0;
    std::size_t m_filterCount = 0;
    std::uint64_t m_filterEnd = 0; // end of the last filter defined in this entry
    // The first pending filter's range as it is decoded, and the DELTA output.
    std::unique_ptr<std::uint8_t[]> m_filterData;
    std::size_t m_filterDataCapacity = 0;
    std::unique_ptr<std::uint8_t[]> m_filterOutput;
    std::size_t m_filterOutputCapacity = 0;
};

} // namespace bi::codec
