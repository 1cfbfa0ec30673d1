// Greedy and lazy parsers of the LZ encoders; the cost-driven one is in LzOptimalParser.cpp.
#include "LzMatcher.h"

#include "LzMatchTools.h"

#include <algorithm>
#include <cstring>

namespace bi::codec {

namespace {

// Inside a long copy only this many positions at each end are linked into the chains.
constexpr std::size_t kLinkedEnds = 32;

// Greedy parse: at each position the last distance, then the hash tables; the first copy
// found is taken. DoubleFast looks up 8-byte strings first (long copies, far away) and
// 4-byte ones second, and then tries the 8-byte table one byte on before settling for the
// short copy.
template <bool kDouble> class FastParser final : public LzParser {
public:
    explicit FastParser(const LzParserSettings& settings)
        : m_settings(settings), m_short(std::make_unique<std::uint32_t[]>(ShortEntries())),
          m_long(kDouble ? std::make_unique<std::uint32_t[]>(LongEntries()) : nullptr) {}

    static std::size_t Memory(const LzParserSettings& settings) {
        return (std::size_t{1} << settings.hashBits) * 4 +
               (kDouble ? (std::size_t{1} << settings.longHashBits) * 4 : 0);
    }

    void Reset(const std::uint8_t* data, std::size_t size) override {
        m_data = data;
        m_size = size;
        std::fill_n(m_short.get(), ShortEntries(), 0u);
        if (kDouble) {
            std::fill_n(m_long.get(), LongEntries(), 0u);
        }
    }

    std::size_t Parse(std::size_t begin, std::size_t end, std::size_t limit,
                      DistanceHistory& history, LzCopy* copies, std::size_t& count) override;

private:
    std::size_t ShortEntries() const { return std::size_t{1} << m_settings.hashBits; }
    std::size_t LongEntries() const { return std::size_t{1} << m_settings.longHashBits; }
    std::uint32_t ShortHash(std::size_t p) const { return Hash4(m_data + p, m_settings.hashBits); }
    std::uint32_t LongHash(std::size_t p) const {
        return Hash8(m_data + p, m_settings.longHashBits);
    }
    void Insert(std::size_t p) {
        m_short[ShortHash(p)] = static_cast<std::uint32_t>(p);
        if (kDouble) {
            m_long[LongHash(p)] = static_cast<std::uint32_t>(p);
        }
    }

    const LzParserSettings m_settings;
    std::unique_ptr<std::uint32_t[]> m_short;
    std::unique_ptr<std::uint32_t[]> m_long;
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
};

template <bool kDouble>
std::size_t FastParser<kDouble>::Parse(std::size_t begin, std::size_t end, std::size_t limit,
                                       DistanceHistory& history, LzCopy* copies,
                                       std::size_t& count) {
    const std::uint8_t* const data = m_data;
    const LzRules& rules = m_settings.rules;
    // Where a count of equal bytes from p may stop: no copy is longer than the format allows.
    const auto stopFor = [data, limit, longest = rules.Longest()](std::size_t p) {
        return data + std::min<std::size_t>(limit, p + longest);
    };
    CopyEmitter emit(rules, history, copies, count);
    // Positions from which 8 bytes can be read and a 4-byte copy fits before `limit`.
    const std::size_t searchEnd = SearchEnd(m_size, limit, end);
    std::size_t anchor = begin;
    std::size_t ip = std::max<std::size_t>(begin, 1);
    std::size_t misses = 0;

    // Takes a copy of `length` bytes at ip, then the copies with the last two distances that
    // follow it directly.
    const auto commit = [&](std::size_t length, std::uint32_t distance) {
        const std::size_t start = ip;
        ip += emit.Add(static_cast<std::uint32_t>(ip - anchor), static_cast<std::uint32_t>(length),
                       distance);
        if (start + 2 < searchEnd) {
            Insert(start + 2);
        }
        if (ip - 2 < searchEnd && ip - 2 > start + 2) {
            Insert(ip - 2);
        }
        while (ip < searchEnd && history.known >= 2) {
            const std::uint32_t here = Load32(data + ip);
            std::uint32_t repeat = history.distances[1];
            if (Load32(data + ip - repeat) != here) {
                repeat = history.distances[0];
                if (Load32(data + ip - repeat) != here) {
                    break;
                }
            }
            const std::size_t more =
                4 + CountEqual(data + ip + 4 - repeat, data + ip + 4, stopFor(ip));
            Insert(ip);
            ip += emit.Add(0, static_cast<std::uint32_t>(more), repeat);
        }
        anchor = ip;
        misses = 0;
    };

    while (ip < searchEnd) {
        const std::uint64_t here = Load64(data + ip);
        if (history.known != 0) {
            const std::uint32_t repeat = history.distances[0];
            if (Load32(data + ip - repeat) == static_cast<std::uint32_t>(here)) {
                commit(4 + CountEqual(data + ip + 4 - repeat, data + ip + 4, stopFor(ip)), repeat);
                continue;
            }
        }
        std::size_t candidate;
        std::size_t length = 0;
        if (kDouble) {
            const std::uint32_t longHash = LongHash(ip);
            const std::uint32_t shortHash = ShortHash(ip);
            const std::size_t longCandidate = m_long[longHash];
            candidate = m_short[shortHash];
            m_long[longHash] = static_cast<std::uint32_t>(ip);
            m_short[shortHash] = static_cast<std::uint32_t>(ip);
            // An 8-byte match is a copy of 8 only if that much fits before `limit`.
            const bool roomForLong = ip + 9 <= limit;
            if (roomForLong && ip - longCandidate <= rules.maxDistance && longCandidate < ip &&
                Load64(data + longCandidate) == here) {
                candidate = longCandidate;
                length = 8 + CountEqual(data + candidate + 8, data + ip + 8, stopFor(ip));
            } else if (ip - candidate <= rules.maxDistance && candidate < ip &&
                       Load32(data + candidate) == static_cast<std::uint32_t>(here)) {
                length = 4 + CountEqual(data + candidate + 4, data + ip + 4, stopFor(ip));
                // A long copy one byte on beats a short one here.
                if (roomForLong && ip + 1 < searchEnd) {
                    const std::uint32_t nextHash = LongHash(ip + 1);
                    const std::size_t next = m_long[nextHash];
                    m_long[nextHash] = static_cast<std::uint32_t>(ip + 1);
                    if (ip + 1 - next <= rules.maxDistance && next < ip + 1 &&
                        Load64(data + next) == Load64(data + ip + 1)) {
                        const std::size_t nextLength =
                            8 + CountEqual(data + next + 8, data + ip + 9, stopFor(ip + 1));
                        if (nextLength > length + 1) {
                            ++ip;
                            candidate = next;
                            length = nextLength;
                        }
                    }
                }
            }
        } else {
            const std::uint32_t hash = ShortHash(ip);
            candidate = m_short[hash];
            m_short[hash] = static_cast<std::uint32_t>(ip);
            if (ip - candidate <= rules.maxDistance && candidate < ip &&
                Load32(data + candidate) == static_cast<std::uint32_t>(here)) {
                length = 4 + CountEqual(data + candidate + 4, data + ip + 4, stopFor(ip));
            }
        }
        if (length != 0 && length >= rules.MinLength(static_cast<std::uint32_t>(ip - candidate))) {
            // Bytes just before both ends may match too.
            while (ip > anchor && candidate > 0 && data[ip - 1] == data[candidate - 1]) {
                --ip;
                --candidate;
                ++length;
            }
            commit(length, static_cast<std::uint32_t>(ip - candidate));
            continue;
        }
        // Skipping on must not pass the search end: literals stop at `end`.
        ip = std::min(ip + 1 + (misses++ >> m_settings.skipShift), searchEnd);
    }
    ip = std::max(ip, end);
    emit.AddLiterals(static_cast<std::uint32_t>(ip - anchor));
    return ip;
}

// Lazy parse over hash chains: every position is linked to the previous one with the same
// 4-byte hash. At each position the best copy (longest, then cheapest) is compared with the
// best one starting one or two bytes on, which is taken instead when it is worth the
// literals it leaves behind.
class ChainParser final : public LzParser {
public:
    explicit ChainParser(const LzParserSettings& settings)
        : m_settings(settings), m_head(std::make_unique<std::uint32_t[]>(HeadEntries())),
          m_chain(std::make_unique<std::uint32_t[]>(settings.window)) {}

