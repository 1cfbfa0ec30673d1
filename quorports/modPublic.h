// QuorPorts' start-up state and command line: first-run configuration, page, request, port
// report.
#pragma once

#include "Dialogs.h"
#include "HttpClient.h"
#include "PortHolders.h"
#include "PortSettings.h"
#include "clsINI.h"

#include <windows.h>

#include <functional>
#include <string>

namespace quorports {

// Set once at start-up and read by the window.
struct AppState {
    std::wstring AppDir; // installation root, no trailing separator
    std::wstring ApacheExePath;
    std::wstring MysqlExePath;
    // The configured ports as read. A value outside 1..32767 does not fit the port type and
    // is treated as a port that cannot be used.
    int CurrentApachePort = 80;
    int CurrentMysqlPort = 3306;
    quor::clsINI Settings;
};

// What the program does once Main has returned: end with exit code 0 (Done) or 1 (Failed),
// or show the window.
enum class StartupResult { Done, Failed, ShowWindow };

inline int ExitCode(StartupResult result) {
    return result == StartupResult::Failed ? 1 : 0;
}

// What Main needs from the platform and the program, so that tests can stand in for the
// browser, the ten-second wait, the port holders and the caller's output.
struct StartupContext {
    std::wstring appDir;       // directory of the running program
    std::wstring argumentPart; // what follows the program name on the command line
    quor::Dialogs& dialogs;
    ProbeSocket& probe;
    HttpClient& http;
    std::function<void(const std::wstring& address)> openBrowser;
    std::function<void(DWORD milliseconds)> sleep;
    HolderLookup findHolder;
    std::function<void(const std::wstring& text)> print; // the -ports report
};

// Reads the settings, then carries out -install, -lurl, -rurl or -ports, or asks for the window.
// Failed when a server program is missing, or when -install could not settle both ports.
StartupResult Main(AppState& state, const StartupContext& context);

// The argument text: the argument part with every double quote removed.
std::wstring ArgumentText(const std::wstring& argumentPart);

// True when port fits the 16-bit port type and is a real port number.
bool PortUsable(int port);

// The MySQL half of the first-run configuration: keeps the configured port when it is
// free, else moves MySQL to the port ten above while that stays below 3396. False when
// neither port can be used.
bool CheckMysqlPort(AppState& state, ProbeSocket& probe);

// Opens a page of the web application: "http://localhost[:port]/" + page.
void OpenPage(AppState& state, const StartupContext& context, const std::wstring& page);

// The real browser: iexplore.exe with the address, in a normal window.
void OpenInBrowser(const std::wstring& address);

} // namespace quorports
