// The eight looks of the button control: colour shading, face fill, gradients, border rings,
// caption drawing and the one copy of the back buffer to the window.
#include "ButtonState.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace kavsafe::controls {

namespace {

// Border table: entries 1-4 inner ring, 5-8 middle ring, 9-12 outer ring, each left, top,
// right, bottom; kNoColour where an edge is not drawn.
using BorderTable = std::array<long, 12>;
enum Entry {
    InnerLeft,
    InnerTop,
    InnerRight,
    InnerBottom,
    MiddleLeft,
    MiddleTop,
    MiddleRight,
    MiddleBottom,
    OuterLeft,
    OuterTop,
    OuterRight,
    OuterBottom
};

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kGrey = RGB(0x80, 0x80, 0x80);

void Fill(HDC dc, const RECT& rect, COLORREF colour) {
    BrushHandle brush(CreateSolidBrush(colour));
    FillRect(dc, &rect, brush.get());
}

// One ring edge: a two-point polyline, which leaves out its end point. The edges of a ring run
// round it clockwise (left edge upwards, top rightwards, right downwards, bottom leftwards), so
// each corner pixel belongs to exactly one edge.
void Edge(HDC dc, POINT from, POINT to, long colour) {
    if (colour == kNoColour) {
        return;
    }
    PenHandle pen(CreatePen(PS_SOLID, 1, static_cast<COLORREF>(colour)));
    SelectGuard select(dc, pen.get());
    const POINT points[2] = {from, to};
    Polyline(dc, points, 2);
}

void SetWholeTable(BorderTable& table, Entry first, COLORREF leftTop, COLORREF rightBottom) {
    table[first] = static_cast<long>(leftTop);
    table[first + 1] = static_cast<long>(leftTop);
    table[first + 2] = static_cast<long>(rightBottom);
    table[first + 3] = static_cast<long>(rightBottom);
}

RegionHandle WindowRegion(const State& s) {
    RegionHandle region(CreateRectRgn(0, 0, 0, 0));
    if (GetWindowRgn(s.hwnd, region.get()) == ERROR) {
        region.reset(CreateRectRgn(0, 0, s.width, s.height));
    }
    return region;
}

void FrameRegion(HDC dc, HRGN region, COLORREF colour) {
    if (!region) {
        return;
    }
    BrushHandle brush(CreateSolidBrush(colour));
    FrameRgn(dc, region, brush.get(), 1, 1);
}

// ---------------------------------------------------------------------------------------
// Face

void FillGradient(State& s, COLORREF from, COLORREF to) {
    const HDC dc = s.memDc.get();
    const bool across = s.gradientMode == 1 || s.gradientMode == 2;
    const int extent = across ? s.width : s.height;
    if (extent <= 0) {
        return;
    }
    const int screen = GetSystemMetrics(across ? SM_CXSCREEN : SM_CYSCREEN);
    const int thickness = screen / extent < 4 ? 2 : 1;
    const int bands = std::max(extent / thickness, 1);
    const bool reversed = s.gradientMode == 2 || s.gradientMode == 4;

    std::vector<COLORREF> ramp(static_cast<std::size_t>(bands));
    const double steps = bands > 1 ? bands - 1 : 1;
    const double dr = (GetRValue(to) - GetRValue(from)) / steps;
    const double dg = (GetGValue(to) - GetGValue(from)) / steps;
    const double db = (GetBValue(to) - GetBValue(from)) / steps;
    double r = GetRValue(from), g = GetGValue(from), b = GetBValue(from);
    const auto byte = [](double v) { return static_cast<BYTE>(std::clamp(v, 0.0, 255.0)); };
    for (int k = 0; k < bands; ++k) {
        ramp[static_cast<std::size_t>(k)] = RGB(byte(r), byte(g), byte(b));
        r += dr;
        g += dg;
        b += db;
    }
    for (int k = 0; k < bands; ++k) {
        const COLORREF colour = ramp[static_cast<std::size_t>(reversed ? bands - 1 - k : k)];
        const int start = k * thickness;
        const int end = k == bands - 1 ? extent : start + thickness;
        const RECT band = across ? RECT{start, 0, end, s.height} : RECT{0, start, s.width, end};
        Fill(dc, band, colour);
    }
}

// The press effect of custom shapes: the window moves by one pixel instead of repainting.
// True when it moved the window now (nothing more is painted).
bool MoveEffect(State& s) {
    static constexpr POINT kSteps[9] = {{0, 0},  {0, -1}, {1, -1}, {-1, -1}, {1, 1},
                                        {-1, 1}, {1, 0},  {0, 1},  {-1, 0}};
    if (s.shape < 7 || s.customClick < 1 || s.customClick > 8 || s.mode != kModeCommand ||
        !s.hwnd) {
        return false;
    }
    const POINT step = kSteps[s.customClick];
    const auto moveBy = [&](int dx, int dy) {
        RECT bounds{};
        GetWindowRect(s.hwnd, &bounds);
        MapWindowPoints(nullptr, GetParent(s.hwnd), reinterpret_cast<POINT*>(&bounds), 2);
        MoveWindow(s.hwnd, bounds.left + dx, bounds.top + dy, bounds.right - bounds.left,
                   bounds.bottom - bounds.top, TRUE);
    };
    if (s.PressedOver() && !s.moved) {
        moveBy(step.x, step.y);
        s.moved = true;
        BitBlt(s.ownDc, 0, 0, s.width, s.height, s.memDc.get(), 0, 0, SRCCOPY);
        return true;
    }
    if (s.moved && !s.PressedOver()) {
        moveBy(-step.x, -step.y);
        s.moved = false;
    }
    return false;
}

// Fills the face; returns the drawn flag (0: the press effect moved the window instead) and
// sets the state index (2 pressed with the cursor over, 1 default look, 0 normal).
int FillFace(State& s, COLORREF face, long hover, long gradientEnd, int& index) {
    if (MoveEffect(s)) {
        return 0;
    }
    const HDC dc = s.memDc.get();
    const RECT all{0, 0, s.width, s.height};
    int drawn = 1;
    const bool pressedOver = s.PressedOver();
    const bool over = s.IsOver();
    if (s.shape >= 4) {
        const std::int32_t savedMode = s.gradientMode;
        if (!(s.buttonStyle == 5 && !over && !pressedOver && !s.value)) {
            if (s.buttonStyle == 5 && (s.value || (s.shape != 6 && s.shape != 7))) {
                s.gradientMode = 3;
                FillGradient(s, kWhite, kGrey);
                SelectClipRgn(dc, s.innermostRegion.get());
                drawn = 4;
            }
            if ((!pressedOver && !s.value) || s.shape == 6 || s.shape == 7) {
                if (!(s.shape == 6 && !over)) {
                    if (s.shape == 6) {
                        FrameRegion(dc, WindowRegion(s).get(), kBlack);
                    } else if (s.shape == 7) {
                        FrameRegion(dc, WindowRegion(s).get(), ToRGB(s.backColor));
                    }
                    SelectClipRgn(dc, s.innerRegion.get());
                    drawn = 3;
                }
            } else {
                s.gradientMode = 3;
                SelectClipRgn(dc, s.innerRegion.get());
                FillGradient(s, kGrey, kWhite);
                SelectClipRgn(dc, s.innermostRegion.get());
                drawn = 4;
            }
        }
        s.gradientMode = savedMode;
    }

    index = pressedOver ? 2 : s.IsDefault() ? 1 : 0;
    const COLORREF hoverColour = hover < 0 ? face : static_cast<COLORREF>(hover);
    const COLORREF endColour = gradientEnd < 0 ? face : static_cast<COLORREF>(gradientEnd);
    const bool useHover =
        over && !(s.mode == kModeCommand && pressedOver) && !(s.mode != kModeCommand && s.value);
    const COLORREF x = useHover ? hoverColour : face;
    if (s.value || s.shape >= 7 || s.gradientMode == 0) {
        if (s.buttonStyle == 2 && (s.Enabled() || s.mode != kModeCommand)) {
            // The face darkens by up to 25 towards the bottom.
            for (int y = 0; y <= s.height; ++y) {
                const int amount = static_cast<int>(std::lround(-25.0 * y / std::max(s.height, 1)));
                Fill(dc, RECT{0, y, s.width, y + 1}, ShadeColor(x, amount, true));
            }
        } else {
            Fill(dc, all, x);
        }
    } else if (!over || pressedOver || s.gradientColor == s.hoverBackColor) {
        FillGradient(s, face, endColour);
    } else {
        Fill(dc, all, hoverColour);
    }
    return drawn;
}

// ---------------------------------------------------------------------------------------
// Rings

// Draws the three rings of a rectangular or diagonal outline. Ring k lies k pixels inside;
// on a diagonal it keeps the outer diagonal's slope, shifted k pixels into the face, so that
// the rings touch without gaps.
void DrawBorderRings(State& s, const BorderTable& table) {
    if (s.shape > 3) {
        return;
    }
    const HDC dc = s.memDc.get();
    const int w = s.width, h = s.height;
    for (int k = 0; k < 3; ++k) {
        const int base = (2 - k) * 4; // outer ring entries 9-12, middle 5-8, inner 1-4
        const int bottom = h - 1 - k;
        POINT topLeft{k, k}, bottomLeft{k, bottom};
        POINT topRight{w - 1 - k, k}, bottomRight{w - 1 - k, bottom};
        if (s.LeftDiagonal()) {
            topLeft = {2 * k, k};
            bottomLeft = {s.xl, bottom};
        }
        if (s.RightDiagonal()) {
            topRight = {s.xr - 1, k};
            bottomRight = {w - 1 - 2 * k, bottom};
        }
        Edge(dc, bottomLeft, topLeft, table[base]);
        Edge(dc, topLeft, topRight, table[base + 1]);
        Edge(dc, topRight, bottomRight, table[base + 2]);
        Edge(dc, bottomRight, bottomLeft, table[base + 3]);
    }
}

// ---------------------------------------------------------------------------------------
// Caption

void Text(State& s, const std::wstring& text, RECT rect, int dx, int dy, COLORREF colour,
          UINT format) {
    OffsetRect(&rect, dx, dy);
    SetTextColor(s.memDc.get(), colour);
    DrawTextW(s.memDc.get(), text.c_str(), static_cast<int>(text.size()), &rect, format);
}

struct CaptionColours {
    COLORREF fore;
    COLORREF hoverFore;
};

CaptionColours HostCaptionColours(const State& s) {
    return {ToRGB(s.foreColor), ToRGB(s.hoverForeColor)};
}

void DrawCaption(State& s, COLORREF face, long disabledCaption, bool oneDraw,
                 const CaptionColours& colours) {
    RECT caption = s.captionRect;
    RECT picture = s.pictureRect;
    if ((s.value || s.PressedOver()) && s.buttonStyle != 3) {
        const int dx = s.shape <= 3 ? 1 : 0;
        OffsetRect(&caption, dx, 1);
        OffsetRect(&picture, dx, 1);
    }
    if (s.HasPicture() && !(s.value && s.shape >= 7)) {
        if (s.shape >= 7) {
            picture = {0, 0, s.width, s.height};
            if (s.PressedOver()) {
                InflateRect(&picture, -1, -1);
            }
        }
        DrawPicture(s, picture);
    }
    // Custom shapes show their caption only while checked; the picture is their face.
    if (s.caption.empty() || (s.shape >= 7 && !s.value)) {
        return;
    }
    const std::wstring text = DisplayText(s.caption);
    UINT format = DT_WORDBREAK;
    format |= s.captionAlign == 0 ? DT_LEFT : s.captionAlign == 1 ? DT_RIGHT : DT_CENTER;
    if (s.Enabled()) {
        COLORREF colour = colours.fore;
        if (s.IsOver() && !s.PressedOver()) {
            colour = colours.hoverFore;
        }
        int shift = 0;
        if (s.captionStyle == 1 || s.captionStyle == 2) {
            const int first = s.captionStyle == 1 ? -40 : 40;
            Text(s, text, caption, -1, 0, ShadeColor(face, first), format);
            Text(s, text, caption, 1, 2, ShadeColor(face, -first), format);
            shift = 1;
        }
        Text(s, text, caption, 0, shift, colour, format);
        return;
    }
    if (disabledCaption == kNoColour || s.gradientMode != 0) {
        Text(s, text, caption, 1, 1, kWhite, format);
        Text(s, text, caption, 0, 0, kGrey, format);
    } else {
        Text(s, text, caption, 0, 0, static_cast<COLORREF>(disabledCaption), format);
        if (!oneDraw) {
            Text(s, text, caption, -1, -1, kGrey, format);
        }
    }
}

// ---------------------------------------------------------------------------------------
// The looks. Each fills the face, draws picture and caption, fills the border table, draws
// the rings and returns the drawn flag (above 1 only where an outline is framed).

int KeepFrameForOtherStyles(const State& s, int drawn, BorderTable& table) {
    if (drawn == 0) {
        return 0;
    }
    if ((s.shape == 6 && (s.IsOver() || s.PressedOver())) || s.shape >= 7) {
        table[OuterBottom] = static_cast<long>(kBlack);
        return drawn;
    }
    return 1;
}

// The face and caption of the grey looks (styles 0, 1, 4, 5, 6): the light face, or the
// checked face while selected; a disabled check box or option button writes its caption in
// grey once, a disabled command button engraved. Sets the face-fill state index; 0 when
// nothing was drawn.
int GreyFaceAndCaption(State& s, int& index) {
    const COLORREF face = s.Checked() ? s.checkedFace : s.light;
    const int drawn = FillFace(s, face, static_cast<long>(s.hoverFace),
                               static_cast<long>(ToRGB(s.gradientColor)), index);
    if (drawn != 0) {
        DrawCaption(s, face, s.mode == kModeCommand ? kNoColour : static_cast<long>(kGrey),
                    s.mode != kModeCommand, HostCaptionColours(s));
    }
    return drawn;
}

int PaintClassic(State& s, BorderTable& table) { // style 0
    int index = 0;
    const int drawn = GreyFaceAndCaption(s, index);
    if (drawn == 0) {
        return 0;
    }
    const int state = ((s.pressedLook && s.mode != kModeCommand) || s.value) ? 3 : index;
    const COLORREF g = RGB(233, 233, 233);
    if (state == 1) {
        SetWholeTable(table, InnerLeft, g, kGrey);
    }
    if (state == 0) {
        table[MiddleLeft] = table[MiddleTop] = static_cast<long>(g);
    } else if (state == 1) {
        table[MiddleLeft] = table[MiddleTop] = static_cast<long>(kWhite);
    }
    const COLORREF middleDark = state == 1 ? kBlack : state == 3 ? g : kGrey;
    table[MiddleRight] = table[MiddleBottom] = static_cast<long>(middleDark);
    if (state == 3) {
        SetWholeTable(table, OuterLeft, kBlack, kWhite);
    } else {
        SetWholeTable(table, OuterLeft, s.IsDefault() ? kBlack : kWhite, kBlack);
    }
    DrawBorderRings(s, table);
    return KeepFrameForOtherStyles(s, drawn, table);
}

int PaintRaised(State& s, BorderTable& table) { // style 1
    int index = 0;
    const int drawn = GreyFaceAndCaption(s, index);
    if (drawn == 0) {
        return 0;
    }
    const bool sunken = s.PressedOver() || s.value;
    const COLORREF lit = sunken ? kGrey : kWhite;
    const COLORREF shadow = sunken ? kWhite : kGrey;
    SetWholeTable(table, InnerLeft, lit, shadow);
    SetWholeTable(table, MiddleLeft, lit, shadow);
    SetWholeTable(table, OuterLeft, kBlack, kBlack);
    DrawBorderRings(s, table);
    return KeepFrameForOtherStyles(s, drawn, table);
}

int PaintBlue(State& s, BorderTable& table) { // style 2
    const bool enabled = s.Enabled();
    const COLORREF base = s.Checked() ? s.checkedFace : s.light;
    COLORREF fill = base;
    if (!enabled && s.mode == kModeCommand) {
        fill = ShadeColor(base, -24, true);
    } else if (s.mode == kModeCommand && s.PressedOver() && s.gradientMode == 0) {
        fill = s.dark;
    }
    const COLORREF gradientEnd =
        s.gradientMode != 0 ? ShadeColor(ToRGB(s.gradientColor), 48, true) : fill;
    int index = 0;
    int drawn =
        FillFace(s, fill, static_cast<long>(s.hoverFace), static_cast<long>(gradientEnd), index);
    if (drawn == 0) {
        return 0;
    }
    DrawCaption(s, fill, static_cast<long>(ShadeColor(fill, -104, true)), true,
                HostCaptionColours(s));
    if (enabled) {
        if ((s.pressedLook && s.mode != kModeCommand) || s.value) {
            index = s.IsDefault() ? 1 : 2;
        }
        if (s.IsOver() && !s.IsPressed()) {
            index = 3;
        } else if (index == 1 && !s.showFocusRect) {
            index = 0;
        }
        const COLORREF f = base;
        const auto sh = [&](int amount) { return static_cast<long>(ShadeColor(f, amount, true)); };
        static constexpr long kDefault[8] = {0xF0D1B5, 0xF7D7BD, 0xF0D1B5, 0xE7AE8C,
                                             0xE7AE8C, 0xFFDFBF, 0xE7AE8C, 0xEF826B};
        static constexpr long kHover[8] = {0x6BCBFF, 0x8CDBFF, 0x6BCBFF, 0x31B2FF,
                                           0x31B2FF, 0xA6E9FF, 0x31B2FF, 0x0096E7};
        switch (index) {
        case 0:
            table = {sh(-10), sh(10), sh(-24), sh(-32), sh(-5), sh(16), sh(-36), sh(-48)};
            break;
        case 1:
            std::copy(std::begin(kDefault), std::end(kDefault), table.begin());
            break;
        case 2:
            table = {sh(-22), sh(-24), static_cast<long>(f), sh(10), sh(-32), sh(-32),
                     sh(5),   sh(16)};
            break;
        default:
            std::copy(std::begin(kHover), std::end(kHover), table.begin());
            break;
        }
        SetWholeTable(table, OuterLeft, 0x733C00, 0x733C00);
    } else {
        const COLORREF outer = ShadeColor(base, -84, true);
        SetWholeTable(table, OuterLeft, outer, outer);
    }
    DrawBorderRings(s, table);
    if (s.shape <= 3) {
        const COLORREF outer = static_cast<COLORREF>(table[OuterBottom]);
        const HDC dc = s.memDc.get();
        if (!s.LeftDiagonal()) {
            SetPixel(dc, 1, 1, outer);
            SetPixel(dc, 1, s.height - 2, outer);
        }
        if (!s.RightDiagonal()) {
            SetPixel(dc, s.width - 2, 1, outer);
            SetPixel(dc, s.width - 2, s.height - 2, outer);
        }
    }
    if (s.shape >= 4 && (s.IsOver() || s.IsDefault())) {
        table[OuterBottom] = s.IsOver() ? 0x0096E7 : 0xEF826B;
        return drawn;
    }
    return 1;
}

int PaintFlatGrey(State& s, BorderTable& table) { // style 3
    const COLORREF face = s.Checked()                                 ? s.checkedFace
                          : s.mode == kModeCommand && s.PressedOver() ? s.dark
                                                                      : s.light;
    int index = 0;
    const int drawn = FillFace(s, face, static_cast<long>(s.hoverFace),
                               static_cast<long>(ToRGB(s.gradientColor)), index);
    if (drawn == 0) {
        return 0;
    }
    DrawCaption(s, face, static_cast<long>(ShadeColor(kGrey, -16)), true, HostCaptionColours(s));
    const COLORREF dark = ShadeColor(kGrey, -26);
    if (!s.Enabled() && s.mode == kModeCommand) {
        SetWholeTable(table, OuterLeft, dark, dark);
    } else {
        const bool sunken = s.PressedOver() || s.value;
        SetWholeTable(table, OuterLeft, dark, kWhite);
        SetWholeTable(table, MiddleLeft, sunken ? face : kWhite, dark);
    }
    DrawBorderRings(s, table);
    return KeepFrameForOtherStyles(s, drawn, table);
}

int PaintThin(State& s, BorderTable& table) { // style 4
    int index = 0;
    const int drawn = GreyFaceAndCaption(s, index);
    if (drawn == 0) {
        return 0;
    }
    const bool sunken = s.PressedOver() || s.value;
    SetWholeTable(table, OuterLeft, sunken ? kGrey : kWhite, sunken ? kWhite : kGrey);
    DrawBorderRings(s, table);
    return KeepFrameForOtherStyles(s, drawn, table);
}

int PaintFlat(State& s, BorderTable& table) { // style 5
    int index = 0;
    const int drawn = GreyFaceAndCaption(s, index);
    if (drawn == 0) {
        return 0;
    }
    if (s.IsOver() || s.value) {
        const bool sunken = s.PressedOver();
        SetWholeTable(table, OuterLeft, sunken ? kGrey : kWhite, sunken ? kWhite : kGrey);
    } else if (!s.host.UserMode()) {
        COLORREF outline = ShadeColor(s.containerBack, -64);
        if (outline == kBlack) {
            outline = kWhite;
        }
        SetWholeTable(table, OuterLeft, outline, outline);
    }
    DrawBorderRings(s, table);
    return KeepFrameForOtherStyles(s, drawn, table);
}

int PaintSoft(State& s, BorderTable& table) { // style 6
    int index = 0;
    const int drawn = GreyFaceAndCaption(s, index);
    if (drawn == 0) {
        return 0;
    }
    const bool sunken = s.PressedOver() || s.value;
    const COLORREF lit = ShadeColor(0xDFDFDF, 8);
    SetWholeTable(table, MiddleLeft, sunken ? kGrey : lit, sunken ? lit : kGrey);
    SetWholeTable(table, OuterLeft, sunken ? kGrey : lit, sunken ? lit : kGrey);
    DrawBorderRings(s, table);
    return KeepFrameForOtherStyles(s, drawn, table);
}

int PaintGlass(State& s, BorderTable& table) { // style 7
    const bool enabled = s.Enabled();
    COLORREF face = s.light;
    if (s.Checked()) {
        face = s.checkedFace;
    } else if (s.mode == kModeCommand && s.PressedOver() && s.gradientMode == 0) {
        face = s.dark;
    }
    const COLORREF gradientEnd = ShadeColor(ToRGB(s.gradientColor), 31);

    // The caption colour of this look.
    long caption = 0;
    const bool pressedCommand = s.PressedOver() && s.mode == kModeCommand;
    if (pressedCommand || s.value) {
        caption = static_cast<long>(enabled ? s.light : ShadeColor(face, -32, true));
    } else if (enabled) {
        caption = static_cast<long>(ToRGB(s.foreColor));
    } else {
        caption = s.mode == kModeCommand ? kNoColour : static_cast<long>(kGrey);
    }
    CaptionColours colours = HostCaptionColours(s);
    if (caption != kNoColour) {
        const auto c = static_cast<COLORREF>(caption);
        const bool hoverFollows = s.hoverForeColor == s.foreColor || s.value;
        if (s.gradientMode == 0 || s.value) {
            colours.fore = c;
        }
        if (hoverFollows) {
            colours.hoverFore = c;
        }
    }

    int index = 0;
    const int drawn =
        FillFace(s, face, static_cast<long>(s.hoverFace), static_cast<long>(gradientEnd), index);
    if (drawn == 0) {
        return 0;
    }
    DrawCaption(s, face, enabled ? kNoColour : caption, s.mode != kModeCommand, colours);

    int state = index;
    if (s.value) {
        state = 2;
    } else if (s.pressedLook && s.mode != kModeCommand) {
        state = 0;
    }
    COLORREF ringFace = face;
    COLORREF innerLit = kWhite;
    COLORREF middleLit = ShadeColor(face, 31, true);
    COLORREF middleDark = ShadeColor(face, -64, true);
    if (state == 2) {
        const COLORREF g = s.gradientMode != 0 ? s.light : kGrey;
        ringFace = g;
        innerLit = ShadeColor(g, -32);
        middleLit = ShadeColor(g, -64);
        middleDark = ShadeColor(g, -16);
    }
    SetWholeTable(table, InnerLeft, innerLit, ringFace);
    SetWholeTable(table, MiddleLeft, middleLit, middleDark);
    SetWholeTable(table, OuterLeft, kBlack, kBlack);
    DrawBorderRings(s, table);
    if (s.shape <= 3) {
        const HDC dc = s.memDc.get();
        const int w = s.width, h = s.height;
        if (!s.LeftDiagonal()) {
            SetPixel(dc, 3, 3, innerLit);
            SetPixel(dc, 2, 2, middleLit);
            SetPixel(dc, 1, h - 3, ringFace);
            SetPixel(dc, 1, 1, kBlack);
            SetPixel(dc, 1, h - 2, kBlack);
        }
        if (!s.RightDiagonal()) {
            SetPixel(dc, w - 4, h - 4, ringFace);
            SetPixel(dc, w - 3, 1, ringFace);
            SetPixel(dc, w - 3, h - 3, middleDark);
            SetPixel(dc, w - 2, h - 2, kBlack);
            SetPixel(dc, w - 2, 1, kBlack);
        }
    }
    return KeepFrameForOtherStyles(s, drawn, table);
}

// Frames the outline of a round or custom shape in the frame colour of the look.
void FrameOutline(State& s, COLORREF colour) {
    const HDC dc = s.memDc.get();
    const bool styleTwo = s.buttonStyle == 2;
    if (s.shape >= 7) {
        if (s.IsOver() && !s.PressedOver()) {
            if (!styleTwo) {
                if (s.hoverFace == ToRGB(s.backColor)) {
                    return;
                }
                colour = s.hoverFace;
            }
            FrameRegion(dc, WindowRegion(s).get(), colour);
        } else if (s.IsDefault()) {
            if (!styleTwo && s.value) {
                colour = ShadeColor(s.dark, -32);
            }
            FrameRegion(dc, s.shape == 7 ? s.innerRegion.get() : s.innermostRegion.get(), colour);
        }
    } else if (s.shape == 4 || s.shape == 5) {
        if (styleTwo && !s.PressedOver()) {
            FrameRegion(dc, s.innerRegion.get(), colour);
        }
    } else if (s.shape == 6) {
        FrameRegion(dc, WindowRegion(s).get(), colour);
    }
}

} // namespace

