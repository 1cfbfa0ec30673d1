// Pieces the parsers of the LZ encoders share: unaligned loads, string hashes, the length of
// a repeat, and the collection of copies under a format's limits.
#pragma once

#include "LzMatcher.h"
#include "LzSymbols.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace bi::codec {

inline std::uint16_t Load16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline std::uint32_t Load32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline std::uint64_t Load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Multiplicative hashes of the 4 or 8 bytes at p, `bits` wide.
inline std::uint32_t Hash4(const std::uint8_t* p, unsigned bits) {
    return (Load32(p) * 2654435761u) >> (32 - bits);
}
inline std::uint32_t Hash8(const std::uint8_t* p, unsigned bits) {
    return static_cast<std::uint32_t>((Load64(p) * 0xCF1BBCDCB7A56463ull) >> (64 - bits));
}

// Number of equal bytes at a and b, b running up to bEnd (a < b: a never passes it either).
inline std::size_t CountEqual(const std::uint8_t* a, const std::uint8_t* b,
                              const std::uint8_t* bEnd) {
    const std::uint8_t* const start = b;
    while (b + 8 <= bEnd) {
        const std::uint64_t diff = Load64(a) ^ Load64(b);
        if (diff != 0) {
            return static_cast<std::size_t>(b - start) +
                   static_cast<std::size_t>(__builtin_ctzll(diff) / 8);
        }
        a += 8;
        b += 8;
    }
    while (b < bEnd && *a == *b) {
        ++a;
        ++b;
    }
    return static_cast<std::size_t>(b - start);
}

// The first position, from `end` down, at which a search cannot start: it needs 8 readable
// bytes (a chunk of `size`) and room for a 4-byte copy before `limit`.
inline std::size_t SearchEnd(std::size_t size, std::size_t limit, std::size_t end) {
    const std::size_t readable = size >= 8 ? size - 7 : 0;
    const std::size_t room = limit >= 4 ? limit - 3 : 0;
    return std::min({end, readable, room});
}

// Appends copies in the form the decoder will see them: a distance in the history becomes a
// repeat of that entry, a repeat of the last copy's distance and length the shorter symbol
// for that, and lengths are cut to what the kind of copy can code.
class CopyEmitter {
public:
    CopyEmitter(const LzRules& rules, DistanceHistory& history, LzCopy* copies, std::size_t& count)
        : m_rules(rules), m_history(history), m_copies(copies), m_count(count) {}

    // Adds a copy (length at least rules.MinLength(distance), or 2 for a distance of the
    // history) after `literals` literals; returns the length taken.
    std::uint32_t Add(std::uint32_t literals, std::uint32_t length, std::uint32_t distance) {
        const int repeat = m_history.Find(distance);
        CopyKind kind;
        if (repeat >= 0) {
            length = std::min(length, m_rules.maxRepeat);
            kind = repeat == 0 && length == m_history.lastLength ? CopyKind::RepeatLast
                                                                 : static_cast<CopyKind>(repeat);
        } else {
            length = std::min(length, m_rules.MaxLength(distance));
            kind = CopyKind::NewDistance;
        }
        m_history.Apply(kind, distance, length);
        m_copies[m_count++] = {literals, length, distance, kind};
        return length;
    }
    void AddLiterals(std::uint32_t literals) {
        if (literals != 0) {
            m_copies[m_count++] = {literals, 0, 0, CopyKind::NewDistance};
        }
    }

private:
    const LzRules& m_rules;
    DistanceHistory& m_history;
    LzCopy* m_copies;
    std::size_t& m_count;
};

// The cost-driven parser, in a file of its own.
std::unique_ptr<LzParser> CreateOptimalParser(const LzParserSettings& settings);
std::size_t OptimalParserMemory(const LzParserSettings& settings);

} // namespace bi::codec
