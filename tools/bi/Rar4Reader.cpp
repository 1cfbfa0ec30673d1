// The RAR 2.9-4.x half of the catalog reader.
//
// Blocks follow the marker one after another. Each header is read whole (HEAD_SIZE is 16 bits,
// so never more than 64 KiB) and checked against its CRC before any field in it is believed;
// data areas are skipped by their size without being read.
#include "CatalogReaders.h"

#include "Crc32.h"
#include "EntryName.h"
#include "Rar4Format.h"
#include "RarFormat.h"
#include "Text.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace bi {

namespace {

using namespace rar4;

// FILETIME (UTC) of a DOS date and time, which RAR stores in the archiving machine's local
// time. Fuzzed archives hold day or month 0; such a date reads as the DOS epoch.
bool DosTimeToFileTime(std::uint32_t dos, std::uint64_t& fileTime) {
    SYSTEMTIME local{};
    local.wYear = static_cast<WORD>(1980 + (dos >> 25));
    local.wMonth = static_cast<WORD>((dos >> 21) & 0x0F);
    local.wDay = static_cast<WORD>((dos >> 16) & 0x1F);
    local.wHour = static_cast<WORD>((dos >> 11) & 0x1F);
    local.wMinute = static_cast<WORD>((dos >> 5) & 0x3F);
    local.wSecond = static_cast<WORD>((dos & 0x1F) * 2);
    if (local.wMonth == 0 || local.wMonth > 12 || local.wDay == 0) {
        local = SYSTEMTIME{};
        local.wYear = 1980;
        local.wMonth = 1;
        local.wDay = 1;
    }
    SYSTEMTIME utc;
    FILETIME time;
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) ||
        !SystemTimeToFileTime(&utc, &time)) {
        return false;
    }
    fileTime = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return true;
}

// The extended time field refines the modification time of FTIME: flags, then for each present
// time its DOS time (the modification time has FTIME instead) and up to three bytes of the
// remainder in 100 ns units, most significant bytes only. Returns false when the field runs
// past the header.
bool ReadExtendedTime(const std::uint8_t* at, std::size_t size, bool hasTime,
                      std::uint64_t& fileTime) {
    if (size < 2) {
        return false;
    }
    const unsigned flags = ReadUint16(at);
    std::size_t pos = 2;
    for (int index = 0; index < 4; ++index) {
        const unsigned group = (flags >> (exttime::kMtimeShift - 4 * index)) & 0x0F;
        if (!(group & exttime::kPresent)) {
            continue;
        }
        if (index > 0) {
            if (size - pos < kDosTimeSize) {
                return false;
            }
            pos += kDosTimeSize;
        }
        const unsigned count = group & exttime::kRemainderBytes;
        if (size - pos < count) {
            return false;
        }
        std::uint32_t remainder = 0;
        for (unsigned j = 0; j < count; ++j) {
            remainder |= static_cast<std::uint32_t>(at[pos + j]) << (8 * (j + 3 - count));
        }
        pos += count;
        if (index == 0 && hasTime) {
            if (group & exttime::kOddSecond) {
                fileTime += rar::kFileTimeUnitsPerSecond;
            }
            fileTime += std::min<std::uint32_t>(remainder, rar::kFileTimeUnitsPerSecond - 1);
        }
    }
    return true;
}

class Rar4CatalogReader {
public:
    Rar4CatalogReader(const ArchiveInput& input, Catalog& catalog)
        : m_input(input), m_catalog(catalog) {}

    Status Run(std::uint64_t markerOffset);

private:
    Status ReadFileHeader(std::uint64_t offset, std::uint64_t dataOffset, std::uint64_t dataSize);
    Status PeekPpmd(CatalogEntry& entry);

    const ArchiveInput& m_input;
    Catalog& m_catalog;
    std::vector<std::uint8_t> m_header;
};