COLORREF ShadeColor(COLORREF colour, int amount, bool scaleBlue, bool avoidExtremes, bool invert) {
    const int r = colour & 0xFF;
    const int g = (colour >> 8) & 0xFF;
    const int b = (colour >> 16) & 0xFF;
    COLORREF result = 0;
    // Avoiding black and white turns the shift around once; a colour that ends on an extreme
    // both ways keeps the last result instead of trying for ever.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int nr = std::clamp(r + amount, 0, 255);
        int ng = std::clamp(g + amount, 0, 255);
        int nb = std::clamp(scaleBlue ? b + (amount * b) / 192 : b + amount, 0, 255);
        if (invert) {
            nr = 255 - nr;
            ng = 255 - ng;
            nb = 255 - nb;
        }
        result = static_cast<COLORREF>(nr + 256 * ng + 65536 * nb);
        if (!avoidExtremes || (result != 0 && result != 0xFFFFFF)) {
            break;
        }
        amount = amount == 0 ? 64 : -amount;
    }
    return result;
}

void RedrawButton(State& s) {
    if (s.delay || !s.memDc || !s.buffer || !s.hwnd || s.width <= 0 || s.height <= 0) {
        return;
    }
    const HDC dc = s.memDc.get();
    SelectClipRgn(dc, nullptr);
    BorderTable table;
    table.fill(kNoColour);
    int drawn = 0;
    switch (s.buttonStyle) {
    case 1:
        drawn = PaintRaised(s, table);
        break;
    case 2:
        drawn = PaintBlue(s, table);
        break;
    case 3:
        drawn = PaintFlatGrey(s, table);
        break;
    case 4:
        drawn = PaintThin(s, table);
        break;
    case 5:
        drawn = PaintFlat(s, table);
        break;
    case 6:
        drawn = PaintSoft(s, table);
        break;
    case 7:
        drawn = PaintGlass(s, table);
        break;
    default:
        drawn = PaintClassic(s, table);
        break;
    }
    SelectClipRgn(dc, nullptr);
    if (drawn == 0) {
        return;
    }
    if (drawn > 1) {
        // The outline goes into the buffer too, so the window still gets one copy.
        FrameOutline(s, table[OuterBottom] == kNoColour
                            ? kBlack
                            : static_cast<COLORREF>(table[OuterBottom]));
    }
    if (s.ownDc) {
        BitBlt(s.ownDc, 0, 0, s.width, s.height, dc, 0, 0, SRCCOPY);
    }
}

} // namespace kavsafe::controls
