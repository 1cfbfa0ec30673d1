// Back buffer, window region, caption and picture layout, colour set and caption font of the
// button control.
#include "ButtonState.h"

#include <algorithm>
#include <cmath>

namespace kavsafe::controls {

namespace {

// Removes the three pixels of a right triangle with 2-pixel legs at the corner (x, y) of the
// window; dx and dy point into the button.
void CutCorner(HRGN region, int x, int y, int dx, int dy) {
    const int rowLeft = dx > 0 ? x : x - 1;
    const int rowTop = y;
    RegionHandle row(CreateRectRgn(rowLeft, rowTop, rowLeft + 2, rowTop + 1));
    const int colTop = dy > 0 ? y + 1 : y - 1;
    RegionHandle col(CreateRectRgn(x, colTop, x + 1, colTop + 1));
    CombineRgn(region, region, row.get(), RGN_DIFF);
    CombineRgn(region, region, col.get(), RGN_DIFF);
}

int ScreenDpiY() {
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) {
        ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? dpi : 96;
}

// The face of the current shape: start x0, span width S and end xe.
struct FaceSpan {
    int x0, span, xe;
};

FaceSpan FaceOf(const State& s) {
    const int w = s.width;
    switch (s.shape) {
    case 1: {
        const int x0 = s.xl - s.xl / 3 + 3;
        return {x0, w - x0, w};
    }
    case 2: {
        const int span = (w - s.xr) / 3 + s.xr;
        return {0, span, span};
    }
    case 3: {
        const int x0 = s.xl - s.xl / 3 + 3;
        const int xe = (w - s.xr) / 3 + s.xr;
        return {x0, xe - x0, xe};
    }
    case 7:
    case 8:
        return {3, s.xr - 3, s.xr - 3};
    default:
        return {0, s.xr, w};
    }
}

} // namespace

ButtonState::~ButtonState() {
    if (memDc) {
        // Put back what the DC started with, so that the control's own objects can go.
        SelectClipRgn(memDc.get(), nullptr);
        if (initialBitmap) {
            SelectObject(memDc.get(), initialBitmap);
        }
        if (initialFont) {
            SelectObject(memDc.get(), initialFont);
        }
        if (initialPen) {
            SelectObject(memDc.get(), initialPen);
        }
        if (initialBrush) {
            SelectObject(memDc.get(), initialBrush);
        }
    }
}

std::wstring DisplayText(const std::wstring& caption) {
    std::wstring text;
    text.reserve(caption.size());
    for (std::size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == L'|' && i + 1 < caption.size() && caption[i + 1] == L'|') {
            text += L"\r\n";
            ++i;
        } else {
            text += caption[i];
        }
    }
    return text;
}

void PrepareBackBuffer(State& s) {
    if (!s.hwnd) {
        return;
    }
    RECT client{};
    GetClientRect(s.hwnd, &client);
    s.width = client.right;
    s.height = client.bottom;
    if (s.xr == 0 || s.shape == 0 || s.shape >= 4) {
        s.xr = s.width;
    }
    const HDC reference = s.ownDc ? s.ownDc : nullptr;
    if (!s.memDc) {
        s.memDc = MakeMemoryDc(reference);
        if (!s.memDc) {
            return;
        }
        SetBkMode(s.memDc.get(), TRANSPARENT);
        s.blackBrush.reset(CreateSolidBrush(RGB(0, 0, 0)));
        s.blackPen.reset(CreatePen(PS_SOLID, 1, RGB(0, 0, 0)));
        s.initialBrush = SelectObject(s.memDc.get(), s.blackBrush.get());
        s.initialPen = SelectObject(s.memDc.get(), s.blackPen.get());
        UpdateFont(s);
    }
    if (s.buffer) {
        SelectObject(s.memDc.get(), s.initialBitmap);
        s.buffer.reset();
    }
    const HDC screen = reference ? nullptr : GetDC(nullptr);
    s.buffer.reset(CreateCompatibleBitmap(reference ? reference : screen, std::max(s.width, 1),
                                          std::max(s.height, 1)));
    if (screen) {
        ReleaseDC(nullptr, screen);
    }
    const HGDIOBJ old = SelectObject(s.memDc.get(), s.buffer.get());
    if (!s.initialBitmap) {
        s.initialBitmap = old;
    }
}

void UpdateFont(State& s) {
    if (!s.memDc) {
        return;
    }
    LOGFONTW font{};
    // Height in pixels from the point size: points × 20 twips, over the screen's twips per pixel.
    const double twipsPerPixel = 1440.0 / ScreenDpiY();
    font.lfHeight = -static_cast<LONG>(std::lround(s.font.points * 20.0 / twipsPerPixel));
    font.lfWeight = s.font.bold ? FW_BOLD : FW_NORMAL;
    font.lfItalic = s.font.italic;
    font.lfUnderline = s.font.underline;
    font.lfStrikeOut = s.font.strikeout;
    font.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(font.lfFaceName, s.font.name.c_str(), LF_FACESIZE);
    FontHandle created(CreateFontIndirectW(&font));
    if (!created) {
        return;
    }
    const HGDIOBJ old = SelectObject(s.memDc.get(), created.get());
    if (!s.initialFont) {
        s.initialFont = old;
    }
    s.captionFont = std::move(created); // deletes the font it replaces, now deselected
}

