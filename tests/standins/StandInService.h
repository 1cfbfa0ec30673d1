// Registering the stand-in servers as the services QUOR_MySQL and QUOR_Apache of a temporary
// installation root, for the suites that need a real service behind those names.
//
// The services are shared by every suite, so tests that use this helper need the ctest
// resource lock quor_services. Waits are bounded polls of at most 20 seconds.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace quor::test {

// A TCP port nothing listens on just now: bind port 0 on 127.0.0.1, read it, close. 0 on failure.
unsigned short FreePort();

// True when a TCP connection to 127.0.0.1:port is accepted.
bool Listening(unsigned short port);

// Free ports of four digits (what the configurator's port boxes take), each different from
// the ones handed out before in this process and away from the fallback ports 8000 to 8009.
unsigned short NextSmallPort();

// A service's registration as the SCM reports it.
struct Registration {
    DWORD type = 0, start = 0, errorControl = 0;
    std::wstring binary, group, dependencies, account, display, description;
    bool operator==(const Registration&) const = default;
};
// nullopt when the service is not registered or cannot be queried.
std::optional<Registration> ReadRegistration(const wchar_t* name);

// Stops the service if it runs (killing its process if it will not stop) and deletes it.
// True when no service of that name is left.
bool RemoveService(const wchar_t* name);

// One stand-in server installed into an installation root and registered as its service,
// with the command line the configurator registers: the unquoted program path, then
// " -k runservice -n QUOR_Apache" or " QUOR_MySQL". The service is demand-start.
class StandInService {
public:
    enum class Kind { Apache, MySql };

    // root: the installation root, which may contain spaces and Chinese characters. program:
    // the built program installed as the server (default: the stand-in of that kind; for
    // MySQL "mysqld-real.exe" runs a real MariaDB server on the root's data directory).
    StandInService(Kind kind, std::wstring root, unsigned short port,
                   const wchar_t* program = nullptr);
    // Removes the service when this object installed it.
    ~StandInService();
    StandInService(const StandInService&) = delete;
    StandInService& operator=(const StandInService&) = delete;

    // Copies the stand-in program into <root>\<Apache|MySQL>\bin, writes the configuration
    // (httpd.conf "Listen N" or my.ini "port=N") and registers the service, replacing a
    // leftover service of the same name.
    bool Install();

    // StartServiceW, then waits for RUNNING. False when the service stops instead.
    bool Start();
    // Sends SERVICE_CONTROL_STOP and waits for STOPPED.
    bool Stop();
    // Stops and deletes the service; true when it is gone. The destructor does this too.
    bool Remove();

    // Waits until the service is in state; true when it got there within 20 seconds.
    bool WaitForState(DWORD state) const;
    // The service's status; all zero when it cannot be queried.
    SERVICE_STATUS Status() const;
    // Status().dwCurrentState: SERVICE_RUNNING, SERVICE_STOPPED, ...; 0 when not installed.
    DWORD State() const { return Status().dwCurrentState; }

    const wchar_t* Name() const; // QUOR_Apache or QUOR_MySQL
    std::wstring
    ProgramPath() const;            // <root>\Apache\bin\httpd.exe or <root>\MySQL\bin\mysqld-nt.exe
    std::wstring LogFolder() const; // <root>\<Apache|MySQL>\logs: standin.log, last-request.txt
    unsigned short Port() const { return m_port; }

private:
    Kind m_kind;
    std::wstring m_root;
    unsigned short m_port;
    std::wstring m_program;
    bool m_installed = false;
};

// The MySQL stand-in as the service QUOR_MySQL.
class StandInMySql : public StandInService {
public:
    StandInMySql(std::wstring root, unsigned short port, const wchar_t* program = nullptr)
        : StandInService(Kind::MySql, std::move(root), port, program) {}
};

// The Apache stand-in as the service QUOR_Apache.
class StandInApache : public StandInService {
public:
    StandInApache(std::wstring root, unsigned short port)
        : StandInService(Kind::Apache, std::move(root), port) {}
};

} // namespace quor::test
