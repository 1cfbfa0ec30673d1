// The backup manager window.
#include "frmKavSafe.h"

namespace kavsafe {

namespace {

constexpr wchar_t kClassName[] = L"QuorKavSafeWindow";

} // namespace

frmKavSafe::frmKavSafe(AppState& state, quor::Dialogs& dialogs)
    : m_state(state), m_dialogs(dialogs) {}

bool frmKavSafe::Show(HINSTANCE instance, int showCommand) {
    const HWND hwnd =
        CreateTopLevel(instance, kClassName, kAppTitle,
                       WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 480, 360);
    if (!hwnd) {
        return false;
    }
    ShowWindow(hwnd, showCommand);
    UpdateWindow(hwnd);
    return true;
}

LRESULT frmKavSafe::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(m_hwnd, msg, wParam, lParam);
    }
}

} // namespace kavsafe
