// Cost-driven parser of the LZ encoders: for every position the recent strings that share its
// first bytes give the copies that start there, and a shortest-path search over the next few
// thousand positions picks literals and copies by their cost in bits under the codes of the
// block written last.
#include "LzMatchTools.h"

#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

namespace bi::codec {

namespace {

// Positions searched before a decision is forced.
constexpr std::size_t kSpan = 4096;
// Copies up to this length are offered at every length; longer ones only at full length (the
// cost of a length changes little past it, and offering each would cost a loop per byte).
constexpr std::uint32_t kAllLengths = 32;
constexpr std::size_t kMaxMatches = 24;
constexpr std::uint32_t kInfinite = std::numeric_limits<std::uint32_t>::max() / 4;
// Inside a copy taken without a search, only this many positions at each end are indexed.
constexpr std::size_t kIndexedEnds = 48;

struct Match {
    std::uint32_t length;
    std::uint32_t distance;
};

// Symbol layout of the two formats, as far as costs need it.
struct Alphabet {
    unsigned repeatLast;
    unsigned firstRepeat;
    unsigned firstShort; // RAR 2.9 length-2 copies
    unsigned firstNew;
    std::uint32_t newLengthBase;
    std::size_t mainSize;
    std::size_t distanceSize;
    std::size_t lowSize;
    std::size_t lengthSize;
};

constexpr Alphabet kRar29Alphabet = {258, 259, 263, 271, 3, 299, 60, 17, 28};
constexpr Alphabet kRar5Alphabet = {257, 258, 0, 262, 2, 306, 64, 16, 44};

// Costs in bits of everything a block can hold: from the code lengths of the last block
// (symbols it did not use get a guess), or from the byte counts of the data ahead.
class CostModel {
public:
    explicit CostModel(const LzParserSettings& settings)
        : m_rules(settings.rules),
          m_alphabet(settings.format == LzFormat::Rar29 ? kRar29Alphabet : kRar5Alphabet),
          m_rar29(settings.format == LzFormat::Rar29),
          m_repeatLength(settings.rules.Longest() + 1) {
        for (auto& table : m_newLength) {
            table.assign(settings.rules.Longest() + 1, kInfinite);
        }
    }

    static std::size_t Memory(const LzParserSettings& settings) {
        return sizeof(CostModel) + 5 * (settings.rules.Longest() + 1) * 4;
    }

    // Literals cost what their share of the data ahead says; copies a middling guess.
    void Guess(const std::uint32_t* byteCounts, std::size_t total) {
        std::array<std::uint8_t, 306> main{};
        for (unsigned b = 0; b < 256; ++b) {
            const double share = (byteCounts[b] + 0.5) / (static_cast<double>(total) + 128.0);
            main[b] = static_cast<std::uint8_t>(std::clamp(0.5 - std::log2(share), 1.0, 15.0));
        }
        for (std::size_t s = 256; s < m_alphabet.mainSize; ++s) {
            main[s] = 8;
        }
        main[m_alphabet.repeatLast] = 5;
        main[m_alphabet.firstRepeat] = 5;
        std::array<std::uint8_t, 64> distance;
        distance.fill(6);
        std::array<std::uint8_t, 17> low;
        low.fill(4);
        std::array<std::uint8_t, 44> length;
        length.fill(4);
        Set(main.data(), distance.data(), low.data(), length.data());
    }