Status Rar4CatalogReader::Run(std::uint64_t markerOffset) {
    m_catalog.format = ArchiveFormat::Rar4;
    const std::uint64_t archiveSize = m_input.size();
    std::uint64_t offset = markerOffset + kMarkerSize;
    bool first = true;
    // An archive may end without an end block.
    while (offset < archiveSize) {
        std::uint8_t base[kBaseHeaderSize];
        if (archiveSize - offset < kBaseHeaderSize) {
            return Status(Failure::Truncated, AtOffset(offset));
        }
        BI_RETURN_IF_FAILED(m_input.ReadAt(offset, base, sizeof(base)));
        if (std::memcmp(base, kMarker, kMarkerSize) == 0) {
            offset += kMarkerSize; // a repeated marker is skipped
            continue;
        }
        const std::uint8_t type = base[2];
        const std::uint16_t flags = ReadUint16(base + 3);
        const std::uint16_t headerSize = ReadUint16(base + 5);
        const bool fileLike = type == block::kFile || type == block::kService;
        const std::size_t minimum = fileLike                       ? kFileHeaderSize
                                    : (flags & header::kLongBlock) ? kLongHeaderSize
                                                                   : kBaseHeaderSize;
        if (headerSize < minimum) {
            return Status(Failure::DamagedHeader, AtOffset(offset));
        }
        if (headerSize > archiveSize - offset) {
            return Status(Failure::Truncated, AtOffset(offset));
        }
        m_header.resize(headerSize);
        BI_RETURN_IF_FAILED(m_input.ReadAt(offset, m_header.data(), m_header.size()));
        if ((Crc32(m_header.data() + 2, m_header.size() - 2) & 0xFFFF) != ReadUint16(base)) {
            return Status(Failure::DamagedHeader, AtOffset(offset));
        }
        std::uint64_t dataSize = 0;
        if (fileLike) {
            if ((flags & file::kLarge) && headerSize < kLargeFileHeaderSize) {
                return Status(Failure::DamagedHeader, AtOffset(offset));
            }
            dataSize = ReadUint32(m_header.data() + field::kPackSize);
            if (flags & file::kLarge) {
                dataSize |=
                    static_cast<std::uint64_t>(ReadUint32(m_header.data() + field::kHighPackSize))
                    << 32;
            }
        } else if (flags & header::kLongBlock) {
            dataSize = ReadUint32(m_header.data() + kBaseHeaderSize);
        }
        const std::uint64_t dataOffset = offset + headerSize;
        if (dataSize > archiveSize - dataOffset) {
            return Status(Failure::Truncated, AtOffset(offset));
        }

        if (first != (type == block::kMain)) {
            return Status(Failure::DamagedHeader, AtOffset(offset));
        }
        first = false;
        switch (type) {
        case block::kMain:
            if (flags & archive::kEncryptedHeaders) {
                return Status(Failure::Encrypted, L"archive headers are encrypted");
            }
            if (flags & archive::kVolume) {
                return Status(Failure::MultiVolume, m_input.path());
            }
            m_catalog.solid = (flags & archive::kSolid) != 0;
            break;
        case block::kFile:
            BI_RETURN_IF_FAILED(ReadFileHeader(offset, dataOffset, dataSize));
            break;
        case block::kEnd:
            if (flags & end::kNextVolume) {
                return Status(Failure::MultiVolume, m_input.path());
            }
            return Status::Ok(); // whatever follows does not belong to the archive
        default:
            // Service headers (comments, recovery records, NTFS streams) and the old comment,
            // authenticity and sub-blocks are not content.
            if (type != block::kService &&
                (type < block::kOldComment || type > block::kOldSignature) &&
                !(flags & header::kSkipIfUnknown)) {
                return Status(Failure::UnknownBlock, AtOffset(offset));
            }
            break;
        }
        offset = dataOffset + dataSize;
    }
    if (first) {
        return Status(Failure::Truncated, L"no main header");
    }
    return Status::Ok();
}

