// gwButtons_H: properties, modes, events, option groups, hover tracking and persistence of
// the owner-drawn button. What it draws is in ButtonPaint.cpp, ButtonLayout.cpp and
// ButtonPicture.cpp.
#include "gwButtons_H.h"

#include "ButtonState.h"
#include "modGwTimer.h"

#include <windowsx.h>

#include <cwctype>
#include <string>

namespace kavsafe::controls {

namespace {

constexpr char kOptCount[] = "gw_OptCount";
constexpr char kObjPrefix[] = "gw_Obj";
constexpr char kClassId[] = "gw_ClassID";
constexpr char kTimerIdProp[] = "gw_TimerID";

constexpr int kKeyShift = 16;
constexpr int kKeySpace = 32;
constexpr int kKeyLeft = 37;
constexpr int kKeyUp = 38;
constexpr int kKeyRight = 39;
constexpr int kKeyDown = 40;

const std::wstring kNoTitle;

std::string SlotName(int slot) {
    return kObjPrefix + std::to_string(slot);
}

bool InRange(std::int32_t value, std::int32_t low, std::int32_t high) {
    return value >= low && value <= high;
}

// The pointer codes the control accepts: the system cursors 0 to 15 and 99 (custom icon).
bool ValidPointer(std::int32_t code) {
    return InRange(code, 0, 15) || code == 99;
}

LPCWSTR CursorFor(std::int32_t code) {
    switch (code) {
    case 2:
        return IDC_CROSS;
    case 3:
        return IDC_IBEAM;
    case 4:
        return IDC_ICON;
    case 5:
        return IDC_SIZEALL;
    case 6:
        return IDC_SIZENESW;
    case 7:
        return IDC_SIZENS;
    case 8:
        return IDC_SIZENWSE;
    case 9:
        return IDC_SIZEWE;
    case 10:
        return IDC_UPARROW;
    case 11:
        return IDC_WAIT;
    case 12:
        return IDC_NO;
    case 13:
        return IDC_APPSTARTING;
    case 14:
        return IDC_HELP;
    case 15:
        return IDC_SIZEALL;
    default:
        return IDC_ARROW;
    }
}

// Shift state as the events report it: 1 Shift, 2 Ctrl, 4 Alt.
short ShiftState() {
    short shift = 0;
    if (GetKeyState(VK_SHIFT) < 0) {
        shift |= 1;
    }
    if (GetKeyState(VK_CONTROL) < 0) {
        shift |= 2;
    }
    if (GetKeyState(VK_MENU) < 0) {
        shift |= 4;
    }
    return shift;
}

short ShiftFromMouse(WPARAM wParam) {
    short shift = 0;
    if (wParam & MK_SHIFT) {
        shift |= 1;
    }
    if (wParam & MK_CONTROL) {
        shift |= 2;
    }
    if (GetKeyState(VK_MENU) < 0) {
        shift |= 4;
    }
    return shift;
}

short ButtonsFromMouse(WPARAM wParam) {
    short button = 0;
    if (wParam & MK_LBUTTON) {
        button |= 1;
    }
    if (wParam & MK_RBUTTON) {
        button |= 2;
    }
    if (wParam & MK_MBUTTON) {
        button |= 4;
    }
    return button;
}

// The access key of a caption: the character after the last single "&"; a doubled "&&"
// stands for a literal ampersand and gives none.
std::wstring AccessKeyOf(const std::wstring& caption) {
    std::size_t marker = std::wstring::npos;
    for (std::size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] != L'&') {
            continue;
        }
        if (i + 1 < caption.size() && caption[i + 1] == L'&') {
            ++i;
            continue;
        }
        marker = i;
    }
    if (marker == std::wstring::npos || marker + 1 >= caption.size()) {
        return L"";
    }
    return caption.substr(marker + 1, 1);
}

wchar_t Upper(wchar_t c) {
    return static_cast<wchar_t>(std::towupper(c));
}

HWND HandleFromTag(const std::wstring& tag) {
    if (tag.empty()) {
        return nullptr;
    }
    try {
        return reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::stoull(tag)));
    } catch (...) {
        return nullptr;
    }
}

