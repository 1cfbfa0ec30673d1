// The PPMd variant H context model and its sub-allocator, as RAR 2.9-4.x uses it.
#include "Ppmd7.h"

#include <algorithm>
#include <new>

namespace bi::codec {

namespace {

using ppmd::kNumIndexes;
constexpr std::uint32_t kMaxUnits = 128; // units of the largest block

// Units of a block of each size index: 1-4, then steps of 2, 3 and 4 up to 128.
constexpr std::array<std::uint8_t, kNumIndexes> kIndexToUnits = [] {
    std::array<std::uint8_t, kNumIndexes> t{};
    unsigned units = 0;
    for (unsigned i = 0; i < kNumIndexes; ++i) {
        units += i < 4 ? 1 : i < 8 ? 2 : i < 12 ? 3 : 4;
        t[i] = static_cast<std::uint8_t>(units);
    }
    return t;
}();

// Smallest size index that holds n units, for n = 1..128 (at n - 1).
constexpr std::array<std::uint8_t, kMaxUnits> kUnitsToIndex = [] {
    std::array<std::uint8_t, kMaxUnits> t{};
    unsigned i = 0;
    for (unsigned n = 1; n <= kMaxUnits; ++n) {
        if (kIndexToUnits[i] < n) {
            ++i;
        }
        t[n - 1] = static_cast<std::uint8_t>(i);
    }
    return t;
}();

// SEE row by the number of unmasked states, minus one: 0, 1, 2, then each value v from 3
// repeated v - 2 times, up to 24.
constexpr std::array<std::uint8_t, 256> kNs2Indx = [] {
    std::array<std::uint8_t, 256> t{};
    t[0] = 0;
    t[1] = 1;
    t[2] = 2;
    unsigned value = 3;
    unsigned left = 1;
    for (unsigned i = 3; i < 256; ++i) {
        t[i] = static_cast<std::uint8_t>(value);
        if (--left == 0) {
            ++value;
            left = value - 2;
        }
    }
    return t;
}();

constexpr std::array<std::uint16_t, 8> kInitBinEsc = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3,
                                                      0x64A1, 0x5ABC, 0x6632, 0x6051};

inline unsigned UnitsToIndex(std::uint32_t units) {
    return kUnitsToIndex[units - 1];
}
inline std::uint32_t IndexToUnits(unsigned index) {
    return kIndexToUnits[index];
}

// Feeds the model's interval choices from the range decoder.
struct DecoderPort {
    PpmdRangeDecoder& rc;
    std::uint32_t count = 0;

    void SetTotal(std::uint32_t total) { count = rc.GetFreq(total); }
    bool Hit(std::uint32_t high, std::uint8_t) const { return count < high; }
    void Take(std::uint32_t start, std::uint32_t size) { rc.Decode(start, size); }
    bool EscapeValid(std::uint32_t total) const { return count < total; }
    unsigned Bit(std::uint32_t p, std::uint8_t) { return rc.DecodeBit(p); }
};

} // namespace

static_assert(kIndexToUnits[kNumIndexes - 1] == kMaxUnits);
static_assert(kNs2Indx[255] == 24 && kNs2Indx[234] == 24 && kNs2Indx[233] == 23);

// ---------------------------------------------------------------------------------------------
// Heap and sub-allocator

bool PpmdModel::Restart(std::uint32_t memorySize, unsigned maxOrder) {
    m_alive = false;
    if (memorySize < kMinMemory || memorySize > kMaxMemory || maxOrder < kMinOrder ||
        maxOrder > kMaxOrder) {
        return false;
    }
    // Below the heap: the unused offsets that make 0 mean "none". Above it: the unit that
    // stops the gluing of free blocks at the end of the heap.
    const std::uint32_t capacity = kHeapBase + memorySize + kUnitSize;
    if (m_heapCapacity != capacity) {
        m_heap.reset();
        m_base = nullptr;
        m_heapCapacity = 0;
        m_heap.reset(new (std::nothrow) std::uint8_t[capacity]);
        if (!m_heap) {
            return false;
        }
        m_base = m_heap.get();
        m_heapCapacity = capacity;
    }
    // The bytes outside the model's reach are read (as "no context" and as the glue sentinel)
    // but never allocated; give them fixed values.
    std::memset(m_base, 0, kHeapBase);
    std::memset(m_base + kHeapBase + memorySize, 0, kUnitSize);
    m_size = memorySize;
    m_heapEnd = kHeapBase + memorySize;
    m_maxOrder = maxOrder;
    m_initEsc = 0;
    m_hiBitsFlag = 0;
    m_restarts = 0;
    RestartModel();
    m_alive = true;
    return true;
}