Status Rar4CatalogReader::ReadFileHeader(std::uint64_t offset, std::uint64_t dataOffset,
                                         std::uint64_t dataSize) {
    const std::uint8_t* h = m_header.data();
    const std::size_t headerSize = m_header.size();
    const std::uint16_t flags = ReadUint16(h + 3);
    const bool large = (flags & file::kLarge) != 0;
    std::uint64_t unpackedSize = ReadUint32(h + field::kUnpackedSize);
    if (large) {
        unpackedSize |= static_cast<std::uint64_t>(ReadUint32(h + field::kHighUnpackedSize)) << 32;
    }
    const std::uint8_t host = h[field::kHostOs];
    const std::uint32_t crc = ReadUint32(h + field::kFileCrc);
    const std::uint32_t ftime = ReadUint32(h + field::kTime);
    const std::uint8_t unpackVersion = h[field::kUnpackVersion];
    const std::uint8_t methodByte = h[field::kMethod];
    const std::size_t nameSize = ReadUint16(h + field::kNameSize);
    const std::uint32_t attributes = ReadUint32(h + field::kAttributes);
    std::size_t pos = large ? kLargeFileHeaderSize : kFileHeaderSize;
    if (headerSize - pos < nameSize) {
        return Status(Failure::DamagedHeader, AtOffset(offset));
    }
    const std::string_view nameField(reinterpret_cast<const char*>(h + pos), nameSize);
    pos += nameSize;
    if (flags & file::kSalt) {
        if (headerSize - pos < kSaltSize) {
            return Status(Failure::DamagedHeader, AtOffset(offset));
        }
        pos += kSaltSize;
    }
    std::uint64_t fileTime = 0;
    const bool hasTime = DosTimeToFileTime(ftime, fileTime);
    if ((flags & file::kExtendedTime) &&
        !ReadExtendedTime(h + pos, headerSize - pos, hasTime, fileTime)) {
        return Status(Failure::DamagedHeader, AtOffset(offset));
    }

    std::wstring name = DecodeRar4Name(nameField, (flags & file::kUnicodeName) != 0);
    std::replace(name.begin(), name.end(), L'\\', L'/');
    std::string storedName;
    const bool validName = quor::ToUtf8(name, storedName);
    const std::wstring shownName = validName && !name.empty() ? name : AtOffset(offset);

    // The order matters: an encrypted entry's data means nothing, and a split one is partial.
    if (flags & (file::kSplitBefore | file::kSplitAfter)) {
        return Status(Failure::MultiVolume, shownName);
    }
    if (flags & file::kEncrypted) {
        return Status(Failure::Encrypted, shownName);
    }
    const bool directory = (flags & file::kWindowMask) == file::kDirectoryWindow;
    const bool unixHost = host == host::kUnix || host == host::kMacOs || host == host::kBeOs;

    CatalogEntry entry;
    if (!validName) {
        return Status(Failure::UnsafeName, shownName);
    }
    BI_RETURN_IF_FAILED(RelativePathFromArchiveName(storedName, entry.relativePath));
    entry.name = storedName;
    entry.directory = directory;
    // A Unix symbolic link stores its target as its data: tested like a file, never created.
    entry.link =
        !directory && unixHost && (attributes & rar::unixmode::kTypeMask) == rar4::kUnixSymlink;
    const HostKind hostKind = host <= host::kWindows ? HostKind::Windows
                              : unixHost             ? HostKind::Unix
                                                     : HostKind::Other;
    entry.attributes = WindowsAttributes(hostKind, attributes, directory);
    entry.hasTime = hasTime;
    entry.fileTime = fileTime;
    if (!directory) {
        if (methodByte < method::kStore || methodByte > method::kBest) {
            return Status(Failure::Unsupported, shownName + L" (unknown compression method)");
        }
        entry.method = methodByte - method::kStore;
        if (entry.compressed()) {
            if (unpackVersion == version::kRar15 || unpackVersion == version::kRar20 ||
                unpackVersion == version::kRar20Large) {
                return Status(Failure::Unsupported,
                              shownName + L" (compression method of RAR 1.5-2.0, unpack version " +
                                  std::to_wstring(unpackVersion) + L")");
            }
            if (unpackVersion != version::kRar29 && unpackVersion != version::kRar29Alias) {
                return Status(Failure::Unsupported, shownName + L" (unknown unpack version " +
                                                        std::to_wstring(unpackVersion) + L")");
            }
            entry.solid = (flags & file::kSolid) != 0;
            entry.dictionarySize = file::kSmallestWindow
                                   << ((flags & file::kWindowMask) >> file::kWindowShift);
        } else if (unpackedSize != dataSize) {
            return Status(Failure::DamagedHeader, shownName); // stored: the file byte for byte
        }
        entry.size = unpackedSize;
        entry.dataOffset = dataOffset;
        entry.packedSize = dataSize;
        entry.hasCrc = true;
        entry.crc = crc;
        BI_RETURN_IF_FAILED(PeekPpmd(entry));
    }
    m_catalog.entries.push_back(std::move(entry));
    return Status::Ok();
}

