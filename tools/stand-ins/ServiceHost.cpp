// Runs a stand-in the two ways it can be started: by the service manager, or from a console.
#include "ServiceHost.h"

#include "StandInLog.h"
#include "StandInServer.h"
#include "UniqueHandle.h"

#include <cstdio>
#include <mutex>
#include <optional>

namespace quor::standin {

namespace {

// A start or stop should take well under a second; the hint only bounds the service
// manager's patience.
constexpr DWORD kPendingWaitHintMs = 10000;

std::wstring StartedLine(unsigned short port) {
    return L"started port " + std::to_wstring(port);
}

std::wstring RefusedLine(unsigned short port, int error) {
    return L"cannot listen on port " + std::to_wstring(port) + L" (error " +
           std::to_wstring(error) + L")";
}

// One service of this process: its server, its status as the service manager sees it, and
// the event that lets the main routine return once the service has stopped.
class ServiceHost {
public:
    ServiceHost(Flavour flavour, std::wstring name, std::wstring root)
        : m_flavour(flavour), m_name(std::move(name)), m_root(std::move(root)),
          m_stopped(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    const std::wstring& Name() const { return m_name; }

    // The service's main routine, on the thread the dispatcher starts for it. It returns once
    // the service has reported STOPPED; the dispatcher then returns in the main thread.
    void Run() {
        m_statusHandle = RegisterServiceCtrlHandlerExW(m_name.c_str(), &ServiceHost::Control, this);
        if (m_statusHandle == nullptr) {
            return;
        }
        Report(SERVICE_START_PENDING);
        const unsigned short port = ReadPort(m_root, m_flavour);
        m_server.emplace(m_flavour, m_root);
        if (const int error = m_server->Start(port); error != 0) {
            AppendLogLine(m_root, m_flavour, RefusedLine(port, error));
            Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(error));
            return;
        }
        AppendLogLine(m_root, m_flavour, StartedLine(port));
        Report(SERVICE_RUNNING);
        WaitForSingleObject(m_stopped.get(), INFINITE);
    }

private:
    static DWORD WINAPI Control(DWORD control, DWORD, void*, void* context) {
        return static_cast<ServiceHost*>(context)->OnControl(control);
    }

    DWORD OnControl(DWORD control) {
        switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            Stop();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
        }
    }

    // The whole stop happens inside the control handler. Wine's "net stop" returns as soon as
    // ControlService does, without waiting for STOPPED as the Windows command does; stopping
    // here makes the port free and the state STOPPED by then, so a caller that runs "net stop"
    // and then probes the port finds it free. (Reporting STOPPED from the main routine while
    // the handler waits for it blocks in Wine until the control times out.)
    void Stop() {
        {
            std::lock_guard lock(m_statusLock);
            if (m_status.dwCurrentState != SERVICE_RUNNING) {
                return;
            }
            ReportLocked(SERVICE_STOP_PENDING, NO_ERROR, 0);
        }
        m_server->Stop();
        // The log line comes before STOPPED: once STOPPED is reported the process may end.
        AppendLogLine(m_root, m_flavour, L"stopped");
        Report(SERVICE_STOPPED);
        SetEvent(m_stopped.get());
    }

    void Report(DWORD state, DWORD win32ExitCode = NO_ERROR, DWORD specificExitCode = 0) {
        std::lock_guard lock(m_statusLock);
        ReportLocked(state, win32ExitCode, specificExitCode);
    }

    void ReportLocked(DWORD state, DWORD win32ExitCode, DWORD specificExitCode) {
        const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
        m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        m_status.dwCurrentState = state;
        m_status.dwControlsAccepted =
            state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        m_status.dwWin32ExitCode = win32ExitCode;
        m_status.dwServiceSpecificExitCode = specificExitCode;
        m_status.dwCheckPoint = pending ? m_status.dwCheckPoint + 1 : 0;
        m_status.dwWaitHint = pending ? kPendingWaitHintMs : 0;
        SetServiceStatus(m_statusHandle, &m_status);
    }

    Flavour m_flavour;
    std::wstring m_name;
    std::wstring m_root;
    KernelHandle m_stopped;
    // Made by the main routine before RUNNING is reported; the handler touches it only after
    // it has seen RUNNING under m_statusLock.
    std::optional<StandInServer> m_server;
    SERVICE_STATUS_HANDLE m_statusHandle = nullptr; // owned by the service manager, not closed
    std::mutex m_statusLock;
    SERVICE_STATUS m_status{};
};

// ServiceMain receives no context, so it finds the one service of this process here.
ServiceHost* g_service = nullptr;

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    if (g_service != nullptr) {
        g_service->Run();
    }
}

// Set by Ctrl+C in a foreground run; the handler runs on a thread of its own.
HANDLE g_consoleStop = nullptr;

BOOL WINAPI ConsoleControl(DWORD) {
    SetEvent(g_consoleStop);
    return TRUE;
}

} // namespace

int RunAsService(Flavour flavour, const std::wstring& serviceName, const std::wstring& root) {
    ServiceHost service(flavour, serviceName, root);
    g_service = &service;
    std::wstring name = service.Name();
    const SERVICE_TABLE_ENTRYW table[] = {{name.data(), &ServiceMain}, {nullptr, nullptr}};
    const BOOL dispatched = StartServiceCtrlDispatcherW(table);
    const DWORD error = GetLastError();
    g_service = nullptr;
    if (!dispatched) {
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            std::fwprintf(stderr,
                          L"This program runs as the service %ls, started by the service "
                          L"manager; use -console to run it in the foreground.\n",
                          serviceName.c_str());
        }
        return 1;
    }
    return 0;
}

int RunInConsole(Flavour flavour, const std::wstring& root) {
    const KernelHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_consoleStop = stop.get();
    SetConsoleCtrlHandler(&ConsoleControl, TRUE);
    const unsigned short port = ReadPort(root, flavour);
    int result = 0;
    StandInServer server(flavour, root);
    if (const int error = server.Start(port); error != 0) {
        AppendLogLine(root, flavour, RefusedLine(port, error));
        std::fwprintf(stderr, L"%ls\n", RefusedLine(port, error).c_str());
        result = 1;
    } else {
        AppendLogLine(root, flavour, StartedLine(port));
        std::fwprintf(stdout, L"%ls; press Ctrl+C to stop.\n", StartedLine(port).c_str());
        std::fflush(stdout);
        WaitForSingleObject(stop.get(), INFINITE);
        server.Stop();
        AppendLogLine(root, flavour, L"stopped");
    }
    SetConsoleCtrlHandler(&ConsoleControl, FALSE);
    g_consoleStop = nullptr;
    return result;
}

} // namespace quor::standin