void PpmdModel::InsertNode(std::uint32_t block, unsigned index) {
    Set32(block, m_freeList[index]);
    m_freeList[index] = block;
}

std::uint32_t PpmdModel::RemoveNode(unsigned index) {
    const std::uint32_t block = m_freeList[index];
    m_freeList[index] = Get32(block);
    return block;
}

// Keeps the first units of a block for index newIndex and frees the rest.
void PpmdModel::SplitBlock(std::uint32_t block, unsigned oldIndex, unsigned newIndex) {
    const std::uint32_t units = IndexToUnits(oldIndex) - IndexToUnits(newIndex);
    const std::uint32_t rest = block + UnitsToBytes(IndexToUnits(newIndex));
    unsigned i = UnitsToIndex(units);
    if (IndexToUnits(i) != units) {
        // No block size fits exactly: the largest smaller block plus a tail of 1-3 units.
        const std::uint32_t k = IndexToUnits(--i);
        InsertNode(rest + UnitsToBytes(k), units - k - 1);
    }
    InsertNode(rest, i);
}

// Merges every free block with the free blocks that follow it in memory and files the results
// again. While this runs, a free block holds a 16-bit stamp of 0 (allocated records never start
// with 0: a context with NumStats >= 1, a state array with a Freq >= 1), its size in units and a
// two-way link. The order of the list decides which blocks later allocations get, so it is the
// reverse of the order in which the free lists are emptied.
void PpmdModel::GlueFreeBlocks() {
    constexpr std::uint32_t kStamp = 0, kNu = 2, kNext = 4, kPrev = 8;
    const std::uint32_t head = m_heapEnd;
    m_glueCount = 255;

    std::uint32_t last = head;
    for (unsigned i = 0; i < kNumIndexes; ++i) {
        const std::uint32_t units = IndexToUnits(i);
        std::uint32_t next = m_freeList[i];
        m_freeList[i] = 0;
        while (next != 0) {
            const std::uint32_t node = next;
            next = Get32(node);
            Set32(node + kNext, last);
            Set32(last + kPrev, node);
            last = node;
            Set16(node + kStamp, 0);
            Set16(node + kNu, units);
        }
    }
    Set16(head + kStamp, 1);
    Set32(head + kNext, last);
    Set32(last + kPrev, head);
    if (m_loUnit != m_hiUnit) {
        Set16(m_loUnit + kStamp, 1); // the unallocated gap ends any run of free blocks
    }

    for (std::uint32_t node = Get32(head + kNext); node != head; node = Get32(node + kNext)) {
        std::uint32_t units = Get16(node + kNu);
        for (;;) {
            const std::uint32_t follower = node + UnitsToBytes(units);
            if (Get16(follower + kStamp) != 0) {
                break;
            }
            units += Get16(follower + kNu);
            if (units >= 0x10000) {
                break;
            }
            const std::uint32_t prev = Get32(follower + kPrev);
            const std::uint32_t next = Get32(follower + kNext);
            Set32(prev + kNext, next);
            Set32(next + kPrev, prev);
            Set16(node + kNu, units);
        }
    }

    for (std::uint32_t node = Get32(head + kNext); node != head;) {
        const std::uint32_t next = Get32(node + kNext);
        std::uint32_t units = Get16(node + kNu);
        std::uint32_t block = node;
        for (; units > kMaxUnits; units -= kMaxUnits, block += UnitsToBytes(kMaxUnits)) {
            InsertNode(block, kNumIndexes - 1);
        }
        unsigned i = UnitsToIndex(units);
        if (IndexToUnits(i) != units) {
            const std::uint32_t k = IndexToUnits(--i);
            InsertNode(block + UnitsToBytes(k), units - k - 1);
        }
        InsertNode(block, i);
        node = next;
    }
}

