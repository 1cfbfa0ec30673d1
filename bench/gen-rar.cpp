// Makes input for bench/restore.sh and nothing else: a non-solid RAR archive of a folder with
// every file compressed, in the RAR 2.9 or the RAR 5.0 format, because bi.exe cannot compress
// yet and the restore benchmark needs large compressed archives. It is not part of bi, is
// built natively by the benchmark and aims at being plainly correct, not at good ratios: a
// greedy LZ parse over small hash buckets and one set of Huffman tables per block of input.
//
//     gen-rar {4|5} ARCHIVE DIR
//
// Stored names start with DIR's last component, as `bi.exe a -ep1` makes them. Empty files
// and files that would not shrink are stored; symbolic links and special files are left out.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <queue>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

// Both formats get a 4 MiB dictionary. Distances stay 4100 below it, the margin RAR itself
// keeps between its largest distance and the dictionary it declares.
constexpr std::uint32_t kWindowSize = 4u << 20;
constexpr std::uint32_t kMaxDistance = kWindowSize - 4100;
constexpr std::uint32_t kDictionaryExponent5 = 5; // 128 KiB << 5 = 4 MiB
constexpr std::uint16_t kWindowBits4 = 0x00C0;    // 64 KiB << 6 = 4 MiB

// New tables for every this many bytes of input keep the codes adapted to the data.
constexpr std::size_t kBlockInput = 256 * 1024;

// Match finder: 4-byte hashes, each keeping its last four positions in one bucket, greedy
// choice. Buckets rather than hash chains: the four candidates are independent loads, where
// following a chain through a 4 MiB window waits on one cache miss after another.
constexpr int kHashBits = 16;
constexpr int kWays = 4;
constexpr std::uint32_t kMinMatch = 4;
constexpr std::uint32_t kInsertEnds = 16;

// The sizes in both containers are written as 32-bit fields here.
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFu;

constexpr int kMaxCodeLength = 15;

// ---------------------------------------------------------------------------------------------
// CRC-32 (zlib's polynomial), for header and file checks of both formats.

class Crc32 {
public:
    Crc32() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            m_table[i] = c;
        }
    }

    std::uint32_t operator()(const std::uint8_t* data, std::size_t size) const {
        std::uint32_t c = 0xFFFFFFFFu;
        for (std::size_t i = 0; i < size; ++i) {
            c = m_table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
        }
        return c ^ 0xFFFFFFFFu;
    }

private:
    std::array<std::uint32_t, 256> m_table{};
};

const Crc32 kCrc32;