    void Set(const std::uint8_t* main, const std::uint8_t* distance, const std::uint8_t* low,
             const std::uint8_t* length) {
        const auto fill = [](const std::uint8_t* lengths, std::size_t size, std::uint32_t* out) {
            unsigned longest = 0;
            for (std::size_t i = 0; i < size; ++i) {
                longest = std::max<unsigned>(longest, lengths[i]);
            }
            const std::uint32_t unseen = std::min(15u, std::max(longest + 2, 6u));
            for (std::size_t i = 0; i < size; ++i) {
                out[i] = lengths[i] != 0 ? lengths[i] : unseen;
            }
        };
        fill(main, m_alphabet.mainSize, m_main.data());
        fill(distance, m_alphabet.distanceSize, m_distance.data());
        fill(low, m_alphabet.lowSize, m_low.data());
        fill(length, m_alphabet.lengthSize, m_length.data());

        const std::uint32_t longest = static_cast<std::uint32_t>(m_repeatLength.size() - 1);
        for (std::uint32_t n = 2; n <= longest; ++n) {
            const SlotCode slot = LengthSlot(n - 2);
            m_repeatLength[n] = m_length[slot.slot] + slot.extraBits;
        }
        for (std::uint32_t bonus = 0; bonus < m_newLength.size(); ++bonus) {
            const std::uint32_t shortest = m_alphabet.newLengthBase + bonus;
            const std::uint32_t last = std::min(longest, m_rules.maxCoded + bonus);
            for (std::uint32_t n = shortest; n <= last; ++n) {
                const SlotCode slot = LengthSlot(n - shortest);
                m_newLength[bonus][n] = m_main[m_alphabet.firstNew + slot.slot] + slot.extraBits;
            }
        }
        for (unsigned s = 0; s < m_alphabet.distanceSize; ++s) {
            const unsigned bits = DistanceSlotBits(s, m_rar29);
            m_distanceSlot[s] = m_distance[s] + (s >= kFirstLowDistanceSlot ? bits - 4 : bits);
        }
    }

    std::uint32_t Literal(std::uint8_t byte) const { return m_main[byte]; }
    std::uint32_t RepeatLast() const { return m_main[m_alphabet.repeatLast]; }
    std::uint32_t RepeatSymbol(unsigned k) const { return m_main[m_alphabet.firstRepeat + k]; }
    // Cost of the length of a copy with a distance of the history, by length.
    const std::uint32_t* RepeatLengths() const { return m_repeatLength.data(); }
    // Cost of the main symbol and length bits of a new-distance copy, by length.
    const std::uint32_t* NewLengths(std::uint32_t distance) const {
        return m_newLength[m_rules.Bonus(distance)].data();
    }
    // Cost of the distance of a new-distance copy.
    std::uint32_t Distance(std::uint32_t distance) const {
        const SlotCode slot = m_rar29 ? Rar29DistanceSlot(distance) : DistanceSlot(distance);
        return m_distanceSlot[slot.slot] +
               (slot.slot >= kFirstLowDistanceSlot ? m_low[slot.extra & 15] : 0);
    }
    // RAR 2.9 codes length-2 copies up to distance 256 with symbols of their own.
    bool HasShortCopies() const { return m_rar29; }
    std::uint32_t ShortCopy(std::uint32_t distance) const {
        const SlotCode slot = ShortCopySlot(distance);
        return m_main[m_alphabet.firstShort + slot.slot] + slot.extraBits;
    }

private:
    const LzRules m_rules;
    const Alphabet m_alphabet;
    const bool m_rar29;
    std::array<std::uint32_t, 306> m_main{};
    std::array<std::uint32_t, 64> m_distance{};
    std::array<std::uint32_t, 17> m_low{};
    std::array<std::uint32_t, 44> m_length{};
    std::array<std::uint32_t, 64> m_distanceSlot{};        // code and raw bits
    std::vector<std::uint32_t> m_repeatLength;             // by copy length
    std::array<std::vector<std::uint32_t>, 4> m_newLength; // by bonus, then copy length
};

// The last 16 positions of every hash of 5 bytes, in rows of 16 with a byte of the hash beside
// each position (a tag), so that one compare of 16 tags finds the candidates worth a look,
// newest first; and the last position of every hash of 8 bytes, for long copies further back.
// A position goes in and its candidates come out in one step. The candidates of a position are
// independent loads that the processor fetches at once, where walking a hash chain or a binary
// tree waits on one cache miss after another; that keeps the best method at its speed.
class RowFinder {
public:
    static constexpr unsigned kWays = 16;
    static constexpr unsigned kRowBytes = 5;
    // A row's positions fill one cache line; the rows and 8-byte entries of the position this
    // far ahead are fetched early.
    static constexpr std::size_t kAhead = 8;

    explicit RowFinder(const LzParserSettings& settings)
        : m_rowBits(settings.hashBits), m_longBits(settings.longHashBits), m_tries(settings.depth),
          m_maxDistance(settings.rules.maxDistance),
          m_positions(std::make_unique<std::uint32_t[]>(Entries())),
          m_tags(std::make_unique<std::uint8_t[]>(Entries())),
          m_heads(std::make_unique<std::uint8_t[]>(std::size_t{1} << m_rowBits)),
          m_long(std::make_unique<std::uint32_t[]>(std::size_t{1} << m_longBits)) {}

