// Runs a server the two ways it can be started: by the service manager, or from a console.
#include "ServiceHost.h"

#include "Text.h"
#include "UniqueHandle.h"

#include <cstdio>
#include <mutex>

namespace quor::standin {

namespace {

// The hint bounds the service manager's patience between two progress reports; servers
// report progress at least once a second while they start or stop.
constexpr DWORD kPendingWaitHintMs = 10000;
// How often a running service looks whether its server still serves.
constexpr DWORD kWatchIntervalMs = 1000;

// One service of this process: its server, its status as the service manager sees it, and
// the event that lets the main routine return once the service has stopped.
class ServiceHost {
public:
    ServiceHost(HostedServer& server, std::wstring name)
        : m_server(server), m_name(std::move(name)),
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
        const HostedServer::Outcome started =
            m_server.Start([this] { Report(SERVICE_START_PENDING); });
        if (started.code != 0) {
            Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, started.code);
            return;
        }
        Report(SERVICE_RUNNING);
        while (WaitForSingleObject(m_stopped.get(), kWatchIntervalMs) == WAIT_TIMEOUT) {
            std::lock_guard lock(m_statusLock);
            // A stop in progress owns the server; only a server that ended on its own while
            // RUNNING ends the service here.
            if (m_status.dwCurrentState == SERVICE_RUNNING && !m_server.Serving()) {
                ReportLocked(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR,
                             m_server.Stop([] {}).code);
                return;
            }
        }
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
        const HostedServer::Outcome stopped =
            m_server.Stop([this] { Report(SERVICE_STOP_PENDING); });
        if (stopped.code != 0) {
            Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, stopped.code);
        } else {
            Report(SERVICE_STOPPED);
        }
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
        const DWORD running =
            m_server.AcceptsStop() ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        m_status.dwControlsAccepted = state == SERVICE_RUNNING ? running : 0;
        m_status.dwWin32ExitCode = win32ExitCode;
        m_status.dwServiceSpecificExitCode = specificExitCode;
        m_status.dwCheckPoint = pending ? m_status.dwCheckPoint + 1 : 0;
        m_status.dwWaitHint = pending ? kPendingWaitHintMs : 0;
        SetServiceStatus(m_statusHandle, &m_status);
    }

    HostedServer& m_server;
    std::wstring m_name;
    KernelHandle m_stopped;
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

// Prints one line in the console's ANSI code page: the C runtime's wide output stops at the
// first character outside ASCII unless a locale is set, and paths may hold Chinese text.
void PrintLine(FILE* stream, const std::wstring& line) {
    std::fputs((ToAnsi(line) + "\n").c_str(), stream);
    std::fflush(stream);
}

// Set by Ctrl+C in a foreground run; the handler runs on a thread of its own.
HANDLE g_consoleStop = nullptr;

BOOL WINAPI ConsoleControl(DWORD) {
    SetEvent(g_consoleStop);
    return TRUE;
}

} // namespace

int RunAsService(HostedServer& server, const std::wstring& serviceName) {
    ServiceHost service(server, serviceName);
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

int RunInConsole(HostedServer& server) {
    const KernelHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_consoleStop = stop.get();
    SetConsoleCtrlHandler(&ConsoleControl, TRUE);
    int result = 0;
    const HostedServer::Outcome started = server.Start([] {});
    if (started.code != 0) {
        PrintLine(stderr, started.message);
        result = 1;
    } else {
        PrintLine(stdout, started.message + L"; press Ctrl+C to stop.");
        while (WaitForSingleObject(stop.get(), kWatchIntervalMs) == WAIT_TIMEOUT) {
            if (!server.Serving()) {
                break;
            }
        }
        const HostedServer::Outcome stopped = server.Stop([] {});
        PrintLine(stopped.code != 0 ? stderr : stdout, stopped.message);
    }
    SetConsoleCtrlHandler(&ConsoleControl, FALSE);
    g_consoleStop = nullptr;
    return result;
}

} // namespace quor::standin
