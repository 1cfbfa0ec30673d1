// Helpers for the archiver tests.
#include "BiTestUtil.h"

#include "ArchiveReader.h"
#include "Crc32.h"
#include "EntryContent.h"
#include "TestSupport.h"
#include "UniqueHandle.h"
#include "Vint.h"

#include <string>

namespace bi::test {

std::string FromHex(std::string_view hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); ++i) {
        if (hex[i] != ' ') {
            bytes.push_back(
                static_cast<char>(std::stoi(std::string(hex.substr(i++, 2)), nullptr, 16)));
        }
    }
    return bytes;
}

std::string ExampleArchive() {
    return FromHex("52 61 72 21 1A 07 01 00 C5 1A 33 32 03 01 00 00"
                   "62 18 2D DF 19 02 03 0B 00 01 00 10 00 00 04 44"
                   "61 74 61 0A 03 02 80 C0 48 58 28 3D DA 01 C6 37"
                   "70 5B 23 02 03 0B 05 04 05 20 86 A6 10 36 00 00"
                   "0A 44 61 74 61 2F 61 2E 74 78 74 0A 03 02 80 C0"
                   "48 58 28 3D DA 01 68 65 6C 6C 6F 1D 77 56 51 03"
                   "05 04 00");
}

std::string Vint(std::uint64_t value) {
    std::string out;
    AppendVint(out, value);
    return out;
}

std::string Le32(std::uint32_t value) {
    return {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
            static_cast<char>(value >> 24)};
}

std::string Block(std::uint64_t type, std::uint64_t flags, const std::string& fields,
                  const std::string& extra, const std::string& data) {
    const std::string body = Vint(type) + Vint(flags) + (flags & 0x0001 ? Vint(extra.size()) : "") +
                             (flags & 0x0002 ? Vint(data.size()) : "") + fields + extra;
    const std::string covered = Vint(body.size()) + body;
    return Le32(Crc32(covered.data(), covered.size())) + covered + data;
}

std::string EntryBlock(const RawEntry& entry) {
    const bool withCrc = !entry.directory && !entry.omitCrc;
    const std::uint64_t fileFlags =
        (entry.directory ? 0x0001 : 0) | (entry.unixTime ? 0x0002 : 0) | (withCrc ? 0x0004 : 0);
    const std::string fields =
        Vint(fileFlags) + Vint(entry.unpackedSize.value_or(entry.content.size())) +
        Vint(entry.attributes) + (entry.unixTime ? Le32(*entry.unixTime) : "") +
        (withCrc ? Le32(Crc32(entry.content.data(), entry.content.size())) : "") +
        Vint(entry.compression) + Vint(entry.host) + Vint(entry.name.size()) + entry.name;
    return Block(2, 0x0002 | (entry.extra.empty() ? 0 : 0x0001) | entry.extraHeaderFlags, fields,
                 entry.extra, entry.content);
}

std::string Archive(const std::string& blocks) {
    return FromHex("52 61 72 21 1A 07 01 00 C5 1A 33 32 03 01 00 00") + blocks +
           FromHex("1D 77 56 51 03 05 04 00");
}

Status ReadBack(const std::wstring& archive, Catalog& catalog) {
    ArchiveInput input;
    BI_RETURN_IF_FAILED(input.Open(archive));
    BI_RETURN_IF_FAILED(ReadCatalog(input, catalog));
    class Discard : public ContentSink {
        Status Write(const std::uint8_t*, std::size_t) override { return Status::Ok(); }
    } discard;
    ContentReader content(input, catalog);
    for (const CatalogEntry& entry : catalog.entries) {
        if (!entry.directory) {
            BI_RETURN_IF_FAILED(content.Read(entry, discard));
        }
    }
    return Status::Ok();
}

bool SetModified(const std::wstring& path, std::uint64_t fileTime) {
    quor::FileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    FILETIME time{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    return file && SetFileTime(file.get(), nullptr, nullptr, &time);
}

std::uint64_t FileTimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    const SYSTEMTIME utc{year, month, 0, day, hour, minute, second, 0};
    FILETIME time{};
    SystemTimeToFileTime(&utc, &time);
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::uint64_t LocalFileTimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute,
                              WORD second) {
    const SYSTEMTIME local{year, month, 0, day, hour, minute, second, 0};
    SYSTEMTIME utc{};
    TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc);
    return FileTimeOf(utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
}

std::string Pattern(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t x = seed;
    for (char& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<char>(x >> 24);
    }
    return bytes;
}

} // namespace bi::test
