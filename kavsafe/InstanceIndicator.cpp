// Tells whether another process of the same program executable is already running.
#include "InstanceIndicator.h"

#include <cstdio>

namespace kavsafe {

namespace {

// The name comes from the executable file's identity (volume and file index), so that
// every spelling of its path (short names, mapped drives, links) gives the same name.
// Object names may not hold backslashes and are limited in length; when the file cannot
// be opened, a hash of the upper-cased path stands in.
std::wstring MutexName(const std::wstring& programPath) {
    wchar_t name[96];
    quor::FileHandle file(CreateFileW(programPath.c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (file && GetFileInformationByHandle(file.get(), &info)) {
        swprintf(name, 96, L"Local\\KavSafe-%08lx-%08lx%08lx", info.dwVolumeSerialNumber,
                 info.nFileIndexHigh, info.nFileIndexLow);
        return name;
    }
    std::wstring upper = programPath;
    if (!upper.empty()) {
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    }
    unsigned long long hash = 14695981039346656037ull;
    for (wchar_t c : upper) {
        hash = (hash ^ static_cast<unsigned>(c)) * 1099511628211ull;
    }
    swprintf(name, 96, L"Local\\KavSafe-%016llx", hash);
    return name;
}

} // namespace

InstanceIndicator::InstanceIndicator(const std::wstring& programPath) {
    m_mutex.reset(CreateMutexW(nullptr, FALSE, MutexName(programPath).c_str()));
    m_another = m_mutex && GetLastError() == ERROR_ALREADY_EXISTS;
}

} // namespace kavsafe
