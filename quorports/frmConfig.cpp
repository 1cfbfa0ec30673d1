// The configuration window.
#include "frmConfig.h"

#include "modService.h"

#include <string>

namespace quorports {

namespace {

constexpr wchar_t kClassName[] = L"QuorPortsConfigWindow";
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
constexpr int kClientWidthTwips = 3090;
constexpr int kClientHeightTwips = 1935;
constexpr int kFontSizeHundredths = 1125; // 11.25 pt
constexpr int kFirstControlId = 1000;
constexpr int kStateRunning = SERVICE_RUNNING;

constexpr wchar_t kStart[] = L"启动";
constexpr wchar_t kStop[] = L"停止";
constexpr wchar_t kInstall[] = L"安装";
constexpr wchar_t kUninstall[] = L"卸载";
constexpr wchar_t kMessageTitle[] = L"信息";

enum class Kind { Label, Box, PortBox, Button, HiddenButton };

struct ControlSpec {
    Kind kind;
    const wchar_t* text;
    int left, top, width, height; // twips
};

// Indexed by frmConfig::Control, i.e. in tab order.
constexpr ControlSpec kControls[] = {
    {Kind::Label, L"Apache服务端口：", 270, 570, 1845, 225},
    {Kind::PortBox, L"80", 2100, 510, 705, 330},
    {Kind::Label, L"MySQL服务端口：", 390, 1050, 1725, 225},
    {Kind::PortBox, L"3306", 2100, 990, 705, 330},
    {Kind::Button, L"确定", 330, 1440, 1125, 345},
    // The service buttons lie beyond the client area's right edge (3090) and stay hidden.
    {Kind::HiddenButton, kStart, 3420, 360, 825, 345},
    {Kind::HiddenButton, kStart, 3420, 840, 825, 345},
    {Kind::HiddenButton, kInstall, 4470, 360, 825, 345},
    {Kind::HiddenButton, kInstall, 4470, 840, 825, 345},
    {Kind::Button, L"关闭", 1620, 1440, 1125, 345},
    {Kind::Label, L"本机IP：", 270, 150, 915, 225},
    {Kind::Box, L"", 1140, 90, 1815, 330},
};
static_assert(std::size(kControls) == static_cast<size_t>(frmConfig::Control::Count));

constexpr int kPortBoxLimit = 4;

const wchar_t* ServiceName(int index) {
    return index == 0 ? L"QUOR_Apache" : L"QUOR_MySQL";
}

frmConfig::Control ServiceButton(int index) {
    return index == 0 ? frmConfig::Control::Service0 : frmConfig::Control::Service1;
}
frmConfig::Control InstallButton(int index) {
    return index == 0 ? frmConfig::Control::Install0 : frmConfig::Control::Install1;
}

std::wstring WindowText(HWND hwnd) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

// The window is not a dialog and the program's message loop does not call IsDialogMessage,
// so the boxes and buttons move the focus on Tab themselves. GetNextDlgTabItem skips hidden
// and disabled controls, which keeps the service buttons out of reach. The control's own
// procedure is kept in GWLP_USERDATA, which edit and button classes leave to the application.
LRESULT CALLBACK TabbingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    const auto original = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_KEYDOWN && wParam == VK_TAB) {
        const HWND parent = GetParent(hwnd);
        const bool backwards = GetKeyState(VK_SHIFT) < 0;
        if (const HWND next = GetNextDlgTabItem(parent, hwnd, backwards ? TRUE : FALSE)) {
            SetFocus(next);
        }
        return 0;
    }
    if (msg == WM_CHAR && wParam == L'\t') {
        return 0; // already handled as WM_KEYDOWN; a single-line box would only beep
    }
    return CallWindowProcW(original, hwnd, msg, wParam, lParam);
}

void HandleTabInside(HWND control) {
    const LONG_PTR original = GetWindowLongPtrW(control, GWLP_WNDPROC);
    SetWindowLongPtrW(control, GWLP_USERDATA, original);
    SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TabbingProc));
}

} // namespace

frmConfig::frmConfig(AppState& state, quor::Dialogs& dialogs, ProbeSocket& probe, HttpClient& http)
    : m_state(state), m_dialogs(dialogs), m_probe(probe), m_http(http) {}