// The data of an entry that starts its own stream begins with a block header: its first bit
// set means PPMd. An entry continuing a solid stream may begin anywhere, so it is not judged.
Status Rar4CatalogReader::PeekPpmd(CatalogEntry& entry) {
    if (!entry.compressed() || entry.solid || entry.packedSize == 0) {
        return Status::Ok();
    }
    std::uint8_t lead = 0;
    BI_RETURN_IF_FAILED(m_input.ReadAt(entry.dataOffset, &lead, 1));
    entry.ppmd = (lead & 0x80) != 0;
    return Status::Ok();
}

// The OEM name and, after a zero byte, the UTF-16 name coded against it: a byte with the
// high byte most units share, then operations two bits each, four to a flags byte, highest
// first.
std::wstring DecodeCompressedUnicode(std::string_view oem, std::string_view coded,
                                     std::size_t limit) {
    std::wstring units;
    const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(coded[i]); };
    const std::size_t size = coded.size();
    if (size == 0) {
        return units;
    }
    const unsigned high = at(0);
    std::size_t p = 1;
    unsigned flags = 0;
    int flagBits = 0;
    while (p < size && units.size() < limit) {
        if (flagBits == 0) {
            flags = at(p++);
            flagBits = 8;
            if (p >= size) {
                break;
            }
        }
        flagBits -= 2;
        switch ((flags >> flagBits) & 3) {
        case 0:
            units.push_back(static_cast<wchar_t>(at(p++)));
            break;
        case 1:
            units.push_back(static_cast<wchar_t>(high * 256 + at(p++)));
            break;
        case 2:
            if (p + 1 >= size) {
                return units;
            }
            units.push_back(static_cast<wchar_t>(at(p) + 256 * at(p + 1)));
            p += 2;
            break;
        default: {
            const unsigned n = at(p++);
            unsigned correction = 0;
            if (n & 0x80) {
                if (p >= size) {
                    return units;
                }
                correction = at(p++);
            }
            const unsigned count = (n & 0x7F) + 2;
            for (unsigned k = 0; k < count && units.size() < limit; ++k) {
                const std::size_t i = units.size();
                if (i >= oem.size()) {
                    return units;
                }
                const unsigned byte = static_cast<std::uint8_t>(oem[i]);
                units.push_back(static_cast<wchar_t>(
                    (n & 0x80) ? high * 256 + ((byte + correction) & 0xFF) : byte));
            }
            break;
        }
        }
    }
    return units;
}

std::wstring FromOem(std::string_view bytes) {
    if (bytes.empty()) {
        return {};
    }
    const int length =
        MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                            length);
    }
    return text;
}

} // namespace

std::wstring DecodeRar4Name(std::string_view field, bool unicode) {
    const std::size_t zero = field.find('\0');
    if (unicode && zero != std::string_view::npos) {
        const std::wstring name =
            DecodeCompressedUnicode(field.substr(0, zero), field.substr(zero + 1), field.size());
        if (!name.empty()) {
            return name;
        }
        field = field.substr(0, zero); // nothing coded: the OEM name is all there is
    }
    std::wstring name;
    if (quor::FromUtf8(field, name)) {
        return name;
    }
    return FromOem(field);
}

Status ReadRar4Catalog(const ArchiveInput& input, std::uint64_t markerOffset, Catalog& catalog) {
    Rar4CatalogReader reader(input, catalog);
    return reader.Run(markerOffset);
}

} // namespace bi