// The free lists and the gap have no block of this size: glue (now and then), split a larger
// free block, or take units from the top of the text area. 0 when memory is exhausted.
std::uint32_t PpmdModel::AllocUnitsRare(unsigned index) {
    if (m_glueCount == 0) {
        GlueFreeBlocks();
        if (m_freeList[index] != 0) {
            return RemoveNode(index);
        }
    }
    for (unsigned i = index + 1; i < kNumIndexes; ++i) {
        if (m_freeList[i] != 0) {
            const std::uint32_t block = RemoveNode(i);
            SplitBlock(block, i, index);
            return block;
        }
    }
    --m_glueCount;
    const std::uint32_t bytes = UnitsToBytes(IndexToUnits(index));
    if (m_unitsStart - m_text > bytes) {
        m_unitsStart -= bytes;
        return m_unitsStart;
    }
    return 0;
}

std::uint32_t PpmdModel::AllocUnits(unsigned index) {
    if (m_freeList[index] != 0) {
        return RemoveNode(index);
    }
    const std::uint32_t bytes = UnitsToBytes(IndexToUnits(index));
    if (bytes <= m_hiUnit - m_loUnit) {
        const std::uint32_t block = m_loUnit;
        m_loUnit += bytes;
        return block;
    }
    return AllocUnitsRare(index);
}

std::uint32_t PpmdModel::AllocContext() {
    if (m_hiUnit != m_loUnit) {
        m_hiUnit -= kUnitSize;
        return m_hiUnit;
    }
    if (m_freeList[0] != 0) {
        return RemoveNode(0);
    }
    return AllocUnitsRare(0);
}

std::uint32_t PpmdModel::ShrinkUnits(std::uint32_t block, std::uint32_t oldUnits,
                                     std::uint32_t newUnits) {
    const unsigned i0 = UnitsToIndex(oldUnits);
    const unsigned i1 = UnitsToIndex(newUnits);
    if (i0 == i1) {
        return block;
    }
    if (m_freeList[i1] != 0) {
        const std::uint32_t moved = RemoveNode(i1);
        std::memcpy(m_base + moved, m_base + block, UnitsToBytes(newUnits));
        InsertNode(block, i0);
        return moved;
    }
    SplitBlock(block, i0, i1);
    return block;
}

// ---------------------------------------------------------------------------------------------
// Model

void PpmdModel::RestartModel() {
    m_freeList.fill(0);
    m_text = kHeapBase;
    m_hiUnit = m_heapEnd;
    m_loUnit = m_unitsStart = m_hiUnit - m_size / 8 / kUnitSize * 7 * kUnitSize;
    m_glueCount = 0;

    m_orderFall = m_maxOrder;
    m_runLength = m_initRl = 0u - std::min<std::uint32_t>(m_maxOrder, 12) - 1;
    m_prevSuccess = 0;

    m_hiUnit -= kUnitSize;
    const std::uint32_t root = m_hiUnit;
    const std::uint32_t stats = m_loUnit;
    m_loUnit += UnitsToBytes(256 / 2);
    Set16(root + kNumStats, 256);
    Set16(root + kSummFreq, 256 + 1);
    Set32(root + kStats, stats);
    Set32(root + kSuffix, 0);
    for (std::uint32_t i = 0; i < 256; ++i) {
        const std::uint32_t s = stats + i * kStateSize;
        Byte(s + kSymbol) = static_cast<std::uint8_t>(i);
        SetFreq(s, 1);
        SetSuccessor(s, 0);
    }
    m_minContext = m_maxContext = root;
    m_foundState = stats;

    for (unsigned i = 0; i < 128; ++i) {
        for (unsigned k = 0; k < 8; ++k) {
            const auto value = static_cast<std::uint16_t>(kBinScale - kInitBinEsc[k] / (i + 2));
            for (unsigned m = 0; m < 64; m += 8) {
                m_binSumm[i][k + m] = value;
            }
        }
    }
    for (unsigned i = 0; i < m_see.size(); ++i) {
        for (See& see : m_see[i]) {
            see.shift = kPeriodBits - 4;
            see.summ = static_cast<std::uint16_t>((5 * i + 10) << see.shift);
            see.count = 4;
        }
    }
    m_dummySee = {0, kPeriodBits, 64};
}

