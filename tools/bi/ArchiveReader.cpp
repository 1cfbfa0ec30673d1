// Checking reader of RAR archive headers: the archive file, finding the signature, and the
// choice between the RAR 5.0 and the RAR 2.9-4.x reader.
#include "ArchiveReader.h"

#include "CatalogReaders.h"
#include "Rar4Format.h"
#include "RarFormat.h"
#include "Text.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace bi {

namespace {

enum class Signature { None, Rar4, Rar5, Rar14, Newer };

Signature SignatureAt(const std::uint8_t* at, std::size_t have) {
    if (have >= rar::kSignatureSize &&
        std::memcmp(at, rar::kSignature50, rar::kSignatureSize) == 0) {
        return Signature::Rar5;
    }
    if (have >= rar4::kMarkerSize && std::memcmp(at, rar4::kMarker, rar4::kMarkerSize) == 0) {
        return Signature::Rar4;
    }
    if (have >= sizeof(rar::kSignature13) &&
        std::memcmp(at, rar::kSignature13, sizeof(rar::kSignature13)) == 0) {
        return Signature::Rar14;
    }
    // A later generation byte (2 or more), or generation 1 with an unknown last byte.
    if (have >= rar::kSignatureSize &&
        std::memcmp(at, rar::kSignature50, rar::kCommonSignaturePrefix) == 0 &&
        at[rar::kGenerationByte] >= rar::kSignature50[rar::kGenerationByte]) {
        return Signature::Newer;
    }
    return Signature::None;
}

// A self-extracting archive is a Windows (MZ) or ELF program with the archive behind it.
bool IsProgram(const std::uint8_t* at, std::size_t have) {
    return (have >= 2 && at[0] == 'M' && at[1] == 'Z') ||
           (have >= 4 && at[0] == 0x7F && at[1] == 'E' && at[2] == 'L' && at[3] == 'F');
}

// Finds the signature at the start of the file, or behind a self-extractor's program within
// the first MiB; only a complete RAR 2.9-4.x or RAR 5.0 signature counts there.
Status FindSignature(const ArchiveInput& input, Signature& kind, std::uint64_t& offset) {
    const std::size_t window =
        static_cast<std::size_t>(std::min<std::uint64_t>(input.size(), rar4::kSfxSearchLimit));
    std::vector<std::uint8_t> lead(window);
    BI_RETURN_IF_FAILED(input.ReadAt(0, lead.data(), window));
    offset = 0;
    kind = SignatureAt(lead.data(), window);
    if (kind != Signature::None || !IsProgram(lead.data(), window)) {
        return Status::Ok();
    }
    for (std::size_t at = 1; at + rar4::kMarkerSize <= window; ++at) {
        if (lead[at] != rar4::kMarker[0]) {
            continue;
        }
        const Signature found = SignatureAt(lead.data() + at, window - at);
        if (found == Signature::Rar4 || found == Signature::Rar5) {
            kind = found;
            offset = at;
            return Status::Ok();
        }
    }
    return Status::Ok();
}

// A time the system cannot represent (a FILETIME beyond the year 30827) would fail the
// extraction of content that is sound; such an entry keeps the time extraction gives it.
void DropUnusableTimes(Catalog& catalog) {
    for (CatalogEntry& entry : catalog.entries) {
        FILETIME time{static_cast<DWORD>(entry.fileTime), static_cast<DWORD>(entry.fileTime >> 32)};
        SYSTEMTIME unused;
        if (entry.hasTime && !FileTimeToSystemTime(&time, &unused)) {
            entry.hasTime = false;
        }
    }
}

} // namespace

std::wstring AtOffset(std::uint64_t offset) {
    wchar_t text[40];
    swprintf(text, 40, L"block at offset %llu", static_cast<unsigned long long>(offset));
    return text;
}

std::wstring CatalogEntry::Shown() const {
    std::wstring shown;
    quor::FromUtf8(name, shown);
    return shown;
}

std::uint32_t WindowsAttributes(HostKind host, std::uint64_t attributes, bool directory) {
    if (host == HostKind::Windows) {
        const std::uint32_t kept = static_cast<std::uint32_t>(attributes) & rar::winattr::kKept;
        return directory ? kept | rar::winattr::kDirectory : kept;
    }
    if (directory) {
        return rar::winattr::kDirectory;
    }
    if (host == HostKind::Unix && (attributes & rar::unixmode::kAnyWrite) == 0) {
        return rar::winattr::kReadOnly | rar::winattr::kArchive;
    }
    return rar::winattr::kArchive;
}

Status ArchiveInput::Open(const std::wstring& path) {
    m_path = path;
    // Writing is not shared: the content checked in one pass is the content extracted in the
    // next.
    m_file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!m_file) {
        return Status::FromLastError(Failure::OpenArchive, path);
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(m_file.get(), &size)) {
        return Status::FromLastError(Failure::ReadArchive, path);
    }
    m_size = static_cast<std::uint64_t>(size.QuadPart);
    return Status::Ok();
}

Status ArchiveInput::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!::ReadFile(m_file.get(), bytes, want, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) {
                return Status(Failure::Truncated, m_path);
            }
            return Status::FromLastError(Failure::ReadArchive, m_path);
        }
        if (got == 0) {
            return Status(Failure::Truncated, m_path);
        }
        bytes += got;
        offset += got;
        size -= got;
    }
    return Status::Ok();
}

Status ReadCatalog(const ArchiveInput& input, Catalog& catalog) {
    catalog = Catalog{};
    Signature kind = Signature::None;
    std::uint64_t offset = 0;
    BI_RETURN_IF_FAILED(FindSignature(input, kind, offset));
    switch (kind) {
    case Signature::Rar5:
        BI_RETURN_IF_FAILED(ReadRar5Catalog(input, offset, catalog));
        DropUnusableTimes(catalog);
        return Status::Ok();
    case Signature::Rar4:
        BI_RETURN_IF_FAILED(ReadRar4Catalog(input, offset, catalog));
        DropUnusableTimes(catalog);
        return Status::Ok();
    case Signature::Rar14:
        return Status(Failure::OldFormat, input.path());
    case Signature::Newer:
        return Status(Failure::NewerFormat, input.path());
    case Signature::None:
        break;
    }
    return Status(Failure::NotRar, input.path());
}

} // namespace bi
