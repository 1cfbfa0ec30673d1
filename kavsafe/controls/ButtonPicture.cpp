// Pictures of the button control: size information, the prepared copy with its exact
// transparent colour, custom-shape outlines, and drawing (normal and disabled).
#include "ButtonState.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace kavsafe::controls {

namespace {

// A 32-bit top-down DIB section; bits points at its pixels (B, G, R, unused per pixel).
BitmapHandle CreateDib(int width, int height, std::uint32_t** bits) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* pixels = nullptr;
    BitmapHandle dib(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0));
    *bits = dib ? static_cast<std::uint32_t*>(pixels) : nullptr;
    return dib;
}

COLORREF PixelColour(std::uint32_t pixel) {
    const BYTE b = pixel & 0xFF;
    const BYTE g = (pixel >> 8) & 0xFF;
    const BYTE r = (pixel >> 16) & 0xFF;
    return RGB(r, g, b);
}

bool Near(std::uint32_t pixel, std::uint32_t key) {
    for (int shift = 0; shift < 24; shift += 8) {
        const int a = static_cast<int>((pixel >> shift) & 0xFF);
        const int b = static_cast<int>((key >> shift) & 0xFF);
        if (std::abs(a - b) > 3) {
            return false;
        }
    }
    return true;
}

// A region made of the given one-pixel-high rectangles.
RegionHandle RegionFromRects(const std::vector<RECT>& rects) {
    if (rects.empty()) {
        return RegionHandle(CreateRectRgn(0, 0, 0, 0));
    }
    std::vector<BYTE> data(sizeof(RGNDATAHEADER) + rects.size() * sizeof(RECT));
    auto* header = reinterpret_cast<RGNDATAHEADER*>(data.data());
    header->dwSize = sizeof(RGNDATAHEADER);
    header->iType = RDH_RECTANGLES;
    header->nCount = static_cast<DWORD>(rects.size());
    header->nRgnSize = static_cast<DWORD>(rects.size() * sizeof(RECT));
    RECT bounds = rects.front();
    for (const RECT& r : rects) {
        bounds.left = std::min(bounds.left, r.left);
        bounds.top = std::min(bounds.top, r.top);
        bounds.right = std::max(bounds.right, r.right);
        bounds.bottom = std::max(bounds.bottom, r.bottom);
    }
    header->rcBound = bounds;
    std::copy(rects.begin(), rects.end(),
              reinterpret_cast<RECT*>(data.data() + sizeof(RGNDATAHEADER)));
    return RegionHandle(ExtCreateRegion(nullptr, static_cast<DWORD>(data.size()),
                                        reinterpret_cast<RGNDATA*>(data.data())));
}

// Draws the picture at rect of dc: icons with DrawIconEx, bitmaps from the prepared copy
// with the transparent colour left out.
void DrawPictureTo(State& s, HDC dc, const RECT& rect) {
    const int w = rect.right - rect.left;
    const int h = rect.bottom - rect.top;
    if (s.pictureIsIcon) {
        DrawIconEx(dc, rect.left, rect.top, s.picture->Icon(), w, h, 0, nullptr, DI_NORMAL);
        return;
    }
    if (!s.prepared || s.preparedWidth != w || s.preparedHeight != h) {
        PreparePicture(s, w, h);
    }
    if (!s.prepared) {
        return;
    }
    MemoryDc source = MakeMemoryDc(dc);
    SelectGuard select(source.get(), s.prepared.get());
    TransparentBlt(dc, rect.left, rect.top, w, h, source.get(), 0, 0, w, h, s.transparentColour);
}

} // namespace

void UpdatePictureInfo(State& s) {
    s.prepared.reset();
    s.preparedWidth = s.preparedHeight = 0;
    s.pictureWidth = s.pictureHeight = 0;
    s.pictureIsIcon = false;
    if (!s.picture) {
        return;
    }
    if (const HBITMAP bitmap = s.picture->Bitmap()) {
        BITMAP info{};
        if (GetObjectW(bitmap, sizeof(info), &info)) {
            s.pictureWidth = info.bmWidth;
            s.pictureHeight = std::abs(info.bmHeight);
        }
        return;
    }
    ICONINFO icon{};
    if (s.picture->Icon() && GetIconInfo(s.picture->Icon(), &icon)) {
        // GetIconInfo hands out copies of the icon's bitmaps; they are the caller's to delete.
        BitmapHandle colour(icon.hbmColor);
        BitmapHandle mask(icon.hbmMask);
        BITMAP info{};
        if (colour && GetObjectW(colour.get(), sizeof(info), &info)) {
            s.pictureWidth = info.bmWidth;
            s.pictureHeight = info.bmHeight;
        } else if (mask && GetObjectW(mask.get(), sizeof(info), &info)) {
            s.pictureWidth = info.bmWidth;
            s.pictureHeight = info.bmHeight / 2; // monochrome icons stack AND and XOR masks
        }
        s.pictureIsIcon = true;
    }
}