void PpmdModel::SwapStates(std::uint32_t a, std::uint32_t b) {
    std::uint8_t tmp[kStateSize];
    std::memcpy(tmp, m_base + a, kStateSize);
    std::memcpy(m_base + a, m_base + b, kStateSize);
    std::memcpy(m_base + b, tmp, kStateSize);
}

// The state of `symbol` in a context, or 0 when it has none (a broken model).
std::uint32_t PpmdModel::FindState(std::uint32_t ctx, std::uint8_t symbol) const {
    const std::uint32_t numStats = NumStats(ctx);
    if (numStats == 1) {
        const std::uint32_t s = ctx + kOneState;
        return Symbol(s) == symbol ? s : 0;
    }
    std::uint32_t s = Stats(ctx);
    for (std::uint32_t i = 0; i < numStats; ++i, s += kStateSize) {
        if (Symbol(s) == symbol) {
            return s;
        }
    }
    return 0;
}

// Turns the raw successor of FoundState (a position in the text area) into real contexts:
// one new one-state context for each context on the suffix path that still points at that
// position. With skip, FoundState's own context gets none. 0 when memory runs out; a broken
// model is also marked dead.
std::uint32_t PpmdModel::CreateSuccessors(bool skip) {
    std::uint32_t ctx = m_minContext;
    const std::uint32_t up = Successor(m_foundState);
    const std::uint8_t symbol = Symbol(m_foundState);
    std::array<std::uint32_t, kMaxOrder> chain;
    unsigned chained = 0;
    if (!skip) {
        chain[chained++] = m_foundState;
    }
    while (Suffix(ctx) != 0) {
        ctx = Suffix(ctx);
        const std::uint32_t s = FindState(ctx, symbol);
        if (s == 0) {
            m_alive = false;
            return 0;
        }
        const std::uint32_t successor = Successor(s);
        if (successor != up) {
            ctx = successor;
            break;
        }
        if (chained == chain.size()) {
            m_alive = false;
            return 0;
        }
        chain[chained++] = s;
    }
    if (chained == 0) {
        return ctx;
    }
    if (!ContextInHeap(ctx) || up >= m_heapEnd) {
        m_alive = false;
        return 0;
    }

    const std::uint8_t newSymbol = Byte(up);
    const std::uint32_t newSuccessor = up + 1;
    std::uint32_t newFreq;
    if (NumStats(ctx) == 1) {
        newFreq = Freq(ctx + kOneState);
    } else {
        const std::uint32_t s = FindState(ctx, newSymbol);
        if (s == 0) {
            m_alive = false;
            return 0;
        }
        const std::uint32_t cf = Freq(s) - 1;
        const std::uint32_t s0 = SummFreq(ctx) - NumStats(ctx) - cf;
        newFreq = 1 + ((2 * cf <= s0) ? (5 * cf > s0 ? 1 : 0)
                                      : (2 * cf + 3 * s0 - 1) / std::max<std::uint32_t>(2 * s0, 1));
    }

    do {
        const std::uint32_t child = AllocContext();
        if (child == 0) {
            return 0;
        }
        Set16(child + kNumStats, 1);
        const std::uint32_t s = child + kOneState;
        Byte(s + kSymbol) = newSymbol;
        SetFreq(s, newFreq);
        SetSuccessor(s, newSuccessor);
        Set32(child + kSuffix, ctx);
        SetSuccessor(chain[--chained], child);
        ctx = child;
    } while (chained != 0);
    return ctx;
}

