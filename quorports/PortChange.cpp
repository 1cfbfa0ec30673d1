// The port change that the configuration window's OK button applies.
#include "PortChange.h"

#include "Layout.h"
#include "Process.h"

#include <cmath>
#include <cwchar>

namespace quorports {

namespace {

using namespace quor::layout;

constexpr wchar_t kInfoTitle[] = L"信息";

std::wstring TrimBlanks(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

// The port a number text stands for, rounded to the nearest whole number (halves to even);
// 0 when it is no usable port, so that it ends in the failure message.
int PortOf(const std::wstring& text) {
    const double value = std::wcstod(TrimBlanks(text).c_str(), nullptr);
    if (!(value >= 1 && value <= 32767)) {
        return 0;
    }
    return static_cast<int>(std::nearbyint(value));
}

struct ServicePort {
    const wchar_t* service;
    const wchar_t* key;
    int current;
};

// Stops the service, probes the new port and, when it is usable, stores it and rewrites the
// files; the service is started again either way, on its new port or on the old one. False
// when the port cannot be used.
bool ApplyOne(AppState& state, ProbeSocket& probe, const ServicePort& target,
              const std::wstring& text, const NetCommand& net,
              void (*rewrite)(const std::wstring&, int, int)) {
    net(L"stop", target.service);
    const int port = PortOf(text);
    // The probe only tests: the port is released again at once for the service.
    const bool free = PortUsable(port) && probe.PortFree(port);
    probe.Close();
    if (!free) {
        // Nothing was changed, so the service can run on its old port again.
        net(L"start", target.service);
        return false;
    }
    state.Settings.WriteString(kSettingsSection, target.key, text);
    rewrite(state.AppDir, target.current, port);
    net(L"start", target.service);
    return true;
}

void ChangeApache(const std::wstring& root, int oldPort, int newPort) {
    ChangeApachePort(root, oldPort, newPort, false);
}

} // namespace

void RunNetAndWait(const std::wstring& verb, const wchar_t* service) {
    quor::KernelHandle process =
        quor::StartHidden(quor::SystemProgram(L"net.exe"), verb + L" " + service);
    if (process) {
        WaitForSingleObject(process.get(), INFINITE);
    }
}

bool IsNumber(const std::wstring& text) {
    const std::wstring trimmed = TrimBlanks(text);
    if (trimmed.empty() || trimmed.find_first_not_of(L"0123456789+-.eE") != std::wstring::npos) {
        return false;
    }
    wchar_t* end = nullptr;
    std::wcstod(trimmed.c_str(), &end);
    return end == trimmed.c_str() + trimmed.size();
}

PortChangeResult ApplyPortChange(AppState& state, ProbeSocket& probe, quor::Dialogs& dialogs,
                                 HWND owner, const std::wstring& apacheText,
                                 const std::wstring& mysqlText, const NetCommand& net,
                                 const HolderLookup& findHolder) {
    if (!IsNumber(apacheText)) {
        dialogs.Message(owner, L"Apache端口号错误，请重新输入", kInfoTitle, MB_OK | MB_ICONERROR);
        return PortChangeResult::KeepOpen;
    }
    if (!IsNumber(mysqlText)) {
        dialogs.Message(owner, L"MySQL端口号错误，请重新输入", kInfoTitle, MB_OK | MB_ICONERROR);
        return PortChangeResult::KeepOpen;
    }
    // Changed means the text differs from the current port written in decimal.
    const bool apacheChanged = std::to_wstring(state.CurrentApachePort) != apacheText;
    const bool mysqlChanged = std::to_wstring(state.CurrentMysqlPort) != mysqlText;
    if (!apacheChanged && !mysqlChanged) {
        return PortChangeResult::Close;
    }
    if (dialogs.Message(owner, L"修改端口可能造成服务无法启动，您确定修改？", L"修改端口",
                        MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
        return PortChangeResult::KeepOpen;
    }

    const auto fail = [&](const std::wstring& text) {
        const std::wstring s = TrimBlanks(text);
        // A text that is no usable port (PortOf gives 0) has no holder to name.
        dialogs.Message(owner, WithHolderLine(L"端口号" + s + L"已被占用!", PortOf(s), findHolder),
                        kInfoTitle, MB_OK | MB_ICONERROR);
        return PortChangeResult::KeepOpen;
    };
    std::wstring apacheMessage;
    if (apacheChanged) {
        const std::wstring s = TrimBlanks(apacheText);
        if (!ApplyOne(state, probe, {kApacheService, L"ApachePort", state.CurrentApachePort}, s,
                      net, ChangeApache)) {
            return fail(apacheText);
        }
        apacheMessage = L"设置成功，新地址为：\r\nhttp://" + probe.LocalIp() +
                        (s == L"80" ? L"" : L":" + s) + L"/";
    }
    if (mysqlChanged) {
        const std::wstring s = TrimBlanks(mysqlText);
        if (!ApplyOne(state, probe, {kMysqlService, L"MysqlPort", state.CurrentMysqlPort}, s, net,
                      ChangeMysqlPort)) {
            return fail(mysqlText);
        }
    }
    dialogs.Message(owner, apacheMessage.empty() ? L"设置成功！" : apacheMessage, kInfoTitle,
                    MB_OK | MB_ICONINFORMATION);
    return PortChangeResult::Close;
}

} // namespace quorports
