// What gwButtons_H draws, read back with GetPixel from real windows under Wine and Xvfb
// (24-bit screen, so colours come back exactly): the blue look of the backup manager, captions,
// disabled looks, pictures and their transparent colour, custom and diagonal outlines, delayed
// drawing, and the GDI objects that thousands of repaints leave behind.
#include "ButtonFixture.h"

#include "ButtonState.h"
#include "TestSupport.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>

namespace kavsafe::controls::test {
namespace {

bool InWindowRegion(const gwButtons_H& button, int x, int y) {
    RegionHandle region(CreateRectRgn(0, 0, 0, 0));
    if (GetWindowRgn(button.hwnd(), region.get()) == ERROR) {
        return true; // no region: the whole window
    }
    return PtInRegion(region.get(), x, y) != 0;
}

SIZE ClientSize(const gwButtons_H& button) {
    RECT client{};
    GetClientRect(button.hwnd(), &client);
    return {client.right, client.bottom};
}

// A bitmap painted pixel by pixel.
PicturePtr MakePicture(int width, int height, const std::function<COLORREF(int, int)>& colourAt) {
    const HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    ReleaseDC(nullptr, screen);
    MemoryDc dc = MakeMemoryDc();
    {
        SelectGuard select(dc.get(), bitmap);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                SetPixelV(dc.get(), x, y, colourAt(x, y));
            }
        }
    }
    return Picture::FromBitmap(bitmap);
}

bool Inside(int x, int y, int left, int top, int right, int bottom) {
    return x >= left && x < right && y >= top && y < bottom;
}

constexpr COLORREF kMagenta = RGB(255, 0, 255);
constexpr COLORREF kBlue = RGB(0, 64, 192);
constexpr COLORREF kBlueOuter = 0x733C00;

// Live GDI objects of this process. Wine's GetGuiResources is a stub that answers 0; there a
// handle with only its table index still names a live object, so the table is counted.
int GdiObjects() {
    const DWORD reported = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (reported != 0) {
        return static_cast<int>(reported);
    }
    int count = 0;
    for (unsigned index = 1; index < 0x10000; ++index) {
        if (GetObjectType(ULongToHandle(index)) != 0) {
            ++count;
        }
    }
    return count;
}

class ButtonPaint : public ButtonTest {
protected:
    // A button loaded from the settings the backup manager stores for its three buttons.
    gwButtons_H& ManagerButton(RECT bounds, const std::wstring& caption) {
        bag.Write(L"Caption", caption);
        bag.Write(L"CapAlign", 2);
        bag.Write(L"BackStyle", 2);
        bag.Write(L"Font", FontSpec{L"宋体", 12.0});
        bag.Write(L"cGradient", 0);
        bag.Write(L"Mode", 0);
        bag.Write(L"Value", false);
        bag.Write(L"cBack", static_cast<std::int32_t>(kButtonFace));
        return Make(bounds, &bag);
    }

    // Rows of the caption area that hold ink (pixels far from the face colour), as bands of
    // consecutive rows with their leftmost and rightmost ink column.
    struct Band {
        int top, bottom, left, right;
    };
    static std::vector<Band> InkBands(const gwButtons_H& b, COLORREF face) {
        const SIZE size = ClientSize(b);
        std::vector<Band> bands;
        bool open = false;
        for (int y = 4; y < size.cy - 4; ++y) {
            int left = size.cx, right = -1;
            for (int x = 4; x < size.cx - 4; ++x) {
                const COLORREF c = Pixel(b, x, y);
                const int diff = std::max({std::abs(GetRValue(c) - GetRValue(face)),
                                           std::abs(GetGValue(c) - GetGValue(face)),
                                           std::abs(GetBValue(c) - GetBValue(face))});
                if (diff > 60) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
            }
            if (right >= 0) {
                if (!open) {
                    bands.push_back({y, y, left, right});
                    open = true;
                }
                Band& band = bands.back();
                band.bottom = y;
                band.left = std::min(band.left, left);
                band.right = std::max(band.right, right);
            } else {
                open = false;
            }
        }
        return bands;
    }

    PropertyBag bag;
};

