// The per-instance state of gwButtons_H, shared by the behaviour and the rendering files.
#pragma once

#include "GdiHandles.h"
#include "gwButtons_H.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

namespace kavsafe::controls {

// Bits of the state flags.
constexpr std::uint8_t kFlagDefault = 1; // drawn as the default button
constexpr std::uint8_t kFlagPressed = 2; // left mouse button or Space held
constexpr std::uint8_t kFlagOver = 4;    // cursor over the button

constexpr UINT_PTR kHoverTimerId = 237;
constexpr UINT kHoverIntervalMs = 50;

// Shapes and modes by name where the code reads better with them.
constexpr std::int32_t kModeCommand = 0;
constexpr std::int32_t kModeCheck = 1;
constexpr std::int32_t kModeOption = 2;

// Picture sizes in pixels: three slot sizes, stretched over the face, scaled to fit.
constexpr std::int16_t kPictureStretched = 40;
constexpr std::int16_t kPictureScaled = 48;

// Colour of a border ring edge that is not drawn.
constexpr long kNoColour = -1;

struct ButtonState {
    ButtonState(ButtonHost& h, ButtonEvents& e, gwButtons_H& s) : host(h), events(e), self(s) {}
    ~ButtonState();
    ButtonState(const ButtonState&) = delete;
    ButtonState& operator=(const ButtonState&) = delete;

    ButtonHost& host;
    ButtonEvents& events;
    gwButtons_H& self;

    HWND hwnd = nullptr;
    HDC ownDc = nullptr; // the class has CS_OWNDC: one DC for the window's lifetime
    // Set when the control object goes away. An event handler may destroy the control; the
    // message being handled keeps this state alive and stops at the next check.
    bool destroyed = false;

    // Properties and behaviour state.
    std::wstring caption;
    std::int32_t captionAlign = 2;
    std::int32_t captionStyle = 0;
    std::int32_t buttonStyle = 0;
    std::uint8_t flags = 0;
    std::int32_t shape = 0;
    bool showFocusRect = true;
    OleColor hoverBackColor = kButtonFace;
    OleColor hoverForeColor = kButtonText;
    std::int32_t hoverLocks = 0;
    std::int32_t gradientMode = 0;
    OleColor gradientColor = kButtonFace;
    std::int32_t mode = kModeCommand;
    bool value = false;
    std::int32_t customClick = 0;
    PicturePtr picture;
    std::int32_t pictureAlign = 0;
    std::int16_t pictureSize = 16;
    bool delay = false;
    OleColor backColor = kButtonFace;
    std::int16_t lastButton = 0;
    bool hoverActive = false;
    COLORREF containerBack = 0;
    bool pressedLook = false;

    // What a form engine would hold for its controls.
    std::wstring tag; // decimal text of the container window handle
    std::wstring accessKeys;
    FontSpec font;
    OleColor foreColor = kButtonText;
    std::int32_t mousePointer = 0;
    PicturePtr mouseIcon;
    bool registeredInGroup = false;
    bool skipNextClick = false; // the release that ends a double click is no click

    // Rendering state.
    MemoryDc memDc;
    HGDIOBJ initialBrush = nullptr, initialPen = nullptr, initialFont = nullptr,
            initialBitmap = nullptr;
    BrushHandle blackBrush;
    PenHandle blackPen;
    BitmapHandle buffer;
    FontHandle captionFont;
    int width = 0, height = 0;

    COLORREF light = 0, dark = 0, hoverFace = 0, checkedFace = 0; // L, D, V, K

    int pictureWidth = 0, pictureHeight = 0;
    bool pictureIsIcon = false;
    BitmapHandle prepared; // 32-bit top-down copy at the drawing size, transparent colour exact
    int preparedWidth = 0, preparedHeight = 0;
    COLORREF transparentColour = 0;

    int xl = 0, xr = 0; // diagonal bounds of the face
    RECT captionRect{}, pictureRect{};
    RegionHandle innerRegion, innermostRegion;
    bool moved = false;

    // Small questions the painters ask.
    bool Enabled() const { return !hwnd || IsWindowEnabled(hwnd); }
    bool IsDefault() const { return (flags & kFlagDefault) != 0; }
    bool IsPressed() const { return (flags & kFlagPressed) != 0; }
    bool IsOver() const { return (flags & kFlagOver) != 0; }
    bool PressedOver() const { return pressedLook; }
    bool Checked() const { return mode != kModeCommand && value; }
    bool HasPicture() const { return picture != nullptr && pictureWidth > 0; }
    bool LeftDiagonal() const { return shape == 1 || shape == 3; }
    bool RightDiagonal() const { return shape == 2 || shape == 3; }
};

// Rendering routines (ButtonPaint.cpp, ButtonLayout.cpp, ButtonPicture.cpp).
using State = ButtonState;

// A colour shifted by amount on each byte (blue scaled by its own value with scaleBlue);
// avoidExtremes turns the shift around when the result would be pure black or white.
COLORREF ShadeColor(COLORREF colour, int amount, bool scaleBlue = false, bool avoidExtremes = false,
                    bool invert = false);

// Creates the memory DC and its buffer at the window's current size (the resize handling
// calls it on every size change).
void PrepareBackBuffer(State& s);
// Paints the current look into the buffer and copies it to the window in one BitBlt.
void RedrawButton(State& s);
void CalcLayout(State& s);
void BuildButtonRegion(State& s);
void UpdateColours(State& s);     // UpdateResources "BackColor"
void UpdateFont(State& s);        // UpdateResources "Font"
void UpdatePictureInfo(State& s); // UpdateResources "Picture"
// The picture copy at the given size, its transparent colour made exact; custom shapes
// also get their regions from it.
void PreparePicture(State& s, int targetWidth, int targetHeight);
// Draws the picture into rect of the memory DC (transparent colour left out, grey when
// disabled).
void DrawPicture(State& s, const RECT& rect);
// The caption text as drawn and measured: "||" becomes a line break.
std::wstring DisplayText(const std::wstring& caption);

} // namespace kavsafe::controls