// Adds the symbol just coded (FoundState in MinContext) to the contexts it escaped from, and
// moves to the context of the next symbol. When memory runs out the model starts over.
void PpmdModel::UpdateModel() {
    const std::uint32_t fs = m_foundState;
    const std::uint8_t symbol = Symbol(fs);
    const std::uint32_t freq = Freq(fs);
    std::uint32_t fsSuccessor = Successor(fs);

    // Reward the symbol in the suffix context too.
    if (freq < kMaxFreq / 4 && Suffix(m_minContext) != 0) {
        const std::uint32_t c = Suffix(m_minContext);
        if (NumStats(c) == 1) {
            const std::uint32_t s = c + kOneState;
            if (Freq(s) < 32) {
                SetFreq(s, Freq(s) + 1);
            }
        } else {
            std::uint32_t s = FindState(c, symbol);
            if (s == 0) {
                m_alive = false;
                return;
            }
            if (s != Stats(c) && Freq(s) >= Freq(s - kStateSize)) {
                SwapStates(s, s - kStateSize);
                s -= kStateSize;
            }
            if (Freq(s) < kMaxFreq - 9) {
                SetFreq(s, Freq(s) + 2);
                Set16(c + kSummFreq, SummFreq(c) + 2);
            }
        }
    }

    if (m_orderFall == 0) {
        // At the top order the successor context is the one that drops the oldest byte.
        const std::uint32_t next = CreateSuccessors(true);
        if (next == 0) {
            RestartAfterOverflow();
            return;
        }
        m_minContext = m_maxContext = next;
        SetSuccessor(fs, next);
        return;
    }

    Byte(m_text++) = symbol;
    std::uint32_t successor = m_text;
    if (m_text >= m_unitsStart) {
        RestartAfterOverflow();
        return;
    }

    if (fsSuccessor != 0) {
        if (fsSuccessor <= m_text) {
            fsSuccessor = CreateSuccessors(false);
            if (fsSuccessor == 0) {
                RestartAfterOverflow();
                return;
            }
        }
        if (--m_orderFall == 0) {
            successor = fsSuccessor;
            if (m_maxContext != m_minContext) {
                --m_text;
            }
        }
    } else {
        SetSuccessor(fs, successor);
        fsSuccessor = m_minContext;
    }

    const std::uint32_t ns = NumStats(m_minContext);
    const std::uint32_t s0 = SummFreq(m_minContext) - ns - (freq - 1);
    for (std::uint32_t c = m_maxContext; c != m_minContext; c = Suffix(c)) {
        if (c == 0) {
            m_alive = false; // MinContext is not on MaxContext's suffix path
            return;
        }
        const std::uint32_t n1 = NumStats(c);
        if (n1 != 1) {
            if ((n1 & 1) == 0) {
                // The array is full: it needs one more unit for the next two states.
                const std::uint32_t oldUnits = n1 >> 1;
                const unsigned i = UnitsToIndex(oldUnits);
                if (i != UnitsToIndex(oldUnits + 1)) {
                    const std::uint32_t grown = AllocUnits(i + 1);
                    if (grown == 0) {
                        RestartAfterOverflow();
                        return;
                    }
                    const std::uint32_t old = Stats(c);
                    std::memcpy(m_base + grown, m_base + old, UnitsToBytes(oldUnits));
                    InsertNode(old, i);
                    Set32(c + kStats, grown);
                }
            }
            const std::uint32_t summ = SummFreq(c);
            Set16(c + kSummFreq,
                  summ + (2 * n1 < ns ? 1 : 0) + 2 * ((4 * n1 <= ns && summ <= 8 * n1) ? 1 : 0));
        } else {
            const std::uint32_t s = AllocUnits(0);
            if (s == 0) {
                RestartAfterOverflow();
                return;
            }
            CopyState(s, c + kOneState);
            Set32(c + kStats, s);
            const std::uint32_t f = Freq(s);
            SetFreq(s, f < kMaxFreq / 4 - 1 ? f * 2 : kMaxFreq - 4);
            Set16(c + kSummFreq, Freq(s) + m_initEsc + (ns > 3 ? 1 : 0));
        }
        const std::uint32_t summ = SummFreq(c);
        std::uint32_t cf = 2 * freq * (summ + 6);
        const std::uint32_t sf = s0 + summ;
        if (cf < 6 * sf) {
            cf = 1 + (cf > sf ? 1 : 0) + (cf >= 4 * sf ? 1 : 0);
            Set16(c + kSummFreq, summ + 3);
        } else {
            cf = 4 + (cf >= 9 * sf ? 1 : 0) + (cf >= 12 * sf ? 1 : 0) + (cf >= 15 * sf ? 1 : 0);
            Set16(c + kSummFreq, summ + cf);
        }
        const std::uint32_t s = Stats(c) + n1 * kStateSize;
        Byte(s + kSymbol) = symbol;
        SetFreq(s, cf);
        SetSuccessor(s, successor);
        Set16(c + kNumStats, n1 + 1);
    }
    m_maxContext = m_minContext = fsSuccessor;
}

