// The PPMd variant H context model, with its sub-allocator, as RAR 2.9-4.x uses it.
#pragma once

#include "PpmdRangeDecoder.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

namespace bi::codec {

namespace ppmd {
inline constexpr unsigned kNumIndexes = 38; // block sizes of the sub-allocator
// 8 for a byte of 0x40 and above: the model keeps text-like and binary-like statistics apart.
inline constexpr std::array<std::uint8_t, 256> kHb2Flag = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned i = 0x40; i < 256; ++i) {
        t[i] = 8;
    }
    return t;
}();
// Column group of a binary context by the number of states of its suffix, minus one.
inline constexpr std::array<std::uint8_t, 256> kNs2BsIndx = [] {
    std::array<std::uint8_t, 256> t{};
    t[0] = 0;
    t[1] = 2;
    for (unsigned i = 2; i < 11; ++i) {
        t[i] = 4;
    }
    for (unsigned i = 11; i < 256; ++i) {
        t[i] = 6;
    }
    return t;
}();
// Escape frequency seed for a context that grows out of a binary one, by its probability.
inline constexpr std::array<std::uint8_t, 16> kExpEscape = {25, 14, 9, 7, 5, 5, 4, 4,
                                                            4,  3,  3, 3, 2, 2, 2, 2};
} // namespace ppmd

// Predicts bytes from the contexts of up to MaxOrder preceding bytes. All of the model lives in
// one heap of the size the block header declares, addressed by 32-bit offsets; when the heap is
// full the model starts over, so the heap size is part of the format and cannot be changed.
class PpmdModel {
public:
    static constexpr std::uint32_t kMaxMemory = 256u << 20;
    // RAR declares 1 MiB or more; smaller heaps are accepted for tests of the full-heap path.
    static constexpr std::uint32_t kMinMemory = 1u << 14;
    static constexpr unsigned kMinOrder = 2;
    static constexpr unsigned kMaxOrder = 64;

    PpmdModel() = default;
    PpmdModel(const PpmdModel&) = delete;
    PpmdModel& operator=(const PpmdModel&) = delete;

    // Discards any old model, obtains a heap of memorySize bytes (reusing the old one when it
    // has that size) and starts the model with the given maximum order (2..64).
    // Returns false when the memory cannot be had, or for a size or order outside
    // kMinMemory..kMaxMemory and 2..64 (the model is then dead).
    bool Restart(std::uint32_t memorySize, unsigned maxOrder);
    bool Alive() const { return m_alive; }
    void Kill() { m_alive = false; } // keeps the heap for reuse
    // Decodes one byte (0..255), or -1 for damaged data (the model is then dead). A model
    // found inconsistent while it is updated after a byte (which sound code never sees) fails
    // the next call instead.
    int DecodeSymbol(PpmdRangeDecoder& rc);

    // One symbol step with the arithmetic coder left open, so that an encoder can drive the
    // very same model. The coder answers for the interval choices:
    //   void SetTotal(u32 total)       a cumulative table of `total` follows
    //   bool Hit(u32 high, u8 symbol)  the symbol whose interval ends at `high` is the one
    //                                  (states are offered in order, lowest interval first)
    //   void Take(u32 start, u32 size) code that interval
    //   bool EscapeValid(u32 total)    the escape interval may be taken
    //   unsigned Bit(u32 p, u8 symbol) binary decision, 0 = `symbol`, p of 2^14
    // Returns the symbol, or -1 when the coder's choices are impossible (the model is then dead).
    template <class Coder> int CodeSymbol(Coder& coder);

    // Times the model started over since Restart because its heap was full.
    std::uint64_t RestartCount() const { return m_restarts; }

private:
    friend class PpmdModelInspector; // tests audit the heap layout

    static constexpr std::uint32_t kUnitSize = 12;
    static constexpr std::uint32_t kHeapBase = 4; // offset 0 means "none"
    static constexpr std::uint32_t kMaxFreq = 124;
    static constexpr unsigned kIntBits = 7;
    static constexpr unsigned kPeriodBits = 7;
    static constexpr std::uint32_t kBinScale = 1u << (kIntBits + kPeriodBits);

    // Offsets of the fields of a context (12 bytes) and of a state (6 bytes). A context with a
    // single state keeps it in place of SummFreq and Stats.
    static constexpr std::uint32_t kNumStats = 0, kSummFreq = 2, kStats = 4, kSuffix = 8,
                                   kOneState = 2;
    static constexpr std::uint32_t kSymbol = 0, kFreq = 1, kSuccessor = 2, kStateSize = 6;

    struct See {
        std::uint16_t summ;
        std::uint8_t shift;
        std::uint8_t count;
    };