frmConfig::~frmConfig() {
    // The controls must go before m_font deletes the font they draw with.
    if (m_hwnd) {
        DestroyWindow(m_hwnd);
    }
}

SIZE frmConfig::ClientSize(int dpi) {
    return {quor::TwipsToPixels(kClientWidthTwips, dpi),
            quor::TwipsToPixels(kClientHeightTwips, dpi)};
}

RECT frmConfig::ControlRect(Control control, int dpi) {
    const ControlSpec& spec = kControls[static_cast<size_t>(control)];
    return quor::TwipRect(spec.left, spec.top, spec.width, spec.height, dpi);
}

bool frmConfig::Create(HINSTANCE instance) {
    if (m_hwnd) {
        return true;
    }
    m_dpi = quor::ScreenDpi();
    m_font = quor::CreateSimSun(kFontSizeHundredths, m_dpi);

    return CreateCentred(instance, kClassName, kConfigCaption, kWindowStyle, ClientSize(m_dpi));
}

void frmConfig::Close() {
    if (m_hwnd) {
        DestroyWindow(m_hwnd);
    }
}

std::wstring frmConfig::ApacheText() const {
    return WindowText(Item(Control::ApacheBox));
}
std::wstring frmConfig::MysqlText() const {
    return WindowText(Item(Control::MysqlBox));
}

LRESULT frmConfig::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_CREATE:
        return OnCreate() ? 0 : -1;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        return 0;
    // The focus stays where the user left it while another window was active.
    case WM_ACTIVATE:
        m_focus.OnActivate(m_hwnd, wParam, GetNextDlgTabItem(m_hwnd, nullptr, FALSE));
        return 0;
    case WM_SETFOCUS:
        m_focus.Restore(m_hwnd, GetNextDlgTabItem(m_hwnd, nullptr, FALSE));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(m_hwnd, msg, wParam, lParam);
    }
}

bool frmConfig::OnCreate() {
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(m_hwnd, GWLP_HINSTANCE));
    // Created in tab order, which is the order GetNextDlgTabItem walks.
    for (size_t i = 0; i < std::size(kControls); ++i) {
        const ControlSpec& spec = kControls[i];
        const wchar_t* className = L"BUTTON";
        DWORD style = WS_CHILD | WS_VISIBLE;
        DWORD exStyle = 0;
        switch (spec.kind) {
        case Kind::Label:
            className = L"STATIC";
            // Not SS_LEFT: a label that is a few pixels short (font substitutes are wider than
            // SimSun) would wrap its last characters out of sight instead of clipping them.
            style |= SS_LEFTNOWORDWRAP;
            break;
        case Kind::Box:
        case Kind::PortBox:
            className = L"EDIT";
            style |= WS_TABSTOP | ES_AUTOHSCROLL | ES_LEFT;
            exStyle = WS_EX_CLIENTEDGE;
            break;
        case Kind::Button:
            style |= WS_TABSTOP | BS_PUSHBUTTON;
            break;
        case Kind::HiddenButton:
            style = WS_CHILD | BS_PUSHBUTTON;
            break;
        }
        const RECT rect = ControlRect(static_cast<Control>(i), m_dpi);
        const HWND control = CreateWindowExW(
            exStyle, className, spec.text, style, rect.left, rect.top, rect.right - rect.left,
            rect.bottom - rect.top, m_hwnd,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + static_cast<int>(i))),
            instance, nullptr);
        if (!control) {
            return false;
        }
        m_controls[i] = control;
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(m_font.get()), FALSE);
        if (spec.kind == Kind::PortBox) {
            SendMessageW(control, EM_SETLIMITTEXT, kPortBoxLimit, 0);
        }
        if (spec.kind != Kind::Label) {
            HandleTabInside(control);
        }
    }
    Form_Load();
    return true;
}