TEST(ShadeColor, ShiftsEachByteAndScalesBlueByItsOwnValue) {
    EXPECT_EQ(ShadeColor(0x808080, 16, true), RGB(144, 144, 138));
    EXPECT_EQ(ShadeColor(0xFFFFFF, -32), 0xDFDFDFu);
    EXPECT_EQ(ShadeColor(RGB(10, 250, 0), 20), RGB(30, 255, 20));    // clamped
    EXPECT_EQ(ShadeColor(RGB(0, 0, 100), -25, true), RGB(0, 0, 87)); // -2500/192 truncates to -13
    EXPECT_EQ(ShadeColor(RGB(10, 20, 30), 0, false, false, true), RGB(245, 235, 225));
    // Avoiding the extremes turns the shift around, or shifts by 64 when there was none.
    EXPECT_EQ(ShadeColor(0xF8F8F8, 16, false, true), 0xE8E8E8u);
    EXPECT_EQ(ShadeColor(0x000000, 0, false, true), 0x404040u);
    EXPECT_EQ(ShadeColor(0x808080, 16, false, true), 0x909090u);
}

TEST_F(ButtonPaint, BlueLookOfTheManagerButtons) {
    gwButtons_H& b = ManagerButton({10, 10, 105, 47}, L"备份");
    const int w = 95, h = 37;
    ASSERT_EQ(ClientSize(b).cx, w);
    const COLORREF light = ShadeColor(ToRGB(kButtonFace), 48, true);
    const auto shade = [&](int amount) { return ShadeColor(light, amount, true); };

    // The face darkens row by row by up to 25 towards the bottom.
    for (int y = 3; y <= h - 4; ++y) {
        const int amount = static_cast<int>(std::lround(-25.0 * y / h));
        EXPECT_EQ(Pixel(b, 5, y), shade(amount)) << "row " << y;
    }
    EXPECT_EQ(ShadeColor(light, static_cast<int>(std::lround(-25.0 * (h - 4) / h)), true),
              Pixel(b, w - 6, h - 4));

    // Dark blue outer ring with its corner pixels; the normal middle and inner rings.
    for (int y = 2; y <= h - 3; ++y) {
        EXPECT_EQ(Pixel(b, 0, y), kBlueOuter) << y;
        EXPECT_EQ(Pixel(b, w - 1, y), kBlueOuter) << y;
    }
    for (int x = 2; x <= w - 3; ++x) {
        EXPECT_EQ(Pixel(b, x, 0), kBlueOuter) << x;
        EXPECT_EQ(Pixel(b, x, h - 1), kBlueOuter) << x;
    }
    for (const POINT p : {POINT{1, 1}, POINT{1, h - 2}, POINT{w - 2, 1}, POINT{w - 2, h - 2}}) {
        EXPECT_EQ(Pixel(b, p.x, p.y), kBlueOuter) << p.x << "," << p.y;
    }
    // Middle ring, inner ring (left, top, right, bottom), and the inner ring's corners: each
    // belongs to one edge, going round clockwise (the left edge owns the bottom-left corner, the
    // top edge the top-left, the right edge the top-right, the bottom edge the bottom-right).
    const struct {
        int x, y, amount;
    } rings[] = {{1, h / 2, -5},  {w / 3, 1, 16}, {w - 2, h / 2, -36}, {w / 3, h - 2, -48},
                 {2, h / 2, -10}, {w / 3, 2, 10}, {w - 3, h / 2, -24}, {w / 3, h - 3, -32},
                 {2, h - 3, -10}, {2, 2, 10},     {w - 3, 2, -24},     {w - 3, h - 3, -32}};
    for (const auto& p : rings) {
        EXPECT_EQ(Pixel(b, p.x, p.y), shade(p.amount)) << p.x << "," << p.y;
    }

    // The window is cut by a 2-pixel triangle at each corner.
    for (const POINT p : {POINT{0, 0}, POINT{1, 0}, POINT{0, 1}, POINT{w - 1, 0}, POINT{w - 2, 0},
                          POINT{w - 1, 1}, POINT{0, h - 1}, POINT{1, h - 1}, POINT{0, h - 2},
                          POINT{w - 1, h - 1}, POINT{w - 2, h - 1}, POINT{w - 1, h - 2}}) {
        EXPECT_FALSE(InWindowRegion(b, p.x, p.y)) << p.x << "," << p.y;
    }
    for (const POINT p : {POINT{1, 1}, POINT{2, 0}, POINT{0, 2}, POINT{w - 2, h - 2}}) {
        EXPECT_TRUE(InWindowRegion(b, p.x, p.y)) << p.x << "," << p.y;
    }

    // The caption is drawn in the button text colour, centred.
    const auto bands = InkBands(b, shade(-12));
    ASSERT_EQ(bands.size(), 1u);
    EXPECT_NEAR((bands[0].left + bands[0].right) / 2.0, w / 2.0, 2.0);
    EXPECT_NEAR((bands[0].top + bands[0].bottom) / 2.0, h / 2.0, 3.0);

    // Disabled: no inner and middle rings, a lighter outer ring, a darker flat face.
    b.Enabled(false);
    EXPECT_EQ(Pixel(b, 0, h / 2), shade(-84));
    EXPECT_EQ(Pixel(b, 1, h / 2), ShadeColor(light, -24, true));
    EXPECT_EQ(Pixel(b, 5, h - 4), ShadeColor(light, -24, true));
}

