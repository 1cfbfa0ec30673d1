// Twip-based layout of QuorPorts' window: conversion to pixels at a given DPI and the font owner.
#pragma once

#include "UniqueHandle.h"

#include <windows.h>

namespace quorports {

// The window's positions are kept in twips (1440 per inch) so one table serves every DPI;
// at 96 DPI 15 twips make one pixel.
inline int TwipsToPixels(int twips, int dpi) {
    return MulDiv(twips, dpi, 1440);
}

// Character height (negative: em height, not cell height) of a font of the given size in
// hundredths of a point.
inline int FontHeight(int hundredthsOfPoint, int dpi) {
    return -MulDiv(hundredthsOfPoint, dpi, 72 * 100);
}

struct FontTraits {
    static HFONT invalid() { return nullptr; }
    static void close(HFONT h) { DeleteObject(h); }
};
using FontHandle = quor::Unique<FontTraits>;

// The DPI at which the primary screen draws; 96 when it cannot be read.
inline int ScreenDpi() {
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) {
        ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? dpi : 96;
}

} // namespace quorports
