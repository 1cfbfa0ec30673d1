// A real MariaDB server behind the MySQL service: the Linux mariadbd, started through Wine
// on the installation's data directory and port, watched through /proc and its port, and
// shut down cleanly on stop.
#pragma once

#include "RealServerConfig.h"
#include "ServiceHost.h"

#include <atomic>
#include <string>

namespace quor::standin {

// The service-specific codes with which the service stops; the error log says more.
enum RealServerCode : DWORD {
    // The data directory does not exist or holds no "mysql" database folder.
    kNoDataDirectory = 1,
    // The server could not be launched: no run folder, no Unix path (not under Wine), no
    // mariadbd, or the launching shell did not start.
    kCannotLaunch = 2,
    // The server ended before it answered (port taken, damaged data, bad option...), or
    // while it was serving, without being asked to.
    kServerEnded = 3,
    // The server did not answer on its port within the start limit and was killed.
    kNoAnswer = 4,
    // The server did not end within the stop limit after the shutdown request and was killed.
    kKilledOnStop = 5,
};

class RealMySqlServer : public HostedServer {
public:
    explicit RealMySqlServer(std::wstring root);

    // Launches mariadbd on the data directory and the port of my.ini (127.0.0.1 only) and
    // returns once it greets on that port and has written its pid file, or has failed.
    Outcome Start(const Progress& progress) override;
    // Asks the server to shut down (SIGTERM, which mariadbd treats as a normal shutdown) and
    // returns once its process has ended; kills it after the stop limit.
    Outcome Stop(const Progress& progress) override;
    // True while the started server's process lives.
    bool Serving() override;

private:
    // Shuts down a server that an earlier run of this program left running.
    void EndEarlierServer(const RunFiles& files, const ServerSetup& setup,
                          const Progress& progress);
    // Starts mariadbd through the launching shell and learns its process id.
    Outcome Launch(const RunFiles& files, const ServerSetup& setup,
                   const std::wstring& unixRunFolder, const Progress& progress);
    // Appends one line to the error log, stamped and marked as this program's.
    void Log(const wchar_t* level, const std::wstring& text) const;
    Outcome Fail(RealServerCode code, const std::wstring& text) const;
    // Polls until the process has ended or limitMs has passed; true when it ended.
    bool WaitForEnd(unsigned pid, unsigned long long limitMs, const Progress& progress) const;
    void Kill(unsigned pid) const;

    std::wstring m_root;
    std::wstring m_errorLog;
    unsigned short m_port = 0;
    std::atomic<unsigned> m_pid = 0; // the server's Linux process id once launched
};

} // namespace quor::standin