    // Field access by offset. memcpy keeps it free of alignment and aliasing rules; compilers
    // turn it into plain loads and stores.
    std::uint8_t& Byte(std::uint32_t at) { return m_base[at]; }
    std::uint16_t Get16(std::uint32_t at) const {
        std::uint16_t v;
        std::memcpy(&v, m_base + at, 2);
        return v;
    }
    std::uint32_t Get32(std::uint32_t at) const {
        std::uint32_t v;
        std::memcpy(&v, m_base + at, 4);
        return v;
    }
    void Set16(std::uint32_t at, std::uint32_t v) {
        const auto value = static_cast<std::uint16_t>(v);
        std::memcpy(m_base + at, &value, 2);
    }
    void Set32(std::uint32_t at, std::uint32_t v) { std::memcpy(m_base + at, &v, 4); }

    std::uint32_t NumStats(std::uint32_t ctx) const { return Get16(ctx + kNumStats); }
    std::uint32_t SummFreq(std::uint32_t ctx) const { return Get16(ctx + kSummFreq); }
    std::uint32_t Stats(std::uint32_t ctx) const { return Get32(ctx + kStats); }
    std::uint32_t Suffix(std::uint32_t ctx) const { return Get32(ctx + kSuffix); }
    std::uint8_t Symbol(std::uint32_t st) const { return m_base[st + kSymbol]; }
    std::uint32_t Freq(std::uint32_t st) const { return m_base[st + kFreq]; }
    std::uint32_t Successor(std::uint32_t st) const { return Get32(st + kSuccessor); }
    void SetFreq(std::uint32_t st, std::uint32_t f) {
        m_base[st + kFreq] = static_cast<std::uint8_t>(f);
    }
    void SetSuccessor(std::uint32_t st, std::uint32_t v) { Set32(st + kSuccessor, v); }
    void SwapStates(std::uint32_t a, std::uint32_t b);
    void CopyState(std::uint32_t to, std::uint32_t from) {
        std::memmove(m_base + to, m_base + from, kStateSize);
    }

    // Sub-allocator.
    std::uint32_t UnitsToBytes(std::uint32_t units) const { return units * kUnitSize; }
    void InsertNode(std::uint32_t block, unsigned index);
    std::uint32_t RemoveNode(unsigned index);
    void SplitBlock(std::uint32_t block, unsigned oldIndex, unsigned newIndex);
    void GlueFreeBlocks();
    std::uint32_t AllocUnitsRare(unsigned index);
    std::uint32_t AllocUnits(unsigned index);
    std::uint32_t AllocContext();
    std::uint32_t ShrinkUnits(std::uint32_t block, std::uint32_t oldUnits, std::uint32_t newUnits);

    // Model.
    void RestartModel();
    void RestartAfterOverflow();
    std::uint32_t FindState(std::uint32_t ctx, std::uint8_t symbol) const;
    std::uint32_t CreateSuccessors(bool skip);
    void UpdateModel();
    void Rescale();
    void NextContext();
    void Update1(std::uint32_t state);
    void Update1First(std::uint32_t state);
    void UpdateBin(std::uint32_t state);
    void Update2(std::uint32_t state);
    See* MakeEscFreq(std::uint32_t numMasked, std::uint32_t& escFreq);
    static void SeeUpdate(See& see);
    bool ContextInHeap(std::uint32_t ctx) const {
        return ctx >= m_unitsStart && ctx <= m_heapEnd - kUnitSize;
    }
    int Fail() {
        m_alive = false;
        return -1;
    }

    std::unique_ptr<std::uint8_t[]> m_heap;
    std::uint8_t* m_base = nullptr;
    std::uint32_t m_heapCapacity = 0; // bytes of heap the allocation can hold
    std::uint32_t m_size = 0;         // heap size the block header declared
    std::uint32_t m_heapEnd = 0;      // kHeapBase + m_size: the glue sentinel unit starts here
    bool m_alive = false;
    std::uint64_t m_restarts = 0;

    std::uint32_t m_text = 0;
    std::uint32_t m_unitsStart = 0;
    std::uint32_t m_loUnit = 0;
    std::uint32_t m_hiUnit = 0;
    std::uint32_t m_glueCount = 0;
    std::array<std::uint32_t, ppmd::kNumIndexes> m_freeList{};

    std::uint32_t m_minContext = 0;
    std::uint32_t m_maxContext = 0;
    std::uint32_t m_foundState = 0;
    std::uint32_t m_orderFall = 0;
    std::uint32_t m_maxOrder = 0;
    std::uint32_t m_runLength = 0; // a signed count kept in two's complement
    std::uint32_t m_initRl = 0;
    std::uint32_t m_prevSuccess = 0;
    std::uint32_t m_initEsc = 0;
    std::uint32_t m_hiBitsFlag = 0;
    std::array<std::array<std::uint16_t, 64>, 128> m_binSumm{};
    std::array<std::array<See, 16>, 25> m_see{};
    See m_dummySee{};
};

