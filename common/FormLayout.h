// Twip-based window layout shared by the programs' windows: conversion to pixels at a given
// DPI, the screen's DPI, and SimSun fonts of a given point size.
#pragma once

#include "UniqueHandle.h"

#include <windows.h>

namespace quor {

// The windows' positions are kept in twips (1440 per inch) so one table serves every DPI;
// at 96 DPI 15 twips make one pixel.
inline int TwipsToPixels(int twips, int dpi) {
    return MulDiv(twips, dpi, 1440);
}

// A control's rectangle (left, top, right, bottom) in pixels from its position and size in
// twips. Position and size are converted separately, so controls of equal size stay equal.
inline RECT TwipRect(int left, int top, int width, int height, int dpi) {
    const int x = TwipsToPixels(left, dpi);
    const int y = TwipsToPixels(top, dpi);
    return {x, y, x + TwipsToPixels(width, dpi), y + TwipsToPixels(height, dpi)};
}

// Character height (negative: em height, not cell height) of a font of the given size in
// hundredths of a point.
inline int FontHeight(int hundredthsOfPoint, int dpi) {
    return -MulDiv(hundredthsOfPoint, dpi, 72 * 100);
}

// SimSun ("宋体", GB2312 character set) of the given size in hundredths of a point.
inline FontHandle CreateSimSun(int hundredthsOfPoint, int dpi, bool bold = false,
                               bool underline = false) {
    return FontHandle(CreateFontW(FontHeight(hundredthsOfPoint, dpi), 0, 0, 0,
                                  bold ? FW_BOLD : FW_NORMAL, FALSE, underline ? TRUE : FALSE,
                                  FALSE, GB2312_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                  DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"宋体"));
}

// The DPI at which the primary screen draws; 96 when it cannot be read.
inline int ScreenDpi() {
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) {
        ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? dpi : 96;
}

// The outer size of a top-level window whose client area has the given size, and the
// position that centres it on the primary screen.
inline RECT CentredFrame(SIZE client, DWORD style, DWORD exStyle = 0) {
    RECT frame{0, 0, client.cx, client.cy};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    return {x, y, x + width, y + height};
}

} // namespace quor
