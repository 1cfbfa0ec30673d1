// RAR's variable-length integers: 7 bits a byte, least significant group first, bit 7 set on
// every byte but the last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bi {

// Appends the shortest encoding of value (1 to 10 bytes).
void AppendVint(std::string& out, std::uint64_t value);

// Appends value in exactly `width` bytes (at least VintSize(value)), filling with 0x80 bytes as
// RAR does where it reserves room for a value that is known only later.
void AppendVint(std::string& out, std::uint64_t value, std::size_t width);

// Number of bytes of the shortest encoding.
std::size_t VintSize(std::uint64_t value);

enum class VintStatus {
    Ok,
    Truncated, // the bytes ran out while the encoding was still continuing
    Invalid,   // longer than allowed, or more than 64 bits
};

struct VintValue {
    VintStatus status = VintStatus::Invalid;
    std::uint64_t value = 0;
    std::size_t length = 0; // bytes consumed when Ok
};

// Decodes from at most `available` bytes. Over-long forms (80 80 00 for 0) are accepted; an
// encoding still continuing after maxLength bytes (at most 10) is Invalid.
VintValue DecodeVint(const std::uint8_t* data, std::size_t available, std::size_t maxLength = 10);

} // namespace bi
