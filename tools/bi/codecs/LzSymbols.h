// What the parsers and block writers of the RAR 2.9 and RAR 5.0 LZ encoders share: copies and
// their kinds, the distance history both decoders keep, the length limits of each format, and
// the length and distance slots the two formats have in common.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace bi::codec {

// How a copy names its distance. Both decoders keep the last four distances, most recent
// first, and the length of the last copy.
enum class CopyKind : std::uint8_t {
    Repeat0, // distance history entry k (0-3), moved to the front
    Repeat1,
    Repeat2,
    Repeat3,
    NewDistance, // pushed onto the front of the history
    RepeatLast,  // the last copy again, same distance and length; the history stays as it is
};

// One copy and the literals before it. A parse of a stretch of input is a row of these; the
// last one may have length 0 (literals only).
struct LzCopy {
    std::uint32_t literals; // literal bytes before the copy
    std::uint32_t length;   // bytes copied, a length bonus included
    std::uint32_t distance;
    CopyKind kind;
};

// The distance history as both decoders see it, limited to what the chunk itself put there:
// a chunk's output is decoded after other chunks whose copies the encoder does not know, so
// it may only name distances it pushed itself and repeat a copy it made itself.
struct DistanceHistory {
    std::array<std::uint32_t, 4> distances{};
    unsigned known = 0;           // entries set by this chunk, counted from the front
    std::uint32_t lastLength = 0; // 0 until the chunk's first copy

    // The entry holding `distance`, or -1.
    int Find(std::uint32_t distance) const {
        for (unsigned k = 0; k < known; ++k) {
            if (distances[k] == distance) {
                return static_cast<int>(k);
            }
        }
        return -1;
    }
    void Push(std::uint32_t distance) {
        distances = {distance, distances[0], distances[1], distances[2]};
        known += known < 4 ? 1 : 0;
    }
    void MoveToFront(unsigned k) {
        const std::uint32_t distance = distances[k];
        for (; k > 0; --k) {
            distances[k] = distances[k - 1];
        }
        distances[0] = distance;
    }
    // The history after a copy of the given kind.
    void Apply(CopyKind kind, std::uint32_t distance, std::uint32_t length) {
        if (kind == CopyKind::NewDistance) {
            Push(distance);
        } else if (kind != CopyKind::RepeatLast) {
            MoveToFront(static_cast<unsigned>(kind));
        }
        lastLength = length;
    }
};

// Limits a format puts on copies. A copy with a new distance is coded as its length less a
// bonus that grows with the distance, so far copies have a larger least length; both formats
// add one at each of three distance steps. RAR 2.9 codes length-2 copies up to distance 256
// with symbols of their own and adds its bonus at the last two steps only; RAR 5.0 adds it at
// all three.
struct LzRules {
    std::array<std::uint32_t, 3> steps; // a distance above steps[i] adds one to the least length
    unsigned firstBonusStep;            // the bonus counts the steps from this one on
    std::uint32_t maxCoded;             // longest coded length of a new-distance copy
    std::uint32_t maxRepeat;            // longest copy with a distance from the history
    std::uint32_t maxDistance;

    std::uint32_t MinLength(std::uint32_t distance) const {
        return 2 + (distance > steps[0]) + (distance > steps[1]) + (distance > steps[2]);
    }
    std::uint32_t Bonus(std::uint32_t distance) const {
        return (firstBonusStep == 0 && distance > steps[0]) + (distance > steps[1]) +
               (distance > steps[2]);
    }
    std::uint32_t MaxLength(std::uint32_t distance) const { return maxCoded + Bonus(distance); }
    // No copy of any kind is longer.
    std::uint32_t Longest() const { return maxRepeat > maxCoded + 3 ? maxRepeat : maxCoded + 3; }
};

inline constexpr LzRules kRar29Rules = {{0x100, 0x1FFF, 0x3FFFF}, 1, 258, 257, 4u << 20};
// maxDistance is the encoder's choice for RAR 5.0 (it depends on the dictionary declared).
inline constexpr LzRules kRar5Rules = {{0x100, 0x2000, 0x40000}, 0, 4097, 4097, 0};

inline unsigned HighestBit(std::uint32_t value) {
    return 31u - static_cast<unsigned>(__builtin_clz(value));
}

// A value split into a slot and the extra bits that follow its code.
struct SlotCode {
    unsigned slot;
    std::uint32_t extra;
    unsigned extraBits;
};

// Length slots, the same in both formats: values 0-7 are slots 0-7, then every four slots
// double the range. RAR 2.9 codes (length - 3 - bonus) for new distances and (length - 2) for
// the history; RAR 5.0 codes (length - 2 - bonus) and (length - 2).
inline SlotCode LengthSlot(std::uint32_t value) {
    if (value < 8) {
        return {value, 0, 0};
    }
    const unsigned bits = HighestBit(value) - 2;
    return {4 * (bits + 1) + ((value >> bits) & 3), value & ((1u << bits) - 1), bits};
}

// Distance slots: distances 1-4 are slots 0-3, then two slots per doubling. From slot 10 on,
// the low four extra bits are coded with the low-distance code. RAR 2.9 follows this up to
// distance 2^18 and then has twelve slots of 2^16 and twelve of 2^18 distances.
inline SlotCode DistanceSlot(std::uint32_t distance) {
    const std::uint32_t value = distance - 1;
    if (value < 4) {
        return {value, 0, 0};
    }
    const unsigned high = HighestBit(value);
    const unsigned bits = high - 1;
    return {2 * high + ((value >> bits) & 1), value & ((1u << bits) - 1), bits};
}

inline SlotCode Rar29DistanceSlot(std::uint32_t distance) {
    const std::uint32_t value = distance - 1;
    if (value < 0x40000) {
        return DistanceSlot(distance);
    }
    if (value < 0x100000) {
        return {36 + ((value - 0x40000) >> 16), (value - 0x40000) & 0xFFFF, 16};
    }
    return {48 + ((value - 0x100000) >> 18), (value - 0x100000) & 0x3FFFF, 18};
}

inline constexpr unsigned kFirstLowDistanceSlot = 10;

// Raw extra bits of a distance slot (those of the low-distance code included).
inline unsigned DistanceSlotBits(unsigned slot, bool rar29) {
    if (slot < 4) {
        return 0;
    }
    if (rar29 && slot >= 36) {
        return slot < 48 ? 16 : 18;
    }
    return slot / 2 - 1;
}

// RAR 2.9 length-2 copies up to distance 256: eight slots of 4, 4, 8, 16, 32, 64, 64 and 64
// distances.
inline constexpr std::uint8_t kShortCopyBits[8] = {2, 2, 3, 4, 5, 6, 6, 6};
inline constexpr std::uint8_t kShortCopyBase[8] = {0, 4, 8, 16, 32, 64, 128, 192};

inline SlotCode ShortCopySlot(std::uint32_t distance) {
    const std::uint32_t value = distance - 1;
    const unsigned slot = value < 8 ? value / 4 : value < 192 ? HighestBit(value) - 1 : 7;
    return {slot, value - kShortCopyBase[slot], kShortCopyBits[slot]};
}

} // namespace bi::codec
