// The text report of the configured ports ("-ports") and its way to the caller.
#include "PortReport.h"

#include "Text.h"
#include "UniqueHandle.h"

namespace quorports {

namespace {

std::wstring PortLine(const wchar_t* service, int port, ProbeSocket& probe,
                      const HolderLookup& findHolder) {
    std::wstring line = std::wstring(service) + L" " + std::to_wstring(port) + L"：";
    if (probe.PortFree(port)) {
        line += L"空闲";
    } else if (const std::optional<PortHolder> holder =
                   findHolder ? findHolder(port) : std::nullopt) {
        line += L"被 " + HolderName(*holder) + L"占用";
    } else {
        line += L"已被占用（占用程序未知）";
    }
    return line + L"\r\n";
}

void WriteConsoleText(HANDLE console, const std::wstring& text) {
    DWORD written = 0;
    WriteConsoleW(console, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

} // namespace

std::wstring PortReport(const AppState& state, ProbeSocket& probe, const HolderLookup& findHolder) {
    // Each probe closes the previous one first, so the MySQL probe also releases the Apache
    // port when the two are the same.
    std::wstring report = PortLine(L"Apache", state.CurrentApachePort, probe, findHolder);
    report += PortLine(L"MySQL", state.CurrentMysqlPort, probe, findHolder);
    probe.Close();
    return report;
}

void WriteToCaller(const std::wstring& text) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        DWORD mode = 0;
        if (GetConsoleMode(out, &mode)) {
            WriteConsoleText(out, text);
            return;
        }
        const std::string bytes = quor::ToAnsi(text);
        DWORD written = 0;
        WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        return;
    }
    // A windows-subsystem program started from a console gets no standard handles; it can
    // still borrow the console of the process that started it.
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
        return;
    }
    quor::FileHandle console(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         0, nullptr));
    if (console) {
        WriteConsoleText(console.get(), text);
    }
    console.reset();
    FreeConsole();
}

} // namespace quorports