void UpdateColours(State& s) {
    const COLORREF f = ToRGB(s.backColor);
    const COLORREF hv = ToRGB(s.hoverBackColor);
    s.light = f;
    s.dark = f;
    s.hoverFace = hv;
    switch (s.buttonStyle) {
    case 2:
        s.light = ShadeColor(f, 48, true);
        s.dark = ShadeColor(s.light, -32, true);
        s.hoverFace = ShadeColor(hv, 48, true);
        s.checkedFace = ShadeColor(0xFFFFFF, -32, true);
        break;
    case 3:
        s.dark = ShadeColor(0x808080, 12);
        s.checkedFace = ShadeColor(s.dark, 31);
        break;
    case 7:
        s.light = ShadeColor(f, 31);
        s.dark = ShadeColor(0x808080, -16);
        s.hoverFace = ShadeColor(hv, 31);
        s.checkedFace = ShadeColor(0x808080, 16, true);
        break;
    default:
        s.checkedFace = ShadeColor(0xFFFFFF, -32);
        break;
    }
}

void BuildButtonRegion(State& s) {
    if (!s.hwnd || !s.memDc) {
        return;
    }
    SelectClipRgn(s.memDc.get(), nullptr);
    s.innerRegion.reset();
    s.innermostRegion.reset();
    int w = s.width;
    const int h = s.height;
    s.xl = 0;
    s.xr = w;
    if (w <= 0 || h <= 0) {
        return;
    }
    RegionHandle region;
    const bool trimmedStyle = s.buttonStyle == 1 || s.buttonStyle == 2 || s.buttonStyle == 7 ||
                              (s.buttonStyle == 3 && s.Enabled());
    switch (s.shape) {
    case 0:
        region.reset(CreateRectRgn(0, 0, w + 1, h + 1));
        if (s.buttonStyle == 2 || s.buttonStyle == 7) {
            CutCorner(region.get(), 0, 0, 1, 1);
            CutCorner(region.get(), w - 1, 0, -1, 1);
            CutCorner(region.get(), 0, h - 1, 1, -1);
            CutCorner(region.get(), w - 1, h - 1, -1, -1);
        }
        break;
    case 1:
    case 2:
    case 3: {
        const int d = h + 1;
        if (w - d <= 4) {
            // Too narrow for its diagonals: widen in steps of 5 pixels.
            while (w - d <= 4) {
                w += 5;
            }
            RECT bounds{};
            GetWindowRect(s.hwnd, &bounds);
            MapWindowPoints(nullptr, GetParent(s.hwnd), reinterpret_cast<POINT*>(&bounds), 2);
            const int extraX = (bounds.right - bounds.left) - s.width;
            SetWindowPos(s.hwnd, nullptr, 0, 0, w + extraX, bounds.bottom - bounds.top,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            PrepareBackBuffer(s);
            w = s.width;
        }
        POINT points[4] = {{0, 0}, {0, h + 1}, {w + 1, h + 1}, {w + 1, 0}};
        if (s.shape != 2) {
            points[1] = {d, h + 1};
            s.xl = d;
        }
        if (s.shape != 1) {
            points[3] = {w - d + 1, 0};
            s.xr = w - d;
        }
        region.reset(CreatePolygonRgn(points, 4, WINDING));
        if (trimmedStyle) {
            if (!s.LeftDiagonal()) {
                CutCorner(region.get(), 0, 0, 1, 1);
                CutCorner(region.get(), 0, h - 1, 1, -1);
            }
            if (!s.RightDiagonal()) {
                CutCorner(region.get(), w - 1, 0, -1, 1);
                CutCorner(region.get(), w - 1, h - 1, -1, -1);
            }
        }
        break;
    }
    case 4:
    case 5:
    case 6:
        region.reset(CreateEllipticRgn(0, 0, w, h));
        s.innerRegion.reset(CreateEllipticRgn(1, 1, w - 1, h - 1));
        s.innermostRegion.reset(CreateEllipticRgn(2, 2, w - 2, h - 2));
        break;
    default:
        // Custom shapes take their outline from the picture.
        if (s.HasPicture()) {
            PreparePicture(s, w, h);
        }
        return;
    }
    if (region) {
        // The window owns the region from here on.
        SetWindowRgn(s.hwnd, region.release(), TRUE);
    }
}

void CalcLayout(State& s) {
    if (!s.memDc || s.width <= 0 || s.height <= 0) {
        return;
    }
    const int h = s.height;
    const FaceSpan face = FaceOf(s);
    const bool picture = s.HasPicture();
    const int slot = picture && s.pictureSize <= 32 ? s.pictureSize : 0;
    const int align = s.pictureAlign;
    const int pLeft = slot && (align == 0 || align == 1) ? slot : 0;
    const int pRight = slot && (align == 2 || align == 3) ? slot : 0;
    const int pTopBottom = slot && (align == 4 || align == 5) ? slot : 0;

    // 1. Measure the text.
    const std::wstring text = DisplayText(s.caption);
    int textWidth = 0, textHeight = 0;
    if (!text.empty()) {
        RECT measure{0, 0, std::max(face.span - pLeft - pRight - 8, 1),
                     std::max(h - 8 - pTopBottom, 1)};
        DrawTextW(s.memDc.get(), text.c_str(), static_cast<int>(text.size()), &measure,
                  DT_CALCRECT | DT_WORDBREAK);
        textWidth = measure.right - measure.left;
        textHeight = measure.bottom - measure.top;
        if (s.captionStyle == 1 || s.captionStyle == 2) {
            textWidth += 2;
            textHeight += 2;
        }
    }

    // 2. Caption x.
    int captionLeft = 0;
    int pictureLeft = 0;
    bool pictureLeftSet = false;
    switch (s.captionAlign) {
    case 0:
        captionLeft = face.x0 + pLeft + 4 + (pLeft ? 4 : 0);
        break;
    case 1:
        captionLeft = face.xe - pRight - textWidth - 4 - (pRight ? 4 : 0);
        break;
    default:
        if (align == 1 && pLeft) {
            const int start = face.x0 + (face.span - (slot + 4 + textWidth)) / 2;
            pictureLeft = start;
            pictureLeftSet = true;
            captionLeft = start + slot + 4;
        } else if (align == 3 && pRight) {
            const int start = face.x0 + (face.span - (slot + 4 + textWidth)) / 2;
            captionLeft = start;
            pictureLeft = start + textWidth + 4;
            pictureLeftSet = true;
        } else {
            captionLeft = face.x0 + pLeft + (face.span - pLeft - pRight - textWidth) / 2;
        }
        break;
    }

    // 3. Vertical placement and the picture's x.
    int captionTop = (h - textHeight) / 2;
    int pictureTop = 0;
    const bool hasCaption = !text.empty();
    if (slot) {
        switch (align) {
        case 0:
        case 1:
        case 2:
        case 3:
            pictureTop = (h - slot) / 2;
            if (align == 0) {
                pictureLeft = face.x0 + 4;
            } else if (align == 1 && !pictureLeftSet) {
                pictureLeft = hasCaption ? captionLeft - slot - 4 : face.x0 + 4;
            } else if (align == 2) {
                pictureLeft = face.xe - 4 - slot;
            } else if (align == 3 && !pictureLeftSet) {
                pictureLeft = hasCaption ? captionLeft + textWidth + 4 : face.xe - 4 - slot;
            }
            if (!hasCaption && (align == 1 || align == 3)) {
                pictureLeft = align == 1 ? face.x0 + 4 : face.xe - 4 - slot;
            }
            break;
        default: {
            const int v = (h - textHeight - slot) / 2;
            if (align == 4) {
                pictureTop = v;
                captionTop = v + slot + 2;
            } else {
                captionTop = v + 2;
                pictureTop = v + textHeight + 4;
            }
            pictureLeft = face.x0 + (face.span - slot) / 2;
            break;
        }
        }
    }

    // 4. Clamps.
    RECT caption{captionLeft, captionTop, captionLeft + textWidth, captionTop + textHeight};
    const auto clamp = [&](RECT& r) {
        r.top = std::max<LONG>(r.top, 4);
        r.left = std::max<LONG>(r.left, face.x0 + 4);
        r.right = std::min<LONG>(r.right, face.xe - 4);
        r.bottom = std::min<LONG>(r.bottom, h - 5);
    };
    clamp(caption);
    s.captionRect = caption;

    if (slot) {
        RECT pic{pictureLeft, pictureTop, pictureLeft + slot, pictureTop + slot};
        clamp(pic);
        s.pictureRect = pic;
    } else if (picture && s.shape >= 7) {
        s.pictureRect = {0, 0, s.width, h};
    } else if (picture && s.pictureSize == kPictureStretched) {
        const int inset = s.shape == 6 ? 1 : 3;
        s.pictureRect = {face.x0 + inset, inset, face.x0 + face.span - inset, h - inset};
        PreparePicture(s, s.pictureRect.right - s.pictureRect.left,
                       s.pictureRect.bottom - s.pictureRect.top);
    } else if (picture && s.pictureSize == kPictureScaled) {
        const double scale = std::min(static_cast<double>(face.span - 12) / s.pictureWidth,
                                      static_cast<double>(h - 12) / s.pictureHeight);
        const int pw = std::max(1, static_cast<int>(std::lround(s.pictureWidth * scale)));
        const int ph = std::max(1, static_cast<int>(std::lround(s.pictureHeight * scale)));
        const int left = face.x0 + (face.span - pw) / 2;
        const int top = (h - ph) / 2;
        s.pictureRect = {left, top, left + pw, top + ph};
        PreparePicture(s, pw, ph);
    } else {
        s.pictureRect = {};
    }
}

} // namespace kavsafe::controls