TEST_F(ButtonPaint, DefaultAndPressedBlueRingsAndTheHoverFace) {
    gwButtons_H& b = ManagerButton({10, 10, 105, 47}, L"删除");
    const COLORREF light = ShadeColor(ToRGB(kButtonFace), 48, true);
    const COLORREF normalTop = Pixel(b, 30, 1);
    // The default look follows the host (the property name in any case) and, in run mode,
    // needs the focus rectangle.
    host.displayAsDefault = true;
    b.AmbientChanged(L"displayasdefault");
    EXPECT_EQ(Pixel(b, 30, 1), static_cast<COLORREF>(0xFFDFBF));
    EXPECT_EQ(Pixel(b, 30, 35), static_cast<COLORREF>(0xEF826B));
    EXPECT_EQ(Pixel(b, 47, 2), static_cast<COLORREF>(0xF7D7BD));
    b.ShowFocusRect(false);
    EXPECT_EQ(Pixel(b, 30, 1), normalTop);
    b.ShowFocusRect(true);
    b.AmbientChanged(L"DisplayAsDefault");
    EXPECT_EQ(Pixel(b, 30, 1), static_cast<COLORREF>(0xFFDFBF));

    SendMessageW(b.hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(30, 10));
    const COLORREF dark = ShadeColor(light, -32, true);
    EXPECT_EQ(Pixel(b, 5, 18),
              ShadeColor(dark, static_cast<int>(std::lround(-25.0 * 18 / 37)), true));
    EXPECT_EQ(Pixel(b, 2, 18), ShadeColor(light, -22, true));
    SendMessageW(b.hwnd(), WM_LBUTTONUP, 0, MAKELPARAM(30, 10));

    // The cursor over the button: orange hover rings and the hover back colour on the face.
    b.HoverBackColor(RGB(200, 40, 40));
    const POINT inside = ScreenPoint(b, 30, 18);
    SetCursorPos(inside.x, inside.y);
    ASSERT_TRUE(PumpUntil([&] { return !recorder.onButton.empty(); }));
    Pump(20);
    EXPECT_EQ(Pixel(b, 30, 1), static_cast<COLORREF>(0xA6E9FF));
    const COLORREF hoverFace = ShadeColor(RGB(200, 40, 40), 48, true);
    EXPECT_EQ(Pixel(b, 5, 18),
              ShadeColor(hoverFace, static_cast<int>(std::lround(-25.0 * 18 / 37)), true));
    SetCursorPos(kLeft + 540, kTop + 380);
    ASSERT_TRUE(PumpUntil([&] { return recorder.onButton.size() >= 2; }));
    EXPECT_EQ(Pixel(b, 30, 1), static_cast<COLORREF>(0xFFDFBF));
}