std::uint32_t Crc(const Bytes& bytes) {
    return kCrc32(bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------------------------
// Little-endian and vint fields of the headers.

void PutLe(Bytes& out, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void PutVint(Bytes& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

// ---------------------------------------------------------------------------------------------
// Compressed data is a bit stream, most significant bit of each byte first.

class BitWriter {
public:
    void Put(std::uint32_t value, int count) {
        if (count == 0) {
            return;
        }
        m_pending = (m_pending << count) | (value & ((1ull << count) - 1));
        m_pendingBits += count;
        while (m_pendingBits >= 8) {
            m_pendingBits -= 8;
            m_bytes.push_back(static_cast<std::uint8_t>(m_pending >> m_pendingBits));
        }
        m_pending &= (1ull << m_pendingBits) - 1;
    }

    void AlignToByte() {
        if (m_pendingBits > 0) {
            Put(0, 8 - m_pendingBits);
        }
    }

    std::uint64_t BitCount() const { return m_bytes.size() * 8ull + m_pendingBits; }

    // The bytes written so far, the last one padded with zero bits.
    Bytes Finish() {
        AlignToByte();
        return std::move(m_bytes);
    }

private:
    Bytes m_bytes;
    std::uint64_t m_pending = 0;
    int m_pendingBits = 0;
};

// ---------------------------------------------------------------------------------------------
// Huffman codes: lengths from symbol counts (at most 15 bits), canonical codes from lengths.

// One length per symbol. Every code is complete: when fewer than two symbols are used, unused
// symbols are added, since a one-symbol code cannot be complete. `allowEmpty` keeps a table
// with no used symbol all zero (RAR 5.0 accepts that; RAR 2.9 readers differ, so there every
// table gets two lengths).
std::vector<std::uint8_t> BuildLengths(std::vector<std::uint64_t> counts, bool allowEmpty) {
    std::vector<std::uint8_t> lengths(counts.size(), 0);
    std::vector<std::size_t> used;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] != 0) {
            used.push_back(i);
        }
    }
    if (used.empty() && allowEmpty) {
        return lengths;
    }
    for (std::size_t i = 0; used.size() < 2 && i < counts.size(); ++i) {
        if (counts[i] == 0) {
            counts[i] = 1;
            used.push_back(i);
        }
    }
    std::sort(used.begin(), used.end());

    // Plain Huffman; when the tree is too deep, halve the counts (a used symbol keeps at least
    // 1) and build again. The counts become more even each time, so this ends.
    const std::size_t leaves = used.size();
    for (;;) {
        using Node = std::pair<std::uint64_t, std::size_t>; // count, node index
        std::priority_queue<Node, std::vector<Node>, std::greater<Node>> queue;
        std::vector<std::size_t> parent(2 * leaves - 1, 0);
        for (std::size_t i = 0; i < leaves; ++i) {
            queue.emplace(counts[used[i]], i);
        }
        std::size_t next = leaves;
        while (queue.size() > 1) {
            const Node a = queue.top();
            queue.pop();
            const Node b = queue.top();
            queue.pop();
            parent[a.second] = next;
            parent[b.second] = next;
            queue.emplace(a.first + b.first, next);
            ++next;
        }
        // Parents are made after their children, so walking down from the root sees every
        // parent's depth before its children's.
        std::vector<int> depth(2 * leaves - 1, 0);
        for (std::size_t node = 2 * leaves - 2; node-- > 0;) {
            depth[node] = depth[parent[node]] + 1;
        }
        int deepest = 0;
        for (std::size_t i = 0; i < leaves; ++i) {
            deepest = std::max(deepest, depth[i]);
        }
        if (deepest <= kMaxCodeLength) {
            for (std::size_t i = 0; i < leaves; ++i) {
                lengths[used[i]] = static_cast<std::uint8_t>(depth[i]);
            }
            return lengths;
        }
        for (std::size_t symbol : used) {
            counts[symbol] = (counts[symbol] + 1) / 2;
        }
    }
}

struct HuffmanCode {
    std::vector<std::uint8_t> lengths;
    std::vector<std::uint16_t> codes;

    void Write(BitWriter& out, std::size_t symbol) const {
        out.Put(codes[symbol], lengths[symbol]);
    }
};

// Canonical codes: shorter codes first, and by symbol number within one length.
HuffmanCode MakeCode(std::vector<std::uint8_t> lengths) {
    std::array<std::uint32_t, kMaxCodeLength + 2> count{};
    for (std::uint8_t length : lengths) {
        ++count[length];
    }
    count[0] = 0;
    std::array<std::uint32_t, kMaxCodeLength + 2> next{};
    for (int length = 1; length <= kMaxCodeLength; ++length) {
        next[length + 1] = (next[length] + count[length]) << 1;
    }
    HuffmanCode code{std::move(lengths), {}};
    code.codes.resize(code.lengths.size(), 0);
    for (std::size_t symbol = 0; symbol < code.lengths.size(); ++symbol) {
        if (code.lengths[symbol] != 0) {
            code.codes[symbol] = static_cast<std::uint16_t>(next[code.lengths[symbol]]++);
        }
    }
    return code;
}

HuffmanCode CodeFromCounts(const std::vector<std::uint64_t>& counts, bool allowEmpty) {
    return MakeCode(BuildLengths(counts, allowEmpty));
}

// ---------------------------------------------------------------------------------------------
// The table section, the same in both formats apart from the number of lengths: 20 lengths of
// a "bit-length" code in 4-bit groups, then every code length of the block coded with it.
// Bit-length symbols 0-15 are a length, 16/17 repeat the previous length 3-10 / 11-138 times,
// 18/19 give 3-10 / 11-138 zeros. (RAR 2.9 adds symbols 0-15 to the old lengths; a table
// that does not keep the old lengths starts from zeros, so the value is the length.)

struct LengthItem {
    std::uint8_t symbol;
    std::uint8_t extraBits;
    std::uint8_t extra;
};

std::vector<LengthItem> RunLengthItems(const std::vector<std::uint8_t>& lengths) {
    std::vector<LengthItem> items;
    std::size_t i = 0;
    while (i < lengths.size()) {
        const std::uint8_t length = lengths[i];
        std::size_t run = 1;
        while (i + run < lengths.size() && lengths[i + run] == length) {
            ++run;
        }
        i += run;
        if (length != 0) {
            // The first one is written as a length, so a repeat never comes first.
            items.push_back({length, 0, 0});
            --run;
        }
        const std::uint8_t shortRun = length == 0 ? 18 : 16;
        while (run > 0) {
            if (run >= 11) {
                const std::size_t n = std::min<std::size_t>(run, 138);
                items.push_back({static_cast<std::uint8_t>(shortRun + 1), 7,
                                 static_cast<std::uint8_t>(n - 11)});
                run -= n;
            } else if (run >= 3) {
                items.push_back({shortRun, 3, static_cast<std::uint8_t>(run - 3)});
                run = 0;
            } else {
                items.push_back({length, 0, 0});
                --run;
            }
        }
    }
    return items;
}

void WriteTableSection(BitWriter& out, const std::vector<std::uint8_t>& lengths) {
    const std::vector<LengthItem> items = RunLengthItems(lengths);
    std::vector<std::uint64_t> counts(20, 0);
    for (const LengthItem& item : items) {
        ++counts[item.symbol];
    }
    const HuffmanCode bitLengthCode = CodeFromCounts(counts, false);

    // 15 is an escape: 15,0 is the length 15, 15,n gives n + 2 zero lengths.
    const std::vector<std::uint8_t>& own = bitLengthCode.lengths;
    for (std::size_t i = 0; i < own.size();) {
        std::size_t zeros = 0;
        while (i + zeros < own.size() && own[i + zeros] == 0 && zeros < 17) {
            ++zeros;
        }
        if (zeros >= 3) {
            out.Put(15, 4);
            out.Put(static_cast<std::uint32_t>(zeros - 2), 4);
            i += zeros;
            continue;
        }
        out.Put(own[i], 4);
        if (own[i] == 15) {
            out.Put(0, 4);
        }
        ++i;
    }

    for (const LengthItem& item : items) {
        bitLengthCode.Write(out, item.symbol);
        out.Put(item.extra, item.extraBits);
    }
}

std::vector<std::uint8_t> Concatenate(std::initializer_list<const HuffmanCode*> codes) {
    std::vector<std::uint8_t> all;
    for (const HuffmanCode* code : codes) {
        all.insert(all.end(), code->lengths.begin(), code->lengths.end());
    }
    return all;
}

// ---------------------------------------------------------------------------------------------
// LZ parse shared by both formats. A token is a literal, a copy with a new distance, or a copy
// that reuses the distance of the previous copy.

enum class TokenKind : std::uint8_t { Literal, Match, RepeatDistance };

struct Token {
    TokenKind kind;
    std::uint8_t literal;
    std::uint32_t length;   // bytes copied, any length bonus included
    std::uint32_t distance; // Match only
};

// What the format allows for a copy. A copy with a new distance is coded as its length minus a
// bonus that depends on the distance; the coded length has a range of its own.
struct LzRules {
    std::uint32_t (*bonus)(std::uint32_t distance);
    std::uint32_t minCoded;
    std::uint32_t maxCoded;
    std::uint32_t minRepeat; // copies with the previous distance carry no bonus
    std::uint32_t maxRepeat;
    // bsdtar 3.6.2 garbles the first bytes of each window-sized stretch of a RAR 2.9 file when
    // a copy runs across the point where its window wraps (file offsets that are multiples of
    // the window size); unar and the format itself have no such limit.
    bool stopAtWindowWrap;
};

std::uint32_t Load32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

class GreedyParser {
public:
    GreedyParser(const LzRules& rules, const Bytes& data)
        : m_rules(rules), m_data(data), m_buckets(kWays << kHashBits, 0) {}

    bool Done() const { return m_pos >= m_data.size(); }

    // Appends tokens covering at least `budget` more bytes of input, or the rest of it.
    void Parse(std::size_t budget, std::vector<Token>& tokens) {
        const std::size_t size = m_data.size();
        const std::size_t stop = std::min(size, m_pos + budget);
        while (m_pos < stop) {
            if (m_pos + kMinMatch > size) {
                tokens.push_back({TokenKind::Literal, m_data[m_pos], 1, 0});
                ++m_pos;
                continue;
            }
            // Copies stop before the last byte, so the last token of a file is always that
            // byte as a literal.
            m_room = m_data.size() - 1 - m_pos;
            if (m_rules.stopAtWindowWrap) {
                m_room = std::min<std::size_t>(m_room, kWindowSize - m_pos % kWindowSize);
            }
            const std::uint32_t hash = Hash(m_pos);
            std::uint32_t bestLength = 0;
            std::uint32_t bestDistance = 0;
            FindMatch(hash, bestLength, bestDistance);

            std::uint32_t repeatLength = 0;
            if (m_lastDistance != 0 && m_lastDistance <= m_pos) {
                repeatLength = MatchLength(m_pos - m_lastDistance, m_rules.maxRepeat);
            }
            Insert(m_pos, hash);

            std::uint32_t advance = 1;
            // A copy with the previous distance costs no distance bits, so it wins ties and
            // near ties.
            if (repeatLength >= 3 && repeatLength >= m_rules.minRepeat &&
                repeatLength + 1 >= bestLength) {
                tokens.push_back({TokenKind::RepeatDistance, 0, repeatLength, m_lastDistance});
                advance = repeatLength;
            } else if (bestLength != 0) {
                tokens.push_back({TokenKind::Match, 0, bestLength, bestDistance});
                m_lastDistance = bestDistance;
                advance = bestLength;
            } else {
                tokens.push_back({TokenKind::Literal, m_data[m_pos], 1, 0});
            }
            // Inside a long copy only its ends are worth finding again; hashing every byte of
            // a long run of zeros would cost more than the search.
            for (std::uint32_t i = 1; i < advance; ++i) {
                if (advance > 2 * kInsertEnds && i == kInsertEnds) {
                    i = advance - kInsertEnds;
                }
                const std::size_t p = m_pos + i;
                if (p + kMinMatch <= size) {
                    Insert(p, Hash(p));
                }
            }
            m_pos += advance;
        }
    }

private:
    std::uint32_t Hash(std::size_t pos) const {
        return (Load32(&m_data[pos]) * 2654435761u) >> (32 - kHashBits);
    }

    void Insert(std::size_t pos, std::uint32_t hash) {
        std::uint32_t* bucket = &m_buckets[static_cast<std::size_t>(hash) * kWays];
        for (int way = kWays - 1; way > 0; --way) {
            bucket[way] = bucket[way - 1];
        }
        bucket[0] = static_cast<std::uint32_t>(pos + 1);
    }

    // Number of equal bytes at `from` and at the current position, at most `limit` and the
    // room a copy has here.
    std::uint32_t MatchLength(std::size_t from, std::uint32_t limit) const {
        const std::uint32_t most = static_cast<std::uint32_t>(std::min<std::size_t>(limit, m_room));
        const std::uint8_t* a = &m_data[from];
        const std::uint8_t* b = &m_data[m_pos];
        std::uint32_t n = 0;
        while (n + 8 <= most) {
            std::uint64_t x;
            std::uint64_t y;
            std::memcpy(&x, a + n, 8);
            std::memcpy(&y, b + n, 8);
            if (x != y) {
                return n + static_cast<std::uint32_t>(__builtin_ctzll(x ^ y) / 8);
            }
            n += 8;
        }
        while (n < most && a[n] == b[n]) {
            ++n;
        }
        return n;
    }

    void FindMatch(std::uint32_t hash, std::uint32_t& bestLength,
                   std::uint32_t& bestDistance) const {
        const std::uint32_t* bucket = &m_buckets[static_cast<std::size_t>(hash) * kWays];
        for (int way = 0; way < kWays && bucket[way] != 0; ++way) {
            const std::size_t from = bucket[way] - 1;
            const std::size_t distance = m_pos - from;
            if (distance > kMaxDistance) {
                break;
            }
            const std::uint32_t d = static_cast<std::uint32_t>(distance);
            const std::uint32_t bonus = m_rules.bonus(d);
            const std::uint32_t length = MatchLength(from, m_rules.maxCoded + bonus);
            if (length >= kMinMatch && length >= m_rules.minCoded + bonus && length > bestLength) {
                bestLength = length;
                bestDistance = d;
                if (length == m_rules.maxCoded + bonus) {
                    break;
                }
            }
        }
    }

    const LzRules& m_rules;
    const Bytes& m_data;
    std::size_t m_pos = 0;
    std::size_t m_room = 0;               // bytes a copy may cover from m_pos
    std::uint32_t m_lastDistance = 0;     // 0: no copy yet in this file
    std::vector<std::uint32_t> m_buckets; // per hash: last positions + 1, newest first; 0 = none
};

// ---------------------------------------------------------------------------------------------
// RAR 2.9 (unpack version 29) LZ coding.
//
// Main code, 299 symbols: 0-255 literals, 256 end of block, 259 copy with the previous
// distance (length from the length code, base 2), 271-298 copy with a new distance (length
// slot, base 3); then a distance slot (60) whose low four extra bits of far slots come from
// the low-distance code (17). Each block ends with 256 and a bit: 1 = new tables follow at the
// next byte, 0 = end of data (then a 0 bit: nothing more for a following solid file).

namespace rar29 {

constexpr std::size_t kMainSymbols = 299;
constexpr std::size_t kDistanceSymbols = 60;
constexpr std::size_t kLowDistanceSymbols = 17;
constexpr std::size_t kLengthSymbols = 28;
constexpr std::uint32_t kEndOfBlock = 256;
constexpr std::uint32_t kRepeatFirst = 259;
constexpr std::uint32_t kMatchFirst = 271;
constexpr std::uint32_t kFirstLowDistanceSlot = 10;

constexpr std::array<std::uint8_t, 28> kLengthBase = {0,  1,  2,  3,   4,   5,   6,   7,  8,  10,
                                                      12, 14, 16, 20,  24,  28,  32,  40, 48, 56,
                                                      64, 80, 96, 112, 128, 160, 192, 224};
constexpr std::array<std::uint8_t, 28> kLengthBits = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                                      2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};

std::uint32_t Bonus(std::uint32_t distance) {
    return (distance >= 0x2000 ? 1 : 0) + (distance >= 0x40000 ? 1 : 0);
}

constexpr LzRules kRules = {Bonus, 3, 258, 2, 257, true};

struct DistanceSlots {
    std::array<std::uint32_t, kDistanceSymbols> base{};
    std::array<std::uint8_t, kDistanceSymbols> bits{};

    DistanceSlots() {
        for (std::size_t s = 0; s < kDistanceSymbols; ++s) {
            bits[s] = s < 4    ? 0
                      : s < 36 ? static_cast<std::uint8_t>((s - 2) / 2)
                      : s < 48 ? 16
                               : 18;
            if (s > 0) {
                base[s] = base[s - 1] + (1u << bits[s - 1]);
            }
        }
    }

    std::size_t SlotOf(std::uint32_t distance) const {
        return static_cast<std::size_t>(std::upper_bound(base.begin(), base.end(), distance - 1) -
                                        base.begin()) -
               1;
    }
};

const DistanceSlots kDistances;

// Slot of a length counted from the slot table's base (the value minus 3, or minus 2).
std::size_t LengthSlot(std::uint32_t value) {
    std::size_t slot = 0;
    while (slot + 1 < kLengthBase.size() && kLengthBase[slot + 1] <= value) {
        ++slot;
    }
    return slot;
}

struct Codes {
    HuffmanCode main;
    HuffmanCode distance;
    HuffmanCode lowDistance;
    HuffmanCode length;
};

Codes BuildCodes(const std::vector<Token>& tokens) {
    std::vector<std::uint64_t> main(kMainSymbols, 0);
    std::vector<std::uint64_t> distance(kDistanceSymbols, 0);
    std::vector<std::uint64_t> lowDistance(kLowDistanceSymbols, 0);
    std::vector<std::uint64_t> length(kLengthSymbols, 0);
    for (const Token& t : tokens) {
        switch (t.kind) {
        case TokenKind::Literal:
            ++main[t.literal];
            break;
        case TokenKind::RepeatDistance:
            ++main[kRepeatFirst];
            ++length[LengthSlot(t.length - 2)];
            break;
        case TokenKind::Match: {
            ++main[kMatchFirst + LengthSlot(t.length - Bonus(t.distance) - 3)];
            const std::size_t slot = kDistances.SlotOf(t.distance);
            ++distance[slot];
            if (slot >= kFirstLowDistanceSlot) {
                ++lowDistance[(t.distance - 1 - kDistances.base[slot]) & 15];
            }
            break;
        }
        }
    }
    ++main[kEndOfBlock];
    return {CodeFromCounts(main, false), CodeFromCounts(distance, false),
            CodeFromCounts(lowDistance, false), CodeFromCounts(length, false)};
}

void WriteLength(BitWriter& out, std::uint32_t value) {
    const std::size_t slot = LengthSlot(value);
    out.Put(value - kLengthBase[slot], kLengthBits[slot]);
}

void WriteTokens(BitWriter& out, const Codes& codes, const std::vector<Token>& tokens) {
    for (const Token& t : tokens) {
        switch (t.kind) {
        case TokenKind::Literal:
            codes.main.Write(out, t.literal);
            break;
        case TokenKind::RepeatDistance: {
            codes.main.Write(out, kRepeatFirst);
            const std::uint32_t value = t.length - 2;
            codes.length.Write(out, LengthSlot(value));
            WriteLength(out, value);
            break;
        }
        case TokenKind::Match: {
            const std::uint32_t value = t.length - Bonus(t.distance) - 3;
            codes.main.Write(out, kMatchFirst + LengthSlot(value));
            WriteLength(out, value);
            const std::size_t slot = kDistances.SlotOf(t.distance);
            const std::uint32_t extra = t.distance - 1 - kDistances.base[slot];
            codes.distance.Write(out, slot);
            if (slot < kFirstLowDistanceSlot) {
                out.Put(extra, kDistances.bits[slot]);
            } else {
                out.Put(extra >> 4, kDistances.bits[slot] - 4);
                codes.lowDistance.Write(out, extra & 15);
            }
            break;
        }
        }
    }
}

Bytes Compress(const Bytes& data) {
    GreedyParser parser(kRules, data);
    BitWriter out;
    std::vector<Token> tokens;
    do {
        tokens.clear();
        parser.Parse(kBlockInput, tokens);
        const Codes codes = BuildCodes(tokens);
        // Each table starts on a byte: the reader aligns before it. LZ block (0), lengths not
        // kept from the previous table (0).
        out.AlignToByte();
        out.Put(0, 1);
        out.Put(0, 1);
        WriteTableSection(
            out, Concatenate({&codes.main, &codes.distance, &codes.lowDistance, &codes.length}));
        WriteTokens(out, codes, tokens);
        codes.main.Write(out, kEndOfBlock);
        if (parser.Done()) {
            out.Put(0, 1); // end of the file's data
            out.Put(0, 1); // no table carried to a next solid file
        } else {
            out.Put(1, 1); // new tables follow
        }
    } while (!parser.Done());
    Bytes packed = out.Finish();
    // Readers that look a few bits ahead for every symbol must not run off the data.
    packed.push_back(0);
    packed.push_back(0);
    return packed;
}

} // namespace rar29

