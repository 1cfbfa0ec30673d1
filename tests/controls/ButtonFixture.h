// A container window, a recording host and recorded events for tests of gwButtons_H on real
// windows. Needs a display (Xvfb) and Wine's default 96 DPI.
#pragma once

#include "gwButtons_H.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace kavsafe::controls::test {

// Processes the thread's pending messages (timers included) for at least the given time.
inline void Pump(DWORD milliseconds = 0) {
    const DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (milliseconds) {
            Sleep(5);
        }
    } while (GetTickCount() - start < milliseconds);
}

// Pumps messages until done() holds; generous bound for a loaded machine.
template <typename Done> bool PumpUntil(Done done, DWORD timeoutMs = 5000) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) {
            return done();
        }
        Pump(10);
    }
    return true;
}

class TestHost : public ButtonHost {
public:
    HWND container = nullptr;
    bool userMode = true;
    bool displayAsDefault = false;
    OleColor ambientBack = kButtonFace;
    FontSpec parentFont{L"宋体", 9.0};
    std::wstring displayName = L"gwButtons1";
    std::vector<std::wstring> changed;
    std::vector<std::pair<std::wstring, std::wstring>> messages; // text, title

    HWND ContainerWindow() const override { return container; }
    bool UserMode() const override { return userMode; }
    bool DisplayAsDefault() const override { return displayAsDefault; }
    OleColor AmbientBackColor() const override { return ambientBack; }
    std::wstring DisplayName() const override { return displayName; }
    FontSpec ParentFont() const override { return parentFont; }
    void PropertyChanged(std::wstring_view key) override { changed.emplace_back(key); }
    void ShowMessage(const std::wstring& text, const std::wstring& title) override {
        messages.emplace_back(text, title);
    }
};

class Recorder : public ButtonEvents {
public:
    int clicks = 0;
    int doubleClicks = 0;
    std::vector<short> mouseDowns, mouseUps, keyDowns, keyUps, keyPresses;
    std::vector<bool> onButton;

    void Click() override { ++clicks; }
    void DoubleClick(short) override { ++doubleClicks; }
    void MouseDown(short button, short, float, float) override { mouseDowns.push_back(button); }
    void MouseUp(short button, short, float, float) override { mouseUps.push_back(button); }
    void KeyDown(short& key, short&) override { keyDowns.push_back(key); }
    void KeyPress(short& key) override { keyPresses.push_back(key); }
    void KeyUp(short& key, short&) override { keyUps.push_back(key); }
    void MouseOnButton(bool on) override { onButton.push_back(on); }
};

// Records what the container window receives from its buttons.
struct ContainerLog {
    std::vector<std::pair<WPARAM, LPARAM>> keyDowns;
};

inline LRESULT CALLBACK ContainerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* log = reinterpret_cast<ContainerLog*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_KEYDOWN && log) {
        log->keyDowns.emplace_back(wParam, lParam);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// A visible top-level container at a fixed screen position, with buttons made on demand.
class ButtonTest : public ::testing::Test {
protected:
    static constexpr int kLeft = 100, kTop = 100;

    // One container for the whole suite: under Wine without a window manager, destroying a
    // top-level window waits about two seconds for the X server to withdraw it.
    static void SetUpTestSuite() {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = ContainerProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = L"ButtonTestContainer";
        RegisterClassExW(&wc);
        s_container =
            CreateWindowExW(0, L"ButtonTestContainer", L"buttons", WS_POPUP | WS_VISIBLE, kLeft,
                            kTop, 560, 400, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }

    static void TearDownTestSuite() {
        if (s_container) {
            DestroyWindow(s_container);
            s_container = nullptr;
        }
        Pump();
    }

    void SetUp() override {
        container = s_container;
        ASSERT_NE(container, nullptr) << "no display?";
        SetWindowLongPtrW(container, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&containerLog));
        SetForegroundWindow(container);
        SetFocus(container);
        host.container = container;
        // Park the cursor away from every button.
        SetCursorPos(kLeft + 540, kTop + 380);
        Pump(50);
    }

    void TearDown() override {
        buttons.clear();
        if (container) {
            SetWindowLongPtrW(container, GWLP_USERDATA, 0);
            // Nothing of a test's option groups may outlive its buttons.
            EXPECT_EQ(GetPropA(container, "gw_OptCount"), nullptr);
        }
        Pump();
    }

    // A new instance (no bag) or a loaded one, at the given client rectangle.
    gwButtons_H& Make(RECT bounds = {10, 10, 105, 47}, const PropertyBag* bag = nullptr,
                      Recorder* events = nullptr) {
        buttons.push_back(gwButtons_H::Create(host, events ? *events : recorder, bounds,
                                              100 + static_cast<int>(buttons.size()), bag));
        EXPECT_NE(buttons.back(), nullptr);
        Pump();
        return *buttons.back();
    }

    // The screen point at client (x, y) of a button.
    static POINT ScreenPoint(const gwButtons_H& button, int x, int y) {
        POINT p{x, y};
        ClientToScreen(button.hwnd(), &p);
        return p;
    }

    static LPARAM ClientPoint(int x, int y) { return MAKELPARAM(x, y); }

    // The colour on the screen at client (x, y) of a button.
    static COLORREF Pixel(const gwButtons_H& button, int x, int y) {
        const HDC dc = GetDC(button.hwnd());
        const COLORREF colour = GetPixel(dc, x, y);
        ReleaseDC(button.hwnd(), dc);
        return colour;
    }

    static void LeftClick(const gwButtons_H& button, int x = 20, int y = 10) {
        SendMessageW(button.hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, ClientPoint(x, y));
        SendMessageW(button.hwnd(), WM_LBUTTONUP, 0, ClientPoint(x, y));
    }

    TestHost host;
    Recorder recorder;
    ContainerLog containerLog;
    HWND container = nullptr;
    std::vector<ButtonPtr> buttons;
    static inline HWND s_container = nullptr;
};

} // namespace kavsafe::controls::test
