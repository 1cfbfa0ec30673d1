// Base for the programs' window classes: one static procedure forwards to the object.
#pragma once

#include "FormLayout.h"

#include <windows.h>

namespace quor {

// The resource id of a program's icon in its resource script.
inline constexpr int kProgramIcon = 1;

// The object travels in CreateWindowExW's lpParam, is stored in GWLP_USERDATA at
// WM_NCCREATE and cleared at WM_NCDESTROY; every message in between goes to
// Derived::HandleMessage.
template <typename Derived> class BaseWindow {
public:
    HWND Window() const { return m_hwnd; }

    // Creates the window through Derived::Create if needed and shows it; false when it could
    // not be created.
    bool Show(HINSTANCE instance, int showCommand) {
        if (!static_cast<Derived*>(this)->Create(instance)) {
            return false;
        }
        ShowWindow(m_hwnd, showCommand);
        UpdateWindow(m_hwnd);
        return true;
    }

protected:
    // Registers the window class and creates this object's top-level window: a frame of the
    // given style (fixed, without minimise and maximise boxes for the programs' windows)
    // around a client area of the given size, centred on the screen. The frame's size
    // depends on the theme, the client area does not. False when that failed.
    bool CreateCentred(HINSTANCE instance, const wchar_t* className, const wchar_t* caption,
                       DWORD style, SIZE client) {
        RegisterWindowClass(instance, className);
        const RECT frame = CentredFrame(client, style);
        return CreateWindowExW(0, className, caption, style, frame.left, frame.top,
                               frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                               instance, this) != nullptr;
    }

    // Registers the window class (once per class name) and creates this object's top-level
    // window with the given caption, style and size; nullptr when that failed.
    HWND CreateTopLevel(HINSTANCE instance, const wchar_t* className, const wchar_t* caption,
                        DWORD style, int width, int height) {
        RegisterWindowClass(instance, className);
        return CreateWindowExW(0, className, caption, style, CW_USEDEFAULT, CW_USEDEFAULT, width,
                               height, nullptr, nullptr, instance, this);
    }

    // Registers the class of the derived window: its procedure, the arrow cursor, the
    // program's icon (resource 1; the system's application icon for a program without one)
    // and the dialog background. Registering it again is harmless.
    static void RegisterWindowClass(HINSTANCE instance, const wchar_t* className) {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kProgramIcon));
        if (windowClass.hIcon) {
            windowClass.hIconSm = static_cast<HICON>(
                LoadImageW(instance, MAKEINTRESOURCEW(kProgramIcon), IMAGE_ICON,
                           GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
        } else {
            windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
        }
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        windowClass.lpszClassName = className;
        RegisterClassExW(&windowClass);
    }

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        Derived* self = nullptr;
        if (msg == WM_NCCREATE) {
            const auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            self = static_cast<Derived*>(create->lpCreateParams);
            self->m_hwnd = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        } else {
            self = reinterpret_cast<Derived*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        }
        if (!self) {
            return DefWindowProcW(hwnd, msg, wParam, lParam);
        }
        const LRESULT result = self->HandleMessage(msg, wParam, lParam);
        if (msg == WM_NCDESTROY) {
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            self->m_hwnd = nullptr;
        }
        return result;
    }

    HWND m_hwnd = nullptr;
};

// A window's focused control, kept across deactivation as a dialog keeps it: noted when another
// window (a message box, another program) becomes active, given back when this one is active
// again. Handles WM_ACTIVATE and WM_SETFOCUS of the window.
class FocusMemory {
public:
    // At WM_ACTIVATE; the window's procedure returns 0 without DefWindowProcW, which would put
    // the focus on the window itself.
    void OnActivate(HWND window, WPARAM wParam, HWND fallback) {
        if (LOWORD(wParam) == WA_INACTIVE) {
            const HWND focus = GetFocus();
            // A control disabled meanwhile has lost the focus; the one noted before stays.
            if (focus && IsChild(window, focus)) {
                m_control = focus;
            }
        } else if (!HIWORD(wParam)) { // not minimised
            Restore(window, fallback);
        }
    }

    // Gives the focus to the noted control when it can take it, else to fallback. Also for
    // the end of work that had disabled the noted control.
    void Restore(HWND window, HWND fallback) const {
        const bool usable = m_control && IsWindow(m_control) && IsChild(window, m_control) &&
                            IsWindowVisible(m_control) && IsWindowEnabled(m_control);
        if (const HWND target = usable ? m_control : fallback) {
            SetFocus(target);
        }
    }

private:
    HWND m_control = nullptr;
};

// Tab and Shift+Tab pressed in a control of window move the focus to the next or previous
// visible, enabled control with WS_TABSTOP, as in a dialog; true when the key was used so.
// Only Tab is taken: Enter, Esc and the arrows stay with the controls.
inline bool MoveFocusOnTab(HWND window, const MSG& msg) {
    if (!window || msg.message != WM_KEYDOWN || msg.wParam != VK_TAB ||
        !IsChild(window, msg.hwnd)) {
        return false;
    }
    if (const HWND next = GetNextDlgTabItem(window, msg.hwnd, GetKeyState(VK_SHIFT) < 0)) {
        SetFocus(next);
    }
    return true;
}

// The program's message loop; returns when the quit message arrives. With tabWindow, Tab moves
// the focus among that window's controls.
inline void RunMessageLoop(HWND tabWindow = nullptr) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (MoveFocusOnTab(tabWindow, msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

} // namespace quor
