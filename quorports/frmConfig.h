// The configuration window: the IP address, the two ports, OK and Close, and the hidden
// start/stop and install/uninstall buttons of the two services.
#pragma once

#include "BaseWindow.h"
#include "FormLayout.h"
#include "modPublic.h"

#include <array>
#include <functional>
#include <string>

namespace quorports {

inline constexpr wchar_t kConfigCaption[] = L"QUOR服务端口配置";

class frmConfig : public quor::BaseWindow<frmConfig> {
public:
    // The window's controls in tab order.
    enum class Control {
        ApacheLabel,
        ApacheBox,
        MysqlLabel,
        MysqlBox,
        Ok,
        Service0, // start/stop QUOR_Apache, never shown
        Service1, // start/stop QUOR_MySQL, never shown
        Install0, // install/uninstall QUOR_Apache, never shown
        Install1, // install/uninstall QUOR_MySQL, never shown
        Close,
        IpLabel,
        IpBox,
        Count
    };

    frmConfig(AppState& state, quor::Dialogs& dialogs, ProbeSocket& probe, HttpClient& http);
    ~frmConfig();
    frmConfig(const frmConfig&) = delete;
    frmConfig& operator=(const frmConfig&) = delete;

    // Creates the window hidden and fills it from the services and the start-up state;
    // false when it could not be created.
    bool Create(HINSTANCE instance);
    using BaseWindow::Show; // creates the window if needed and shows it
    // Destroys the window, which ends the program's message loop.
    void Close();

    // The port boxes' texts as typed.
    std::wstring ApacheText() const;
    std::wstring MysqlText() const;

    HWND Item(Control control) const { return m_controls[static_cast<size_t>(control)]; }
    int Dpi() const { return m_dpi; }

    // The port change behind the OK button; the window does nothing on OK while it is unset.
    void SetApplyPorts(std::function<void(frmConfig&)> applyPorts) {
        m_applyPorts = std::move(applyPorts);
    }

    // Client-area size and control rectangles (left, top, right, bottom) in pixels at dpi.
    static SIZE ClientSize(int dpi);
    static RECT ControlRect(Control control, int dpi);

    // The service buttons' handlers; row 0 is Apache, any other row MySQL. The buttons are
    // never shown, so only code reaches these.
    void cmdService_Click(int index);
    void cmdInstall_Click(int index);
    void OnOk();

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

private:
    bool OnCreate();
    void OnCommand(int id, int notification);
    void Form_Load();
    void LoadServiceRow(int index);
    void ShowFailure(const wchar_t* text);

    AppState& m_state;
    quor::Dialogs& m_dialogs;
    ProbeSocket& m_probe; // mysock: local IP address and port probes
    HttpClient& m_http;   // MyINet
    std::function<void(frmConfig&)> m_applyPorts;

    int m_dpi = 96;
    // Declared before the controls' handles and released only after the window is destroyed
    // (see the destructor), so no control is left holding a deleted font.
    quor::FontHandle m_font;
    std::array<HWND, static_cast<size_t>(Control::Count)> m_controls{};
    quor::FocusMemory m_focus;
};

} // namespace quorports