bool ClassRegistered(HINSTANCE instance) {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    return GetClassInfoExW(instance, gwButtons_H::kClassName, &existing) != 0;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Internal steps shared by the members. They live in a helper so the public class keeps the
// fixed interface; each takes the state.

struct ButtonLogic {
    static void Changed(State& s, std::wstring_view key) { s.host.PropertyChanged(key); }

    static void DesignMessage(State& s, const std::wstring& text,
                              const std::wstring& title = kNoTitle) {
        if (!s.host.UserMode()) {
            s.host.ShowMessage(text, title);
        }
    }

    static HWND Container(const State& s) { return HandleFromTag(s.tag); }

    static void SetContainerTag(State& s) {
        s.tag = std::to_wstring(reinterpret_cast<UINT_PTR>(s.host.ContainerWindow()));
    }

    static void ReadContainerBack(State& s) { s.containerBack = ToRGB(s.host.AmbientBackColor()); }

    // The option group on the container window: register (1), unregister (-1), deselect the
    // others (0) and ask whether any member is selected (2).
    static bool OptionToggle(State& s, int action) {
        bool flag = false;
        const HWND container = Container(s);
        if (!container || !IsWindow(container)) {
            return flag;
        }
        const int count =
            static_cast<int>(reinterpret_cast<INT_PTR>(GetPropA(container, kOptCount)));
        gwButtons_H* const me = &s.self;
        if ((action == 1 || count > 0) && s.value) {
            for (int slot = 1; slot <= count; ++slot) {
                auto* other =
                    static_cast<gwButtons_H*>(GetPropA(container, SlotName(slot).c_str()));
                if (other && other != me) {
                    other->Value(false);
                }
            }
        }
        switch (action) {
        case 1:
            SetPropA(container, kOptCount,
                     reinterpret_cast<HANDLE>(static_cast<INT_PTR>(count + 1)));
            SetPropA(container, SlotName(count + 1).c_str(), me);
            s.registeredInGroup = true;
            break;
        case -1: {
            int found = 0;
            for (int slot = 1; slot <= count; ++slot) {
                HANDLE entry = GetPropA(container, SlotName(slot).c_str());
                if (found) {
                    SetPropA(container, SlotName(slot - 1).c_str(), entry);
                } else if (entry == me) {
                    found = slot;
                }
            }
            // A button that is not in the group leaves the group as it is.
            if (found) {
                RemovePropA(container, SlotName(count).c_str());
                if (count == 1) {
                    RemovePropA(container, kOptCount);
                } else {
                    SetPropA(container, kOptCount,
                             reinterpret_cast<HANDLE>(static_cast<INT_PTR>(count - 1)));
                }
            }
            s.registeredInGroup = false;
            break;
        }
        case 2:
            for (int slot = 1; slot <= count; ++slot) {
                auto* other =
                    static_cast<gwButtons_H*>(GetPropA(container, SlotName(slot).c_str()));
                if (other && other->Value()) {
                    flag = true;
                    break;
                }
            }
            break;
        default:
            break;
        }
        return flag;
    }

    static void Redraw(State& s) { RedrawButton(s); }

    // The host's click notification.
    static void ClickHandling(State& s) {
        if (s.lastButton != 1) {
            return;
        }
        if (s.mode != kModeCommand) {
            if (s.mode == kModeOption && s.value) {
                return;
            }
            s.self.Value(!s.value);
        }
        s.events.Click();
    }

    static void MouseDown(State& s, short button, short shift, float x, float y) {
        s.lastButton = button;
        if (button == 1) {
            s.flags |= kFlagPressed;
            s.pressedLook = true;
            s.delay = false;
            Redraw(s);
            SetCapture(s.hwnd);
        }
        s.events.MouseDown(button, shift, x, y);
    }

    static void MouseMove(State& s, short button, short shift, float x, float y) {
        if (!s.hoverActive) {
            POINT cursor{};
            if (GetCursorPos(&cursor) && WindowFromPoint(cursor) == s.hwnd) {
                s.flags |= kFlagOver;
                s.events.MouseOnButton(true);
                if (s.destroyed) {
                    return;
                }
                if (s.hwnd) {
                    SetPropA(s.hwnd, kClassId, &s.self);
                    SetPropA(s.hwnd, kTimerIdProp, reinterpret_cast<HANDLE>(kHoverTimerId));
                    SetTimer(s.hwnd, kHoverTimerId, kHoverIntervalMs, HoverTimerProc);
                    s.hoverActive = true;
                }
                s.delay = false;
                if (button == 1) {
                    s.pressedLook = true;
                }
                Redraw(s);
            }
        }
        s.events.MouseMove(button, shift, x, y);
    }

    static void MouseUp(State& s, short button, short shift, float x, float y) {
        s.pressedLook = false;
        if (button == 1) {
            ReleaseCapture();
            s.flags &= static_cast<std::uint8_t>(~kFlagPressed);
            s.delay = false;
            if (s.mode == kModeCommand) {
                Redraw(s);
            }
        }
        s.events.MouseUp(button, shift, x, y);
        s.lastButton = button;
    }

    static void DoubleClick(State& s) {
        POINT cursor{};
        GetCursorPos(&cursor);
        ScreenToClient(s.hwnd, &cursor);
        s.events.DoubleClick(s.lastButton);
        if (s.destroyed) {
            return;
        }
        if (s.lastButton == 1) {
            MouseDown(s, 1, 0, static_cast<float>(cursor.x), static_cast<float>(cursor.y));
            s.lastButton = -1;
        } else {
            s.events.MouseDown(1, 0, static_cast<float>(cursor.x), static_cast<float>(cursor.y));
        }
    }

    static void KeyDown(State& s, short keyCode) {
        short key = keyCode;
        short shift = ShiftState();
        LPARAM repost = 0;
        switch (key) {
        case kKeyRight:
            repost = 0x004D0001;
            break;
        case kKeyDown:
            repost = 0x00500001;
            break;
        case kKeyLeft:
            repost = 0x004B0001;
            break;
        case kKeyUp:
            repost = 0x00480001;
            break;
        default:
            break;
        }
        if (repost) {
            PostMessageA(Container(s), WM_KEYDOWN, static_cast<WPARAM>(key), repost);
            key = 0;
        } else if (key == kKeySpace && !s.IsPressed()) {
            s.flags |= kFlagOver | kFlagPressed;
            s.pressedLook = true;
            Redraw(s);
            if (!s.hoverActive) {
                s.flags &= static_cast<std::uint8_t>(~kFlagOver);
            }
        }
        if (key != 0) {
            s.events.KeyDown(key, shift);
        }
    }

    static void KeyUp(State& s, short keyCode) {
        short key = keyCode;
        short shift = ShiftState();
        s.pressedLook = false;
        if (key == kKeySpace) {
            if (s.IsPressed()) {
                s.flags &= static_cast<std::uint8_t>(~kFlagPressed);
                s.lastButton = 1;
                if (s.mode == kModeCommand) {
                    Redraw(s);
                } else {
                    s.events.KeyUp(key, shift);
                    key = 0;
                    if (s.destroyed) {
                        return;
                    }
                }
                ClickHandling(s);
                if (s.destroyed) {
                    return;
                }
            }
        } else if (key == kKeyLeft || key == kKeyUp || key == kKeyRight || key == kKeyDown) {
            key = 0;
            if (s.mode == kModeOption && !s.value) {
                s.lastButton = 1;
                ClickHandling(s);
            }
        } else if (key == kKeyShift) {
            key = 0;
        }
        if (key != 0) {
            s.events.KeyUp(key, shift);
        }
    }

    static void GotFocus(State& s) {
        if (s.mode == kModeOption && !s.value && !OptionToggle(s, 2)) {
            s.lastButton = 1;
            ClickHandling(s);
        }
    }

    // Resize handling: a new back buffer at the new size, then region, layout and paint.
    static void Resize(State& s) {
        PrepareBackBuffer(s);
        if (!s.delay) {
            BuildButtonRegion(s);
            CalcLayout(s);
            Redraw(s);
        }
    }

    // Stops the hover timer and takes the control out of everything that names it, while its
    // window still exists.
    static void Detach(State& s) {
        if (!s.hwnd) {
            return;
        }
        if (s.hoverActive) {
            KillTimer(s.hwnd, kHoverTimerId);
            s.hoverActive = false;
        }
        RemovePropA(s.hwnd, kClassId);
        RemovePropA(s.hwnd, kTimerIdProp);
        if (s.registeredInGroup) {
            OptionToggle(s, -1);
        }
        if (GetCapture() == s.hwnd) {
            ReleaseCapture();
        }
    }

    static void InitProperties(State& s) {
        SetContainerTag(s);
        s.caption = s.host.DisplayName();
        s.captionAlign = 2;
        s.showFocusRect = true;
        s.hoverForeColor = kButtonText;
        s.hoverBackColor = kButtonFace;
        if (!s.host.ParentIsMdi()) {
            s.font = s.host.ParentFont();
        }
        // The back buffer was made while the window was created, with the font it had then.
        UpdateFont(s);
        ReadContainerBack(s);
        s.backColor = kButtonFace;
        UpdateColours(s);
        s.accessKeys = AccessKeyOf(s.caption);
        if (s.hwnd) {
            SetWindowTextW(s.hwnd, s.caption.c_str());
        }
        for (const wchar_t* key :
             {L"Caption", L"CapAlign", L"Focus", L"cFHover", L"cBHover", L"Font"}) {
            Changed(s, key);
        }
    }

    // Stored values come from outside: a value out of its range is read as the default, so
    // that no look, shape or mode index outside the tables ever reaches the painters.
    static std::int32_t ReadRanged(const PropertyBag& bag, std::wstring_view key,
                                   std::int32_t fallback, std::int32_t low, std::int32_t high) {
        const std::int32_t value = bag.ReadLong(key, fallback);
        return InRange(value, low, high) ? value : fallback;
    }

    static OleColor ReadColour(const PropertyBag& bag, std::wstring_view key, OleColor fallback) {
        return static_cast<OleColor>(bag.ReadLong(key, static_cast<std::int32_t>(fallback)));
    }

    static void ReadProperties(State& s, const PropertyBag& bag) {
        SetContainerTag(s);
        ReadContainerBack(s);
        s.delay = true;
        s.caption = bag.ReadString(L"Caption", L"");
        s.captionAlign = ReadRanged(bag, L"CapAlign", 2, 0, 2);
        s.buttonStyle = ReadRanged(bag, L"BackStyle", 0, 0, 7);
        s.shape = ReadRanged(bag, L"Shape", 0, 0, 8);
        s.gradientMode = ReadRanged(bag, L"Gradient", 0, 0, 4);
        s.gradientColor = ReadColour(bag, L"cGradient", kButtonFace);
        s.foreColor = ReadColour(bag, L"cFore", kButtonText);
        s.font = bag.ReadFont(L"Font").value_or(s.host.ParentFont());
        s.showFocusRect = bag.ReadBool(L"Focus", true);
        s.mode = ReadRanged(bag, L"Mode", 0, 0, 2);
        s.value = bag.ReadBool(L"Value", false) && s.mode != kModeCommand;
        s.customClick = ReadRanged(bag, L"CustomClick", 0, 0, 8);
        s.picture = bag.ReadPicture(L"Image");
        std::int32_t size = bag.ReadLong(L"ImgSize", 16);
        if (size != 24 && size != 32 && size != kPictureStretched && size != kPictureScaled) {
            size = 16; // 0 and anything else outside the five sizes
        }
        s.pictureSize = static_cast<std::int16_t>(size);
        s.pictureAlign = ReadRanged(bag, L"ImgAlign", 0, 0, 5);
        s.hoverForeColor = ReadColour(bag, L"cFHover", kButtonText);
        if (s.hwnd) {
            EnableWindow(s.hwnd, bag.ReadBool(L"Enabled", true));
        }
        s.backColor = ReadColour(bag, L"cBack", s.host.AmbientBackColor());
        s.hoverBackColor = ReadColour(bag, L"cBHover", s.backColor);
        s.hoverLocks = bag.ReadLong(L"LockHover", 0);
        s.captionStyle = ReadRanged(bag, L"CapStyle", 0, 0, 2);
        s.self.MouseIcon(bag.ReadPicture(L"mIcon"));
        s.self.MousePointer(bag.ReadLong(L"mPointer", 0));

        // A custom shape without a usable picture cannot be cut; it is read as rectangular.
        if (s.shape >= 7 && (!s.picture || s.picture->GetKind() == Picture::Kind::Icon)) {
            s.shape = 0;
        }
        UpdatePictureInfo(s);
        UpdateFont(s);
        UpdateColours(s);
        s.self.Caption(s.caption);
        if (s.mode == kModeOption) {
            OptionToggle(s, 1);
        }
        s.delay = false;
        Resize(s);
    }
};

using L = ButtonLogic;

// ---------------------------------------------------------------------------------------
// Creation and the window procedure

gwButtons_H::gwButtons_H(ButtonHost& host, ButtonEvents& events)
    : m(std::make_shared<ButtonState>(host, events, *this)) {}

ButtonPtr gwButtons_H::Create(ButtonHost& host, ButtonEvents& events, const RECT& bounds, int id,
                              const PropertyBag* stored) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!ClassRegistered(instance)) {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        // Own DC: the control paints outside WM_PAINT (hover, press) and offers its DC as hDC.
        windowClass.style = CS_DBLCLKS | CS_OWNDC;
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.lpszClassName = kClassName;
        if (!RegisterClassExW(&windowClass)) {
            return nullptr;
        }
    }
    ButtonPtr button(new gwButtons_H(host, events));
    button->m->delay = true; // nothing is painted before the settings are in place
    const HWND container = host.ContainerWindow();
    // Created hidden: the settings are in place before the first paint.
    const HWND hwnd = CreateWindowExW(
        0, kClassName, L"", WS_CHILD | WS_TABSTOP | WS_CLIPSIBLINGS, bounds.left, bounds.top,
        bounds.right - bounds.left, bounds.bottom - bounds.top, container,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, button.get());
    if (!hwnd) {
        return nullptr;
    }
    State& s = *button->m;
    s.ownDc = GetDC(hwnd);
    if (stored) {
        L::ReadProperties(s, *stored);
    } else {
        L::InitProperties(s);
    }
    // First display in design mode shows the default look at once.
    if (!host.UserMode() && s.showFocusRect && host.DisplayAsDefault()) {
        s.flags |= kFlagDefault;
    }
    ShowWindow(hwnd, SW_SHOWNA);
    // The host shows and sizes the control: region, layout and the first paint.
    s.delay = false;
    L::Resize(s);
    return button;
}

