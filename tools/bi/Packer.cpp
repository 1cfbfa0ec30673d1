// The add command: walks the sources and writes them into a new archive.
#include "Packer.h"

#include "ArchiveWriter.h"
#include "EntryName.h"
#include "PackPipeline.h"
#include "Paths.h"
#include "RarFormat.h"
#include "UniqueHandle.h"

#include <algorithm>
#include <memory>

namespace bi {

namespace {

std::uint64_t ToUint64(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty()) {
        return name;
    }
    if (folder.back() == L'\\') {
        return folder + name;
    }
    return folder + L'\\' + name;
}

struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool known = false;

    bool operator==(const FileIdentity& other) const {
        return known && other.known && volume == other.volume && indexHigh == other.indexHigh &&
               indexLow == other.indexLow;
    }
};

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow, true};
}

// Name prefix of a source without -ep1: the path as given, less what anchors it somewhere.
std::wstring AnchoredPrefix(const std::wstring& typed) {
    std::wstring path = typed;
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        path = L"\\\\" + path.substr(8);
    } else if (path.rfind(L"\\\\?\\", 0) == 0) {
        path = path.substr(4);
    }
    size_t start = 0;
    if (path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/') &&
        (path[1] == L'\\' || path[1] == L'/')) {
        // \\server\share: skip both names.
        start = path.find_first_of(L"\\/", 2);
        start = start == std::wstring::npos ? path.size() : path.find_first_of(L"\\/", start + 1);
        start = start == std::wstring::npos ? path.size() : start;
    } else if (path.size() >= 2 && path[1] == L':') {
        start = 2;
    }
    std::wstring prefix;
    while (start < path.size()) {
        size_t end = path.find_first_of(L"\\/", start);
        end = end == std::wstring::npos ? path.size() : end;
        const std::wstring component = path.substr(start, end - start);
        if (!component.empty() && component != L"." && component != L"..") {
            prefix = Join(prefix, component);
        }
        start = end + 1;
    }
    return prefix;
}

struct Child {
    std::wstring name;
    DWORD attributes = 0;
    std::uint64_t fileTime = 0;
};

class Packer {
public:
    Packer(const PackRequest& request, const Progress& progress)
        : m_request(request), m_progress(progress) {}

    Status Run();

private:
    Status AddSource(const std::wstring& typed);
    Status AddTree(const std::wstring& root, const std::wstring& displayRoot,
                   const std::wstring& prefix);
    Status ListFolder(const std::wstring& folder, const std::wstring& display,
                      std::vector<Child>& children);
    Status AddDirectory(const std::wstring& relative, DWORD attributes, std::uint64_t fileTime);
    Status AddFile(const std::wstring& path, const std::wstring& display,
                   const std::wstring& relative);
    void Report(const std::wstring& line) const {
        if (m_progress) {
            m_progress(line);
        }
    }

    const PackRequest& m_request;
    const Progress& m_progress;
    ArchiveWriter m_writer;
    std::unique_ptr<PackPipeline> m_pipeline;
    FileIdentity m_archiveIdentity;
    std::wstring m_archiveName; // last component of the archive's temporary name
};

Status Packer::Run() {
    const std::wstring target = AbsolutePath(m_request.archivePath);
    if (target.empty()) {
        return Status::FromLastError(Failure::CreateArchive, m_request.archivePath);
    }
    if (GetFileAttributesW(ExtendedPath(target).c_str()) != INVALID_FILE_ATTRIBUTES) {
        return Status(Failure::ArchiveExists, m_request.archivePath);
    }
    // Every source must exist before anything is created.
    for (const std::wstring& source : m_request.sources) {
        const std::wstring absolute = AbsolutePath(source);
        if (absolute.empty() ||
            GetFileAttributesW(ExtendedPath(absolute).c_str()) == INVALID_FILE_ATTRIBUTES) {
            return Status::FromLastError(Failure::NoFiles, source);
        }
    }

    const std::wstring partial = PartialArchivePath(ExtendedPath(target));
    // A leftover from a run that was killed is not an archive anyone relies on.
    DeleteFileW(partial.c_str());
    BI_RETURN_IF_FAILED(m_writer.Create(partial, m_request.settings.format));
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(m_writer.handle(), &info)) {
        m_archiveIdentity = IdentityOf(info);
    }
    m_archiveName = LastComponent(partial);
    Report(L"Creating archive " + m_request.archivePath);

    m_pipeline = std::make_unique<PackPipeline>(m_writer, m_request.settings);
    Status status = m_pipeline->Start();
    for (size_t i = 0; status.ok() && i < m_request.sources.size(); ++i) {
        status = AddSource(m_request.sources[i]);
    }
    if (status.ok()) {
        status = m_pipeline->Finish();
    }
    m_pipeline.reset(); // after a failure: stops the threads before the archive goes
    if (status.ok()) {
        status = m_writer.Finish();
    }
    if (status.ok() && !MoveFileExW(partial.c_str(), ExtendedPath(target).c_str(), 0)) {
        status = Status::FromLastError(Failure::CreateArchive, m_request.archivePath);
    }
    if (!status.ok()) {
        m_writer.Abandon();
        DeleteFileW(partial.c_str());
    }
    return status;
}