TEST_F(ButtonPaint, LoadedAndNewButtonsDrawInTheirOwnFont) {
    // The font comes from the settings (12 pt) or the parent (here 15 pt), not from the 9 pt
    // the control starts with; setting the same font again must not change the ink.
    const COLORREF face = ToRGB(kButtonFace);
    gwButtons_H& loaded = ManagerButton({10, 10, 105, 47}, L"备份");
    const auto first = InkBands(loaded, face);
    host.parentFont = FontSpec{L"宋体", 15.0};
    host.displayName = L"备份";
    gwButtons_H& fresh = Make({10, 60, 105, 97});
    const auto freshFirst = InkBands(fresh, face);

    loaded.Font(FontSpec{L"宋体", 12.0});
    fresh.Font(FontSpec{L"宋体", 15.0});
    const auto again = InkBands(loaded, face);
    const auto freshAgain = InkBands(fresh, face);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(first[0].right - first[0].left, again[0].right - again[0].left);
    EXPECT_EQ(first[0].bottom - first[0].top, again[0].bottom - again[0].top);
    ASSERT_EQ(freshFirst.size(), 1u);
    ASSERT_EQ(freshAgain.size(), 1u);
    EXPECT_EQ(freshFirst[0].right - freshFirst[0].left, freshAgain[0].right - freshAgain[0].left);
    // And the sizes really differ: 15 pt is wider than 12 pt.
    EXPECT_GT(freshAgain[0].right - freshAgain[0].left, again[0].right - again[0].left);
}

TEST_F(ButtonPaint, TwoLineCaptionIsDrawnOnTwoCentredLines) {
    gwButtons_H& b = Make({10, 10, 130, 70});
    const COLORREF face = ToRGB(kButtonFace);
    b.Caption(L"AB||CDEFGH");
    const auto two = InkBands(b, face);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_LT(two[0].bottom, two[1].top);
    EXPECT_LT(two[0].right - two[0].left, two[1].right - two[1].left);
    for (const Band& band : two) {
        EXPECT_NEAR((band.left + band.right) / 2.0, 60.0, 2.0);
    }
    b.Caption(L"AB CDEFGH");
    EXPECT_EQ(InkBands(b, face).size(), 1u);
}

TEST_F(ButtonPaint, DisabledCaptionsEngravedOrFlat) {
    // Style 0: white copy one pixel right and down, grey copy on top.
    gwButtons_H& classic = Make({10, 10, 105, 47});
    classic.Caption(L"HE");
    classic.Enabled(false);
    const COLORREF face = ToRGB(kButtonFace);
    int white = 0, grey = 0;
    for (int y = 4; y < 33; ++y) {
        for (int x = 4; x < 91; ++x) {
            const COLORREF c = Pixel(classic, x, y);
            if (c == RGB(255, 255, 255)) {
                ++white;
                const COLORREF upLeft = Pixel(classic, x - 1, y - 1);
                EXPECT_EQ(upLeft, RGB(128, 128, 128)) << x << "," << y;
            } else if (c == RGB(128, 128, 128)) {
                ++grey;
            } else {
                EXPECT_EQ(c, face) << x << "," << y;
            }
        }
    }
    EXPECT_GT(white, 10);
    EXPECT_GT(grey, 10);

    // Style 3: once, in 0x707070.
    gwButtons_H& flat = Make({10, 60, 105, 97});
    flat.Caption(L"HE");
    flat.ButtonStyle(3);
    flat.Enabled(false);
    std::set<COLORREF> ink;
    for (int y = 4; y < 33; ++y) {
        for (int x = 4; x < 91; ++x) {
            const COLORREF c = Pixel(flat, x, y);
            if (c != face) {
                ink.insert(c);
            }
        }
    }
    EXPECT_EQ(ink, std::set<COLORREF>{RGB(0x70, 0x70, 0x70)});
    // Its outline is one dark ring when disabled.
    EXPECT_EQ(Pixel(flat, 0, 18), RGB(0x66, 0x66, 0x66));
    EXPECT_EQ(Pixel(flat, 94, 18), RGB(0x66, 0x66, 0x66));
    EXPECT_EQ(Pixel(flat, 1, 18), face);
}

TEST_F(ButtonPaint, StretchedPictureFillsTheRoundFaceInsetByOnePixel) {
    gwButtons_H& b = Make({10, 10, 130, 60});
    b.Caption(L"");
    b.ButtonShape(6);
    b.SetPicture(
        MakePicture(10, 10, [](int x, int y) { return x == 0 && y == 0 ? kMagenta : kBlue; }));
    b.PictureSize(3);
    Pump();
    EXPECT_EQ(Pixel(b, 1, 25), kBlue);
    EXPECT_EQ(Pixel(b, 118, 25), kBlue);
    EXPECT_EQ(Pixel(b, 60, 1), kBlue);
    EXPECT_EQ(Pixel(b, 60, 48), kBlue);
    EXPECT_NE(Pixel(b, 0, 25), kBlue);
    EXPECT_NE(Pixel(b, 119, 25), kBlue);
    EXPECT_FALSE(InWindowRegion(b, 1, 1)); // round outline
    EXPECT_TRUE(InWindowRegion(b, 60, 25));
}