    static std::size_t Memory(const LzParserSettings& settings) {
        return ((std::size_t{1} << settings.hashBits) + settings.window) * 4;
    }

    void Reset(const std::uint8_t* data, std::size_t size) override {
        m_data = data;
        m_size = size;
        m_nextInsert = 0;
        std::fill_n(m_head.get(), HeadEntries(), 0u);
    }

    std::size_t Parse(std::size_t begin, std::size_t end, std::size_t limit,
                      DistanceHistory& history, LzCopy* copies, std::size_t& count) override;

private:
    struct Candidate {
        std::uint32_t length = 0;
        std::uint32_t distance = 0;
        int gain = 0;
    };

    std::size_t HeadEntries() const { return std::size_t{1} << m_settings.hashBits; }

    // Links every position before `to` that is not linked yet.
    void InsertUpTo(std::size_t to) {
        const std::size_t hashable = m_size >= 8 ? m_size - 7 : 0;
        const std::size_t last = std::min(to, hashable);
        for (std::size_t p = m_nextInsert; p < last; ++p) {
            const std::uint32_t hash = Hash4(m_data + p, m_settings.hashBits);
            m_chain[p] = m_head[hash];
            m_head[hash] = static_cast<std::uint32_t>(p);
        }
        m_nextInsert = std::max(m_nextInsert, to);
    }

