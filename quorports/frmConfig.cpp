// The configuration window.
#include "frmConfig.h"

namespace quorports {

namespace {

constexpr wchar_t kClassName[] = L"QuorPortsConfigWindow";

} // namespace

frmConfig::frmConfig(AppState& state, quor::Dialogs& dialogs, ProbeSocket& probe, HttpClient& http)
    : m_state(state), m_dialogs(dialogs), m_probe(probe), m_http(http) {}

bool frmConfig::Show(HINSTANCE instance, int showCommand) {
    const HWND hwnd =
        CreateTopLevel(instance, kClassName, kConfigCaption,
                       WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 400, 300);
    if (!hwnd) {
        return false;
    }
    ShowWindow(hwnd, showCommand);
    UpdateWindow(hwnd);
    return true;
}

LRESULT frmConfig::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(m_hwnd, msg, wParam, lParam);
    }
}

} // namespace quorports
