// The blocks of a new archive in either format: its start, one header per entry and its end.
#pragma once

#include "ArchiveFormat.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace bi {

// Entry metadata as stored: name with '/' separators in UTF-8, Windows attributes and the
// modification time as FILETIME (100 ns units since 1601, UTC).
struct EntryInfo {
    std::string name;
    std::uint32_t attributes = 0;
    std::uint64_t fileTime = 0;
};

// How a file's content is stored.
struct EntryData {
    std::uint64_t unpackedSize = 0;
    std::uint64_t packedSize = 0; // the data area that follows the header
    std::uint32_t crc = 0;        // CRC32 of the content
    int method = 0;               // 0 stored, 1-5 compressed with that effort
    std::uint64_t dictionary = 0; // compressed: the largest distance the data may use
};

// The most a file's data area can take: compressed chunks that did not shrink are sent as
// literals, which costs a little more than the chunk.
std::uint64_t MaxPackedSize(std::uint64_t unpackedSize);

// Signature and main header, and the end-of-archive block.
std::string_view ArchiveStart(ArchiveFormat format);
std::string_view ArchiveEnd(ArchiveFormat format);

// The complete header of a directory.
std::string BuildDirectoryHeader(ArchiveFormat format, const EntryInfo& entry);

// The complete header of a file. With `reserve`, the packed size takes the width that any value
// up to MaxPackedSize needs, so a header written before the size and the CRC32 are known can
// later be rebuilt with the final values (and the same method) at the same size and written
// over the first one.
std::string BuildFileHeader(ArchiveFormat format, const EntryInfo& entry, const EntryData& data,
                            bool reserve);

} // namespace bi
