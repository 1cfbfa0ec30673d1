// Helpers for the archiver tests: the worked example archive, hand-made archive blocks,
// reading back, file times and test content.
#pragma once

#include <windows.h>

#include "ArchiveReader.h"
#include "TestSupport.h"
#include "Text.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bi::test {

// The 99-byte archive of the format's worked example: folder "Data" and file "Data/a.txt"
// holding "hello", both modified 2024-01-02 03:04:05 UTC, attributes 0x10 and 0x20.
std::string ExampleArchive();
inline constexpr std::uint64_t kExampleTime = 0x01DA3D285848C080ull;

// Bytes from hex text; spaces are ignored.
std::string FromHex(std::string_view hex);
std::string Vint(std::uint64_t value);
std::string Le32(std::uint32_t value);

// One block: CRC32, header size, type, flags, the optional extra and data sizes (taken from
// the flags), the type-specific fields, the extra area, then the data.
std::string Block(std::uint64_t type, std::uint64_t flags, const std::string& fields,
                  const std::string& extra = "", const std::string& data = "");

// A file or folder header with its content, field by field as a RAR writer might set them.
struct RawEntry {
    std::string name{};
    std::string content{};
    bool directory = false;
    std::uint64_t host = 0;
    std::uint64_t attributes = 0x20;
    std::uint64_t compression = 0;
    std::optional<std::uint32_t> unixTime{}; // header time field (file flag 0x0002)
    bool omitCrc = false;
    std::optional<std::uint64_t> unpackedSize{}; // default: content size
    std::uint64_t extraHeaderFlags = 0;          // e.g. split flags
    std::string extra{};                         // extra area records
};
std::string EntryBlock(const RawEntry& entry);

// Signature, main header, the given blocks and the end header.
std::string Archive(const std::string& blocks);

// Opens the archive, reads every header, unpacks every entry and checks its CRC32 or hash.
Status ReadBack(const std::wstring& archive, Catalog& catalog);

bool SetModified(const std::wstring& path, std::uint64_t fileTime);

// FILETIME of a UTC calendar time.
std::uint64_t FileTimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second);

// FILETIME of a calendar time in the machine's time zone, as DOS times are stored.
std::uint64_t LocalFileTimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute,
                              WORD second);

// Pseudo-random bytes that differ from one seed to the next.
std::string Pattern(std::size_t size, unsigned seed);

// UTF-8 form for assertion messages.
inline std::string Narrow(const std::wstring& text) {
    return quor::ToUtf8(text);
}

} // namespace bi::test
