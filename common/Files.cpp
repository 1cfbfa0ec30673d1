// File-system tests and path helpers shared by the programs.
#include "Files.h"

#include "UniqueHandle.h"

#include <windows.h>

namespace quor {

namespace {

DWORD Attributes(const std::wstring& path) {
    return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

} // namespace

bool FileExists(const std::wstring& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathExists(const std::wstring& path) {
    return Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

std::wstring ModulePath() {
    // The path can exceed MAX_PATH; grow the buffer until it fits.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        if (buffer.size() >= 32768) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring ModuleDirectory() {
    std::wstring path = ModulePath();
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) {
        return {};
    }
    path.resize(slash);
    return path;
}

std::wstring DrivePart(std::wstring_view path) {
    if (path.size() >= 2 && path[1] == L':' && iswalpha(path[0])) {
        return std::wstring(path.substr(0, 2));
    }
    if (path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        // \\server\share: the drive is the server and share names.
        size_t end = path.find_first_of(L"\\/", 2);
        if (end != std::wstring_view::npos) {
            end = path.find_first_of(L"\\/", end + 1);
        }
        return std::wstring(path.substr(0, end == std::wstring_view::npos ? path.size() : end));
    }
    return {};
}

std::wstring ParentPath(std::wstring_view path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, slash));
}

bool DeleteTree(const std::wstring& path) {
    const DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        }
        return DeleteFileW(path.c_str()) != FALSE;
    }
    bool ok = true;
    // A reparse point (junction, link) is removed itself; its target is not entered.
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        FindHandle find(FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0));
        if (find) {
            do {
                const std::wstring_view name = found.cFileName;
                if (name == L"." || name == L"..") {
                    continue;
                }
                ok = DeleteTree(path + L"\\" + found.cFileName) && ok;
            } while (FindNextFileW(find.get(), &found));
        }
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    return RemoveDirectoryW(path.c_str()) != FALSE && ok;
}

} // namespace quor