gwButtons_H::~gwButtons_H() {
    m->destroyed = true;
    if (m->hwnd) {
        DestroyWindow(m->hwnd);
    }
}

LRESULT CALLBACK gwButtons_H::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    gwButtons_H* self = nullptr;
    if (msg == WM_NCCREATE) {
        self = static_cast<gwButtons_H*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->m->hwnd = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<gwButtons_H*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (!self) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    const LRESULT result = self->HandleMessage(msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->m->hwnd = nullptr;
        self->m->ownDc = nullptr;
    }
    return result;
}

LRESULT gwButtons_H::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    // Kept alive for this message even if a handler destroys the control; after an event,
    // only the state may be used, and only until it reads as destroyed.
    const std::shared_ptr<State> keep = m;
    State& s = *keep;
    const float x = static_cast<float>(GET_X_LPARAM(lParam));
    const float y = static_cast<float>(GET_Y_LPARAM(lParam));
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(s.hwnd, &paint);
        EndPaint(s.hwnd, &paint);
        s.delay = false;
        RedrawButton(s);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1; // the whole client area is painted from the back buffer
    case WM_SIZE:
        L::Resize(s);
        return 0;
    case WM_ENABLE:
        // Style 3 trims its corners only while enabled, so its outline follows the state.
        if (s.buttonStyle == 3 && s.mode == kModeCommand && s.shape <= 3) {
            const bool delayed = s.delay;
            s.delay = true;
            BuildButtonRegion(s);
            CalcLayout(s);
            if (!delayed) {
                DelayDrawing(false);
            }
        } else {
            RedrawButton(s);
        }
        return 0;
    case WM_LBUTTONDOWN:
        SetFocus(s.hwnd); // an option button may be selected, and clicked, by the focus
        if (s.destroyed) {
            return 0;
        }
        L::MouseDown(s, 1, ShiftFromMouse(wParam), x, y);
        return 0;
    case WM_RBUTTONDOWN:
        L::MouseDown(s, 2, ShiftFromMouse(wParam), x, y);
        return 0;
    case WM_MBUTTONDOWN:
        L::MouseDown(s, 4, ShiftFromMouse(wParam), x, y);
        return 0;
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP: {
        const short button = msg == WM_LBUTTONUP ? 1 : msg == WM_RBUTTONUP ? 2 : 4;
        // A left release clicks only when the press began on this button.
        const bool pressedHere = button != 1 || s.IsPressed();
        L::MouseUp(s, button, ShiftFromMouse(wParam), x, y);
        if (s.destroyed) {
            return 0;
        }
        RECT client{};
        GetClientRect(s.hwnd, &client);
        const POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        const bool inside = PtInRect(&client, at) != 0;
        const bool skip = s.skipNextClick && button == 1;
        if (button == 1) {
            s.skipNextClick = false;
        }
        if (inside && pressedHere && !skip) {
            L::ClickHandling(s);
        }
        return 0;
    }
    case WM_LBUTTONDBLCLK:
        SetFocus(s.hwnd);
        if (s.destroyed) {
            return 0;
        }
        s.skipNextClick = true;
        L::DoubleClick(s);
        return 0;
    case WM_RBUTTONDBLCLK:
        L::MouseDown(s, 2, ShiftFromMouse(wParam), x, y);
        return 0;
    case WM_MBUTTONDBLCLK:
        L::MouseDown(s, 4, ShiftFromMouse(wParam), x, y);
        return 0;
    case WM_MOUSEMOVE:
        L::MouseMove(s, ButtonsFromMouse(wParam), ShiftFromMouse(wParam), x, y);
        return 0;
    case WM_CAPTURECHANGED:
        // Capture taken away (a message box, another window): the button is no longer held.
        if (reinterpret_cast<HWND>(lParam) != s.hwnd && s.IsPressed() &&
            GetKeyState(VK_SPACE) >= 0) {
            s.flags &= static_cast<std::uint8_t>(~kFlagPressed);
            s.pressedLook = false;
            RedrawButton(s);
        }
        return 0;
    case WM_KEYDOWN:
        L::KeyDown(s, static_cast<short>(wParam));
        if (s.destroyed) {
            return 0;
        }
        // In a plain window nobody else routes Enter: a focused button takes it as the
        // default button's access key (command buttons click, the other modes ignore it).
        if (wParam == VK_RETURN && (lParam & 0x40000000) == 0 && s.hwnd && GetFocus() == s.hwnd) {
            AccessKeyPress(13);
        }
        return 0;
    case WM_KEYUP:
        L::KeyUp(s, static_cast<short>(wParam));
        return 0;
    case WM_CHAR: {
        short keyAscii = static_cast<short>(wParam);
        s.events.KeyPress(keyAscii);
        return 0;
    }
    case WM_SYSCHAR:
        if (RouteAccessKey(GetParent(s.hwnd), static_cast<wchar_t>(wParam))) {
            return 0;
        }
        break;
    case WM_GETDLGCODE: {
        LRESULT code = DLGC_WANTARROWS | DLGC_BUTTON;
        if (s.mode == kModeCommand) {
            code |= DLGC_UNDEFPUSHBUTTON;
        } else if (s.mode == kModeOption) {
            code |= DLGC_RADIOBUTTON;
        }
        return code;
    }
    case BM_CLICK:
        AccessKeyPress(0);
        return 0;
    case WM_SETFOCUS:
        L::GotFocus(s);
        return 0;
    case WM_SETCURSOR:
        if (LOWORD(lParam) == HTCLIENT) {
            if (s.mousePointer == 99 && s.mouseIcon && s.mouseIcon->Icon()) {
                SetCursor(s.mouseIcon->Icon());
            } else {
                SetCursor(LoadCursorW(nullptr, CursorFor(s.mousePointer)));
            }
            return TRUE;
        }
        break;
    case WM_DESTROY:
        L::Detach(s);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(s.hwnd, msg, wParam, lParam);
}