// ---------------------------------------------------------------------------------------------
// RAR 5.0 LZ coding.
//
// The data is a row of blocks, each with a 3-5 byte header (flags, check byte, size) and
// here always its own tables. Main code, 306 symbols: 0-255 literals, 258 copy with the
// previous distance (length slot from the length code, 44), 262-305 copy with a new distance
// (length slot = symbol - 262); then a distance slot (64) whose low four extra bits of far
// slots come from the low-distance code (16).

namespace rar50 {

constexpr std::size_t kMainSymbols = 306;
constexpr std::size_t kDistanceSymbols = 64;
constexpr std::size_t kLowDistanceSymbols = 16;
constexpr std::size_t kLengthSymbols = 44;
constexpr std::uint32_t kRepeatFirst = 258;
constexpr std::uint32_t kMatchFirst = 262;

constexpr std::uint8_t kBlockTables = 0x80;
constexpr std::uint8_t kBlockLast = 0x40;

std::uint32_t Bonus(std::uint32_t distance) {
    return (distance > 0x100 ? 1 : 0) + (distance > 0x2000 ? 1 : 0) + (distance > 0x40000 ? 1 : 0);
}

constexpr LzRules kRules = {Bonus, 2, 4097, 2, 4097, false};

int HighestBit(std::uint32_t value) {
    return 31 - __builtin_clz(value);
}

// Length slots: 2-9 are slots 0-7; above that each slot covers 2^b lengths.
struct LengthCode {
    std::uint32_t slot;
    std::uint32_t extra;
    int extraBits;
};

LengthCode CodeLength(std::uint32_t length) {
    const std::uint32_t v = length - 2;
    if (v < 8) {
        return {v, 0, 0};
    }
    const int b = HighestBit(v) - 2;
    return {4 * static_cast<std::uint32_t>(b + 1) + ((v >> b) & 3), v & ((1u << b) - 1), b};
}

// Distance slots: 1-4 are slots 0-3; above that each slot covers 2^b distances, and from
// b = 4 on the low four extra bits go through the low-distance code.
struct DistanceCode {
    std::uint32_t slot;
    std::uint32_t extra;
    int extraBits;
};

DistanceCode CodeDistance(std::uint32_t distance) {
    const std::uint32_t v = distance - 1;
    if (v < 4) {
        return {v, 0, 0};
    }
    const int h = HighestBit(v);
    const std::uint32_t slot = 2 * static_cast<std::uint32_t>(h) + ((v >> (h - 1)) & 1);
    const int b = h - 1;
    return {slot, v & ((1u << b) - 1), b};
}

struct Codes {
    HuffmanCode main;
    HuffmanCode distance;
    HuffmanCode lowDistance;
    HuffmanCode length;
};

Codes BuildCodes(const std::vector<Token>& tokens) {
    std::vector<std::uint64_t> main(kMainSymbols, 0);
    std::vector<std::uint64_t> distance(kDistanceSymbols, 0);
    std::vector<std::uint64_t> lowDistance(kLowDistanceSymbols, 0);
    std::vector<std::uint64_t> length(kLengthSymbols, 0);
    for (const Token& t : tokens) {
        switch (t.kind) {
        case TokenKind::Literal:
            ++main[t.literal];
            break;
        case TokenKind::RepeatDistance:
            ++main[kRepeatFirst];
            ++length[CodeLength(t.length).slot];
            break;
        case TokenKind::Match: {
            ++main[kMatchFirst + CodeLength(t.length - Bonus(t.distance)).slot];
            const DistanceCode d = CodeDistance(t.distance);
            ++distance[d.slot];
            if (d.extraBits >= 4) {
                ++lowDistance[d.extra & 15];
            }
            break;
        }
        }
    }
    // Unused tables stay empty; the main table always has symbols (a block is never empty).
    return {CodeFromCounts(main, false), CodeFromCounts(distance, true),
            CodeFromCounts(lowDistance, true), CodeFromCounts(length, true)};
}

void WriteTokens(BitWriter& out, const Codes& codes, const std::vector<Token>& tokens) {
    for (const Token& t : tokens) {
        switch (t.kind) {
        case TokenKind::Literal:
            codes.main.Write(out, t.literal);
            break;
        case TokenKind::RepeatDistance: {
            codes.main.Write(out, kRepeatFirst);
            const LengthCode l = CodeLength(t.length);
            codes.length.Write(out, l.slot);
            out.Put(l.extra, l.extraBits);
            break;
        }
        case TokenKind::Match: {
            const LengthCode l = CodeLength(t.length - Bonus(t.distance));
            codes.main.Write(out, kMatchFirst + l.slot);
            out.Put(l.extra, l.extraBits);
            const DistanceCode d = CodeDistance(t.distance);
            codes.distance.Write(out, d.slot);
            if (d.extraBits < 4) {
                out.Put(d.extra, d.extraBits);
            } else {
                out.Put(d.extra >> 4, d.extraBits - 4);
                codes.lowDistance.Write(out, d.extra & 15);
            }
            break;
        }
        }
    }
}

void AppendBlock(Bytes& packed, const std::vector<Token>& tokens, bool last) {
    const Codes codes = BuildCodes(tokens);
    BitWriter block;
    WriteTableSection(
        block, Concatenate({&codes.main, &codes.distance, &codes.lowDistance, &codes.length}));
    WriteTokens(block, codes, tokens);
    const std::uint64_t bits = block.BitCount();
    const Bytes body = block.Finish();

    // Header: flags (bits used in the last byte - 1, size bytes - 1, last, tables), a check
    // byte, then the size in 1-3 bytes, low byte first.
    const std::size_t size = body.size();
    const int sizeBytes = size < 0x100 ? 1 : size < 0x10000 ? 2 : 3;
    const std::uint8_t usedInLast = static_cast<std::uint8_t>(bits - 8 * (size - 1));
    std::uint8_t flags =
        static_cast<std::uint8_t>(kBlockTables | ((sizeBytes - 1) << 3) | (usedInLast - 1));
    if (last) {
        flags |= kBlockLast;
    }
    const std::uint8_t check = static_cast<std::uint8_t>(0x5A ^ flags ^ (size & 0xFF) ^
                                                         ((size >> 8) & 0xFF) ^ (size >> 16));
    packed.push_back(flags);
    packed.push_back(check);
    PutLe(packed, size, sizeBytes);
    packed.insert(packed.end(), body.begin(), body.end());
}

Bytes Compress(const Bytes& data) {
    GreedyParser parser(kRules, data);
    Bytes packed;
    std::vector<Token> tokens;
    do {
        tokens.clear();
        parser.Parse(kBlockInput, tokens);
        if (!parser.Done()) {
            AppendBlock(packed, tokens, false);
            continue;
        }
        // The file's last byte gets a block of its own. unar 1.10.1 sometimes looks further
        // ahead than the code it is decoding and fails with "Attempted to read more data than
        // was available" when the data area ends there (a few files in a hundred; bsdtar does
        // not mind). It failed only where the last codes were shorter than the longest code of
        // their table; in a block holding one literal, its code and its partner are both one
        // bit long.
        const Token lastByte = tokens.back();
        tokens.pop_back();
        if (!tokens.empty()) {
            AppendBlock(packed, tokens, false);
        }
        AppendBlock(packed, {lastByte}, true);
    } while (!parser.Done());
    return packed;
}

} // namespace rar50

