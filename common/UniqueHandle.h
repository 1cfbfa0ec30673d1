// Move-only owners for the platform's handle kinds, all built from one template.
#pragma once

#include <windows.h>

#include <utility>

namespace quor {

// Owns one handle; Traits gives its invalid value and the call that closes it.
template <typename Traits> class Unique {
public:
    using Handle = decltype(Traits::invalid());

    Unique() = default;
    explicit Unique(Handle h) : m_handle(h) {}
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : m_handle(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~Unique() { reset(); }

    Handle get() const { return m_handle; }
    explicit operator bool() const { return m_handle != Traits::invalid(); }

    Handle release() { return std::exchange(m_handle, Traits::invalid()); }

    // Closes the owned handle without disturbing the caller's GetLastError().
    void reset(Handle h = Traits::invalid()) {
        if (m_handle != Traits::invalid()) {
            const DWORD lastError = GetLastError();
            Traits::close(m_handle);
            SetLastError(lastError);
        }
        m_handle = h;
    }

    // For APIs that return the handle through an out-parameter.
    Handle* put() {
        reset();
        return &m_handle;
    }

private:
    Handle m_handle = Traits::invalid();
};

struct FileTraits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};
// Kernel objects whose failure value is null: processes, threads, mutexes, events.
struct KernelTraits {
    static HANDLE invalid() { return nullptr; }
    static void close(HANDLE h) { CloseHandle(h); }
};
struct FindTraits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { FindClose(h); }
};
struct ScTraits {
    static SC_HANDLE invalid() { return nullptr; }
    static void close(SC_HANDLE h) { CloseServiceHandle(h); }
};
struct RegKeyTraits {
    static HKEY invalid() { return nullptr; }
    static void close(HKEY h) { RegCloseKey(h); }
};

// GDI objects (bitmaps, regions, fonts, brushes, pens) are deleted with DeleteObject.
template <typename H> struct GdiTraits {
    static H invalid() { return nullptr; }
    static void close(H h) { DeleteObject(h); }
};
struct MemoryDcTraits {
    static HDC invalid() { return nullptr; }
    static void close(HDC h) { DeleteDC(h); }
};

using FileHandle = Unique<FileTraits>;
using KernelHandle = Unique<KernelTraits>;
using FindHandle = Unique<FindTraits>;
using ScHandle = Unique<ScTraits>;
using RegKeyHandle = Unique<RegKeyTraits>;
using BitmapHandle = Unique<GdiTraits<HBITMAP>>;
using RegionHandle = Unique<GdiTraits<HRGN>>;
using FontHandle = Unique<GdiTraits<HFONT>>;
using BrushHandle = Unique<GdiTraits<HBRUSH>>;
using PenHandle = Unique<GdiTraits<HPEN>>;
using MemoryDcHandle = Unique<MemoryDcTraits>;

} // namespace quor