Status Packer::AddSource(const std::wstring& typed) {
    const std::wstring absolute = AbsolutePath(typed);
    const std::wstring path = ExtendedPath(absolute);
    const std::wstring prefix =
        m_request.excludeBaseFolder ? LastComponent(absolute) : AnchoredPrefix(typed);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return Status::FromLastError(Failure::NoFiles, typed);
    }
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return AddFile(path, absolute, prefix.empty() ? LastComponent(absolute) : prefix);
    }
    // The named folder itself is followed even when it is a junction: the caller chose it.
    if (!prefix.empty()) {
        BI_RETURN_IF_FAILED(
            AddDirectory(prefix, data.dwFileAttributes, ToUint64(data.ftLastWriteTime)));
    }
    return AddTree(path, absolute, prefix);
}

Status Packer::AddTree(const std::wstring& root, const std::wstring& displayRoot,
                       const std::wstring& prefix) {
    // An explicit stack instead of recursion: depth is bounded by path length, not by the
    // thread's stack. Each folder's entries are written when the folder is listed, so every
    // folder entry precedes the entries inside it.
    struct Pending {
        std::wstring relative; // below root; empty for root itself
    };
    std::vector<Pending> pending{{L""}};
    std::vector<Child> children;
    while (!pending.empty()) {
        const std::wstring relative = std::move(pending.back().relative);
        pending.pop_back();
        const std::wstring folder = Join(root, relative);
        const std::wstring display = Join(displayRoot, relative);
        BI_RETURN_IF_FAILED(ListFolder(folder, display, children));
        const size_t firstPushed = pending.size();
        for (const Child& child : children) {
            const std::wstring childRelative = Join(relative, child.name);
            const std::wstring stored = Join(prefix, childRelative);
            if (child.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (child.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                    // A linked folder can lead outside the tree or back into it; restoring
                    // it as a plain copy would not give back what was there either.
                    return Status(Failure::UnsupportedSourceLink, Join(display, child.name));
                }
                BI_RETURN_IF_FAILED(AddDirectory(stored, child.attributes, child.fileTime));
                pending.push_back({childRelative});
            } else {
                BI_RETURN_IF_FAILED(
                    AddFile(Join(folder, child.name), Join(display, child.name), stored));
            }
        }
        std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(firstPushed), pending.end());
    }
    return Status::Ok();
}

Status Packer::ListFolder(const std::wstring& folder, const std::wstring& display,
                          std::vector<Child>& children) {
    children.clear();
    WIN32_FIND_DATAW found;
    quor::FindHandle find(FindFirstFileExW(Join(folder, L"*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
    if (!find) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            return Status::Ok(); // a drive root without "." and ".." entries, and empty
        }
        return Status::FromLastError(Failure::OpenSource, display);
    }
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        children.push_back(
            {found.cFileName, found.dwFileAttributes, ToUint64(found.ftLastWriteTime)});
    } while (FindNextFileW(find.get(), &found));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        return Status::FromLastError(Failure::ReadSource, display);
    }
    // A fixed order makes archives of the same tree identical whatever order the file
    // system lists names in.
    std::sort(children.begin(), children.end(), [](const Child& a, const Child& b) {
        return CompareStringOrdinal(a.name.c_str(), static_cast<int>(a.name.size()), b.name.c_str(),
                                    static_cast<int>(b.name.size()), TRUE) == CSTR_LESS_THAN;
    });
    return Status::Ok();
}

Status Packer::AddDirectory(const std::wstring& relative, DWORD attributes,
                            std::uint64_t fileTime) {
    EntryInfo entry;
    BI_RETURN_IF_FAILED(ArchiveNameFromPath(relative, entry.name));
    entry.attributes = (attributes & rar::winattr::kKept) | rar::winattr::kDirectory;
    entry.fileTime = fileTime;
    Report(L"Adding    " + relative);
    return m_pipeline->AddDirectory(entry);
}

Status Packer::AddFile(const std::wstring& path, const std::wstring& display,
                       const std::wstring& relative) {
    quor::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        return Status::FromLastError(Failure::OpenSource, display);
    }
    // Time, attributes and size from the open file. Its identity costs far more to ask for
    // (Wine looks up the volume each time), so it is asked only of a file with the archive's
    // name, the one way the archive being written can turn up in the tree.
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof(basic)) ||
        !GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof(standard))) {
        return Status::FromLastError(Failure::ReadSource, display);
    }
    if (CompareStringOrdinal(LastComponent(path).c_str(), -1, m_archiveName.c_str(), -1, TRUE) ==
        CSTR_EQUAL) {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(file.get(), &info)) {
            return Status::FromLastError(Failure::ReadSource, display);
        }
        if (IdentityOf(info) == m_archiveIdentity) {
            return Status::Ok(); // the archive being written
        }
    }
    EntryInfo entry;
    BI_RETURN_IF_FAILED(ArchiveNameFromPath(relative, entry.name));
    entry.attributes = basic.FileAttributes & rar::winattr::kKept;
    entry.fileTime = static_cast<std::uint64_t>(basic.LastWriteTime.QuadPart);
    Report(L"Adding    " + relative);
    return m_pipeline->AddFile(entry, file.get(),
                               static_cast<std::uint64_t>(standard.EndOfFile.QuadPart), display);
}

} // namespace

std::wstring PartialArchivePath(const std::wstring& archivePath) {
    return archivePath + L".partial";
}

Status Pack(const PackRequest& request, const Progress& progress) {
    Packer packer(request, progress);
    return packer.Run();
}

} // namespace bi
