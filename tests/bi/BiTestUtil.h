// Helpers for the archiver tests: the worked example archive, hand-made archive blocks,
// SHA-256, file times and snapshots of extracted trees.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include "TestSupport.h"

#include <string>
#include <string_view>

namespace bi::test {

// Folder of the sample archives made by other tools (QUOR_TESTDATA).
std::wstring SampleFolder();

// The 99-byte archive of the format's worked example: folder "Data" and file "Data/a.txt"
// holding "hello", both modified 2024-01-02 03:04:05 UTC, attributes 0x10 and 0x20.
std::string ExampleArchive();
inline constexpr std::uint64_t kExampleTime = 0x01DA3D285848C080ull;

// Bytes from hex text; spaces are ignored.
std::string FromHex(std::string_view hex);

std::string Vint(std::uint64_t value);
std::string Le32(std::uint32_t value);
std::string Le64(std::uint64_t value);

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
    std::optional<std::uint32_t> crc{};      // default: CRC32 of content (files only)
    bool omitCrc = false;
    std::optional<std::uint64_t> unpackedSize{}; // default: content size
    std::uint64_t extraHeaderFlags = 0;          // e.g. split flags
    std::string extra{};                         // extra area records
};
std::string EntryBlock(const RawEntry& entry);

// A FILETIME time record (extra record type 3) for the extra area.
std::string FileTimeRecord(std::uint64_t fileTime);

// Signature, main header, the given blocks and the end header.
std::string Archive(const std::string& blocks);

// Lowercase hex SHA-256 (through the platform's CNG provider, independent of the archiver).
std::string Sha256(const std::string& bytes);

bool SetModified(const std::wstring& path, std::uint64_t fileTime);
std::optional<std::uint64_t> Modified(const std::wstring& path);

// FILETIME of a UTC calendar time.
std::uint64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second);

using quor::test::IsEmptyOrMissing;
using quor::test::Item;
using quor::test::Snapshot;

// UTF-8 form for assertion messages.
std::string Narrow(const std::wstring& text);

} // namespace bi::test