// ---------------------------------------------------------------------------------------------
// Containers.

struct Entry {
    std::string name; // relative, '/' separators, UTF-8
    fs::path path;
    bool directory = false;
    std::time_t mtime = 0;
    long mtimeNanoseconds = 0;
};

struct FileData {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    bool compressed = false;
    const Bytes* payload = nullptr; // the packed data, or the file itself when stored
};

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// RAR 2.9: 7-byte marker, main header, a file header (type 0x74) before each entry's data,
// end block. Header fields are little-endian; HEAD_CRC is the low half of the CRC-32 of the
// header from its type byte on.
class Rar29Archive {
public:
    static Bytes Start() {
        Bytes out = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
        Bytes main;
        main.push_back(0x73);
        PutLe(main, 0, 2);  // flags
        PutLe(main, 13, 2); // header size
        PutLe(main, 0, 6);  // reserved
        AppendBlock(out, main);
        return out;
    }

    static Bytes Header(const Entry& entry, const FileData& file) {
        std::string name = entry.name;
        std::replace(name.begin(), name.end(), '/', '\\');
        std::uint16_t flags = 0x8000; // a data size follows
        if (entry.directory) {
            flags |= 0x00E0;
        } else if (file.compressed) {
            flags |= kWindowBits4;
        }
        if (!IsAscii(name)) {
            flags |= 0x0200; // the name field is UTF-8
        }
        Bytes h;
        h.push_back(0x74);
        PutLe(h, flags, 2);
        PutLe(h, 32 + name.size(), 2);
        PutLe(h, entry.directory ? 0 : file.payload->size(), 4);
        PutLe(h, file.size, 4);
        h.push_back(2); // host: Windows
        PutLe(h, file.crc, 4);
        PutLe(h, DosTime(entry.mtime), 4);
        h.push_back(file.compressed ? 29 : 20);
        h.push_back(file.compressed ? 0x33 : 0x30); // normal, store
        PutLe(h, name.size(), 2);
        PutLe(h, entry.directory ? 0x10 : 0x20, 4);
        h.insert(h.end(), name.begin(), name.end());
        Bytes out;
        AppendBlock(out, h);
        return out;
    }