// The symbol step; in the header because the coder is a template parameter and the step is
// the inner loop of decoding.
template <class Coder> int PpmdModel::CodeSymbol(Coder& coder) {
    if (!m_alive || !ContextInHeap(m_minContext)) {
        return Fail();
    }
    // Symbols of the contexts already escaped from; only escapes fill it.
    std::array<std::uint8_t, 256> masked;
    std::uint32_t numMasked;
    std::uint32_t ctx = m_minContext;
    const std::uint32_t numStats = NumStats(ctx);
    if (numStats != 1) {
        std::uint32_t s = Stats(ctx);
        const std::uint32_t total = SummFreq(ctx);
        coder.SetTotal(total);
        std::uint32_t high = Freq(s);
        if (coder.Hit(high, Symbol(s))) {
            coder.Take(0, high);
            const std::uint8_t symbol = Symbol(s);
            Update1First(s);
            return symbol;
        }
        m_prevSuccess = 0;
        for (std::uint32_t i = 1; i < numStats; ++i) {
            s += kStateSize;
            const std::uint32_t f = Freq(s);
            high += f;
            if (coder.Hit(high, Symbol(s))) {
                coder.Take(high - f, f);
                const std::uint8_t symbol = Symbol(s);
                Update1(s);
                return symbol;
            }
        }
        if (!coder.EscapeValid(total) || high >= total) {
            return Fail();
        }
        m_hiBitsFlag = ppmd::kHb2Flag[Symbol(m_foundState)];
        coder.Take(high, total - high);
        masked.fill(0);
        for (std::uint32_t i = 0, st = Stats(ctx); i < numStats; ++i, st += kStateSize) {
            masked[Symbol(st)] = 1;
        }
        numMasked = numStats;
    } else {
        const std::uint32_t s = ctx + kOneState;
        m_hiBitsFlag = ppmd::kHb2Flag[Symbol(m_foundState)];
        // Freq of a one-state context stays within 1..128, so the row is in range.
        std::uint16_t& p =
            m_binSumm[Freq(s) - 1]
                     [m_prevSuccess + ppmd::kNs2BsIndx[NumStats(Suffix(ctx)) - 1] + m_hiBitsFlag +
                      2 * ppmd::kHb2Flag[Symbol(s)] + ((m_runLength >> 26) & 0x20)];
        const std::uint32_t prob = p;
        if (coder.Bit(prob, Symbol(s)) == 0) {
            p = static_cast<std::uint16_t>(prob + (1u << kPeriodBits) - ((prob + 32) >> 7));
            const std::uint8_t symbol = Symbol(s);
            UpdateBin(s);
            return symbol;
        }
        p = static_cast<std::uint16_t>(prob - ((prob + 32) >> 7));
        m_initEsc = ppmd::kExpEscape[p >> 10];
        masked.fill(0);
        masked[Symbol(s)] = 1;
        numMasked = 1;
        m_prevSuccess = 0;
    }

    for (;;) {
        do {
            ++m_orderFall;
            const std::uint32_t suffix = Suffix(ctx);
            if (suffix == 0 || !ContextInHeap(suffix)) {
                // An escape from the root: all 256 symbols were refused.
                m_minContext = ctx;
                return Fail();
            }
            ctx = suffix;
        } while (NumStats(ctx) == numMasked);
        m_minContext = ctx;

        const std::uint32_t numStats = NumStats(ctx);
        std::array<std::uint32_t, 256> candidates;
        std::uint32_t count = 0;
        std::uint32_t high = 0;
        for (std::uint32_t i = 0, st = Stats(ctx); i < numStats; ++i, st += kStateSize) {
            if (masked[Symbol(st)] == 0) {
                high += Freq(st);
                candidates[count++] = st;
            }
        }
        // A suffix holds every symbol of its child; anything else is a broken model.
        if (count == 0 || count + numMasked != numStats) {
            return Fail();
        }
        std::uint32_t escFreq;
        See* see = MakeEscFreq(numMasked, escFreq);
        const std::uint32_t total = high + escFreq;
        coder.SetTotal(total);
        std::uint32_t sum = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t st = candidates[i];
            const std::uint32_t f = Freq(st);
            sum += f;
            if (coder.Hit(sum, Symbol(st))) {
                coder.Take(sum - f, f);
                SeeUpdate(*see);
                const std::uint8_t symbol = Symbol(st);
                Update2(st);
                return symbol;
            }
        }
        if (!coder.EscapeValid(total)) {
            return Fail();
        }
        coder.Take(high, total - high);
        see->summ = static_cast<std::uint16_t>(see->summ + total);
        for (std::uint32_t i = 0; i < count; ++i) {
            masked[Symbol(candidates[i])] = 1;
        }
        numMasked = numStats;
    }
}

} // namespace bi::codec
