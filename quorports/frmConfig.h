// The configuration window.
#pragma once

#include "BaseWindow.h"
#include "modPublic.h"

namespace quorports {

inline constexpr wchar_t kConfigCaption[] = L"QUOR服务端口配置";

class frmConfig : public quor::BaseWindow<frmConfig> {
public:
    frmConfig(AppState& state, quor::Dialogs& dialogs, ProbeSocket& probe, HttpClient& http);

    // Creates and shows the window; false when it could not be created.
    bool Show(HINSTANCE instance, int showCommand);

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

private:
    AppState& m_state;
    quor::Dialogs& m_dialogs;
    ProbeSocket& m_probe; // mysock: local IP address and port probes
    HttpClient& m_http;   // MyINet
};

} // namespace quorports
