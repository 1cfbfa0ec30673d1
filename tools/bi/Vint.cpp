// RAR's variable-length integers.
#include "Vint.h"

#include "RarFormat.h"

namespace bi {

void AppendVint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>(0x80 | (value & 0x7F)));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

void AppendVint(std::string& out, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 1; i < width; ++i) {
        out.push_back(static_cast<char>(0x80 | (value & 0x7F)));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

std::size_t VintSize(std::uint64_t value) {
    std::size_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

VintValue DecodeVint(const std::uint8_t* data, std::size_t available, std::size_t maxLength) {
    if (maxLength > rar::kMaxVintSize) {
        maxLength = rar::kMaxVintSize;
    }
    VintValue result;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < maxLength; ++i) {
        if (i >= available) {
            result.status = VintStatus::Truncated;
            return result;
        }
        const std::uint64_t group = data[i] & 0x7F;
        // The tenth byte holds only bit 63.
        if (i == rar::kMaxVintSize - 1 && group > 1) {
            result.status = VintStatus::Invalid;
            return result;
        }
        value |= group << (7 * i);
        if ((data[i] & 0x80) == 0) {
            result.status = VintStatus::Ok;
            result.value = value;
            result.length = i + 1;
            return result;
        }
    }
    result.status = VintStatus::Invalid;
    return result;
}

} // namespace bi