    // A rough worth of a copy in bits: what its bytes would cost as literals, less the cost of
    // its distance (a distance from the history costs next to nothing).
    static int Gain(std::uint32_t length, std::uint32_t distance, bool repeat) {
        return 4 * static_cast<int>(length) -
               (repeat ? 1 : static_cast<int>(HighestBit(distance)) + 2);
    }

    Candidate BestAt(std::size_t ip, const DistanceHistory& history, const std::uint8_t* stop);

    const LzParserSettings m_settings;
    std::unique_ptr<std::uint32_t[]> m_head;
    std::unique_ptr<std::uint32_t[]> m_chain;
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_nextInsert = 0;
};

ChainParser::Candidate ChainParser::BestAt(std::size_t ip, const DistanceHistory& history,
                                           const std::uint8_t* stop) {
    const std::uint8_t* const data = m_data;
    const std::uint8_t* const here = data + ip;
    stop = std::min(stop, here + m_settings.rules.Longest());
    const std::uint32_t most = static_cast<std::uint32_t>(stop - here);
    Candidate best;
    for (unsigned k = 0; k < history.known; ++k) {
        const std::uint32_t distance = history.distances[k];
        if (Load16(here - distance) != Load16(here)) {
            continue;
        }
        const std::uint32_t length =
            2 + static_cast<std::uint32_t>(CountEqual(here + 2 - distance, here + 2, stop));
        if (length >= 3) {
            const int gain = Gain(length, distance, true);
            if (gain > best.gain) {
                best = {length, distance, gain};
            }
        }
    }
    if (best.length >= m_settings.niceLength || best.length == most) {
        return best;
    }

    InsertUpTo(ip);
    const std::uint32_t head = Load32(here);
    std::uint32_t found = std::max<std::uint32_t>(best.length, 3);
    std::size_t candidate = m_head[Hash4(here, m_settings.hashBits)];
    for (unsigned depth = m_settings.depth; depth > 0; --depth) {
        if (candidate >= ip || ip - candidate > m_settings.rules.maxDistance) {
            break;
        }
        const std::uint8_t* const there = data + candidate;
        if (there[found] == here[found] && Load32(there) == head) {
            const std::uint32_t length =
                4 + static_cast<std::uint32_t>(CountEqual(there + 4, here + 4, stop));
            const std::uint32_t distance = static_cast<std::uint32_t>(ip - candidate);
            if (length > found && length >= m_settings.rules.MinLength(distance)) {
                const int gain = Gain(length, distance, false);
                if (gain > best.gain) {
                    best = {length, distance, gain};
                    found = length;
                    if (length >= m_settings.niceLength || length == most) {
                        break;
                    }
                }
            }
        }
        if (candidate == 0) {
            break;
        }
        candidate = m_chain[candidate];
    }
    return best;
}

std::size_t ChainParser::Parse(std::size_t begin, std::size_t end, std::size_t limit,
                               DistanceHistory& history, LzCopy* copies, std::size_t& count) {
    const std::uint8_t* const data = m_data;
    const std::uint8_t* const stop = data + limit;
    CopyEmitter emit(m_settings.rules, history, copies, count);
    const std::size_t searchEnd = SearchEnd(m_size, limit, end);
    std::size_t anchor = begin;
    std::size_t ip = std::max<std::size_t>(begin, 1);
    std::size_t misses = 0;
    if (m_nextInsert < begin) {
        m_nextInsert = begin; // the stretch before was not parsed
    }

    while (ip < searchEnd) {
        Candidate best = BestAt(ip, history, stop);
        if (best.length == 0) {
            const std::size_t step = 1 + (misses++ >> m_settings.skipShift);
            ip = std::min(ip + step, searchEnd); // literals stop at `end`
            if (step > 1 && m_nextInsert < ip) {
                m_nextInsert = ip; // skipped positions stay out of the chains
            }
            continue;
        }
        // A better copy a byte or two on is worth the literal(s) it leaves.
        while (best.length < m_settings.niceLength) {
            if (m_settings.lazySteps >= 1 && ip + 1 < searchEnd) {
                const Candidate next = BestAt(ip + 1, history, stop);
                if (next.gain > best.gain + 4) {
                    best = next;
                    ip += 1;
                    continue;
                }
            }
            if (m_settings.lazySteps >= 2 && ip + 2 < searchEnd) {
                const Candidate next = BestAt(ip + 2, history, stop);
                if (next.gain > best.gain + 7) {
                    best = next;
                    ip += 2;
                    continue;
                }
            }
            break;
        }
        std::uint32_t length = best.length;
        if (history.Find(best.distance) < 0) {
            while (ip > anchor && ip > best.distance &&
                   data[ip - 1] == data[ip - 1 - best.distance]) {
                --ip;
                ++length;
            }
        }
        const std::size_t start = ip;
        ip += emit.Add(static_cast<std::uint32_t>(ip - anchor), length, best.distance);
        anchor = ip;
        misses = 0;
        // Inside a long copy only its ends are worth linking; linking every byte of a long run
        // of zeros costs more than it finds.
        if (ip - start > 2 * kLinkedEnds && m_nextInsert < ip - kLinkedEnds) {
            InsertUpTo(start + kLinkedEnds);
            m_nextInsert = std::max(m_nextInsert, ip - kLinkedEnds);
        }
    }
    ip = std::max(ip, end);
    emit.AddLiterals(static_cast<std::uint32_t>(ip - anchor));
    return ip;
}

} // namespace

std::unique_ptr<LzParser> LzParser::Create(const LzParserSettings& settings) {
    switch (settings.kind) {
    case LzParserSettings::Kind::Fast:
        return std::make_unique<FastParser<false>>(settings);
    case LzParserSettings::Kind::DoubleFast:
        return std::make_unique<FastParser<true>>(settings);
    case LzParserSettings::Kind::Lazy:
        return std::make_unique<ChainParser>(settings);
    case LzParserSettings::Kind::Optimal:
        return CreateOptimalParser(settings);
    }
    return nullptr;
}

std::size_t LzParser::MemoryUse(const LzParserSettings& settings) {
    switch (settings.kind) {
    case LzParserSettings::Kind::Fast:
        return FastParser<false>::Memory(settings);
    case LzParserSettings::Kind::DoubleFast:
        return FastParser<true>::Memory(settings);
    case LzParserSettings::Kind::Lazy:
        return ChainParser::Memory(settings);
    case LzParserSettings::Kind::Optimal:
        return OptimalParserMemory(settings);
    }
    return 0;
}

} // namespace bi::codec
