// Decoder of the packed data of RAR 2.9-4.x entries (unpack version 29): LZ blocks, PPMd
// blocks and the standard filters, over one window shared by the entries of a solid stream.
#pragma once

#include "BitInput.h"
#include "CodecTypes.h"
#include "Ppmd7.h"
#include "PpmdRangeDecoder.h"
#include "Rar29Filters.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace bi::codec {

class Rar29Decoder {
public:
    static constexpr std::uint64_t kMaxWindow = 4u << 20;  // the format's largest dictionary
    static constexpr std::uint64_t kMinWindow = 64u << 10; // the smallest it declares
    // The window never gets smaller than this: a filter's block (up to 0x3C000 bytes) stays
    // in it until the whole block has been decoded.
    static constexpr std::size_t kMinRing = 1u << 18;

    Rar29Decoder() = default;
    Rar29Decoder(const Rar29Decoder&) = delete;
    Rar29Decoder& operator=(const Rar29Decoder&) = delete;

    // Begins an entry. solid: continue the previous entry's stream (window, write position,
    // old distances, last length, saved lengths, tables, PPMd model and escape byte, filter
    // programs). Otherwise a fresh stream whose history holds at least windowSize bytes.
    // OutOfMemory when memory cannot be had; Damaged when solid is asked for after an entry that
    // failed (or with no previous entry).
    DecodeResult BeginEntry(bool solid, std::uint64_t windowSize);
    // Decodes the entry's data area from `in` (already Reset on it) and writes exactly
    // unpackedSize bytes of content to `out`, in order, in large pieces.
    DecodeResult DecodeEntry(BitInput& in, std::uint64_t unpackedSize, UnpackedSink& out);

    // The model memory in bytes that the last PPMd block header asked for; an OutOfMemory
    // result about the PPMd model refers to it.
    std::uint32_t PpmdMemory() const { return m_ppmdMemory; }

private:
    static constexpr std::size_t kTableSize = 404;
    static constexpr std::size_t kMainSymbols = 299;
    static constexpr std::size_t kDistanceSymbols = 60;
    static constexpr std::size_t kLowDistanceSymbols = 17;
    static constexpr std::size_t kLengthSymbols = 28;
    // Most bytes one step can add to the window (a PPMd match of 255 + 32), plus the 15 bytes
    // past a match that its copy may overwrite.
    static constexpr std::size_t kMaxStep = 288 + 16;
    // Output reaches the sink in pieces of about this size (smaller at the end of an entry
    // and around filtered blocks).
    static constexpr std::size_t kFlushPiece = 1u << 20;

    // A decoded code word, ready to use: codeBits is its length (0: no such code), and what it
    // stands for needs extraBits more bits added to value. Main symbols: value is the literal
    // byte, or kMatchFlag plus the base length of a match, or kOtherFlag plus the symbol.
    // Length symbols: the base length; low-distance symbols: the symbol.
    struct CodeEntry {
        std::uint16_t value = 0;
        std::uint8_t codeBits = 0;
        std::uint8_t extraBits = 0;
    };
    // A distance slot: the distance base plus one, and whether its low four bits follow
    // under the low-distance code instead of among its extra bits.
    struct DistanceEntry {
        std::uint32_t value = 0;
        std::uint8_t codeBits = 0;
        std::uint8_t extraBits = 0;
        std::uint8_t lowCoded = 0;
    };
    static constexpr std::uint16_t kMatchFlag = 0x8000;
    static constexpr std::uint16_t kOtherFlag = 0x4000;

    // A canonical Huffman code (shorter codes first, equal lengths in symbol order, at most 15
    // bits) decoded by one lookup of the next FastBits bits, and by a search for longer codes.
    template <class Entry, unsigned FastBits, std::size_t Symbols> struct FastCode {
        static constexpr unsigned kMaxBits = 15;
        std::array<Entry, std::size_t{1} << FastBits> fast{};
        std::array<Entry, Symbols> bySymbol{};
        // For each code length L: the first 15-bit pattern past the codes of length <= L, the
        // first code of length L, and where its symbols start in `sorted`.
        std::array<std::uint32_t, kMaxBits + 1> limit{};
        std::array<std::uint32_t, kMaxBits + 1> firstCode{};
        std::array<std::uint16_t, kMaxBits + 1> firstIndex{};
        std::array<std::uint16_t, Symbols> sorted{};

        // The entry of the code at the top of `bits` (the next 32 bits, first bit highest).
        [[gnu::always_inline]] Entry Find(std::uint32_t bits) const {
            const Entry entry = fast[bits >> (32 - FastBits)];
            return entry.codeBits != 0 ? entry : FindLong(bits >> (32 - kMaxBits));
        }
        Entry FindLong(std::uint32_t bits15) const;
        // Builds the code from Symbols code lengths (0 = absent), with make(symbol) giving each
        // symbol's entry. False when the lengths over-subscribe the code space; an incomplete
        // code is accepted, and its gaps then decode to no code.
        bool Build(const std::uint8_t* lengths, Entry (*make)(unsigned symbol));
    };