void PreparePicture(State& s, int targetWidth, int targetHeight) {
    if (!s.picture || s.pictureIsIcon || !s.picture->Bitmap() || targetWidth <= 0 ||
        targetHeight <= 0 || s.pictureWidth <= 0) {
        return;
    }
    std::uint32_t* bits = nullptr;
    BitmapHandle copy = CreateDib(targetWidth, targetHeight, &bits);
    if (!copy || !bits) {
        return;
    }
    {
        MemoryDc target = MakeMemoryDc();
        MemoryDc source = MakeMemoryDc();
        SelectGuard selectTarget(target.get(), copy.get());
        SelectGuard selectSource(source.get(), s.picture->Bitmap());
        SetStretchBltMode(target.get(), COLORONCOLOR);
        StretchBlt(target.get(), 0, 0, targetWidth, targetHeight, source.get(), 0, 0,
                   s.pictureWidth, s.pictureHeight, SRCCOPY);
        GdiFlush();
    }
    // The corner pixel names the transparent colour; scaling and JPEG noise leave pixels
    // close to it, which become exactly that colour.
    const std::uint32_t key = bits[0] & 0xFFFFFF;
    const std::size_t count = static_cast<std::size_t>(targetWidth) * targetHeight;
    for (std::size_t i = 0; i < count; ++i) {
        if (Near(bits[i], key)) {
            bits[i] = key;
        }
    }
    s.prepared = std::move(copy);
    s.preparedWidth = targetWidth;
    s.preparedHeight = targetHeight;
    s.transparentColour = PixelColour(key);

    if (s.shape < 7 || targetWidth != s.width || targetHeight != s.height || !s.hwnd) {
        return;
    }
    // Custom shapes: the button minus every horizontal run of transparent pixels.
    std::vector<RECT> runs;
    for (int y = 0; y < targetHeight; ++y) {
        const std::uint32_t* row = bits + static_cast<std::size_t>(y) * targetWidth;
        int x = 0;
        while (x < targetWidth) {
            if ((row[x] & 0xFFFFFF) != key) {
                ++x;
                continue;
            }
            const int start = x;
            while (x < targetWidth && (row[x] & 0xFFFFFF) == key) {
                ++x;
            }
            runs.push_back({start, y, x, y + 1});
        }
    }
    RegionHandle transparent = RegionFromRects(runs);
    RegionHandle window(CreateRectRgn(0, 0, targetWidth, targetHeight));
    s.innerRegion.reset(CreateRectRgn(1, 1, targetWidth - 1, targetHeight - 1));
    s.innermostRegion.reset(CreateRectRgn(2, 2, targetWidth - 2, targetHeight - 2));
    if (transparent) {
        CombineRgn(window.get(), window.get(), transparent.get(), RGN_DIFF);
        CombineRgn(s.innerRegion.get(), s.innerRegion.get(), transparent.get(), RGN_DIFF);
        CombineRgn(s.innermostRegion.get(), s.innermostRegion.get(), transparent.get(), RGN_DIFF);
    }
    SetWindowRgn(s.hwnd, window.release(), TRUE);
}

void DrawPicture(State& s, const RECT& rect) {
    const int w = rect.right - rect.left;
    const int h = rect.bottom - rect.top;
    if (!s.memDc || !s.picture || w <= 0 || h <= 0) {
        return;
    }
    const HDC dc = s.memDc.get();
    if (s.Enabled()) {
        DrawPictureTo(s, dc, rect);
        return;
    }
    // Disabled: the picture goes onto white, becomes a black-and-white mask (white stays white,
    // everything else black) and is transferred so that black shows as grey and white leaves
    // the face as it is.
    const HDC screen = GetDC(nullptr);
    BitmapHandle scratch(CreateCompatibleBitmap(screen, w, h));
    ReleaseDC(nullptr, screen);
    BitmapHandle mono(CreateBitmap(w, h, 1, 1, nullptr));
    BrushHandle grey(CreateSolidBrush(RGB(0x80, 0x80, 0x80)));
    if (!scratch || !mono || !grey) {
        return;
    }
    MemoryDc scratchDc = MakeMemoryDc(dc);
    MemoryDc monoDc = MakeMemoryDc(dc);
    SelectGuard selectScratch(scratchDc.get(), scratch.get());
    SelectGuard selectMono(monoDc.get(), mono.get());
    const RECT whole{0, 0, w, h};
    FillRect(scratchDc.get(), &whole, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    DrawPictureTo(s, scratchDc.get(), whole);
    SetBkColor(scratchDc.get(), RGB(255, 255, 255));
    BitBlt(monoDc.get(), 0, 0, w, h, scratchDc.get(), 0, 0, SRCCOPY);

    SelectGuard selectBrush(dc, grey.get());
    const COLORREF oldBack = SetBkColor(dc, RGB(255, 255, 255));
    const COLORREF oldText = SetTextColor(dc, RGB(0, 0, 0));
    BitBlt(dc, rect.left, rect.top, w, h, monoDc.get(), 0, 0, 0xB8074A);
    SetBkColor(dc, oldBack);
    SetTextColor(dc, oldText);
}

} // namespace kavsafe::controls
