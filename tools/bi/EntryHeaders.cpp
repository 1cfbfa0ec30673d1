// The blocks of a new archive in either format.
//
// RAR 5.0 file header, as written:
//   CRC32 | size | type 2 | flags 0x0003 | extra size 11 | data size | file flags
//   | unpacked size | attributes | [data CRC32] | compression | host 0 (Windows)
//   | name length | name | time record 0A 03 02 + FILETIME
//
// RAR 2.9 file header, as written:
//   HEAD_CRC | 74 | flags | HEAD_SIZE | PACK_SIZE | UNP_SIZE | host 2 (Windows) | FILE_CRC
//   | local DOS time | unpack version | method | name size | attributes
//   | [HIGH_PACK_SIZE | HIGH_UNP_SIZE] | name | extended time F000/B000 + 3 bytes
#include "EntryHeaders.h"

#include "Crc32.h"
#include "Rar4Format.h"
#include "RarFormat.h"
#include "Text.h"
#include "Vint.h"

#include <windows.h>

#include <algorithm>
#include <array>

namespace bi {

namespace {

// Main header with no flags and the end block, exactly as RAR writes them.
constexpr unsigned char kRar4Start[] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00, 0xCF, 0x90, 0x73,
                                        0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr unsigned char kRar4End[] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};

// RAR writes unpack version 20 on stored entries and 29 on those its LZ method packed.
constexpr std::uint8_t kStoredVersion = 20;
constexpr std::uint32_t kRar4SizeLimit = 0xFFFFFFFFu;

constexpr std::uint64_t kRar5SmallestDictionary = 128u << 10;

void AppendLe(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>(value >> (8 * i)));
    }
}

void PutLe(std::string& out, std::size_t at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out[at + i] = static_cast<char>(value >> (8 * i));
    }
}

// Smallest n with base << n >= size.
unsigned Exponent(std::uint64_t size, std::uint64_t base) {
    unsigned n = 0;
    while ((base << n) < size) {
        ++n;
    }
    return n;
}

std::string Rar5Header(const EntryInfo& entry, bool directory, const EntryData& data,
                       bool reserve) {
    std::uint64_t compression = rar::compression::kStore;
    if (!directory && data.method != 0) {
        compression = (static_cast<std::uint64_t>(data.method) << rar::compression::kMethodShift) |
                      (Exponent(data.dictionary, kRar5SmallestDictionary) << 10);
    }
    std::string body;
    AppendVint(body, rar::block::kFile);
    AppendVint(body, rar::header::kExtraArea | rar::header::kDataArea);
    AppendVint(body, rar::kTimeRecordSize);
    const std::uint64_t packed = directory ? 0 : data.packedSize;
    AppendVint(body, packed,
               reserve ? VintSize(MaxPackedSize(data.unpackedSize)) : VintSize(packed));
    AppendVint(body, directory ? rar::file::kDirectory : rar::file::kCrc32);
    AppendVint(body, directory ? 0 : data.unpackedSize);
    AppendVint(body, entry.attributes);
    if (!directory) {
        AppendLe(body, data.crc, 4);
    }
    AppendVint(body, compression);
    AppendVint(body, rar::host::kWindows);
    AppendVint(body, entry.name.size());
    body += entry.name;
    body.append(reinterpret_cast<const char*>(rar::kTimeRecordPrefix),
                sizeof(rar::kTimeRecordPrefix));
    AppendLe(body, entry.fileTime, 8);

    std::string header(rar::kCrcFieldSize, '\0');
    AppendVint(header, body.size());
    header += body;
    const std::uint32_t crc =
        Crc32(header.data() + rar::kCrcFieldSize, header.size() - rar::kCrcFieldSize);
    PutLe(header, 0, crc, 4);
    return header;
}