void gwButtons_H::CheckHoverExit(UINT_PTR timerId) {
    const std::shared_ptr<State> keep = m;
    State& s = *keep;
    POINT cursor{};
    if (GetCursorPos(&cursor) && WindowFromPoint(cursor) == s.hwnd) {
        return;
    }
    KillTimer(s.hwnd, timerId);
    s.flags &= static_cast<std::uint8_t>(~kFlagOver);
    s.hoverActive = false;
    s.delay = false;
    s.events.MouseOnButton(false);
    if (s.destroyed) {
        return;
    }
    s.pressedLook = false;
    RedrawButton(s);
}

bool gwButtons_H::RouteAccessKey(HWND container, wchar_t key) {
    if (!container || key == 0) {
        return false;
    }
    for (HWND child = GetWindow(container, GW_CHILD); child;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[32] = {};
        GetClassNameW(child, className, 32);
        if (std::wstring_view(className) != kClassName || !IsWindowVisible(child) ||
            !IsWindowEnabled(child)) {
            continue;
        }
        auto* button = reinterpret_cast<gwButtons_H*>(GetWindowLongPtrW(child, GWLP_USERDATA));
        if (!button) {
            continue;
        }
        for (const wchar_t c : button->AccessKeys()) {
            if (Upper(c) == Upper(key)) {
                SetFocus(child);
                button->AccessKeyPress(static_cast<short>(key));
                return true;
            }
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// Persistence

void gwButtons_H::WriteProperties(PropertyBag& bag) const {
    const State& s = *m;
    const auto colour = [](OleColor c) { return static_cast<std::int32_t>(c); };
    if (!s.caption.empty()) {
        bag.Write(L"Caption", s.caption);
    }
    if (s.captionAlign != 2) {
        bag.Write(L"CapAlign", s.captionAlign);
    }
    if (s.buttonStyle != 0) {
        bag.Write(L"BackStyle", s.buttonStyle);
    }
    if (s.shape != 0) {
        bag.Write(L"Shape", s.shape);
    }
    bag.Write(L"Font", s.font);
    if (s.foreColor != kButtonText) {
        bag.Write(L"cFore", colour(s.foreColor));
    }
    if (s.hoverForeColor != kButtonText) {
        bag.Write(L"cFHover", colour(s.hoverForeColor));
    }
    if (s.hoverBackColor != s.backColor) {
        bag.Write(L"cBhover", colour(s.hoverBackColor));
    }
    if (!s.showFocusRect) {
        bag.Write(L"Focus", false);
    }
    if (s.hoverLocks != 0) {
        bag.Write(L"LockHover", s.hoverLocks);
    }
    if (s.gradientColor != kButtonFace) {
        bag.Write(L"cGradient", colour(s.gradientColor));
    }
    if (s.gradientMode != 0) {
        bag.Write(L"Gradient", s.gradientMode);
    }
    if (s.captionStyle != 0) {
        bag.Write(L"CapStyle", s.captionStyle);
    }
    bag.Write(L"Mode", s.mode);
    bag.Write(L"Value", s.value);
    if (s.customClick != 0) {
        bag.Write(L"CustomClick", s.customClick);
    }
    if (s.pictureAlign != 0) {
        bag.Write(L"ImgAlign", s.pictureAlign);
    }
    if (s.picture) {
        bag.Write(L"Image", s.picture);
    }
    if (s.pictureSize != 16) {
        bag.Write(L"ImgSize", static_cast<std::int32_t>(s.pictureSize));
    }
    if (!s.Enabled()) {
        bag.Write(L"Enabled", false);
    }
    bag.Write(L"cBack", colour(s.backColor));
    if (s.mousePointer != 0) {
        bag.Write(L"mPointer", s.mousePointer);
    }
    if (s.mouseIcon) {
        bag.Write(L"mIcon", s.mouseIcon);
    }
}

// ---------------------------------------------------------------------------------------
// Read-only and host properties

HWND gwButtons_H::hwnd() const {
    return m->hwnd;
}

HDC gwButtons_H::hDC() const {
    return m->ownDc;
}

// ---------------------------------------------------------------------------------------
// Properties

std::int32_t gwButtons_H::ButtonStyle() const {
    return m->buttonStyle;
}

void gwButtons_H::ButtonStyle(std::int32_t value) {
    State& s = *m;
    if (!InRange(value, 0, 7)) {
        return;
    }
    const std::int32_t old = s.buttonStyle;
    s.buttonStyle = value;
    if (((old == 5 || value == 5) && s.shape < 7) || s.shape < 4) {
        BuildButtonRegion(s);
    }
    CalcLayout(s);
    UpdateColours(s);
    RedrawButton(s);
    L::Changed(s, L"BackStyle");
}

std::int32_t gwButtons_H::Mode() const {
    return m->mode;
}

void gwButtons_H::Mode(std::int32_t value) {
    State& s = *m;
    if (!InRange(value, 0, 2)) {
        return;
    }
    const std::int32_t old = s.mode;
    if (old == kModeOption && value != kModeOption) {
        L::OptionToggle(s, -1);
    }
    if (value == kModeOption && old != kModeOption) {
        L::OptionToggle(s, 1);
    }
    if (value == kModeCommand && old != kModeCommand) {
        s.value = false;
    }
    s.mode = value;
    RedrawButton(s);
    L::Changed(s, L"Mode");
}

std::wstring gwButtons_H::Caption() const {
    return m->caption;
}

void gwButtons_H::Caption(const std::wstring& value) {
    State& s = *m;
    if (value.find(L'&') != std::wstring::npos) {
        s.accessKeys = AccessKeyOf(value);
    }
    s.caption = value;
    if (s.hwnd) {
        SetWindowTextW(s.hwnd, value.c_str());
    }
    CalcLayout(s);
    RedrawButton(s);
    L::Changed(s, L"Caption");
}

std::int32_t gwButtons_H::CaptionAlign() const {
    return m->captionAlign;
}

void gwButtons_H::CaptionAlign(std::int32_t value) {
    State& s = *m;
    if (!InRange(value, 0, 2)) {
        return;
    }
    if (value == 2 || s.pictureAlign < 4 || !s.picture) {
        s.captionAlign = value;
        CalcLayout(s);
        RedrawButton(s);
        L::Changed(s, L"CapAlign");
    } else {
        L::DesignMessage(s, L"When button images are aligned top/bottom center, \r\n"
                            L"button captions can only be center aligned");
    }
}

std::int32_t gwButtons_H::CaptionStyle() const {
    return m->captionStyle;
}

void gwButtons_H::CaptionStyle(std::int32_t value) {
    State& s = *m;
    if (!InRange(value, 0, 2)) {
        return;
    }
    s.captionStyle = value;
    L::Changed(s, L"CapStyle");
    if (!s.caption.empty()) {
        CalcLayout(s);
        RedrawButton(s);
    }
}

std::int32_t gwButtons_H::CustomClick() const {
    return m->customClick;
}

void gwButtons_H::CustomClick(std::int32_t value) {
    State& s = *m;
    if (!InRange(value, 0, 8)) {
        return;
    }
    if (s.shape < 7 && value > 0) {
        L::DesignMessage(s,
                         L"This property has no effect unless the Button Shape is a custom shape.");
    }
    s.customClick = value;
    L::Changed(s, L"CustomClick");
}

std::int32_t gwButtons_H::ButtonShape() const {
    return m->shape;
}

void gwButtons_H::ButtonShape(std::int32_t value) {
    State& s = *m;
    if (!InRange(value, 0, 8)) {
        return;
    }
    if (value >= 7) {
        if (!s.picture || s.picture->GetKind() == Picture::Kind::Icon) {
            L::DesignMessage(
                s, L"The Picture Property must be assigned first and must be a bitmap or JPEG.");
            return;
        }
        if (s.pictureSize != kPictureScaled) {
            s.delay = true;
            s.pictureSize = kPictureScaled;
            L::Changed(s, L"ImgSize");
            s.delay = false;
        }
    }
    s.shape = value;
    s.captionAlign = 2;
    L::Resize(s);
    DelayDrawing(false);
    L::Changed(s, L"Shape");
}

PicturePtr gwButtons_H::GetPicture() const {
    return m->picture;
}

void gwButtons_H::SetPicture(PicturePtr value) {
    State& s = *m;
    s.picture = std::move(value);
    if (s.pictureSize == 0) {
        s.pictureSize = 16;
    }
    UpdatePictureInfo(s);
    if (s.shape < 7) {
        CalcLayout(s);
        RedrawButton(s);
    } else {
        if (!s.picture) {
            s.shape = 0;
        } else if (s.picture->GetKind() == Picture::Kind::Icon) {
            s.shape = 0;
            L::DesignMessage(
                s, L"Icons cannot be used for custom buttons. Only use bitmaps or JPEGs.\r\n"
                   L"Button was changed to Rectangular shaped.");
        }
        L::Resize(s);
    }
    L::Changed(s, L"Image");
}

std::int32_t gwButtons_H::PictureAlign() const {
    return m->pictureAlign;
}

void gwButtons_H::PictureAlign(std::int32_t value) {
    State& s = *m;
    if (!InRange(value, 0, 5)) {
        return;
    }
    s.pictureAlign = value;
    if (value == 4 || value == 5) {
        s.captionAlign = 2;
    }
    CalcLayout(s);
    RedrawButton(s);
    L::Changed(s, L"ImgAlign");
}

bool gwButtons_H::Enabled() const {
    return m->Enabled();
}

void gwButtons_H::Enabled(bool value) {
    State& s = *m;
    if (!s.hwnd || value == s.Enabled()) {
        return;
    }
    // WM_ENABLE redraws (and rebuilds the outline where the look needs it).
    EnableWindow(s.hwnd, value);
    L::Changed(s, L"Enabled");
}

bool gwButtons_H::ShowFocusRect() const {
    return m->showFocusRect;
}

void gwButtons_H::ShowFocusRect(bool value) {
    State& s = *m;
    s.showFocusRect = value;
    if (s.IsDefault()) {
        if (s.host.UserMode()) {
            // In run mode the default look needs the focus rectangle.
            if (!value) {
                s.flags &= static_cast<std::uint8_t>(~kFlagDefault);
            }
            RedrawButton(s);
        } else {
            L::DesignMessage(
                s,
                L"The focus rectangle may appear on default buttons ONLY while in design mode, \r\n"
                L"but will not appear when the form is running.");
        }
    } else {
        RedrawButton(s);
    }
    L::Changed(s, L"Focus");
}

bool gwButtons_H::Value() const {
    return m->value;
}

void gwButtons_H::Value(bool value) {
    State& s = *m;
    if (value && s.mode == kModeCommand) {
        L::DesignMessage(s, L"This property is not applicable for command button modes.");
        return;
    }
    s.value = value;
    if (value && s.mode == kModeOption) {
        L::OptionToggle(s, 0);
    }
    RedrawButton(s);
    L::Changed(s, L"Value");
}

std::int32_t gwButtons_H::PictureSize() const {
    return m->pictureSize / 8 - 2;
}

void gwButtons_H::PictureSize(std::int32_t value) {
    State& s = *m;
    if (!InRange(value, 0, 4)) {
        return;
    }
    if (s.shape >= 7) {
        L::DesignMessage(s, L"The picture size cannot be changed for Shaped buttons");
        return;
    }
    s.pictureSize = static_cast<std::int16_t>((value + 2) * 8);
    CalcLayout(s);
    RedrawButton(s);
    L::Changed(s, L"ImgSize");
}

std::int32_t gwButtons_H::MousePointer() const {
    return m->mousePointer;
}

void gwButtons_H::MousePointer(std::int32_t value) {
    State& s = *m;
    if (!ValidPointer(value)) {
        return;
    }
    s.mousePointer = value;
    L::Changed(s, L"mPointer");
}

PicturePtr gwButtons_H::MouseIcon() const {
    return m->mouseIcon;
}

void gwButtons_H::MouseIcon(PicturePtr value) {
    State& s = *m;
    if (value && value->GetKind() != Picture::Kind::Icon) {
        // Only icons and cursors make a mouse pointer.
        L::DesignMessage(s, L"Invalid property value", L"Select .ico Or .cur Files Only");
        return;
    }
    const bool isIcon = value != nullptr;
    s.mouseIcon = std::move(value);
    if (isIcon) {
        s.mousePointer = 99;
    }
    L::Changed(s, L"mIcon");
}

FontSpec gwButtons_H::Font() const {
    return m->font;
}

void gwButtons_H::Font(const FontSpec& value) {
    State& s = *m;
    s.font = value;
    UpdateFont(s);
    CalcLayout(s);
    RedrawButton(s);
    L::Changed(s, L"Font");
}

std::int32_t gwButtons_H::FontStyle() const {
    const FontSpec& f = m->font;
    return (f.bold ? 2 : 0) + (f.italic ? 4 : 0) + (f.underline ? 8 : 0);
}

void gwButtons_H::FontStyle(std::int32_t value) {
    State& s = *m;
    s.font.bold = (value & 2) != 0;
    s.font.italic = (value & 4) != 0;
    s.font.underline = (value & 8) != 0;
    UpdateFont(s);
    CalcLayout(s);
    L::Changed(s, L"Font");
    RedrawButton(s);
}

OleColor gwButtons_H::ForeColor() const {
    return m->foreColor;
}

void gwButtons_H::ForeColor(OleColor value) {
    State& s = *m;
    if (value == s.foreColor) {
        return;
    }
    s.foreColor = value;
    if (s.hoverLocks == 0 || s.hoverLocks == 1) {
        s.hoverForeColor = value;
    }
    s.delay = false;
    RedrawButton(s);
    L::Changed(s, L"cFore");
}

OleColor gwButtons_H::BackColor() const {
    return m->backColor;
}

void gwButtons_H::BackColor(OleColor value) {
    State& s = *m;
    s.backColor = value;
    if (s.hoverLocks == 0 || s.hoverLocks == 2) {
        s.hoverBackColor = s.gradientMode != 0 ? s.gradientColor : value;
    }
    UpdateColours(s);
    RedrawButton(s);
    L::Changed(s, L"cBack");
}

OleColor gwButtons_H::GradientColor() const {
    return m->gradientColor;
}

void gwButtons_H::GradientColor(OleColor value) {
    State& s = *m;
    if ((s.hoverLocks == 0 || s.hoverLocks == 2) && s.gradientMode != 0) {
        s.hoverBackColor = value;
    }
    s.gradientColor = value;
    UpdateColours(s);
    if (s.gradientMode != 0) {
        RedrawButton(s);
    }
    L::Changed(s, L"cGradient");
}

std::int32_t gwButtons_H::GradientMode() const {
    return m->gradientMode;
}

void gwButtons_H::GradientMode(std::int32_t value) {
    State& s = *m;
    if (!InRange(value, 0, 4)) {
        return;
    }
    s.gradientMode = value;
    if (s.hoverLocks == 0 || s.hoverLocks == 2) {
        s.hoverBackColor = value == 0 ? s.backColor : s.gradientColor;
        UpdateColours(s);
    }
    RedrawButton(s);
    L::Changed(s, L"Gradient");
}

void gwButtons_H::ResetDefaultColors(bool value) {
    State& s = *m;
    if (!value || s.host.UserMode()) {
        return;
    }
    s.delay = true;
    s.backColor = kButtonFace;
    s.foreColor = kButtonText;
    s.hoverForeColor = kButtonText;
    s.gradientColor = kButtonFace;
    s.gradientMode = 0;
    s.hoverLocks = 0;
    s.hoverBackColor = kButtonFace;
    UpdateColours(s);
    DelayDrawing(false);
    L::Changed(s, L"cGradient");
    L::Changed(s, L"cBack");
}

std::int32_t gwButtons_H::HoverColorLocks() const {
    return m->hoverLocks;
}

void gwButtons_H::HoverColorLocks(std::int32_t value) {
    State& s = *m;
    s.hoverLocks = value;
    if (value == 0 || value == 2) {
        s.hoverBackColor = s.gradientMode != 0 ? s.gradientColor : s.backColor;
        L::Changed(s, L"cBHover");
    }
    if (value == 0 || value == 1) {
        s.hoverForeColor = s.foreColor;
        L::Changed(s, L"cFHover");
    }
    UpdateColours(s);
    L::Changed(s, L"LockHover");
}

OleColor gwButtons_H::HoverForeColor() const {
    return m->hoverForeColor;
}

void gwButtons_H::HoverForeColor(OleColor value) {
    State& s = *m;
    if (value == s.hoverForeColor) {
        return;
    }
    s.hoverForeColor = value;
    L::Changed(s, L"cFHover");
    if (value != s.foreColor) {
        if (s.hoverLocks == 0) {
            s.hoverLocks = 2;
        } else if (s.hoverLocks == 1) {
            s.hoverLocks = 3;
        }
        L::Changed(s, L"cFHover");
    }
}

OleColor gwButtons_H::HoverBackColor() const {
    return m->hoverBackColor;
}

void gwButtons_H::HoverBackColor(OleColor value) {
    State& s = *m;
    if (value == s.hoverBackColor) {
        return;
    }
    s.hoverBackColor = value;
    if (value != s.backColor) {
        if (s.hoverLocks == 0) {
            s.hoverLocks = 1;
        } else if (s.hoverLocks == 2) {
            s.hoverLocks = 3;
        }
    }
    UpdateColours(s);
    L::Changed(s, L"cBHover");
}

// ---------------------------------------------------------------------------------------
// Methods, ambient changes and access keys

void gwButtons_H::Refresh() {
    m->delay = false;
    RedrawButton(*m);
}

void gwButtons_H::DelayDrawing(bool bDelay) {
    m->delay = bDelay;
    if (!bDelay) {
        Refresh();
    }
}

void gwButtons_H::AmbientChanged(std::wstring_view name) {
    State& s = *m;
    if (CompareStringOrdinal(name.data(), static_cast<int>(name.size()), L"DisplayAsDefault", -1,
                             TRUE) == CSTR_EQUAL) {
        const bool isDefault = s.host.DisplayAsDefault() && (s.showFocusRect || !s.host.UserMode());
        if (isDefault) {
            s.flags |= kFlagDefault;
        } else {
            s.flags &= static_cast<std::uint8_t>(~kFlagDefault);
        }
        // A custom shape shows its default outline in design mode through the hover frame.
        const bool showAsHover = s.shape >= 7 && !s.host.UserMode() && isDefault;
        if (showAsHover) {
            s.flags |= kFlagOver;
        }
        RedrawButton(s);
        if (showAsHover) {
            s.flags &= static_cast<std::uint8_t>(~kFlagOver);
        }
    } else if (CompareStringOrdinal(name.data(), static_cast<int>(name.size()), L"BackColor", -1,
                                    TRUE) == CSTR_EQUAL) {
        L::ReadContainerBack(s);
        if (s.shape > 3 || s.buttonStyle == 5) {
            RedrawButton(s);
        }
    }
}

std::wstring gwButtons_H::AccessKeys() const {
    return m->accessKeys;
}

void gwButtons_H::AccessKeyPress(short keyAscii) {
    const std::shared_ptr<State> keep = m;
    State& s = *keep;
    if ((keyAscii == 13 || keyAscii == 27) && s.mode != kModeCommand) {
        return;
    }
    if (keyAscii != 13 && keyAscii != 27 && !s.IsDefault()) {
        RedrawButton(s);
    }
    s.lastButton = 1;
    L::ClickHandling(s);
}

void gwButtons_H::ForwardOLECompleteDrag(long& effect) {
    m->events.OLECompleteDrag(effect);
}

void gwButtons_H::ForwardOLEDragDrop(IDataObject* data, long& effect, short button, short shift,
                                     float x, float y) {
    m->events.OLEDragDrop(data, effect, button, shift, x, y);
}

void gwButtons_H::ForwardOLEDragOver(IDataObject* data, long& effect, short button, short shift,
                                     float x, float y, short state) {
    m->events.OLEDragOver(data, effect, button, shift, x, y, state);
}

void gwButtons_H::ForwardOLEGiveFeedback(long& effect, bool& defaultCursors) {
    m->events.OLEGiveFeedback(effect, defaultCursors);
}

void gwButtons_H::ForwardOLESetData(IDataObject* data, short& dataFormat) {
    m->events.OLESetData(data, dataFormat);
}

void gwButtons_H::ForwardOLEStartDrag(IDataObject* data, long& allowedEffects) {
    m->events.OLEStartDrag(data, allowedEffects);
}

} // namespace kavsafe::controls
