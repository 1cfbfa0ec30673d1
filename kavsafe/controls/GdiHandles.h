// The GDI owners the button control draws with, and a selection guard.
#pragma once

#include "UniqueHandle.h"

#include <windows.h>

#include <utility>

namespace kavsafe::controls {

using quor::BitmapHandle;
using quor::BrushHandle;
using quor::FontHandle;
using quor::PenHandle;
using quor::RegionHandle;
using MemoryDc = quor::MemoryDcHandle;

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