    static Bytes End() {
        Bytes end = {0x7B};
        PutLe(end, 0x4000, 2); // skip if unknown
        PutLe(end, 7, 2);
        Bytes out;
        AppendBlock(out, end);
        return out;
    }

private:
    static void AppendBlock(Bytes& out, const Bytes& fromType) {
        PutLe(out, Crc(fromType) & 0xFFFF, 2);
        out.insert(out.end(), fromType.begin(), fromType.end());
    }

    // Local time, two-second steps.
    static std::uint32_t DosTime(std::time_t time) {
        std::tm local{};
        localtime_r(&time, &local);
        if (local.tm_year < 80) {
            return (1u << 21) | (1u << 16); // 1980-01-01
        }
        const auto field = [](int value, int shift) {
            return static_cast<std::uint32_t>(value) << shift;
        };
        return field(local.tm_year - 80, 25) | field(local.tm_mon + 1, 21) |
               field(local.tm_mday, 16) | field(local.tm_hour, 11) | field(local.tm_min, 5) |
               field(local.tm_sec / 2, 0);
    }
};

// RAR 5.0: 8-byte signature, main header, a file header (type 2) before each entry's data,
// end header. Header: CRC-32 of what follows it, size vint, then type, flags, extra area size,
// data size, type fields and the extra area (here one modification time record).
class Rar50Archive {
public:
    static Bytes Start() {
        Bytes out = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
        AppendHeader(out, {0x01, 0x00, 0x00}); // main header, no flags, no archive flags
        return out;
    }