TEST_F(ButtonPaint, CustomShapeCutsNearMagentaFromTheWindow) {
    // 40 x 20 picture, drawn at twice its size: a near-magenta block (each byte within 3), a
    // block just outside that tolerance and a blue block on magenta.
    const COLORREF nearMagenta = RGB(253, 2, 254);
    const COLORREF almost = RGB(250, 0, 255);
    auto picture = MakePicture(40, 20, [&](int x, int y) {
        if (Inside(x, y, 2, 2, 10, 8)) {
            return nearMagenta;
        }
        if (Inside(x, y, 12, 2, 20, 8)) {
            return almost;
        }
        if (Inside(x, y, 25, 5, 35, 15)) {
            return kBlue;
        }
        return kMagenta;
    });
    gwButtons_H& b = Make({10, 10, 90, 50});
    b.SetPicture(picture);
    b.ButtonShape(7);
    Pump();
    EXPECT_EQ(b.ButtonShape(), 7);
    EXPECT_FALSE(InWindowRegion(b, 1, 35)); // magenta
    EXPECT_FALSE(InWindowRegion(b, 10, 8)); // near magenta
    EXPECT_TRUE(InWindowRegion(b, 30, 8));  // five away from magenta
    EXPECT_TRUE(InWindowRegion(b, 60, 20)); // blue
    EXPECT_EQ(Pixel(b, 60, 20), kBlue);
    EXPECT_EQ(Pixel(b, 30, 8), almost);
    // The cursor over a cut-out part is over the container, not over the button.
    const POINT hole = ScreenPoint(b, 2, 35);
    EXPECT_NE(WindowFromPoint(hole), b.hwnd());
    const POINT solid = ScreenPoint(b, 60, 20);
    EXPECT_EQ(WindowFromPoint(solid), b.hwnd());

    // A JPEG file works the same way: its noisy magenta corner is cut.
    auto jpeg =
        Picture::Load(quor::test::Env(L"QUOR_SOURCE") + L"\\tests\\controls\\data\\square.jpg");
    ASSERT_NE(jpeg, nullptr);
    ASSERT_EQ(jpeg->GetKind(), Picture::Kind::Bitmap);
    BITMAP info{};
    GetObjectW(jpeg->Bitmap(), sizeof(info), &info);
    EXPECT_EQ(info.bmWidth, 48);
    EXPECT_EQ(std::abs(info.bmHeight), 32);
    gwButtons_H& j = Make({10, 60, 106, 124});
    j.SetPicture(jpeg);
    j.ButtonShape(8);
    Pump();
    EXPECT_FALSE(InWindowRegion(j, 3, 3));
    EXPECT_FALSE(InWindowRegion(j, 92, 60));
    EXPECT_TRUE(InWindowRegion(j, 48, 32));
    const COLORREF centre = Pixel(j, 48, 32);
    EXPECT_NEAR(GetBValue(centre), 192, 12);
    EXPECT_NEAR(GetRValue(centre), 0, 12);
}

TEST_F(ButtonPaint, PressEffectMovesACustomShapeInsteadOfRepainting) {
    gwButtons_H& b = Make({10, 10, 90, 50});
    b.SetPicture(
        MakePicture(8, 4, [](int x, int y) { return x == 0 && y == 0 ? kMagenta : kBlue; }));
    b.ButtonShape(8);
    b.CustomClick(4); // one pixel right and down
    RECT before{}, pressed{}, after{};
    GetWindowRect(b.hwnd(), &before);
    SendMessageW(b.hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(40, 20));
    Pump();
    GetWindowRect(b.hwnd(), &pressed);
    SendMessageW(b.hwnd(), WM_LBUTTONUP, 0, MAKELPARAM(40, 20));
    Pump();
    GetWindowRect(b.hwnd(), &after);
    EXPECT_EQ(pressed.left, before.left + 1);
    EXPECT_EQ(pressed.top, before.top + 1);
    EXPECT_EQ(after.left, before.left);
    EXPECT_EQ(after.top, before.top);
    EXPECT_EQ(recorder.clicks, 1);
}