void PpmdModel::RestartAfterOverflow() {
    ++m_restarts;
    RestartModel();
}

// Halves the frequencies of MinContext, drops the states that reach 0 and keeps the array
// sorted by frequency. FoundState comes first afterwards.
void PpmdModel::Rescale() {
    const std::uint32_t ctx = m_minContext;
    const std::uint32_t stats = Stats(ctx);
    const std::uint32_t numStats = NumStats(ctx);

    {
        std::uint8_t found[kStateSize];
        std::memcpy(found, m_base + m_foundState, kStateSize);
        std::memmove(m_base + stats + kStateSize, m_base + stats, m_foundState - stats);
        std::memcpy(m_base + stats, found, kStateSize);
    }
    std::uint32_t escFreq = SummFreq(ctx) - Freq(stats);
    const std::uint32_t adder = m_orderFall != 0 ? 1 : 0;
    SetFreq(stats, (Freq(stats) + 4 + adder) >> 1);
    std::uint32_t sumFreq = Freq(stats);

    for (std::uint32_t i = 1; i < numStats; ++i) {
        const std::uint32_t s = stats + i * kStateSize;
        escFreq -= Freq(s);
        const std::uint32_t f = (Freq(s) + adder) >> 1;
        SetFreq(s, f);
        sumFreq += f;
        if (f > Freq(s - kStateSize)) {
            std::uint32_t to = s - kStateSize;
            while (to != stats && f > Freq(to - kStateSize)) {
                to -= kStateSize;
            }
            std::uint8_t moved[kStateSize];
            std::memcpy(moved, m_base + s, kStateSize);
            std::memmove(m_base + to + kStateSize, m_base + to, s - to);
            std::memcpy(m_base + to, moved, kStateSize);
        }
    }

    std::uint32_t last = stats + (numStats - 1) * kStateSize;
    if (Freq(last) == 0) {
        std::uint32_t zeros = 0;
        do {
            ++zeros;
            last -= kStateSize;
        } while (Freq(last) == 0);
        escFreq += zeros;
        const std::uint32_t kept = numStats - zeros;
        Set16(ctx + kNumStats, kept);
        if (kept == 1) {
            std::uint8_t only[kStateSize];
            std::memcpy(only, m_base + stats, kStateSize);
            std::uint32_t f = only[kFreq];
            do {
                f -= f >> 1;
                escFreq >>= 1;
            } while (escFreq > 1);
            only[kFreq] = static_cast<std::uint8_t>(f);
            InsertNode(stats, UnitsToIndex((numStats + 1) >> 1));
            m_foundState = ctx + kOneState;
            std::memcpy(m_base + m_foundState, only, kStateSize);
            return;
        }
        const std::uint32_t n0 = (numStats + 1) >> 1;
        const std::uint32_t n1 = (kept + 1) >> 1;
        if (n0 != n1) {
            Set32(ctx + kStats, ShrinkUnits(stats, n0, n1));
        }
    }
    Set16(ctx + kSummFreq, sumFreq + escFreq - (escFreq >> 1));
    m_foundState = Stats(ctx);
}

