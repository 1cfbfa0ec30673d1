// The RAR 5.0 half of the catalog reader.
//
// Blocks are read one after another from the end of the signature: CRC32, header size vint (at most
// 3 bytes), then the header body, which is read whole (it is smaller than 2 MiB) and checked
// against the CRC32 before any field in it is believed. The extra area is located from the end of
// the header, so fields a later format version adds in between do not disturb it.
#include "CatalogReaders.h"

#include "Crc32.h"
#include "EntryName.h"
#include "RarFormat.h"
#include "Text.h"
#include "Vint.h"
#include "codecs/Rar5Decoder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace bi {

namespace {

std::uint64_t ReadUint64(const std::uint8_t* at) {
    return static_cast<std::uint64_t>(ReadUint32(at)) |
           (static_cast<std::uint64_t>(ReadUint32(at + 4)) << 32);
}

std::uint64_t UnixToFileTime(std::uint64_t seconds, std::uint32_t nanoseconds) {
    return (seconds + rar::kUnixEpochInFileTimeSeconds) * rar::kFileTimeUnitsPerSecond +
           nanoseconds / 100;
}

// Bounds-checked reading of the fields of one header.
class FieldReader {
public:
    FieldReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool Vint(std::uint64_t& value) {
        const VintValue decoded = DecodeVint(m_data + m_pos, m_size - m_pos);
        if (decoded.status != VintStatus::Ok) {
            return false;
        }
        value = decoded.value;
        m_pos += decoded.length;
        return true;
    }
    bool Uint32(std::uint32_t& value) {
        if (m_size - m_pos < 4) {
            return false;
        }
        value = ReadUint32(m_data + m_pos);
        m_pos += 4;
        return true;
    }
    bool Uint64(std::uint64_t& value) {
        if (m_size - m_pos < 8) {
            return false;
        }
        value = ReadUint64(m_data + m_pos);
        m_pos += 8;
        return true;
    }
    bool Bytes(std::uint64_t count, const std::uint8_t*& at) {
        if (count > m_size - m_pos) {
            return false;
        }
        at = m_data + m_pos;
        m_pos += static_cast<std::size_t>(count);
        return true;
    }
    std::size_t position() const { return m_pos; }
    std::size_t remaining() const { return m_size - m_pos; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// What the extra area of a file header says.
struct ExtraFacts {
    bool encrypted = false;
    bool link = false;
    bool hasTime = false;
    std::uint64_t fileTime = 0;
    bool hasBlake2 = false;
    std::array<std::uint8_t, 32> blake2{};
};

// A hash record: its type, then the hash. BLAKE2sp (type 0) is the only type.
void ReadHashRecord(FieldReader record, ExtraFacts& facts) {
    std::uint64_t type = 0;
    const std::uint8_t* hash = nullptr;
    if (record.Vint(type) && type == rar::kHashBlake2sp &&
        record.Bytes(facts.blake2.size(), hash)) {
        facts.hasBlake2 = true;
        std::memcpy(facts.blake2.data(), hash, facts.blake2.size());
    }
}

void ReadTimeRecord(FieldReader record, ExtraFacts& facts) {
    std::uint64_t flags = 0;
    if (!record.Vint(flags) || !(flags & rar::timerec::kModified)) {
        return;
    }
    const bool unixTime = (flags & rar::timerec::kUnix) != 0;
    std::uint64_t modified = 0;
    if (unixTime) {
        std::uint32_t seconds = 0;
        if (!record.Uint32(seconds)) {
            return;
        }
        modified = seconds;
    } else if (!record.Uint64(modified)) {
        return;
    }
    if (!unixTime) {
        facts.hasTime = true;
        facts.fileTime = modified;
        return;
    }
    std::uint32_t nanoseconds = 0;
    if (flags & rar::timerec::kNanoseconds) {
        // The nanosecond parts follow all the seconds fields, in the same order.
        const int otherTimes = ((flags & rar::timerec::kCreated) ? 1 : 0) +
                               ((flags & rar::timerec::kAccessed) ? 1 : 0);
        const std::uint8_t* skipped = nullptr;
        std::uint32_t value = 0;
        if (record.Bytes(static_cast<std::uint64_t>(otherTimes) * rar::kUnixTimeFieldSize,
                         skipped) &&
            record.Uint32(value) && value < rar::timerec::kNanosecondLimit) {
            nanoseconds = value;
        }
    }
    facts.hasTime = true;
    facts.fileTime = UnixToFileTime(modified, nanoseconds);
}

// Walks the records of an extra area. A record whose size is zero or runs past the area ends
// the walk; the rest of the area is ignored.
ExtraFacts ReadExtraArea(const std::uint8_t* area, std::size_t size) {
    ExtraFacts facts;
    FieldReader reader(area, size);
    while (reader.remaining() > 0) {
        std::uint64_t recordSize = 0;
        const std::uint8_t* record = nullptr;
        if (!reader.Vint(recordSize) || recordSize == 0 || !reader.Bytes(recordSize, record)) {
            break;
        }
        FieldReader fields(record, static_cast<std::size_t>(recordSize));
        std::uint64_t type = 0;
        if (!fields.Vint(type)) {
            break;
        }
        switch (type) {
        case rar::extra::kEncryption:
            facts.encrypted = true;
            break;
        case rar::extra::kRedirection:
            facts.link = true;
            break;
        case rar::extra::kTime:
            ReadTimeRecord(FieldReader(record + fields.position(), fields.remaining()), facts);
            break;
        case rar::extra::kHash:
            ReadHashRecord(FieldReader(record + fields.position(), fields.remaining()), facts);
            break;
        default:
            break; // version, owner and unknown records do not change extraction
        }
    }
    return facts;
}

// What the compression information of a file header says, and why an entry cannot be
// unpacked when it cannot.
struct Packing {
    unsigned method = 0;
    bool solid = false;
    std::uint64_t dictionarySize = 0;
    const wchar_t* refusal = nullptr;
};

Packing ReadPacking(std::uint64_t info) {
    namespace c = rar::compression;
    Packing packing;
    codec::Rar5Compression parsed;
    if (!codec::ParseRar5Compression(info, parsed)) {
        const std::uint64_t method = (info >> c::kMethodShift) & c::kMethodMask;
        packing.refusal = method > c::kBest ? L"unknown compression method"
                          : (info & c::kVersionMask) > c::kVersion70
                              ? L"unknown compression algorithm version"
                              : L"unsupported dictionary size";
        return packing;
    }
    packing.method = parsed.method;
    // Stored data takes no part in a solid stream.
    packing.solid = parsed.solid && parsed.method != c::kStore;
    packing.dictionarySize = parsed.dictionarySize;
    if (parsed.method != c::kStore && !parsed.rar5Stream) {
        packing.refusal = L"RAR 7 compression not supported";
    }
    return packing;
}

class CatalogReader {
public:
    CatalogReader(const ArchiveInput& input, Catalog& catalog)
        : m_input(input), m_catalog(catalog) {}

    Status Run(std::uint64_t signatureOffset);

private:
    Status ReadMain(FieldReader& fields, std::uint64_t offset);
    Status ReadFileHeader(FieldReader& fields, std::uint64_t headerFlags, const std::uint8_t* extra,
                          std::size_t extraSize, std::uint64_t dataOffset, std::uint64_t dataSize,
                          std::uint64_t offset);

    const ArchiveInput& m_input;
    Catalog& m_catalog;
    std::vector<std::uint8_t> m_header;
};

Status CatalogReader::Run(std::uint64_t signatureOffset) {
    m_catalog.format = ArchiveFormat::Rar5;
    const std::uint64_t archiveSize = m_input.size();
    std::uint64_t offset = signatureOffset + rar::kSignatureSize;
    bool first = true;
    for (;;) {
        // CRC32 plus a header size vint of at least one byte.
        if (archiveSize - offset < rar::kCrcFieldSize + 1) {
            return Status(Failure::Truncated,
                          offset == archiveSize ? L"no end of archive header" : AtOffset(offset));
        }
        std::uint8_t lead[rar::kCrcFieldSize + rar::kMaxHeaderSizeVint];
        const std::size_t leadSize =
            static_cast<std::size_t>(std::min<std::uint64_t>(archiveSize - offset, sizeof(lead)));
        BI_RETURN_IF_FAILED(m_input.ReadAt(offset, lead, leadSize));
        const VintValue headerSize = DecodeVint(
            lead + rar::kCrcFieldSize, leadSize - rar::kCrcFieldSize, rar::kMaxHeaderSizeVint);
        if (headerSize.status == VintStatus::Truncated) {
            return Status(Failure::Truncated, AtOffset(offset));
        }
        if (headerSize.status != VintStatus::Ok || headerSize.value < rar::kMinHeaderSize) {
            return Status(Failure::DamagedHeader, AtOffset(offset));
        }
        const std::uint64_t covered = headerSize.length + headerSize.value;
        if (covered > archiveSize - offset - rar::kCrcFieldSize) {
            return Status(Failure::Truncated, AtOffset(offset));
        }
        m_header.resize(static_cast<std::size_t>(covered));
        BI_RETURN_IF_FAILED(
            m_input.ReadAt(offset + rar::kCrcFieldSize, m_header.data(), m_header.size()));
        if (Crc32(m_header.data(), m_header.size()) != ReadUint32(lead)) {
            return Status(Failure::DamagedHeader, AtOffset(offset));
        }
        const std::uint64_t headerEnd = offset + rar::kCrcFieldSize + covered;

        FieldReader body(m_header.data() + headerSize.length,
                         static_cast<std::size_t>(headerSize.value));
        std::uint64_t type = 0;
        std::uint64_t flags = 0;
        std::uint64_t extraSize = 0;
        std::uint64_t dataSize = 0;
        if (!body.Vint(type) || !body.Vint(flags) ||
            ((flags & rar::header::kExtraArea) && !body.Vint(extraSize)) ||
            ((flags & rar::header::kDataArea) && !body.Vint(dataSize)) ||
            extraSize > body.remaining()) {
            return Status(Failure::DamagedHeader, AtOffset(offset));
        }
        if (dataSize > archiveSize - headerEnd) {
            return Status(Failure::Truncated, AtOffset(offset));
        }
        // The type-specific fields end where the extra area begins.
        const std::size_t fieldsSize = body.remaining() - static_cast<std::size_t>(extraSize);
        FieldReader fields(m_header.data() + headerSize.length + body.position(), fieldsSize);
        const std::uint8_t* extra =
            m_header.data() + m_header.size() - static_cast<std::size_t>(extraSize);

        if (type == rar::block::kEncryption) {
            return Status(Failure::Encrypted, L"archive headers are encrypted");
        }
        if (first != (type == rar::block::kMain)) {
            return Status(Failure::DamagedHeader, AtOffset(offset));
        }
        first = false;
        switch (type) {
        case rar::block::kMain:
            BI_RETURN_IF_FAILED(ReadMain(fields, offset));
            break;
        case rar::block::kFile:
            BI_RETURN_IF_FAILED(ReadFileHeader(fields, flags, extra,
                                               static_cast<std::size_t>(extraSize), headerEnd,
                                               dataSize, offset));
            break;
        case rar::block::kService:
            break; // comments, quick-open data, recovery records, NTFS streams: not content
        case rar::block::kEnd: {
            std::uint64_t endFlags = 0;
            if (fields.remaining() > 0 && !fields.Vint(endFlags)) {
                return Status(Failure::DamagedHeader, AtOffset(offset));
            }
            if (endFlags & rar::end::kMoreVolumes) {
                return Status(Failure::MultiVolume, m_input.path());
            }
            return Status::Ok(); // whatever follows does not belong to the archive
        }
        default:
            if (!(flags & rar::header::kSkipIfUnknown)) {
                return Status(Failure::UnknownBlock, AtOffset(offset));
            }
            break;
        }
        offset = headerEnd + dataSize;
    }
}

Status CatalogReader::ReadMain(FieldReader& fields, std::uint64_t offset) {
    std::uint64_t archiveFlags = 0;
    if (!fields.Vint(archiveFlags)) {
        return Status(Failure::DamagedHeader, AtOffset(offset));
    }
    if (archiveFlags & (rar::archive::kVolume | rar::archive::kVolumeNumber)) {
        return Status(Failure::MultiVolume, m_input.path());
    }
    m_catalog.solid = (archiveFlags & rar::archive::kSolid) != 0;
    return Status::Ok();
}

Status CatalogReader::ReadFileHeader(FieldReader& fields, std::uint64_t headerFlags,
                                     const std::uint8_t* extra, std::size_t extraSize,
                                     std::uint64_t dataOffset, std::uint64_t dataSize,
                                     std::uint64_t offset) {
    std::uint64_t fileFlags = 0;
    std::uint64_t unpackedSize = 0;
    std::uint64_t attributes = 0;
    std::uint32_t unixTime = 0;
    std::uint32_t crc = 0;
    std::uint64_t compression = 0;
    std::uint64_t host = 0;
    std::uint64_t nameSize = 0;
    const std::uint8_t* name = nullptr;
    if (!fields.Vint(fileFlags) || !fields.Vint(unpackedSize) || !fields.Vint(attributes) ||
        ((fileFlags & rar::file::kUnixTime) && !fields.Uint32(unixTime)) ||
        ((fileFlags & rar::file::kCrc32) && !fields.Uint32(crc)) || !fields.Vint(compression) ||
        !fields.Vint(host) || !fields.Vint(nameSize) || !fields.Bytes(nameSize, name)) {
        return Status(Failure::DamagedHeader, AtOffset(offset));
    }
    const std::string storedName(reinterpret_cast<const char*>(name),
                                 static_cast<std::size_t>(nameSize));
    std::wstring shownName;
    if (!quor::FromUtf8(storedName, shownName)) {
        shownName = AtOffset(offset);
    }
    const ExtraFacts facts = ReadExtraArea(extra, extraSize);

    // The order matters: an encrypted entry can claim method 0.
    if (headerFlags & (rar::header::kSplitBefore | rar::header::kSplitAfter)) {
        return Status(Failure::MultiVolume, shownName);
    }
    if (facts.encrypted) {
        return Status(Failure::Encrypted, shownName);
    }

    CatalogEntry entry;
    BI_RETURN_IF_FAILED(RelativePathFromArchiveName(storedName, entry.relativePath));
    entry.name = storedName;
    // A link's target is in its redirection record; it has no content to unpack.
    entry.link = facts.link;
    entry.directory = !entry.link && (fileFlags & rar::file::kDirectory) != 0;
    if (!entry.directory && !entry.link) {
        const Packing packing = ReadPacking(compression);
        if (packing.refusal != nullptr) {
            return Status(Failure::Unsupported, shownName + L" (" + packing.refusal + L")");
        }
        entry.method = packing.method;
        entry.solid = packing.solid;
        entry.dictionarySize = packing.dictionarySize;
        entry.sizeKnown = !(fileFlags & rar::file::kUnknownSize);
        entry.size = entry.sizeKnown ? unpackedSize : 0;
        // Stored content is the file byte for byte.
        if (!entry.compressed() && entry.sizeKnown && unpackedSize != dataSize) {
            return Status(Failure::DamagedHeader, shownName);
        }
        entry.hasCrc = (fileFlags & rar::file::kCrc32) != 0;
        entry.crc = crc;
        entry.hasBlake2 = facts.hasBlake2;
        entry.blake2 = facts.blake2;
        entry.dataOffset = dataOffset;
        entry.packedSize = dataSize;
    }
    const HostKind hostKind = host == rar::host::kWindows ? HostKind::Windows
                              : host == rar::host::kUnix  ? HostKind::Unix
                                                          : HostKind::Other;
    entry.attributes = WindowsAttributes(hostKind, attributes, entry.directory);
    if (facts.hasTime) {
        entry.hasTime = true;
        entry.fileTime = facts.fileTime;
    } else if (fileFlags & rar::file::kUnixTime) {
        entry.hasTime = true;
        entry.fileTime = UnixToFileTime(unixTime, 0);
    }
    m_catalog.entries.push_back(std::move(entry));
    return Status::Ok();
}

} // namespace

Status ReadRar5Catalog(const ArchiveInput& input, std::uint64_t signatureOffset, Catalog& catalog) {
    CatalogReader reader(input, catalog);
    return reader.Run(signatureOffset);
}

} // namespace bi
