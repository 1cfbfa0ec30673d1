// Runs a server the two ways it can be started: by the service manager, or from a console.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace quor::standin {

// What a service of this process serves: the stand-in's listener or a real database server.
// The host calls Start once; Stop only after a successful Start, at most once.
class HostedServer {
public:
    // Called while a start or stop goes on, so that the service manager sees progress.
    using Progress = std::function<void()>;

    struct Outcome {
        DWORD code = 0;       // 0, or the service-specific code the service stops with
        std::wstring message; // one line for a person running it in a console
    };

    virtual ~HostedServer() = default;

    // Starts serving and returns once the server serves or has failed to; a failed server
    // has logged why.
    virtual Outcome Start(const Progress& progress) = 0;

    // Ends serving and returns once the server has ended.
    virtual Outcome Stop(const Progress& progress) = 0;

    // False once a started server has ended by itself (checked about once a second).
    virtual bool Serving() { return true; }

    // False when the running service is not to accept the stop control.
    virtual bool AcceptsStop() { return true; }
};

// Hands the process to the service control dispatcher under serviceName. The service reports
// RUNNING once the server serves, or STOPPED with ERROR_SERVICE_SPECIFIC_ERROR and the
// server's code when it cannot start or when it ends by itself. Returns the process exit
// code: 0, or 1 when the process was not started as a service.
int RunAsService(HostedServer& server, const std::wstring& serviceName);

// Serves in the foreground until Ctrl+C or Ctrl+Break. Returns 0, or 1 when the server
// cannot start.
int RunInConsole(HostedServer& server);

} // namespace quor::standin
