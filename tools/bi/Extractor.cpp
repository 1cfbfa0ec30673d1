// The test and extract commands.
#include "Extractor.h"

#include "Crc32.h"
#include "Paths.h"
#include "RarFormat.h"
#include "Text.h"
#include "UniqueHandle.h"

#include <algorithm>
#include <vector>

namespace bi {

namespace {

constexpr DWORD kAttributesToClear =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

std::wstring Shown(const CatalogEntry& entry) {
    std::wstring name;
    quor::FromUtf8(entry.name, name);
    return name;
}

FILETIME ToFileTime(std::uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

std::wstring ParentOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) {
        return {};
    }
    std::wstring parent = path.substr(0, slash);
    if (!parent.empty() && parent.back() == L':') {
        parent += L'\\'; // a drive root keeps its separator
    }
    return parent;
}

class Extraction {
public:
    Extraction(const ArchiveInput& input, const Catalog& catalog, const Progress& progress)
        : m_input(input), m_catalog(catalog), m_progress(progress) {}

    Status Run(const std::wstring& destination);

private:
    Status ExtractAll();
    Status EnsureFolder(const std::wstring& path, const std::wstring& shown);
    Status ExtractFile(const CatalogEntry& entry);
    Status SetFolderTimes();
    Status SetAttributes();
    void RollBack();
    std::wstring PathOf(const CatalogEntry& entry) const {
        return m_root.back() == L'\\' ? m_root + entry.relativePath
                                      : m_root + L'\\' + entry.relativePath;
    }
    void Report(const std::wstring& line) const {
        if (m_progress) {
            m_progress(line);
        }
    }

    const ArchiveInput& m_input;
    const Catalog& m_catalog;
    const Progress& m_progress;
    std::wstring m_root;
    std::vector<std::wstring> m_createdFolders; // in creation order
    std::vector<std::wstring> m_createdFiles;
    std::wstring m_partialFile; // the file being written, removed on failure
    std::wstring m_knownFolder; // the last folder known to exist
    std::vector<std::uint8_t> m_buffer;
};

Status Extraction::Run(const std::wstring& destination) {
    const std::wstring absolute = AbsolutePath(destination.empty() ? L"." : destination);
    if (absolute.empty()) {
        return Status::FromLastError(Failure::CreateOutput, destination);
    }
    m_root = ExtendedPath(absolute);
    Status status = ExtractAll();
    if (!status.ok()) {
        RollBack();
    }
    return status;
}

Status Extraction::ExtractAll() {
    BI_RETURN_IF_FAILED(EnsureFolder(m_root, m_root));
    m_buffer.resize(kContentBufferSize);
    for (const CatalogEntry& entry : m_catalog.entries) {
        Report(L"Extracting  " + Shown(entry));
        if (entry.directory) {
            BI_RETURN_IF_FAILED(EnsureFolder(PathOf(entry), Shown(entry)));
        } else {
            BI_RETURN_IF_FAILED(ExtractFile(entry));
        }
    }
    BI_RETURN_IF_FAILED(SetFolderTimes());
    return SetAttributes();
}

Status Extraction::EnsureFolder(const std::wstring& path, const std::wstring& shown) {
    if (path == m_knownFolder) {
        return Status::Ok();
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return Status(Failure::CreateOutput, shown, ERROR_ALREADY_EXISTS);
        }
        m_knownFolder = path;
        return Status::Ok();
    }
    const std::wstring parent = ParentOf(path);
    if (parent.size() <= 4 || parent == path) { // nothing left but the "\\?\" prefix
        return Status(Failure::CreateOutput, shown, ERROR_PATH_NOT_FOUND);
    }
    BI_RETURN_IF_FAILED(EnsureFolder(parent, shown));
    if (!CreateDirectoryW(path.c_str(), nullptr)) {
        return Status::FromLastError(Failure::CreateOutput, shown);
    }
    m_createdFolders.push_back(path);
    m_knownFolder = path;
    return Status::Ok();
}