void frmConfig::OnCommand(int id, int notification) {
    if (notification != BN_CLICKED) {
        return;
    }
    switch (static_cast<Control>(id - kFirstControlId)) {
    case Control::Ok:
        OnOk();
        break;
    case Control::Close:
        Close();
        break;
    case Control::Service0:
        cmdService_Click(0);
        break;
    case Control::Service1:
        cmdService_Click(1);
        break;
    case Control::Install0:
        cmdInstall_Click(0);
        break;
    case Control::Install1:
        cmdInstall_Click(1);
        break;
    default:
        break;
    }
}

void frmConfig::Form_Load() {
    LoadServiceRow(0);
    LoadServiceRow(1);
    SetWindowTextW(Item(Control::ApacheBox), std::to_wstring(m_state.CurrentApachePort).c_str());
    SetWindowTextW(Item(Control::MysqlBox), std::to_wstring(m_state.CurrentMysqlPort).c_str());
    SetWindowTextW(Item(Control::IpBox), m_probe.LocalIp().c_str());
}

// The load routine only ever disables an install button, never enables one.
void frmConfig::LoadServiceRow(int index) {
    const wchar_t* name = ServiceName(index);
    const HWND service = Item(ServiceButton(index));
    const HWND install = Item(InstallButton(index));
    if (CheckSvcConfig(name) == 0) {
        EnableWindow(service, TRUE);
        // A state that cannot be read (0) or a pending or paused one counts as not running.
        if (GetSvcState(name) == kStateRunning) {
            SetWindowTextW(service, kStop);
            EnableWindow(install, FALSE);
        } else {
            SetWindowTextW(service, kStart);
        }
        SetWindowTextW(install, kUninstall);
    } else {
        EnableWindow(service, FALSE);
        SetWindowTextW(service, kStart);
        SetWindowTextW(install, kInstall);
    }
}

void frmConfig::ShowFailure(const wchar_t* text) {
    m_dialogs.Message(m_hwnd, text, kMessageTitle, MB_OK | MB_ICONERROR);
}

// Decides from the service's live state, not from the caption, which may be stale after a
// change made outside the window.
void frmConfig::cmdService_Click(int index) {
    const bool apache = index == 0;
    const wchar_t* name = ServiceName(index);
    const HWND service = Item(ServiceButton(index));
    const HWND install = Item(InstallButton(index));
    if (GetSvcState(name) == kStateRunning) {
        if (StopSvc(name) != 0) {
            ShowFailure(apache ? L"停止Apache服务失败！" : L"停止MySQL服务失败！");
            return;
        }
        SetWindowTextW(service, kStart);
        EnableWindow(install, TRUE);
    } else {
        if (StartSvc(name) != 0) {
            ShowFailure(apache ? L"启动Apache服务失败！" : L"启动MySQL服务失败！");
            return;
        }
        SetWindowTextW(service, kStop);
        EnableWindow(install, FALSE);
    }
}

void frmConfig::cmdInstall_Click(int index) {
    const bool apache = index == 0;
    const wchar_t* name = ServiceName(index);
    const HWND service = Item(ServiceButton(index));
    const HWND install = Item(InstallButton(index));
    if (CheckSvcConfig(name) != 0) {
        // The program path is quoted: the services run as LocalSystem, and an unquoted path
        // with spaces would let the SCM start a program named by its first words instead.
        const std::wstring commandLine =
            apache ? L"\"" + m_state.ApacheExePath + L"\" -k runservice -n " + name
                   : L"\"" + m_state.MysqlExePath + L"\" " + name;
        const wchar_t* description = apache ? L"Quor Apache" : L"Quor MySQL";
        if (InstallSvc(name, name, commandLine, description, L"", L"") != 0) {
            ShowFailure(apache ? L"安装Apache服务失败！" : L"安装MySQL服务失败！");
            return;
        }
        SetWindowTextW(install, kUninstall);
        EnableWindow(service, TRUE);
    } else {
        if (RemoveSvc(name) != 0) {
            ShowFailure(apache ? L"卸载Apache服务失败！" : L"卸载MySQL服务失败！");
            return;
        }
        SetWindowTextW(install, kInstall);
        EnableWindow(service, FALSE);
    }
}

void frmConfig::OnOk() {
    if (m_applyPorts) {
        m_applyPorts(*this);
    }
}

} // namespace quorports
