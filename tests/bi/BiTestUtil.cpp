// Helpers for the archiver tests.
#include "BiTestUtil.h"

#include "Crc32.h"
#include "Text.h"
#include "TestSupport.h"
#include "UniqueHandle.h"
#include "Vint.h"

#include <bcrypt.h>

#include <vector>

namespace bi::test {

std::wstring SampleFolder() {
    return quor::test::Env(L"QUOR_TESTDATA");
}

std::string FromHex(std::string_view hex) {
    std::string bytes;
    int high = -1;
    for (const char c : hex) {
        int value;
        if (c >= '0' && c <= '9') {
            value = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            value = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            value = c - 'A' + 10;
        } else {
            continue;
        }
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<char>(high * 16 + value));
            high = -1;
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
    std::string out;
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>(value >> (8 * i)));
    }
    return out;
}

std::string Le64(std::uint64_t value) {
    return Le32(static_cast<std::uint32_t>(value)) + Le32(static_cast<std::uint32_t>(value >> 32));
}

std::string Block(std::uint64_t type, std::uint64_t flags, const std::string& fields,
                  const std::string& extra, const std::string& data) {
    std::string body = Vint(type) + Vint(flags);
    if (flags & 0x0001) {
        body += Vint(extra.size());
    }
    if (flags & 0x0002) {
        body += Vint(data.size());
    }
    body += fields + extra;
    const std::string covered = Vint(body.size()) + body;
    return Le32(Crc32(covered.data(), covered.size())) + covered + data;
}

std::string EntryBlock(const RawEntry& entry) {
    std::uint64_t fileFlags = entry.directory ? 0x0001 : 0;
    if (entry.unixTime) {
        fileFlags |= 0x0002;
    }
    const bool withCrc = !entry.directory && !entry.omitCrc;
    if (withCrc) {
        fileFlags |= 0x0004;
    }
    std::string fields = Vint(fileFlags) + Vint(entry.unpackedSize.value_or(entry.content.size())) +
                         Vint(entry.attributes);
    if (entry.unixTime) {
        fields += Le32(*entry.unixTime);
    }
    if (withCrc) {
        fields += Le32(entry.crc.value_or(Crc32(entry.content.data(), entry.content.size())));
    }
    fields += Vint(entry.compression) + Vint(entry.host) + Vint(entry.name.size()) + entry.name;
    const std::uint64_t flags =
        0x0002 | (entry.extra.empty() ? 0 : 0x0001) | entry.extraHeaderFlags;
    return Block(2, flags, fields, entry.extra, entry.content);
}

std::string FileTimeRecord(std::uint64_t fileTime) {
    return FromHex("0A 03 02") + Le64(fileTime);
}

std::string Archive(const std::string& blocks) {
    return FromHex("52 61 72 21 1A 07 01 00 C5 1A 33 32 03 01 00 00") + blocks +
           FromHex("1D 77 56 51 03 05 04 00");
}

std::string Sha256(const std::string& bytes) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        return "no SHA-256 provider";
    }
    unsigned char digest[32] = {};
    BCRYPT_HASH_HANDLE hash = nullptr;
    NTSTATUS status = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    if (status == 0) {
        status = BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                static_cast<ULONG>(bytes.size()), 0);
    }
    if (status == 0) {
        status = BCryptFinishHash(hash, digest, sizeof(digest), 0);
    }
    if (hash) {
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    if (status != 0) {
        return "SHA-256 failed";
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : digest) {
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 15]);
    }
    return hex;
}

bool SetModified(const std::wstring& path, std::uint64_t fileTime) {
    quor::FileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    FILETIME time{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    return file && SetFileTime(file.get(), nullptr, nullptr, &time);
}

std::optional<std::uint64_t> Modified(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
           data.ftLastWriteTime.dwLowDateTime;
}

std::uint64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second) {
    SYSTEMTIME utc{};
    utc.wYear = static_cast<WORD>(year);
    utc.wMonth = static_cast<WORD>(month);
    utc.wDay = static_cast<WORD>(day);
    utc.wHour = static_cast<WORD>(hour);
    utc.wMinute = static_cast<WORD>(minute);
    utc.wSecond = static_cast<WORD>(second);
    FILETIME time{};
    SystemTimeToFileTime(&utc, &time);
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::string Narrow(const std::wstring& text) {
    return quor::ToUtf8(text);
}

} // namespace bi::test
