// The test and extract commands.
#include "Extractor.h"

#include "EntryContent.h"
#include "Paths.h"
#include "RarFormat.h"
#include "SharedProgress.h"
#include "Text.h"
#include "UniqueHandle.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace bi {

namespace {

// Windows compares file names without regard to case, so sets of paths compare folded names.
std::wstring Folded(const std::wstring& path) {
    std::wstring folded = path;
    CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
    return folded;
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
        : m_catalog(catalog), m_progress(progress), m_content(input, catalog) {}

    Status Run(const std::wstring& destination);
    std::size_t skippedLinks() const { return m_skippedLinks; }

private:
    Status ExtractAll();
    Status EnsureFolder(const std::wstring& path, const std::wstring& shown);
    Status ExtractFile(const CatalogEntry& entry);
    Status SetFolderTimes();
    Status SetAttributes();
    Status SetAside(const std::wstring& path, const std::wstring& shown);
    void DropSetAside();
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

    // An existing file that an entry replaces, renamed aside until the whole run succeeded.
    struct SetAsideFile {
        std::wstring path;
        std::wstring aside;
    };

    const Catalog& m_catalog;
    const Progress& m_progress;
    ContentReader m_content;
    std::wstring m_root;
    std::vector<std::wstring> m_createdFolders;    // in creation order
    std::vector<std::wstring> m_createdFiles;      // including the replacements of existing files
    std::unordered_set<std::wstring> m_createdSet; // folded
    std::unordered_set<std::wstring> m_entryPaths; // folded; never used as a set-aside name
    std::vector<SetAsideFile> m_setAside;
    std::wstring m_partialFile; // the file being written, removed on failure
    std::wstring m_knownFolder; // the last folder known to exist
    std::size_t m_skippedLinks = 0;
};

// Writes an entry's content to its file.
class FileSink : public ContentSink {
public:
    FileSink(HANDLE file, const std::wstring& shown) : m_file(file), m_shown(shown) {}