    static std::size_t Memory(const LzParserSettings& settings) {
        return (std::size_t{kWays} << settings.hashBits) * 5 +
               (std::size_t{1} << settings.hashBits) + (std::size_t{4} << settings.longHashBits);
    }

    void Reset(const std::uint8_t* data, std::size_t size) {
        m_data = data;
        m_size = size;
        std::fill_n(m_positions.get(), Entries(), 0u);
        std::fill_n(m_tags.get(), Entries(), std::uint8_t{0});
        std::fill_n(m_heads.get(), std::size_t{1} << m_rowBits, std::uint8_t{0});
        std::fill_n(m_long.get(), std::size_t{1} << m_longBits, 0u);
    }

    // Adds position pos and, unless `matches` is null, reports the copies found there that are
    // longer than all nearer ones (4 bytes or more, compared up to `most` bytes), shortest
    // first. Returns their number (at most kWays + 1).
    std::size_t Insert(std::size_t pos, std::uint32_t most, Match* matches) {
        if (pos + kAhead + 8 > m_size) {
            return 0; // the last bytes of a chunk start no copies
        }
        const std::uint8_t* const here = m_data + pos;
        const std::size_t ahead = RowHash(here + kAhead) >> 8;
        __builtin_prefetch(&m_positions[ahead * kWays]);
        __builtin_prefetch(&m_tags[ahead * kWays]);
        __builtin_prefetch(&m_long[Hash8(here + kAhead, m_longBits)]);

        const std::uint32_t hash = RowHash(here);
        const std::size_t row = hash >> 8;
        const std::uint8_t tag = static_cast<std::uint8_t>(hash);
        std::uint32_t* const positions = &m_positions[row * kWays];
        std::uint8_t* const tags = &m_tags[row * kWays];
        const unsigned head = m_heads[row];
        const std::uint32_t longHash = Hash8(here, m_longBits);
        const std::uint32_t longEntry = m_long[longHash];
        m_long[longHash] = static_cast<std::uint32_t>(pos + 1);

        std::size_t found = 0;
        if (matches != nullptr && most >= 4) {
            std::uint32_t best = 3;
            const __m128i rowTags = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tags));
            unsigned hits = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(rowTags, _mm_set1_epi8(static_cast<char>(tag)))));
            // The newest entry is at `head`: rotate so that bit 0 is the newest.
            hits = ((hits >> head) | (hits << (kWays - head))) & 0xFFFF;
            const std::uint32_t first4 = Load32(here);
            for (unsigned tries = m_tries; hits != 0 && tries != 0; hits &= hits - 1, --tries) {
                const unsigned way = (static_cast<unsigned>(__builtin_ctz(hits)) + head) % kWays;
                const std::uint32_t entry = positions[way];
                if (entry == 0) {
                    continue;
                }
                const std::size_t distance = pos - (entry - 1);
                if (distance > m_maxDistance) {
                    break; // the older ones are further still
                }
                const std::uint8_t* const there = here - distance;
                if (Load32(there) != first4 || there[best] != here[best]) {
                    continue;
                }
                const std::uint32_t length =
                    4 + static_cast<std::uint32_t>(CountEqual(there + 4, here + 4, here + most));
                if (length > best) {
                    best = length;
                    matches[found++] = {length, static_cast<std::uint32_t>(distance)};
                    if (length == most) {
                        break;
                    }
                }
            }
            if (longEntry != 0 && best < most && most >= 8) {
                const std::size_t distance = pos - (longEntry - 1);
                const std::uint8_t* const there = here - distance;
                if (distance <= m_maxDistance && Load64(there) == Load64(here)) {
                    const std::uint32_t length =
                        8 +
                        static_cast<std::uint32_t>(CountEqual(there + 8, here + 8, here + most));
                    if (length > best) {
                        matches[found++] = {length, static_cast<std::uint32_t>(distance)};
                    }
                }
            }
        }
        const unsigned newest = (head + kWays - 1) % kWays;
        m_heads[row] = static_cast<std::uint8_t>(newest);
        positions[newest] = static_cast<std::uint32_t>(pos + 1);
        tags[newest] = tag;
        return found;
    }

