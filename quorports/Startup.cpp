// QuorPorts' start-up state and command line: first-run configuration, page, request, port
// report.
#include "modPublic.h"

#include "Files.h"
#include "Layout.h"
#include "PortReport.h"
#include "Text.h"

#include <shellapi.h>

#include <vector>

namespace quorports {

namespace {

using namespace quor::layout;

constexpr wchar_t kKeyApachePort[] = L"ApachePort";
constexpr wchar_t kKeyMysqlPort[] = L"MysqlPort";
constexpr wchar_t kPlaceholder[] = L"{APPPATH}";
constexpr wchar_t kPhpIni[] = L"\\Php\\php.ini";

// The MySQL fallback is the configured port plus ten, and only below this port.
constexpr int kMysqlFallbackStep = 10;
constexpr int kMysqlFallbackLimit = 3396;
constexpr int kFirstApacheFallback = 8000;
constexpr int kApacheFallbackCount = 10;
// The port the Apache files are written for before any move.
constexpr int kDefaultApachePort = 80;
constexpr int kMaxPort = 32767;
constexpr DWORD kRequestWaitMs = 10000;

constexpr wchar_t kFailTitle[] = L"配置服务失败";

std::wstring LoginAddress(const std::wstring& ip, int port) {
    return L"http://" + ip +
           (port == kDefaultApachePort ? L"/" : L":" + std::to_wstring(port) + L"/");
}

void ShowSuccess(const StartupContext& context, int port) {
    context.dialogs.Message(nullptr,
                            L"QUOR服务配置成功，您的登录网址为\r\n" +
                                LoginAddress(context.probe.LocalIp(), port),
                            L"信息", MB_OK | MB_ICONINFORMATION);
}

// Whether a port can be used: it fits the port type and the probe could listen on it.
bool Free(ProbeSocket& probe, int port) {
    // A probe of no port still releases the port held since the last probe.
    return probe.PortFree(PortUsable(port) ? port : 0);
}

// The first-run configuration; true when both servers have a port they can use.
bool FirstRunConfiguration(AppState& state, const StartupContext& context) {
    for (const wchar_t* file : {kHttpdConf, kMyIni, kPhpIni}) {
        ReplaceInFile(state.AppDir + file, kPlaceholder, state.AppDir);
    }

    const bool mysqlSettled = CheckMysqlPort(state, context.probe);
    if (!mysqlSettled) {
        context.dialogs.Message(nullptr,
                                WithHolderLine(L"3306端口被其他服务占用，MySQL服务配置失败。\r\n"
                                               L"您可以手动配置为其他端口。",
                                               state.CurrentMysqlPort, context.findHolder),
                                kFailTitle, MB_OK | MB_ICONERROR);
    }

    const int port = state.CurrentApachePort;
    if (Free(context.probe, port)) {
        if (port != kDefaultApachePort) {
            // httpd.conf already names this port; only the shortcuts still show port 80.
            ChangeApachePort(state.AppDir, kDefaultApachePort, port, true);
        }
        ShowSuccess(context, port);
        return mysqlSettled;
    }
    for (int candidate = kFirstApacheFallback;
         candidate < kFirstApacheFallback + kApacheFallbackCount; ++candidate) {
        if (Free(context.probe, candidate)) {
            ChangeApachePort(state.AppDir, kDefaultApachePort, candidate, false);
            state.Settings.WriteString(kSettingsSection, kKeyApachePort,
                                       std::to_wstring(candidate));
            ShowSuccess(context, candidate);
            return mysqlSettled;
        }
    }
    context.dialogs.Message(nullptr,
                            WithHolderLine(L"80端口被其他服务占用，QUOR服务配置失败。\r\n"
                                           L"您可以手动配置为其他端口。",
                                           port, context.findHolder),
                            kFailTitle, MB_OK | MB_ICONERROR);
    return false;
}

// "-rurl url method data": one request, then the fixed wait for it.
void SendRequest(const std::wstring& text, const StartupContext& context) {
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (size_t blank; (blank = text.find(L' ', start)) != std::wstring::npos; start = blank + 1) {
        fields.push_back(text.substr(start, blank - start));
    }
    fields.push_back(text.substr(start));
    if (fields.size() != 4 || context.http.Busy()) {
        return;
    }
    const std::wstring method = fields[2] == L"post" ? L"POST" : L"GET";
    // The body travels in the ANSI code page, as the command line text would.
    context.http.Start(fields[1], method, quor::ToAnsi(fields[3]),
                       L"Content-Type: application/x-www-form-urlencoded");
    context.sleep(kRequestWaitMs);
}

std::wstring TrimBlanks(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

} // namespace

bool PortUsable(int port) {
    return port >= 1 && port <= kMaxPort;
}

std::wstring ArgumentText(const std::wstring& argumentPart) {
    std::wstring text;
    for (wchar_t c : argumentPart) {
        if (c != L'"') {
            text += c;
        }
    }
    return text;
}

bool CheckMysqlPort(AppState& state, ProbeSocket& probe) {
    const int port = state.CurrentMysqlPort;
    if (Free(probe, port)) {
        return true;
    }
    // A value that is no port has no sensible neighbour either.
    if (!PortUsable(port)) {
        return false;
    }
    const int fallback = port + kMysqlFallbackStep;
    if (fallback >= kMysqlFallbackLimit || !Free(probe, fallback)) {
        return false;
    }
    ChangeMysqlPort(state.AppDir, port, fallback);
    state.Settings.WriteString(kSettingsSection, kKeyMysqlPort, std::to_wstring(fallback));
    return true;
}

void OpenPage(AppState& state, const StartupContext& context, const std::wstring& page) {
    // The port is read again: the settings may have changed since start-up.
    const int port = state.Settings.ReadInt(kSettingsSection, kKeyApachePort, 80);
    context.openBrowser(BaseAddress(port) + page);
}

void OpenInBrowser(const std::wstring& address) {
    ShellExecuteW(nullptr, L"open", L"iexplore.exe", address.c_str(), nullptr, SW_SHOWNORMAL);
}

StartupResult Main(AppState& state, const StartupContext& context) {
    state.AppDir = context.appDir;
    state.Settings.IniName(state.AppDir + L"/settings.ini");
    state.ApacheExePath = state.AppDir + kApacheExe;
    state.MysqlExePath = state.AppDir + kMysqlExe;
    state.CurrentApachePort = state.Settings.ReadInt(kSettingsSection, kKeyApachePort, 80);
    state.CurrentMysqlPort = state.Settings.ReadInt(kSettingsSection, kKeyMysqlPort, 3306);

    if (!quor::FileExists(state.ApacheExePath) || !quor::FileExists(state.MysqlExePath)) {
        return StartupResult::Failed;
    }

    const std::wstring text = ArgumentText(context.argumentPart);
    if (text == L"-install") {
        return FirstRunConfiguration(state, context) ? StartupResult::Done : StartupResult::Failed;
    }
    if (text.compare(0, 5, L"-lurl") == 0) {
        OpenPage(state, context, TrimBlanks(text.substr(5)));
        return StartupResult::Done;
    }
    if (text.compare(0, 5, L"-rurl") == 0) {
        SendRequest(text, context);
        return StartupResult::Done;
    }
    if (text == L"-ports") {
        const std::wstring report = PortReport(state, context.probe, context.findHolder);
        if (context.print) {
            context.print(report);
        }
        return StartupResult::Done;
    }
    return StartupResult::ShowWindow;
}

} // namespace quorports
