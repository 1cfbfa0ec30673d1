// Owners for the GDI handle kinds the button control draws with, and a selection guard.
#pragma once

#include "UniqueHandle.h"

#include <windows.h>

#include <utility>

namespace kavsafe::controls {

struct GdiObjectTraits {
    static HGDIOBJ invalid() { return nullptr; }
    static void close(HGDIOBJ h) { DeleteObject(h); }
};
struct BitmapTraits {
    static HBITMAP invalid() { return nullptr; }
    static void close(HBITMAP h) { DeleteObject(h); }
};
struct RegionTraits {
    static HRGN invalid() { return nullptr; }
    static void close(HRGN h) { DeleteObject(h); }
};
struct FontTraits {
    static HFONT invalid() { return nullptr; }
    static void close(HFONT h) { DeleteObject(h); }
};
struct BrushTraits {
    static HBRUSH invalid() { return nullptr; }
    static void close(HBRUSH h) { DeleteObject(h); }
};
struct PenTraits {
    static HPEN invalid() { return nullptr; }
    static void close(HPEN h) { DeleteObject(h); }
};
struct MemoryDcTraits {
    static HDC invalid() { return nullptr; }
    static void close(HDC h) { DeleteDC(h); }
};

using BitmapHandle = quor::Unique<BitmapTraits>;
using RegionHandle = quor::Unique<RegionTraits>;
using FontHandle = quor::Unique<FontTraits>;
using BrushHandle = quor::Unique<BrushTraits>;
using PenHandle = quor::Unique<PenTraits>;
using MemoryDc = quor::Unique<MemoryDcTraits>;

// Selects an object into a DC and puts the previous one back at scope end. Declare the
// object's owner before the guard, so that it is deselected before it is deleted.
class SelectGuard {
public:
    SelectGuard(HDC dc, HGDIOBJ object)
        : m_dc(dc), m_old(object ? SelectObject(dc, object) : nullptr) {}
    ~SelectGuard() {
        if (m_old) {
            SelectObject(m_dc, m_old);
        }
    }
    SelectGuard(const SelectGuard&) = delete;
    SelectGuard& operator=(const SelectGuard&) = delete;

private:
    HDC m_dc;
    HGDIOBJ m_old;
};

// A screen-compatible memory DC for short drawing steps (scratch bitmaps, picture copies).
inline MemoryDc MakeMemoryDc(HDC reference = nullptr) {
    return MemoryDc(CreateCompatibleDC(reference));
}

} // namespace kavsafe::controls
