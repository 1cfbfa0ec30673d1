// Length-limited canonical Huffman codes and the table section of the LZ encoders.
#include "HuffmanEncoder.h"

#include <algorithm>

namespace bi::codec {

namespace {

// Extra bits after bit-length symbols 16-19, and the runs they cover.
constexpr std::uint8_t kRunExtraBits[4] = {3, 7, 3, 7};
constexpr unsigned kShortRun = 3; // 3-10 with 3 extra bits
constexpr unsigned kLongRun = 11; // 11-138 with 7 extra bits
constexpr unsigned kMaxRun = 138;
constexpr unsigned kEscape = 15; // in the 4-bit groups: 15,0 is 15, 15,n is n+2 zeros
constexpr unsigned kMaxEscapedZeros = 17;

// The 4-bit groups that carry the bit-length table's own code lengths, as (value, bit count)
// to field: a run of three or more zeros is escaped, and a length of 15 is escaped too.
template <typename Lengths, typename Field>
void ForEachLengthField(const Lengths& own, Field field) {
    for (std::size_t i = 0; i < own.size();) {
        std::size_t zeros = 0;
        while (i + zeros < own.size() && own[i + zeros] == 0 && zeros < kMaxEscapedZeros) {
            ++zeros;
        }
        if (zeros >= 3) {
            field(kEscape, 4);
            field(static_cast<std::uint32_t>(zeros - 2), 4);
            i += zeros;
            continue;
        }
        field(own[i], 4);
        if (own[i] == kEscape) {
            field(0, 4);
        }
        ++i;
    }
}

} // namespace

void BuildCodeLengths(const std::uint32_t* counts, std::size_t size, unsigned maxLength,
                      bool allowEmpty, std::uint8_t* lengths) {
    // Used symbols by rising count (ties by symbol, so the result does not depend on the
    // sort); a code needs two of them to be complete, so partners are taken from the unused
    // symbols with the lowest numbers.
    std::array<std::uint16_t, kMaxAlphabet> order;
    std::array<std::uint32_t, kMaxAlphabet> weight;
    std::size_t used = 0;
    for (std::size_t i = 0; i < size; ++i) {
        lengths[i] = 0;
        if (counts[i] != 0) {
            order[used++] = static_cast<std::uint16_t>(i);
        }
    }
    if (used == 0 && allowEmpty) {
        return;
    }
    if (used < 2) {
        for (std::size_t i = 0; i < size && used < 2; ++i) {
            if (counts[i] == 0) {
                order[used++] = static_cast<std::uint16_t>(i);
            }
        }
        lengths[order[0]] = 1;
        lengths[order[1]] = 1;
        return;
    }
    std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(used),
              [counts](std::uint16_t a, std::uint16_t b) {
                  return counts[a] != counts[b] ? counts[a] < counts[b] : a < b;
              });
    for (std::size_t i = 0; i < used; ++i) {
        weight[i] = counts[order[i]];
    }

    // Plain Huffman first, with two queues: the sorted leaves and the inner nodes, which are
    // made in rising weight. Usually no code is longer than maxLength and that is the answer.
    {
        std::array<std::uint64_t, kMaxAlphabet> inner;
        std::array<std::uint16_t, 2 * kMaxAlphabet> parent;
        std::size_t leaf = 0;
        std::size_t made = 0;
        std::size_t taken = 0;
        const auto take = [&]() -> std::pair<std::uint64_t, std::size_t> {
            if (leaf < used && (taken == made || weight[leaf] <= inner[taken])) {
                ++leaf;
                return {weight[leaf - 1], leaf - 1};
            }
            ++taken;
            return {inner[taken - 1], used + taken - 1};
        };
        for (; made + 1 < used; ++made) {
            const auto a = take();
            const auto b = take();
            inner[made] = a.first + b.first;
            parent[a.second] = static_cast<std::uint16_t>(used + made);
            parent[b.second] = static_cast<std::uint16_t>(used + made);
        }
        // Inner nodes were made after their children: from the root down, a parent's depth is
        // known before its children's.
        std::array<std::uint8_t, 2 * kMaxAlphabet> nodeDepth;
        const std::size_t root = used + made - 1;
        nodeDepth[root] = 0;
        unsigned deepest = 0;
        for (std::size_t node = root; node-- > 0;) {
            nodeDepth[node] = static_cast<std::uint8_t>(nodeDepth[parent[node]] + 1);
            if (node < used) {
                deepest = std::max<unsigned>(deepest, nodeDepth[node]);
            }
        }
        if (deepest <= maxLength) {
            for (std::size_t i = 0; i < used; ++i) {
                lengths[order[i]] = nodeDepth[i];
            }
            return;
        }
    }