private:
    std::size_t Entries() const { return std::size_t{kWays} << m_rowBits; }
    // The row in the high bits, the tag in the low 8.
    std::uint32_t RowHash(const std::uint8_t* p) const {
        const std::uint64_t bytes = Load64(p) << (64 - 8 * kRowBytes);
        return static_cast<std::uint32_t>((bytes * 0xCF1BBCDCB7A56463ull) >> (64 - m_rowBits - 8));
    }

    const unsigned m_rowBits;
    const unsigned m_longBits;
    const unsigned m_tries; // candidates of a row compared at most
    const std::uint32_t m_maxDistance;
    std::unique_ptr<std::uint32_t[]> m_positions; // position + 1, 0 for none
    std::unique_ptr<std::uint8_t[]> m_tags;
    std::unique_ptr<std::uint8_t[]> m_heads; // way of each row's newest entry
    std::unique_ptr<std::uint32_t[]> m_long; // position + 1 of the last string of an 8-byte hash
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
};

class OptimalParser final : public LzParser {
public:
    explicit OptimalParser(const LzParserSettings& settings)
        : m_settings(settings), m_finder(settings), m_costs(settings), m_cost(NodeCount(settings)),
          m_steps(NodeCount(settings)), m_histories(NodeCount(settings)),
          m_path(NodeCount(settings)) {}

    static std::size_t Memory(const LzParserSettings& settings) {
        return RowFinder::Memory(settings) + CostModel::Memory(settings) +
               NodeCount(settings) * (4 + sizeof(Step) + sizeof(DistanceHistory) + 4);
    }

    void Reset(const std::uint8_t* data, std::size_t size) override {
        m_data = data;
        m_size = size;
        m_finderReady = false;
        m_costsKnown = false;
    }

    void SetCosts(const std::uint8_t* main, const std::uint8_t* distance,
                  const std::uint8_t* lowDistance, const std::uint8_t* length) override {
        m_costs.Set(main, distance, lowDistance, length);
        m_costsKnown = true;
    }

    std::size_t Parse(std::size_t begin, std::size_t end, std::size_t limit,
                      DistanceHistory& history, LzCopy* copies, std::size_t& count) override;

private:
    // Positions a segment may reach: its span and the longest copy from its last position.
    static std::size_t NodeCount(const LzParserSettings& settings) {
        return kSpan + settings.rules.Longest() + 1;
    }

    // The last step of the cheapest known path to a position of the segment.
    struct Step {
        std::uint32_t from;     // position the step starts at
        std::uint32_t length;   // 1 for a literal
        std::uint32_t distance; // of a copy
    };

    std::size_t Segment(std::size_t start, std::size_t end, CopyEmitter& emit,
                        const DistanceHistory& history, std::size_t& anchor);

    // Positions up to `to` become reachable, at no known cost yet.
    void Reach(std::size_t to) {
        while (m_reach < to) {
            m_cost[++m_reach] = kInfinite;
        }
    }
    void Offer(std::size_t to, std::uint32_t cost, std::size_t from, std::uint32_t length,
               std::uint32_t distance) {
        Reach(to);
        if (cost < m_cost[to]) {
            m_cost[to] = cost;
            m_steps[to] = {static_cast<std::uint32_t>(from), length, distance};
        }
    }
    // Offers copies from `from` at `distance` of every length in [first, last], length n
    // costing base + table[n].
    void OfferLengths(std::size_t from, std::uint32_t first, std::uint32_t last, std::uint32_t base,
                      const std::uint32_t* table, std::uint32_t distance) {
        Reach(from + last);
        std::uint32_t* const cost = m_cost.data() + from;
        Step* const step = m_steps.data() + from;
        for (std::uint32_t n = first; n <= last; ++n) {
            const std::uint32_t c = base + table[n];
            if (c < cost[n]) {
                cost[n] = c;
                step[n] = {static_cast<std::uint32_t>(from), n, distance};
            }
        }
    }
    // Indexes the positions from `from` to `to` (segment offsets) without searching; inside a
    // long stretch only its ends.
    void IndexOnly(std::size_t start, std::size_t from, std::size_t to, std::size_t end);

