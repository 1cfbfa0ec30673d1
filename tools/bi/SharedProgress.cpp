// The progress counters bi publishes for the program that started it.
#include "SharedProgress.h"

#include <windows.h>

#include <iterator>

namespace bi::progress {

namespace {

// The view lives until the process ends (the mapping's handle and view are never released), so
// a counter written from any thread stays valid.
Counters* g_counters = nullptr;

} // namespace

void Open() {
    wchar_t name[256];
    const DWORD length =
        GetEnvironmentVariableW(kVariable, name, static_cast<DWORD>(std::size(name)));
    if (length == 0 || length >= std::size(name) || g_counters) {
        return;
    }
    const HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, name);
    if (mapping) {
        g_counters =
            static_cast<Counters*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(Counters)));
    }
}

void SetTotal(std::uint64_t bytes) {
    if (g_counters) {
        InterlockedExchange64(const_cast<LONG64*>(&g_counters->total), static_cast<LONG64>(bytes));
    }
}

void Add(std::uint64_t bytes) {
    if (g_counters && bytes > 0) {
        InterlockedExchangeAdd64(const_cast<LONG64*>(&g_counters->done),
                                 static_cast<LONG64>(bytes));
    }
}

} // namespace bi::progress