    // Too deep: package-merge. The list of the deepest level is the leaves; each level up merges
    // the leaves with pairs ("packages") of the list below, by weight. Taking the first 2 * used -
    // 2 items of the top list, then the items of each level below that its chosen packages consist
    // of, gives each leaf its code length: the number of levels where it is chosen. Leaves come in
    // the same order in every list, so the chosen leaves of a level are always the first few, and a
    // list is kept only as its leaf/package flags.
    static_assert(kMaxCodeLength <= 16);
    std::array<std::array<bool, 2 * kMaxAlphabet>, 16> isLeaf;
    std::array<std::size_t, 16> listSize{};
    std::array<std::uint64_t, 2 * kMaxAlphabet> below;
    std::array<std::uint64_t, 2 * kMaxAlphabet> current;
    const unsigned levels = std::min(maxLength, 16u);
    for (std::size_t i = 0; i < used; ++i) {
        below[i] = weight[i];
        isLeaf[levels - 1][i] = true;
    }
    listSize[levels - 1] = used;
    for (unsigned level = levels - 1; level-- > 0;) {
        const std::size_t packages = listSize[level + 1] / 2;
        std::size_t leaf = 0;
        std::size_t package = 0;
        std::size_t n = 0;
        while (leaf < used || package < packages) {
            const bool takeLeaf =
                package == packages ||
                (leaf < used && weight[leaf] <= below[2 * package] + below[2 * package + 1]);
            if (takeLeaf) {
                current[n] = weight[leaf++];
            } else {
                current[n] = below[2 * package] + below[2 * package + 1];
                ++package;
            }
            isLeaf[level][n++] = takeLeaf;
        }
        listSize[level] = n;
        std::swap(below, current);
    }

    std::array<std::uint8_t, kMaxAlphabet> depth{};
    std::size_t chosen = 2 * used - 2;
    for (unsigned level = 0; level < levels && chosen > 0; ++level) {
        std::size_t leaves = 0;
        for (std::size_t i = 0; i < chosen; ++i) {
            leaves += isLeaf[level][i];
        }
        for (std::size_t i = 0; i < leaves; ++i) {
            ++depth[i];
        }
        chosen = 2 * (chosen - leaves);
    }
    for (std::size_t i = 0; i < used; ++i) {
        lengths[order[i]] = depth[i];
    }
}

void BuildCanonicalCodes(const std::uint8_t* lengths, std::size_t size, std::uint16_t* codes) {
    std::array<std::uint32_t, kMaxCodeLength + 2> count{};
    for (std::size_t i = 0; i < size; ++i) {
        ++count[lengths[i]];
    }
    count[0] = 0;
    std::array<std::uint32_t, kMaxCodeLength + 2> next{};
    for (unsigned length = 1; length <= kMaxCodeLength; ++length) {
        next[length + 1] = (next[length] + count[length]) << 1;
    }
    for (std::size_t i = 0; i < size; ++i) {
        codes[i] = lengths[i] != 0 ? static_cast<std::uint16_t>(next[lengths[i]]++) : 0;
    }
}

void TableSection::Prepare(const std::uint8_t* lengths, std::size_t size) {
    m_itemCount = 0;
    const auto add = [this](unsigned symbol, unsigned extra) {
        m_items[m_itemCount++] = {static_cast<std::uint8_t>(symbol),
                                  static_cast<std::uint8_t>(extra)};
    };
    for (std::size_t i = 0; i < size;) {
        const std::uint8_t length = lengths[i];
        std::size_t run = 1;
        while (i + run < size && lengths[i + run] == length) {
            ++run;
        }
        i += run;
        if (length != 0) {
            // A repeat copies the previous length, so the run's first one is written out.
            add(length, 0);
            --run;
        }
        const unsigned shortSymbol = length == 0 ? 18 : 16;
        while (run >= kShortRun) {
            const unsigned n = static_cast<unsigned>(std::min<std::size_t>(run, kMaxRun));
            if (n >= kLongRun) {
                add(shortSymbol + 1, n - kLongRun);
            } else {
                add(shortSymbol, n - kShortRun);
            }
            run -= n;
        }
        for (; run > 0; --run) {
            add(length, 0);
        }
    }

    std::array<std::uint32_t, kBitLengthSymbols> counts{};
    for (std::size_t i = 0; i < m_itemCount; ++i) {
        ++counts[m_items[i].symbol];
    }
    m_code.Build(counts.data(), false);

    m_bits = 0;
    const auto& own = m_code.lengths;
    ForEachLengthField(own, [this](std::uint32_t, unsigned bits) { m_bits += bits; });
    for (std::size_t i = 0; i < m_itemCount; ++i) {
        const unsigned symbol = m_items[i].symbol;
        m_bits += own[symbol] + (symbol >= 16 ? kRunExtraBits[symbol - 16] : 0);
    }
}

void TableSection::Write(BitOutput& out) const {
    ForEachLengthField(m_code.lengths,
                       [&out](std::uint32_t value, unsigned bits) { out.Put(value, bits); });
    for (std::size_t i = 0; i < m_itemCount; ++i) {
        const unsigned symbol = m_items[i].symbol;
        m_code.Write(out, symbol);
        if (symbol >= 16) {
            out.Put(m_items[i].extra, kRunExtraBits[symbol - 16]);
        }
    }
}

} // namespace bi::codec