    static constexpr unsigned kMainFastBits = 11;
    static constexpr unsigned kDistanceFastBits = 10;
    static constexpr unsigned kLowDistanceFastBits = 8;
    static constexpr unsigned kLengthFastBits = 8;

    enum class Mode : std::uint8_t { Lz, Ppmd };
    // How a run of decoding ended, apart from reaching its stop position.
    enum class Event : std::uint8_t { None, BlockEnd, EntryEnd, Failed };

    DecodeResult Run(BitInput& in);
    DecodeResult ReadBlockHeader(BitInput& in);
    DecodeResult ReadTables(BitInput& in);
    Event DecodeLz(BitInput& in, std::uint64_t stop);
    Event DecodePpmd(BitInput& in, std::uint64_t stop);
    DecodeResult ReadLzFilter(BitInput& in);
    DecodeResult ReadPpmdFilter(BitInput& in);
    DecodeResult FinishEntry(BitInput& in);
    DecodeResult CheckMatch(std::uint64_t position, std::uint32_t distance,
                            std::uint32_t length) const;
    void CopyMatch(std::uint64_t position, std::uint32_t distance, std::uint32_t length);
    std::uint64_t StopPosition() const;
    DecodeResult Flush();
    bool WriteWindow(std::uint64_t from, std::uint64_t to);
    DecodeResult GrowWindow(std::size_t ringSize);
    void PushDistance(std::uint32_t distance) {
        m_oldDistances[3] = m_oldDistances[2];
        m_oldDistances[2] = m_oldDistances[1];
        m_oldDistances[1] = m_oldDistances[0];
        m_oldDistances[0] = distance;
    }
    Event Fail(const DecodeResult& result) {
        m_failure = result;
        return Event::Failed;
    }

    // Window: a ring of m_ringSize bytes (a power of two, at least twice the dictionary)
    // holding the stream's bytes by their position modulo its size. As no match reaches back
    // more than half of it, a copy may overwrite the bytes just past its end. Its bytes are
    // char8_t, which unlike unsigned char may not alias other objects: a byte stored into the
    // window then does not force the compiler to reload the bit reader's and the tables' state in
    // the decoding loops.
    using Byte = char8_t;
    std::unique_ptr<Byte[]> m_window;
    const std::uint8_t* WindowBytes() const {
        return reinterpret_cast<const std::uint8_t*>(m_window.get());
    }
    std::size_t m_ringSize = 0;
    std::size_t m_ringMask = 0;
    std::uint64_t m_dictionary = 0; // the largest distance the stream may use

    // Stream positions: bytes decoded, bytes given to the sink, and the current entry.
    std::uint64_t m_position = 0;
    std::uint64_t m_written = 0;
    std::uint64_t m_entryStart = 0;
    std::uint64_t m_entryEnd = 0;
    UnpackedSink* m_sink = nullptr;

    bool m_entryReady = false;  // BeginEntry succeeded and DecodeEntry has not run yet
    bool m_streamSound = false; // the last entry of the stream decoded without error
    bool m_headerDue = true;    // the next thing in the data is a block header
    bool m_tablesRead = false;
    Mode m_mode = Mode::Lz;
    DecodeResult m_failure;

    // LZ state.
    std::array<std::uint32_t, 4> m_oldDistances{};
    std::uint32_t m_lastLength = 0;
    std::uint32_t m_lowPrevious = 0;
    std::uint32_t m_lowRepeats = 0;
    std::array<std::uint8_t, kTableSize> m_lengths{};
    FastCode<CodeEntry, kMainFastBits, kMainSymbols> m_mainCode;
    FastCode<DistanceEntry, kDistanceFastBits, kDistanceSymbols> m_distanceCode;
    FastCode<CodeEntry, kLowDistanceFastBits, kLowDistanceSymbols> m_lowDistanceCode;
    FastCode<CodeEntry, kLengthFastBits, kLengthSymbols> m_lengthCode;

    // PPMd state.
    PpmdModel m_model;
    PpmdRangeDecoder m_rangeDecoder;
    std::uint8_t m_escape = 2;
    std::uint32_t m_ppmdMemory = 0;

    Rar29FilterSet m_filters;
};

} // namespace bi::codec
