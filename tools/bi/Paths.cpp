// Absolute and extended-length forms of paths.
#include "Paths.h"

#include <windows.h>

namespace bi {

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool IsDriveRoot(const std::wstring& path) {
    return path.size() == 3 && path[1] == L':' && IsSeparator(path[2]);
}

} // namespace

std::wstring AbsolutePath(const std::wstring& path) {
    if (path.empty()) {
        return {};
    }
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return {};
    }
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return {};
    }
    full.resize(length);
    while (full.size() > 1 && IsSeparator(full.back()) && !IsDriveRoot(full)) {
        full.pop_back();
    }
    return full;
}

std::wstring ExtendedPath(const std::wstring& absolutePath) {
    if (absolutePath.rfind(L"\\\\?\\", 0) == 0) {
        return absolutePath;
    }
    std::wstring path = absolutePath;
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    if (path.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + path.substr(2);
    }
    return L"\\\\?\\" + path;
}

std::wstring LastComponent(const std::wstring& absolutePath) {
    if (IsDriveRoot(absolutePath)) {
        return {};
    }
    const size_t slash = absolutePath.find_last_of(L"\\/");
    std::wstring last = slash == std::wstring::npos ? absolutePath : absolutePath.substr(slash + 1);
    if (last.size() == 2 && last[1] == L':') {
        return {};
    }
    return last;
}

} // namespace bi