TEST_F(ButtonPaint, DiagonalShapesWidenNarrowButtonsInStepsOfFive) {
    gwButtons_H& narrow = Make({10, 10, 40, 47}); // 30 wide, 37 high: diagonal 38
    narrow.ButtonShape(1);
    EXPECT_EQ(ClientSize(narrow).cx, 45);
    EXPECT_EQ(ClientSize(narrow).cy, 37);
    EXPECT_FALSE(InWindowRegion(narrow, 1, 35)); // below the left diagonal
    EXPECT_TRUE(InWindowRegion(narrow, 43, 35));

    gwButtons_H& wide = Make({10, 60, 130, 97});
    wide.ButtonShape(3);
    EXPECT_EQ(ClientSize(wide).cx, 120);
    EXPECT_FALSE(InWindowRegion(wide, 2, 34));
    EXPECT_FALSE(InWindowRegion(wide, 117, 2));
    EXPECT_TRUE(InWindowRegion(wide, 60, 18));
    // The outer ring follows both diagonals.
    wide.ButtonStyle(2);
    EXPECT_EQ(Pixel(wide, 0, 0), kBlueOuter);
    EXPECT_EQ(Pixel(wide, 100, 18), kBlueOuter); // halfway down the right diagonal
    EXPECT_EQ(Pixel(wide, 19, 18), kBlueOuter);  // halfway down the left diagonal
}

TEST_F(ButtonPaint, GradientsRunInBandsOfOneOrTwoPixels) {
    // 120 of 1280 screen pixels: 1-pixel bands, 120 of them, from black to RGB(238, 119, 0),
    // so band k has red 2k and green k.
    gwButtons_H& b = Make({10, 10, 130, 50});
    b.Caption(L"");
    b.BackColor(RGB(0, 0, 0));
    b.GradientColor(RGB(238, 119, 0));
    b.GradientMode(1);
    for (const int x : {10, 37, 60, 100}) {
        EXPECT_EQ(Pixel(b, x, 20), RGB(2 * x, x, 0)) << x;
    }
    b.GradientMode(2); // right to left
    EXPECT_EQ(Pixel(b, 10, 20), RGB(2 * 109, 109, 0));
    b.GradientMode(3); // top to bottom: 40 bands
    EXPECT_EQ(Pixel(b, 60, 3), RGB(238 * 3 / 39, 119 * 3 / 39, 0));
    EXPECT_EQ(Pixel(b, 60, 3), Pixel(b, 5, 3));

    // Wider than a quarter of the screen: bands two pixels thick.
    gwButtons_H& wide = Make({10, 60, 410, 100});
    wide.Caption(L"");
    wide.BackColor(RGB(0, 0, 0));
    wide.GradientColor(RGB(199, 0, 0));
    wide.GradientMode(1);
    for (const int band : {10, 50, 150}) {
        EXPECT_EQ(Pixel(wide, 2 * band, 20), RGB(band, 0, 0)) << band;
        EXPECT_EQ(Pixel(wide, 2 * band + 1, 20), RGB(band, 0, 0)) << band;
    }
}

TEST_F(ButtonPaint, PictureSlotsSitByTheEdgesOrAboveTheCaption) {
    auto icon =
        Picture::Load(quor::test::Env(L"QUOR_SOURCE") + L"\\tests\\controls\\data\\square.ico");
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->GetKind(), Picture::Kind::Icon);
    EXPECT_EQ(Picture::Load(L"C:\\no\\such\\picture.jpg"), nullptr);
    gwButtons_H& b = Make({10, 10, 130, 70}); // 120 x 60
    b.Caption(L"OK");
    b.SetPicture(icon);
    // The blue square of the 16-pixel icon covers its pixels 4 to 11.
    EXPECT_EQ(Pixel(b, 4 + 8, 22 + 8), kBlue); // left edge, centred vertically
    b.PictureAlign(2);
    EXPECT_EQ(Pixel(b, 100 + 8, 22 + 8), kBlue); // right edge: 120 - 4 - 16
    EXPECT_NE(Pixel(b, 4 + 8, 22 + 8), kBlue);
    b.PictureAlign(4); // top centre, caption below
    int top = -1;
    for (int y = 0; y < 60 && top < 0; ++y) {
        if (Pixel(b, 52 + 8, y) == kBlue) {
            top = y - 4;
        }
    }
    ASSERT_GE(top, 4);
    const auto bands = InkBands(b, ToRGB(kButtonFace));
    ASSERT_FALSE(bands.empty());
    EXPECT_GE(bands.back().top, top + 16 + 2); // the caption starts below the picture
    EXPECT_EQ(b.CaptionAlign(), 2);
}