    const LzParserSettings m_settings;
    RowFinder m_finder;
    CostModel m_costs;
    bool m_costsKnown = false;
    std::vector<std::uint32_t> m_cost; // of the cheapest known path to each position
    std::vector<Step> m_steps;
    std::vector<DistanceHistory> m_histories; // the decoder's history at each position searched
    std::vector<std::uint32_t> m_path;
    std::size_t m_reach = 0;
    std::array<Match, kMaxMatches> m_matches{};
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    bool m_finderReady = false;
};

std::size_t OptimalParser::Parse(std::size_t begin, std::size_t end, std::size_t limit,
                                 DistanceHistory& history, LzCopy* copies, std::size_t& count) {
    (void)limit; // copies end with the block, so `end` is where the parse stops
    if (!m_finderReady) {
        // Cleared here rather than in Reset: a chunk whose blocks are all screened out as
        // incompressible never needs it.
        m_finder.Reset(m_data, m_size);
        m_finderReady = true;
    }
    if (!m_costsKnown) {
        std::array<std::uint32_t, 256> bytes{};
        for (std::size_t i = begin; i < end; ++i) {
            ++bytes[m_data[i]];
        }
        m_costs.Guess(bytes.data(), end - begin);
    }
    CopyEmitter emit(m_settings.rules, history, copies, count);
    std::size_t anchor = begin;
    std::size_t pos = begin;
    if (pos == 0) {
        IndexOnly(0, 0, 1, end); // the first byte is a literal
        pos = 1;
    }
    while (pos < end) {
        pos = Segment(pos, end, emit, history, anchor);
    }
    emit.AddLiterals(static_cast<std::uint32_t>(end - anchor));
    return end;
}

void OptimalParser::IndexOnly(std::size_t start, std::size_t from, std::size_t to,
                              std::size_t end) {
    const auto index = [&](std::size_t i) {
        const std::size_t pos = start + i;
        m_finder.Insert(pos, static_cast<std::uint32_t>(std::min<std::size_t>(4, end - pos)),
                        nullptr);
    };
    if (to - from > 2 * kIndexedEnds) {
        for (std::size_t i = from; i < from + kIndexedEnds; ++i) {
            index(i);
        }
        from = to - kIndexedEnds;
    }
    for (std::size_t i = from; i < to; ++i) {
        index(i);
    }
}