    static Bytes Header(const Entry& entry, const FileData& file) {
        const std::uint64_t compression =
            file.compressed ? (3u << 7) | (kDictionaryExponent5 << 10) : 0; // method normal
        Bytes extra = {0x0A, 0x03, 0x02}; // time record: size 10, type 3, FILETIME mtime
        const std::uint64_t filetime =
            (static_cast<std::uint64_t>(entry.mtime) + 11644473600ull) * 10000000ull +
            static_cast<std::uint64_t>(entry.mtimeNanoseconds / 100);
        PutLe(extra, filetime, 8);

        Bytes body;
        PutVint(body, 2);    // file header
        PutVint(body, 0x03); // extra area and data area present
        PutVint(body, extra.size());
        PutVint(body, entry.directory ? 0 : file.payload->size());
        PutVint(body, entry.directory ? 0x01 : 0x04); // directory / CRC-32 present
        PutVint(body, file.size);
        PutVint(body, entry.directory ? 0x10 : 0x20);
        if (!entry.directory) {
            PutLe(body, file.crc, 4);
        }
        PutVint(body, compression);
        PutVint(body, 0); // host: Windows
        PutVint(body, entry.name.size());
        body.insert(body.end(), entry.name.begin(), entry.name.end());
        body.insert(body.end(), extra.begin(), extra.end());
        Bytes out;
        AppendHeader(out, body);
        return out;
    }

