// Match finders and parsers of the LZ encoders: they turn a chunk's bytes into copies and
// literals under one format's limits, from the fast greedy parse with one hash table to the
// lazy parse over hash chains and the cost-driven parse of the best method.
#pragma once

#include "ChunkEncoder.h"
#include "LzSymbols.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace bi::codec {

struct LzParserSettings {
    enum class Kind : std::uint8_t {
        Fast,       // greedy; one hash table of 4-byte strings, one position per entry
        DoubleFast, // greedy; tables of 8-byte and 4-byte strings, a second look one byte on
        Lazy,       // hash chains; a copy is taken only if none better starts 1 or 2 bytes on
        Optimal,    // rows of recent strings; copies chosen by their cost in the current codes
    };
    Kind kind = Kind::Fast;
    unsigned hashBits = 16;     // 4-byte table (Fast, DoubleFast), chain heads (Lazy), or rows
                                // of 16 positions (Optimal)
    unsigned longHashBits = 17; // 8-byte table (DoubleFast, Optimal)
    unsigned depth = 0;         // chain links (Lazy) or row entries (Optimal) compared per search
    unsigned lazySteps = 0;     // Lazy: 1 or 2 positions looked ahead
    // After 2^skipShift positions without a copy the step grows by one, so data without
    // repeats costs little to search.
    unsigned skipShift = 6;
    std::uint32_t niceLength = 64; // a copy this long is taken without looking further
    std::size_t window = 0;        // the largest chunk; positions are indexed within a chunk
    LzFormat format = LzFormat::Rar50;
    LzRules rules = kRar5Rules;
};

// The part of an encoder that chooses copies. A parser sees one chunk at a time and may keep
// what it learnt of earlier parts of the chunk; its copies never reach before the chunk.
class LzParser {
public:
    static std::unique_ptr<LzParser> Create(const LzParserSettings& settings);
    // Bytes the parser allocates for these settings.
    static std::size_t MemoryUse(const LzParserSettings& settings);

    virtual ~LzParser() = default;

    // Starts a chunk of `size` bytes (at most settings.window), forgetting the previous one.
    virtual void Reset(const std::uint8_t* data, std::size_t size) = 0;

    // Parses on from `begin` (the end of the previous parse, or a point the parser was told to
    // skip to) until at least `end`, with no copy reaching past `limit` (end <= limit <= size).
    // Appends the copies to `copies` (room for (end - begin) / 2 + 2) and updates `history`
    // as the decoder will. Returns where the parse stopped, from end to limit; the copies
    // cover exactly [begin, that point).
    virtual std::size_t Parse(std::size_t begin, std::size_t end, std::size_t limit,
                              DistanceHistory& history, LzCopy* copies, std::size_t& count) = 0;

    // Gives the parser the code lengths of the block last written (main, distance,
    // low-distance and length alphabets of the format) as a guide to the cost of symbols.
    // Only the cost-driven parser uses them.
    virtual void SetCosts(const std::uint8_t* main, const std::uint8_t* distance,
                          const std::uint8_t* lowDistance, const std::uint8_t* length) {
        (void)main;
        (void)distance;
        (void)lowDistance;
        (void)length;
    }
};

} // namespace bi::codec