TEST_F(ButtonPaint, DelayedDrawingPaintsNothingUntilReleased) {
    gwButtons_H& b = Make();
    const COLORREF before = Pixel(b, 6, 18);
    b.DelayDrawing(true);
    b.BackColor(RGB(10, 120, 10));
    b.ButtonStyle(4);
    b.Caption(L"Later");
    EXPECT_EQ(Pixel(b, 6, 18), before);
    b.DelayDrawing(false);
    EXPECT_EQ(Pixel(b, 6, 18), RGB(10, 120, 10));
}

TEST_F(ButtonPaint, PicturesKeepTheFaceWhereTransparentAndTurnGreyWhenDisabled) {
    // Magenta corner, a near-magenta strip, a black block and a white block.
    auto picture = MakePicture(40, 10, [](int x, int) {
        if (x < 10) {
            return x == 5 ? RGB(254, 3, 252) : kMagenta;
        }
        return x < 25 ? RGB(0, 0, 0) : RGB(255, 255, 255);
    });
    gwButtons_H& b = Make({10, 10, 136, 50}); // 126 x 40: stretched picture 120 x 34 at (3, 3)
    b.Caption(L"");
    b.SetPicture(picture);
    b.PictureSize(3);
    const COLORREF face = ToRGB(kButtonFace);
    EXPECT_EQ(Pixel(b, 3 + 6, 20), face);  // magenta left out
    EXPECT_EQ(Pixel(b, 3 + 16, 20), face); // near magenta left out too
    EXPECT_EQ(Pixel(b, 3 + 50, 20), RGB(0, 0, 0));
    EXPECT_EQ(Pixel(b, 3 + 100, 20), RGB(255, 255, 255));
    b.Enabled(false);
    EXPECT_EQ(Pixel(b, 3 + 6, 20), face);
    EXPECT_EQ(Pixel(b, 3 + 50, 20), RGB(128, 128, 128));
    EXPECT_EQ(Pixel(b, 3 + 100, 20), face);
}

TEST_F(ButtonPaint, ThousandsOfRepaintsAndChangesLeaveNoGdiObjects) {
    auto picture = MakePicture(20, 12, [](int x, int y) { return (x + y) % 3 ? kBlue : kMagenta; });
    auto icon = Picture::FromIcon(CopyIcon(LoadIconW(nullptr, IDI_WARNING)));
    const auto exercise = [&](gwButtons_H& b, int round) {
        b.ButtonStyle(round % 8);
        b.ButtonShape(round % 7);
        b.GradientMode(round % 5);
        b.BackColor(RGB(round % 256, 100, 200));
        b.Caption(round % 2 ? L"两行||标题" : L"&Backup");
        b.CaptionStyle(round % 3);
        b.SetPicture(round % 3 == 0 ? picture : round % 3 == 1 ? icon : nullptr);
        b.PictureSize(round % 5);
        b.Mode(round % 3);
        b.Value(round % 2 == 0);
        b.Font(FontSpec{L"宋体", 9.0 + round % 4});
        b.Enabled(round % 4 != 3);
        b.Refresh();
        if (round % 10 == 0) {
            b.ButtonShape(0);
            b.SetPicture(picture);
            b.ButtonShape(7 + round % 2);
            b.Refresh();
        }
        SendMessageW(b.hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        SendMessageW(b.hwnd(), WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    };
    // Run the same workload twice: the first run lets the platform make its one-time objects
    // (cached device contexts and the like); the second must leave the count where it was.
    const auto workload = [&] {
        gwButtons_H& b = Make({10, 10, 130, 50});
        for (int round = 0; round < 600; ++round) {
            exercise(b, round);
        }
        Pump();
        for (int i = 0; i < 30; ++i) {
            Make({10, 60, 105, 97});
            buttons.pop_back();
        }
        buttons.clear();
        Pump();
    };
    workload();
    const int before = GdiObjects();
    workload();
    EXPECT_EQ(GdiObjects(), before);
}

} // namespace
} // namespace kavsafe::controls::test
