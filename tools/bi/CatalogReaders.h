// The two format-specific halves of ReadCatalog and what they share.
#pragma once

#include "ArchiveReader.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace bi {

// Reads the blocks of a RAR 5.0 archive whose signature is at signatureOffset.
Status ReadRar5Catalog(const ArchiveInput& input, std::uint64_t signatureOffset, Catalog& catalog);

// Reads the blocks of a RAR 2.9-4.x archive whose marker is at markerOffset.
Status ReadRar4Catalog(const ArchiveInput& input, std::uint64_t markerOffset, Catalog& catalog);

// The name of a RAR 2.9-4.x file header: UTF-8 when the bytes are valid UTF-8, else the OEM
// code page; with the Unicode flag and a zero byte, the UTF-16 name coded after that byte.
std::wstring DecodeRar4Name(std::string_view field, bool unicode);

enum class HostKind { Windows, Unix, Other };
std::uint32_t WindowsAttributes(HostKind host, std::uint64_t attributes, bool directory);

// "block at offset N", naming a header that cannot be trusted.
std::wstring AtOffset(std::uint64_t offset);

inline std::uint16_t ReadUint16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}
inline std::uint32_t ReadUint32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

} // namespace bi
