// The share of the work done, published for the program that started bi when it asks for it:
// the environment variable QUOR_PROGRESS names a file mapping that holds two 64-bit counters,
// the bytes done and the total (0 while unknown). Packing counts the bytes read from the
// files; extracting sets the total from the archive's catalog and counts the bytes written.
// Without the variable, or when the mapping cannot be opened, nothing is published.
#pragma once

#include <cstdint>

namespace bi::progress {

// The counters' layout, shared with the programs that read them.
struct Counters {
    volatile std::int64_t done;
    volatile std::int64_t total;
};

inline constexpr wchar_t kVariable[] = L"QUOR_PROGRESS";

// Opens the mapping named by the environment; called once at start.
void Open();
void SetTotal(std::uint64_t bytes);
void Add(std::uint64_t bytes);

} // namespace bi::progress