    static Bytes End() {
        Bytes out;
        AppendHeader(out, {0x05, 0x04, 0x00}); // end, skip if unknown, last volume
        return out;
    }

private:
    static void AppendHeader(Bytes& out, const Bytes& body) {
        Bytes covered;
        PutVint(covered, body.size());
        covered.insert(covered.end(), body.begin(), body.end());
        PutLe(out, Crc(covered), 4);
        out.insert(out.end(), covered.begin(), covered.end());
    }
};

// ---------------------------------------------------------------------------------------------
// The tree and the run.

bool Stat(const fs::path& path, Entry& entry, bool& regular) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return false;
    }
    entry.mtime = st.st_mtim.tv_sec;
    entry.mtimeNanoseconds = st.st_mtim.tv_nsec;
    entry.directory = S_ISDIR(st.st_mode);
    regular = S_ISREG(st.st_mode);
    return true;
}

// Parents before children, names sorted, so two runs over the same tree agree.
bool CollectTree(const fs::path& path, const std::string& name, std::vector<Entry>& entries) {
    Entry entry;
    bool regular = false;
    if (!Stat(path, entry, regular)) {
        std::fprintf(stderr, "gen-rar: cannot read %s\n", path.c_str());
        return false;
    }
    if (!entry.directory && !regular) {
        std::fprintf(stderr, "gen-rar: leaving out %s (not a file or folder)\n", path.c_str());
        return true;
    }
    entry.name = name;
    entry.path = path;
    entries.push_back(entry);
    if (!entry.directory) {
        return true;
    }
    std::error_code error;
    std::vector<std::string> children;
    for (const fs::directory_entry& child : fs::directory_iterator(path, error)) {
        children.push_back(child.path().filename().string());
    }
    if (error) {
        std::fprintf(stderr, "gen-rar: cannot list %s\n", path.c_str());
        return false;
    }
    std::sort(children.begin(), children.end());
    for (const std::string& child : children) {
        if (!CollectTree(path / child, name + "/" + child, entries)) {
            return false;
        }
    }
    return true;
}