    Status Write(const std::uint8_t* data, std::size_t size) override {
        while (size > 0) {
            const DWORD part = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
            DWORD written = 0;
            if (!WriteFile(m_file, data, part, &written, nullptr)) {
                return Status::FromLastError(Failure::WriteOutput, m_shown);
            }
            if (written != part) {
                return Status(Failure::WriteOutput, m_shown, ERROR_DISK_FULL);
            }
            progress::Add(part);
            data += part;
            size -= part;
        }
        return Status::Ok();
    }

private:
    HANDLE m_file;
    const std::wstring& m_shown;
};

// Takes an entry's content and keeps nothing: testing only checks it.
class DiscardingSink : public ContentSink {
public:
    Status Write(const std::uint8_t*, std::size_t) override { return Status::Ok(); }
};

Status Extraction::Run(const std::wstring& destination) {
    const std::wstring absolute = AbsolutePath(destination.empty() ? L"." : destination);
    if (absolute.empty()) {
        return Status::FromLastError(Failure::CreateOutput, destination);
    }
    m_root = ExtendedPath(absolute);
    for (const CatalogEntry& entry : m_catalog.entries) {
        m_entryPaths.insert(Folded(PathOf(entry)));
    }
    Status status = ExtractAll();
    if (!status.ok()) {
        RollBack();
    } else if (!m_setAside.empty()) {
        // Deleting the replaced files changes their folders' times, which are set again.
        DropSetAside();
        SetFolderTimes();
    }
    return status;
}

Status Extraction::ExtractAll() {
    BI_RETURN_IF_FAILED(EnsureFolder(m_root, m_root));
    for (const CatalogEntry& entry : m_catalog.entries) {
        if (entry.link) {
            // Its data (a RAR 2.9 link's target) still belongs to a solid stream and is checked.
            Report(L"Skipping link  " + entry.Shown());
            DiscardingSink sink;
            BI_RETURN_IF_FAILED(m_content.Read(entry, sink));
            ++m_skippedLinks;
            continue;
        }
        Report(L"Extracting  " + entry.Shown());
        if (entry.directory) {
            BI_RETURN_IF_FAILED(EnsureFolder(PathOf(entry), entry.Shown()));
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
    const std::wstring shown = entry.Shown();
    BI_RETURN_IF_FAILED(EnsureFolder(ParentOf(path), shown));
    const DWORD existing = GetFileAttributesW(path.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES) {
        if (existing & FILE_ATTRIBUTE_DIRECTORY) {
            return Status(Failure::CreateOutput, shown, ERROR_ALREADY_EXISTS);
        }
        if (m_createdSet.count(Folded(path)) != 0) {
            // An earlier entry of this run made it: the later entry of the same name wins.
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!DeleteFileW(path.c_str())) {
                return Status::FromLastError(Failure::CreateOutput, shown);
            }
        } else {
            BI_RETURN_IF_FAILED(SetAside(path, shown));
        }
    }
    quor::FileHandle out(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        return Status::FromLastError(Failure::CreateOutput, shown);
    }
    m_partialFile = path;
    FileSink sink(out.get(), shown);
    BI_RETURN_IF_FAILED(m_content.Read(entry, sink));
    if (entry.hasTime) {
        const FILETIME modified = ToFileTime(entry.fileTime);
        if (!SetFileTime(out.get(), nullptr, nullptr, &modified)) {
            return Status::FromLastError(Failure::WriteOutput, shown);
        }
    }
    if (!CloseHandle(out.release())) {
        return Status::FromLastError(Failure::WriteOutput, shown);
    }
    if (m_createdSet.insert(Folded(path)).second) {
        m_createdFiles.push_back(path);
    }
    m_partialFile.clear();
    return Status::Ok();
}

// Renames an existing file out of the way, so that a failed run can put it back under its own
// name, in its own case. Renaming keeps its attributes, and a read-only, hidden or system file
// can be renamed.
Status Extraction::SetAside(const std::wstring& path, const std::wstring& shown) {
    std::wstring original = path;
    WIN32_FIND_DATAW found;
    const quor::FindHandle find(FindFirstFileW(path.c_str(), &found));
    if (find) {
        original = ParentOf(path) + L"\\" + found.cFileName;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring aside = path + L".bi-old" + (attempt ? std::to_wstring(attempt) : L"");
        if (m_entryPaths.count(Folded(aside)) != 0) {
            continue; // the archive itself holds a file of that name
        }
        if (MoveFileExW(path.c_str(), aside.c_str(), 0)) {
            m_setAside.push_back({original, aside});
            return Status::Ok();
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) {
            return Status::FromLastError(Failure::CreateOutput, shown);
        }
    }
    return Status(Failure::CreateOutput, shown, ERROR_ALREADY_EXISTS);
}

void Extraction::DropSetAside() {
    for (const SetAsideFile& file : m_setAside) {
        SetFileAttributesW(file.aside.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(file.aside.c_str());
    }
    m_setAside.clear();
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
            return Status::FromLastError(Failure::WriteOutput, entry.Shown());
        }
    }
    return Status::Ok();
}

Status Extraction::SetAttributes() {
    for (const CatalogEntry& entry : m_catalog.entries) {
        if (entry.link) {
            continue;
        }
        const DWORD attributes = entry.attributes & rar::winattr::kKept;
        if (!SetFileAttributesW(PathOf(entry).c_str(),
                                attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL)) {
            return Status::FromLastError(Failure::WriteOutput, entry.Shown());
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
    for (auto file = m_setAside.rbegin(); file != m_setAside.rend(); ++file) {
        MoveFileExW(file->aside.c_str(), file->path.c_str(), 0);
    }
    for (auto folder = m_createdFolders.rbegin(); folder != m_createdFolders.rend(); ++folder) {
        SetFileAttributesW(folder->c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveDirectoryW(folder->c_str());
    }
}

Status Open(const std::wstring& archivePath, ArchiveInput& input, Catalog& catalog) {
    BI_RETURN_IF_FAILED(input.Open(archivePath));
    return ReadCatalog(input, catalog);
}

} // namespace

Status TestArchive(const std::wstring& archivePath, const Progress& progress) {
    ArchiveInput input;
    Catalog catalog;
    BI_RETURN_IF_FAILED(Open(archivePath, input, catalog));
    ContentReader content(input, catalog);
    for (const CatalogEntry& entry : catalog.entries) {
        if (!entry.directory) {
            DiscardingSink sink;
            BI_RETURN_IF_FAILED(content.Read(entry, sink));
        }
        if (progress) {
            progress(L"Testing     " + entry.Shown() + L"  OK");
        }
    }
    return Status::Ok();
}

Status ExtractArchive(const std::wstring& archivePath, const std::wstring& destination,
                      const Progress& progress, ExtractSummary* summary) {
    ArchiveInput input;
    Catalog catalog;
    BI_RETURN_IF_FAILED(Open(archivePath, input, catalog));
    return ExtractCatalog(input, catalog, destination, progress, summary);
}

Status ExtractCatalog(const ArchiveInput& input, const Catalog& catalog,
                      const std::wstring& destination, const Progress& progress,
                      ExtractSummary* summary) {
    std::uint64_t total = 0;
    for (const CatalogEntry& entry : catalog.entries) {
        total += entry.directory || entry.link ? 0 : entry.size;
    }
    progress::SetTotal(total);
    Extraction extraction(input, catalog, progress);
    Status status = extraction.Run(destination);
    if (summary) {
        summary->skippedLinks = status.ok() ? extraction.skippedLinks() : 0;
    }
    return status;
}

} // namespace bi
