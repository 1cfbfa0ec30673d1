// Tells whether another process of the same program executable is already running.
#include "InstanceIndicator.h"

#include <cstdio>

namespace kavsafe {

namespace {

// Object names may not hold backslashes and are limited in length, so the name carries
// a hash of the upper-cased path instead of the path itself.
std::wstring MutexName(const std::wstring& programPath) {
    std::wstring upper = programPath;
    if (!upper.empty()) {
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    }
    unsigned long long hash = 14695981039346656037ull;
    for (wchar_t c : upper) {
        hash = (hash ^ static_cast<unsigned>(c)) * 1099511628211ull;
    }
    wchar_t name[64];
    swprintf(name, 64, L"Local\\KavSafe-%016llx", hash);
    return name;
}

} // namespace

InstanceIndicator::InstanceIndicator(const std::wstring& programPath) {
    m_mutex.reset(CreateMutexW(nullptr, FALSE, MutexName(programPath).c_str()));
    m_another = m_mutex && GetLastError() == ERROR_ALREADY_EXISTS;
}

} // namespace kavsafe