void PpmdModel::NextContext() {
    const std::uint32_t successor = Successor(m_foundState);
    if (m_orderFall == 0 && successor > m_text) {
        m_minContext = m_maxContext = successor;
    } else {
        UpdateModel();
    }
}

// The first (most probable) state of a multi-state context was coded.
void PpmdModel::Update1First(std::uint32_t state) {
    m_foundState = state;
    m_prevSuccess = 2 * Freq(state) > SummFreq(m_minContext) ? 1 : 0;
    m_runLength += m_prevSuccess;
    Set16(m_minContext + kSummFreq, SummFreq(m_minContext) + 4);
    SetFreq(state, Freq(state) + 4);
    if (Freq(state) > kMaxFreq) {
        Rescale();
    }
    NextContext();
}

// Another state of a multi-state context was coded: it may move one place up.
void PpmdModel::Update1(std::uint32_t state) {
    m_foundState = state;
    SetFreq(state, Freq(state) + 4);
    Set16(m_minContext + kSummFreq, SummFreq(m_minContext) + 4);
    if (Freq(state) > Freq(state - kStateSize)) {
        SwapStates(state, state - kStateSize);
        m_foundState = state - kStateSize;
        if (Freq(m_foundState) > kMaxFreq) {
            Rescale();
        }
    }
    NextContext();
}

void PpmdModel::UpdateBin(std::uint32_t state) {
    m_foundState = state;
    if (Freq(state) < 128) {
        SetFreq(state, Freq(state) + 1);
    }
    m_prevSuccess = 1;
    ++m_runLength;
    NextContext();
}

// A state was coded after one or more escapes.
void PpmdModel::Update2(std::uint32_t state) {
    m_foundState = state;
    SetFreq(state, Freq(state) + 4);
    Set16(m_minContext + kSummFreq, SummFreq(m_minContext) + 4);
    if (Freq(state) > kMaxFreq) {
        Rescale();
    }
    m_runLength = m_initRl;
    UpdateModel();
}

// Escape frequency of MinContext after numMasked of its symbols were excluded, from the
// secondary estimation table; the root with all 256 symbols uses a fixed 1.
PpmdModel::See* PpmdModel::MakeEscFreq(std::uint32_t numMasked, std::uint32_t& escFreq) {
    const std::uint32_t ctx = m_minContext;
    const std::uint32_t numStats = NumStats(ctx);
    if (numStats == 256) {
        escFreq = 1;
        return &m_dummySee;
    }
    const std::uint32_t unmasked = numStats - numMasked;
    // Compared as signed numbers: a suffix never has fewer states than its child, and if it
    // did the term would simply be 0.
    const auto suffixExtra =
        static_cast<std::int32_t>(NumStats(Suffix(ctx))) - static_cast<std::int32_t>(numStats);
    const std::uint32_t column = (static_cast<std::int32_t>(unmasked) < suffixExtra ? 1 : 0) +
                                 (SummFreq(ctx) < 11 * numStats ? 2 : 0) +
                                 (numMasked > unmasked ? 4 : 0) + m_hiBitsFlag;
    See& see = m_see[kNs2Indx[unmasked - 1]][column];
    const std::uint32_t r = see.summ >> see.shift;
    see.summ = static_cast<std::uint16_t>(see.summ - r);
    escFreq = r + (r == 0 ? 1 : 0);
    return &see;
}

void PpmdModel::SeeUpdate(See& see) {
    if (see.shift < kPeriodBits && --see.count == 0) {
        see.summ = static_cast<std::uint16_t>(see.summ << 1);
        see.count = static_cast<std::uint8_t>(3 << see.shift++);
    }
}

int PpmdModel::DecodeSymbol(PpmdRangeDecoder& rc) {
    DecoderPort port{rc};
    return CodeSymbol(port);
}

} // namespace bi::codec