// The name field: plain ASCII, or the DOS name (every unit from 0x80 up as '_'), a zero byte
// and the encoded UTF-16 name. The encoding works in operations of two bits, four to a flags
// byte that precedes their operands: 0 a unit below 0x100, 1 a unit whose high byte is the
// field's common high byte, 2 any unit, 3 a run of 2-129 units copied from the DOS name.
std::string Rar4NameField(const std::string& utf8, bool& unicode) {
    std::wstring units;
    quor::FromUtf8(utf8, units); // names come from ArchiveNameFromPath: always valid
    for (wchar_t& unit : units) {
        if (unit == L'/') {
            unit = L'\\';
        }
    }
    std::string dosName;
    std::array<int, 256> highCount{};
    for (const wchar_t unit : units) {
        dosName.push_back(unit < 0x80 ? static_cast<char>(unit) : '_');
        if (unit >= 0x80) {
            ++highCount[unit >> 8];
        }
    }
    unicode = false;
    for (const wchar_t unit : units) {
        unicode = unicode || unit >= 0x80;
    }
    if (!unicode) {
        return dosName;
    }
    unsigned high = 0;
    for (unsigned candidate = 1; candidate < 256; ++candidate) {
        if (highCount[candidate] > 0 && highCount[candidate] >= highCount[high]) {
            high = candidate;
        }
    }

    std::string encoded(1, static_cast<char>(high));
    std::size_t flagsAt = 0;
    int opsInFlags = 4;
    auto addOperation = [&](unsigned operation) {
        if (opsInFlags == 4) {
            flagsAt = encoded.size();
            encoded.push_back('\0');
            opsInFlags = 0;
        }
        encoded[flagsAt] =
            static_cast<char>(encoded[flagsAt] | (operation << (6 - 2 * opsInFlags)));
        ++opsInFlags;
    };
    constexpr std::size_t kLongestRun = 129;
    for (std::size_t i = 0; i < units.size();) {
        const wchar_t unit = units[i];
        std::size_t run = 0;
        while (run < kLongestRun && i + run < units.size() && units[i + run] < 0x80) {
            ++run;
        }
        if (run >= 2) {
            addOperation(3);
            encoded.push_back(static_cast<char>(run - 2));
            i += run;
            continue;
        }
        if (unit < 0x100) {
            addOperation(0);
            encoded.push_back(static_cast<char>(unit));
        } else if ((unit >> 8) == high) {
            addOperation(1);
            encoded.push_back(static_cast<char>(unit & 0xFF));
        } else {
            addOperation(2);
            encoded.push_back(static_cast<char>(unit & 0xFF));
            encoded.push_back(static_cast<char>(unit >> 8));
        }
        ++i;
    }
    return dosName + '\0' + encoded;
}

// FTIME (local DOS time, seconds rounded down to even) and the extended time field that gives
// the odd second and the 100 ns remainder. DOS dates cover 1980-2107; times outside are
// stored as the nearest end.
void AppendRar4Time(std::string& header, std::size_t ftimeAt, std::string& extended,
                    std::uint64_t fileTime) {
    FILETIME utcTime;
    utcTime.dwLowDateTime = static_cast<DWORD>(fileTime);
    utcTime.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SYSTEMTIME utc;
    SYSTEMTIME local;
    std::uint32_t remainder = static_cast<std::uint32_t>(fileTime % rar::kFileTimeUnitsPerSecond);
    if (!FileTimeToSystemTime(&utcTime, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) || local.wYear < 1980) {
        local = SYSTEMTIME{};
        local.wYear = 1980;
        local.wMonth = 1;
        local.wDay = 1;
        remainder = 0;
    } else if (local.wYear > 2107) {
        local = SYSTEMTIME{};
        local.wYear = 2107;
        local.wMonth = 12;
        local.wDay = 31;
        local.wHour = 23;
        local.wMinute = 59;
        local.wSecond = 59;
        remainder = rar::kFileTimeUnitsPerSecond - 1;
    }
    const std::uint32_t dos = (static_cast<std::uint32_t>(local.wYear - 1980) << 25) |
                              (static_cast<std::uint32_t>(local.wMonth) << 21) |
                              (static_cast<std::uint32_t>(local.wDay) << 16) |
                              (static_cast<std::uint32_t>(local.wHour) << 11) |
                              (static_cast<std::uint32_t>(local.wMinute) << 5) |
                              (local.wSecond / 2u);
    PutLe(header, ftimeAt, dos, 4);
    unsigned flags = rar4::exttime::kPresent | 3;
    if (local.wSecond & 1) {
        flags |= rar4::exttime::kOddSecond;
    }
    AppendLe(extended, flags << rar4::exttime::kMtimeShift, 2);
    AppendLe(extended, remainder, 3);
}