std::size_t OptimalParser::Segment(std::size_t start, std::size_t end, CopyEmitter& emit,
                                   const DistanceHistory& history, std::size_t& anchor) {
    const std::uint8_t* const data = m_data;
    const LzRules& rules = m_settings.rules;
    const std::uint32_t longest = rules.Longest();
    const std::size_t span = std::min(kSpan, end - start);
    m_cost[0] = 0;
    m_histories[0] = history;
    m_reach = 0;
    std::size_t finish = span; // the position the chosen path ends at
    std::size_t searched = 0;  // positions before this one have been indexed

    for (std::size_t cur = 0; cur < span; ++cur) {
        DistanceHistory& h = m_histories[cur];
        if (cur > 0) {
            if (cur == m_reach) {
                finish = cur; // nothing reaches past here: every path goes through it
                break;
            }
            const Step& step = m_steps[cur];
            h = m_histories[step.from];
            if (step.length > 1) {
                const int repeat = h.Find(step.distance);
                h.Apply(repeat >= 0 ? static_cast<CopyKind>(repeat) : CopyKind::NewDistance,
                        step.distance, step.length);
            }
        }
        const std::uint32_t cost = m_cost[cur];
        const std::size_t pos = start + cur;
        const std::uint8_t* const here = data + pos;
        const std::uint32_t most =
            static_cast<std::uint32_t>(std::min<std::size_t>(longest, end - pos));

        Offer(cur + 1, cost + m_costs.Literal(*here), cur, 1, 0);

        // Copies with a distance of the history.
        std::uint32_t repeatLength = 0;
        std::uint32_t repeatDistance = 0;
        for (unsigned k = 0; k < h.known && most >= 2; ++k) {
            const std::uint32_t distance = h.distances[k];
            if (Load16(here - distance) != Load16(here)) {
                continue;
            }
            const std::uint32_t length =
                std::min(rules.maxRepeat, 2 + static_cast<std::uint32_t>(CountEqual(
                                                  here + 2 - distance, here + 2, here + most)));
            if (length > repeatLength) {
                repeatLength = length;
                repeatDistance = distance;
            }
            const std::uint32_t base = cost + m_costs.RepeatSymbol(k);
            const std::uint32_t top = std::min(length, kAllLengths);
            OfferLengths(cur, 2, top, base, m_costs.RepeatLengths(), distance);
            if (length > top) {
                OfferLengths(cur, length, length, base, m_costs.RepeatLengths(), distance);
            }
            if (k == 0 && h.lastLength >= 2 && h.lastLength <= length) {
                Offer(cur + h.lastLength, cost + m_costs.RepeatLast(), cur, h.lastLength, distance);
            }
        }

        // Copies with new distances. The finder must see every position in order. It compares
        // strings up to the length that ends the search; the longest copy is followed on.
        const std::uint32_t searchMost = std::min(most, m_settings.niceLength);
        const std::size_t found = m_finder.Insert(pos, searchMost, m_matches.data());
        searched = cur + 1;
        if (found != 0 && m_matches[found - 1].length == searchMost && searchMost < most) {
            Match& match = m_matches[found - 1];
            match.length += static_cast<std::uint32_t>(
                CountEqual(here + searchMost - match.distance, here + searchMost, here + most));
        }
        std::uint32_t covered = 1; // lengths offered by nearer copies
        for (std::size_t i = 0; i < found; ++i) {
            const Match& match = m_matches[i];
            if (h.Find(match.distance) >= 0) {
                covered = std::max(covered, match.length);
                continue; // a repeat, offered above
            }
            const std::uint32_t length = std::min(match.length, rules.MaxLength(match.distance));
            std::uint32_t first = std::max(covered + 1, rules.MinLength(match.distance));
            covered = std::max(covered, length);
            if (first > length) {
                continue;
            }
            if (first == 2 && m_costs.HasShortCopies()) {
                Offer(cur + 2, cost + m_costs.ShortCopy(match.distance), cur, 2, match.distance);
                first = 3;
            }
            const std::uint32_t base = cost + m_costs.Distance(match.distance);
            const std::uint32_t* const table = m_costs.NewLengths(match.distance);
            const std::uint32_t top = std::min(length, kAllLengths);
            if (first <= top) {
                OfferLengths(cur, first, top, base, table, match.distance);
            }
            if (length > top) {
                OfferLengths(cur, length, length, base, table, match.distance);
            }
        }

        // A long copy is taken as it is: the path up to here is settled and the copy ends the
        // segment.
        const std::uint32_t newLength = found != 0 ? m_matches[found - 1].length : 0;
        if (std::max(repeatLength, newLength) >= m_settings.niceLength) {
            std::uint32_t length = repeatLength;
            std::uint32_t distance = repeatDistance;
            if (newLength > repeatLength + 2) {
                distance = m_matches[found - 1].distance;
                length = std::min(newLength, rules.MaxLength(distance));
            }
            finish = cur + length;
            Reach(finish);
            m_steps[finish] = {static_cast<std::uint32_t>(cur), length, distance};
            break;
        }
    }
    if (finish > searched) {
        IndexOnly(start, searched, finish, end);
    }

    // The path back to front, then its copies front to back; the emitter brings the history
    // up to date as the decoder will have it.
    std::size_t steps = 0;
    for (std::size_t at = finish; at > 0; at = m_steps[at].from) {
        m_path[steps++] = static_cast<std::uint32_t>(at);
    }
    while (steps > 0) {
        const Step& step = m_steps[m_path[--steps]];
        if (step.length > 1) {
            const std::size_t copyStart = start + step.from;
            anchor = copyStart + emit.Add(static_cast<std::uint32_t>(copyStart - anchor),
                                          step.length, step.distance);
        }
    }
    return start + finish;
}

} // namespace

std::unique_ptr<LzParser> CreateOptimalParser(const LzParserSettings& settings) {
    return std::make_unique<OptimalParser>(settings);
}

std::size_t OptimalParserMemory(const LzParserSettings& settings) {
    return OptimalParser::Memory(settings);
}

} // namespace bi::codec