Status Extraction::ExtractFile(const CatalogEntry& entry) {
    const std::wstring path = PathOf(entry);
    const std::wstring shown = Shown(entry);
    BI_RETURN_IF_FAILED(EnsureFolder(ParentOf(path), shown));
    const DWORD existing = GetFileAttributesW(path.c_str());
    const bool existed = existing != INVALID_FILE_ATTRIBUTES;
    if (existed && (existing & FILE_ATTRIBUTE_DIRECTORY)) {
        return Status(Failure::CreateOutput, shown, ERROR_ALREADY_EXISTS);
    }
    // CREATE_ALWAYS refuses to replace a hidden or system file unless asked to keep those
    // attributes, and nothing replaces a read-only file.
    if (existed && (existing & kAttributesToClear)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    quor::FileHandle out(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        return Status::FromLastError(Failure::CreateOutput, shown);
    }
    m_partialFile = path;
    std::uint32_t crc = 0;
    std::uint64_t done = 0;
    while (done < entry.size) {
        const std::size_t part =
            static_cast<std::size_t>(std::min<std::uint64_t>(entry.size - done, m_buffer.size()));
        BI_RETURN_IF_FAILED(m_input.ReadAt(entry.dataOffset + done, m_buffer.data(), part));
        crc = Crc32Update(crc, m_buffer.data(), part);
        DWORD written = 0;
        if (!WriteFile(out.get(), m_buffer.data(), static_cast<DWORD>(part), &written, nullptr)) {
            return Status::FromLastError(Failure::WriteOutput, shown);
        }
        if (written != part) {
            return Status(Failure::WriteOutput, shown, ERROR_DISK_FULL);
        }
        done += part;
    }
    // Checked once before extraction began; checked again because the bytes were read again.
    if (crc != entry.crc) {
        return Status(Failure::DataCrc, shown);
    }
    if (entry.hasTime) {
        const FILETIME modified = ToFileTime(entry.fileTime);
        if (!SetFileTime(out.get(), nullptr, nullptr, &modified)) {
            return Status::FromLastError(Failure::WriteOutput, shown);
        }
    }
    if (!CloseHandle(out.release())) {
        return Status::FromLastError(Failure::WriteOutput, shown);
    }
    if (!existed) {
        m_createdFiles.push_back(path);
    }
    m_partialFile.clear();
    return Status::Ok();
}

Status Extraction::SetFolderTimes() {
    for (const CatalogEntry& entry : m_catalog.entries) {
        if (!entry.directory || !entry.hasTime) {
            continue;
        }
        const std::wstring path = PathOf(entry);
        quor::FileHandle folder(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
        const FILETIME modified = ToFileTime(entry.fileTime);
        if (!folder || !SetFileTime(folder.get(), nullptr, nullptr, &modified)) {
            return Status::FromLastError(Failure::WriteOutput, Shown(entry));
        }
    }
    return Status::Ok();
}

Status Extraction::SetAttributes() {
    for (const CatalogEntry& entry : m_catalog.entries) {
        const DWORD attributes = entry.attributes & rar::winattr::kKept;
        if (!SetFileAttributesW(PathOf(entry).c_str(),
                                attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL)) {
            return Status::FromLastError(Failure::WriteOutput, Shown(entry));
        }
    }
    return Status::Ok();
}

void Extraction::RollBack() {
    auto removeFile = [](const std::wstring& path) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    };
    if (!m_partialFile.empty()) {
        removeFile(m_partialFile);
    }
    for (auto file = m_createdFiles.rbegin(); file != m_createdFiles.rend(); ++file) {
        removeFile(*file);
    }
    for (auto folder = m_createdFolders.rbegin(); folder != m_createdFolders.rend(); ++folder) {
        SetFileAttributesW(folder->c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveDirectoryW(folder->c_str());
    }
}

Status OpenAndCheck(const std::wstring& archivePath, ArchiveInput& input, Catalog& catalog) {
    BI_RETURN_IF_FAILED(input.Open(archivePath));
    BI_RETURN_IF_FAILED(ReadCatalog(input, catalog));
    return VerifyContent(input, catalog);
}

} // namespace

Status TestArchive(const std::wstring& archivePath, const Progress& progress) {
    ArchiveInput input;
    Catalog catalog;
    BI_RETURN_IF_FAILED(OpenAndCheck(archivePath, input, catalog));
    if (progress) {
        for (const CatalogEntry& entry : catalog.entries) {
            progress(L"Testing     " + Shown(entry) + L"  OK");
        }
    }
    return Status::Ok();
}

Status ExtractArchive(const std::wstring& archivePath, const std::wstring& destination,
                      const Progress& progress) {
    ArchiveInput input;
    Catalog catalog;
    BI_RETURN_IF_FAILED(OpenAndCheck(archivePath, input, catalog));
    return ExtractCatalog(input, catalog, destination, progress);
}

Status ExtractCatalog(const ArchiveInput& input, const Catalog& catalog,
                      const std::wstring& destination, const Progress& progress) {
    Extraction extraction(input, catalog, progress);
    return extraction.Run(destination);
}

} // namespace bi