std::string Rar4Header(const EntryInfo& entry, bool directory, const EntryData& data,
                       bool reserve) {
    const bool compressed = !directory && data.method != 0;
    const std::uint64_t packed = directory ? 0 : data.packedSize;
    const std::uint64_t unpacked = directory ? 0 : data.unpackedSize;
    const std::uint64_t largest = reserve ? MaxPackedSize(unpacked) : std::max(packed, unpacked);
    const bool large = largest > kRar4SizeLimit;
    bool unicode = false;
    const std::string name = Rar4NameField(entry.name, unicode);

    std::uint16_t flags = rar4::header::kLongBlock | rar4::file::kExtendedTime;
    if (directory) {
        flags |= rar4::file::kDirectoryWindow;
    } else if (compressed) {
        flags |= static_cast<std::uint16_t>(Exponent(data.dictionary, rar4::file::kSmallestWindow)
                                            << rar4::file::kWindowShift);
    }
    if (large) {
        flags |= rar4::file::kLarge;
    }
    if (unicode) {
        flags |= rar4::file::kUnicodeName;
    }

    std::string header(rar4::kBaseHeaderSize, '\0');
    header[2] = static_cast<char>(rar4::block::kFile);
    PutLe(header, 3, flags, 2);
    AppendLe(header, packed & kRar4SizeLimit, 4);
    AppendLe(header, unpacked & kRar4SizeLimit, 4);
    header.push_back(static_cast<char>(rar4::host::kWindows));
    AppendLe(header, directory ? 0 : data.crc, 4);
    AppendLe(header, 0, 4); // FTIME, filled in with the extended time below
    header.push_back(static_cast<char>(compressed ? rar4::version::kRar29 : kStoredVersion));
    header.push_back(static_cast<char>(rar4::method::kStore + (compressed ? data.method : 0)));
    AppendLe(header, name.size(), 2);
    AppendLe(header, entry.attributes, 4);
    if (large) {
        AppendLe(header, packed >> 32, 4);
        AppendLe(header, unpacked >> 32, 4);
    }
    header += name;
    std::string extended;
    AppendRar4Time(header, rar4::field::kTime, extended, entry.fileTime);
    header += extended;

    PutLe(header, 5, static_cast<std::uint32_t>(header.size()), 2);
    const std::uint32_t crc = Crc32(header.data() + 2, header.size() - 2);
    PutLe(header, 0, crc & 0xFFFF, 2);
    return header;
}

} // namespace

std::uint64_t MaxPackedSize(std::uint64_t unpackedSize) {
    return unpackedSize + unpackedSize / 64 + (64u << 10);
}

std::string_view ArchiveStart(ArchiveFormat format) {
    if (format == ArchiveFormat::Rar4) {
        return {reinterpret_cast<const char*>(kRar4Start), sizeof(kRar4Start)};
    }
    static const std::string start =
        std::string(reinterpret_cast<const char*>(rar::kSignature50), sizeof(rar::kSignature50)) +
        std::string(reinterpret_cast<const char*>(rar::kMainHeader), sizeof(rar::kMainHeader));
    return start;
}

std::string_view ArchiveEnd(ArchiveFormat format) {
    if (format == ArchiveFormat::Rar4) {
        return {reinterpret_cast<const char*>(kRar4End), sizeof(kRar4End)};
    }
    return {reinterpret_cast<const char*>(rar::kEndHeader), sizeof(rar::kEndHeader)};
}

std::string BuildDirectoryHeader(ArchiveFormat format, const EntryInfo& entry) {
    return format == ArchiveFormat::Rar4 ? Rar4Header(entry, true, {}, false)
                                         : Rar5Header(entry, true, {}, false);
}

std::string BuildFileHeader(ArchiveFormat format, const EntryInfo& entry, const EntryData& data,
                            bool reserve) {
    return format == ArchiveFormat::Rar4 ? Rar4Header(entry, false, data, reserve)
                                         : Rar5Header(entry, false, data, reserve);
}

} // namespace bi