bool ReadFile(const fs::path& path, Bytes& data) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    if (error || size > kMaxFileSize) {
        std::fprintf(stderr, "gen-rar: cannot read %s%s\n", path.c_str(),
                     error ? "" : " (4 GiB or larger)");
        return false;
    }
    data.resize(size);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size));
    if (!in || in.gcount() != static_cast<std::streamsize>(size)) {
        std::fprintf(stderr, "gen-rar: cannot read %s\n", path.c_str());
        return false;
    }
    return true;
}

template <class Archive>
int Run(Bytes (*compress)(const Bytes&), const fs::path& archive,
        const std::vector<Entry>& entries) {
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    const auto write = [&out](const Bytes& bytes) {
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    };
    const auto started = std::chrono::steady_clock::now();
    std::uint64_t inputBytes = 0;
    std::uint64_t archiveBytes = 0;
    std::size_t files = 0;
    std::size_t stored = 0;

    Bytes head = Archive::Start();
    write(head);
    archiveBytes += head.size();
    Bytes data;
    Bytes packed;
    const Bytes none;
    for (const Entry& entry : entries) {
        FileData file;
        file.payload = &none;
        if (!entry.directory) {
            if (!ReadFile(entry.path, data)) {
                return 1;
            }
            ++files;
            file.size = data.size();
            file.crc = Crc(data);
            packed = data.empty() ? Bytes{} : compress(data);
            file.compressed = !data.empty() && packed.size() < data.size();
            file.payload = file.compressed ? &packed : &data;
            stored += file.compressed ? 0 : 1;
            inputBytes += data.size();
        }
        const Bytes header = Archive::Header(entry, file);
        write(header);
        write(*file.payload);
        archiveBytes += header.size() + file.payload->size();
    }
    const Bytes end = Archive::End();
    write(end);
    archiveBytes += end.size();
    out.close();
    if (!out) {
        std::fprintf(stderr, "gen-rar: cannot write %s\n", archive.c_str());
        return 1;
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s: %zu files (%zu stored), %llu bytes in, %llu bytes out, ratio %.2f, "
                "%.1f s, %.1f MB/s\n",
                archive.c_str(), files, stored, static_cast<unsigned long long>(inputBytes),
                static_cast<unsigned long long>(archiveBytes),
                archiveBytes ? static_cast<double>(inputBytes) / archiveBytes : 0.0, seconds,
                seconds > 0 ? inputBytes / seconds / 1e6 : 0.0);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view format = argc == 4 ? argv[1] : "";
    if (format != "4" && format != "5") {
        std::fprintf(stderr, "usage: gen-rar {4|5} ARCHIVE DIR\n"
                             "  4: RAR 2.9 format, 5: RAR 5.0 format; non-solid, LZ only\n");
        return 2;
    }
    const fs::path archive = argv[2];
    fs::path dir = fs::absolute(argv[3]).lexically_normal();
    if (dir.filename().empty()) {
        dir = dir.parent_path(); // "Data/" names the folder "Data"
    }
    std::vector<Entry> entries;
    if (!CollectTree(dir, dir.filename().string(), entries)) {
        return 1;
    }
    const int result = format == "4" ? Run<Rar29Archive>(rar29::Compress, archive, entries)
                                     : Run<Rar50Archive>(rar50::Compress, archive, entries);
    if (result != 0) {
        std::error_code ignored;
        fs::remove(archive, ignored);
    }
    return result;
}
