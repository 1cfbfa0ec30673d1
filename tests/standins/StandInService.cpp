// Registering the stand-in servers as services of a temporary installation root.
#include "StandInService.h"

#include "Files.h"
#include "SocketHandle.h"
#include "TestSupport.h"
#include "Text.h"
#include "UniqueHandle.h"

#include <vector>

namespace quor::test {

namespace {

constexpr DWORD kWaitMs = 20000;
constexpr DWORD kPollMs = 50;

// Polls done() until it holds or the bounded wait ends.
template <typename Done> bool PollUntil(Done done) {
    const ULONGLONG end = GetTickCount64() + kWaitMs;
    for (;;) {
        if (done()) {
            return true;
        }
        if (GetTickCount64() >= end) {
            return false;
        }
        Sleep(kPollMs);
    }
}

ScHandle OpenManager(DWORD access) {
    return ScHandle(OpenSCManagerW(nullptr, nullptr, access));
}

ScHandle OpenNamedService(const wchar_t* name, DWORD access) {
    const ScHandle manager = OpenManager(SC_MANAGER_CONNECT);
    return manager ? ScHandle(OpenServiceW(manager.get(), name, access)) : ScHandle();
}

SERVICE_STATUS_PROCESS StatusOf(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
        return {};
    }
    return status;
}

bool ServiceExists(const wchar_t* name) {
    return static_cast<bool>(OpenNamedService(name, SERVICE_QUERY_STATUS));
}

sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

} // namespace

unsigned short FreePort() {
    const WinsockSession winsock;
    const SocketHandle probe(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = Loopback(0);
    int length = sizeof(address);
    if (winsock.Error() != 0 || !probe ||
        bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

unsigned short NextSmallPort() {
    static int next = 4100 + static_cast<int>(GetCurrentProcessId() % 1200) * 3;
    while (Listening(static_cast<unsigned short>(next))) {
        ++next;
    }
    return static_cast<unsigned short>(next++);
}

std::optional<Registration> ReadRegistration(const wchar_t* name) {
    const quor::ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const quor::ScHandle service(manager ? OpenServiceW(manager.get(), name, SERVICE_QUERY_CONFIG)
                                         : nullptr);
    // 8 KiB each: the largest configuration the SCM hands out.
    std::vector<std::uint64_t> config(1024), description(1024);
    DWORD needed = 0;
    if (!service ||
        !QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                             8192, &needed) ||
        !QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION,
                              reinterpret_cast<BYTE*>(description.data()), 8192, &needed)) {
        return std::nullopt;
    }
    const auto& c = *reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data());
    const auto& d = *reinterpret_cast<const SERVICE_DESCRIPTIONW*>(description.data());
    const auto text = [](const wchar_t* s) { return std::wstring(s ? s : L""); };
    return Registration{c.dwServiceType,
                        c.dwStartType,
                        c.dwErrorControl,
                        text(c.lpBinaryPathName),
                        text(c.lpLoadOrderGroup),
                        text(c.lpDependencies),
                        text(c.lpServiceStartName),
                        text(c.lpDisplayName),
                        text(d.lpDescription)};
}

bool Listening(unsigned short port) {
    const WinsockSession winsock;
    const SocketHandle client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    const sockaddr_in address = Loopback(port);
    return winsock.Error() == 0 && client &&
           connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

bool RemoveService(const wchar_t* name) {
    {
        const ScHandle service =
            OpenNamedService(name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
        if (!service) {
            return !ServiceExists(name);
        }
        // A service still starting takes no controls; let it settle first.
        PollUntil([&] {
            const DWORD state = StatusOf(service.get()).dwCurrentState;
            return state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING;
        });
        const SERVICE_STATUS_PROCESS before = StatusOf(service.get());
        if (before.dwCurrentState != SERVICE_STOPPED) {
            SERVICE_STATUS status{};
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            const bool stopped = PollUntil(
                [&] { return StatusOf(service.get()).dwCurrentState == SERVICE_STOPPED; });
            // A process left by a crashed run may not answer; ending it stops the service.
            if (!stopped && before.dwProcessId != 0) {
                const KernelHandle process(
                    OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, before.dwProcessId));
                if (process) {
                    TerminateProcess(process.get(), 1);
                    WaitForSingleObject(process.get(), kWaitMs);
                }
            }
        }
        DeleteService(service.get());
    }
    // The service manager drops a deleted service once the last handle to it is closed.
    return PollUntil([&] { return !ServiceExists(name); });
}

StandInService::StandInService(Kind kind, std::wstring root, unsigned short port,
                               const wchar_t* program)
    : m_kind(kind), m_root(std::move(root)), m_port(port),
      m_program(program                ? program
                : kind == Kind::Apache ? L"httpd.exe"
                                       : L"mysqld-nt.exe") {}

StandInService::~StandInService() {
    if (m_installed) {
        Remove();
    }
}

const wchar_t* StandInService::Name() const {
    return m_kind == Kind::Apache ? L"QUOR_Apache" : L"QUOR_MySQL";
}

std::wstring StandInService::ProgramPath() const {
    return m_kind == Kind::Apache ? m_root + L"\\Apache\\bin\\httpd.exe"
                                  : m_root + L"\\MySQL\\bin\\mysqld-nt.exe";
}

std::wstring StandInService::LogFolder() const {
    return m_root + (m_kind == Kind::Apache ? L"\\Apache\\logs" : L"\\MySQL\\logs");
}

bool StandInService::Install() {
    if (!RemoveService(Name())) {
        return false;
    }
    const std::string port = std::to_string(m_port);
    const bool apache = m_kind == Kind::Apache;
    const std::wstring program = ProgramPath();
    const std::wstring config =
        apache ? m_root + L"\\Apache\\conf\\httpd.conf" : m_root + L"\\MySQL\\my.ini";
    const std::string configText = apache ? "Listen " + port + "\r\nServerName *:" + port + "\r\n"
                                          : "[mysqld]\r\nport=" + port + "\r\n";
    if (!MakeDirs(ParentPath(program)) || !MakeDirs(ParentPath(config)) ||
        !CopyInto(BinProgram(m_program.c_str()), program) || !WriteBytes(config, configText)) {
        return false;
    }
    // The configurator registers the program path without quotes. Wine's service manager, like
    // Windows, then tries the space-separated prefixes of the path in turn (each with ".exe"
    // appended) and starts the first program that exists: the stand-in, in a fresh root.
    const std::wstring commandLine = program + (apache ? L" -k runservice -n " : L" ") + Name();
    const ScHandle manager = OpenManager(SC_MANAGER_CREATE_SERVICE);
    const ScHandle service(manager
                               ? CreateServiceW(manager.get(), Name(), Name(), SERVICE_ALL_ACCESS,
                                                SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr,
                                                nullptr, nullptr, nullptr, nullptr)
                               : nullptr);
    m_installed = static_cast<bool>(service);
    return m_installed;
}

bool StandInService::Start() {
    {
        const ScHandle service = OpenNamedService(Name(), SERVICE_START);
        if (!service || !StartServiceW(service.get(), 0, nullptr)) {
            return false;
        }
    }
    PollUntil([&] { return State() != SERVICE_START_PENDING; });
    return State() == SERVICE_RUNNING;
}

bool StandInService::Stop() {
    {
        const ScHandle service = OpenNamedService(Name(), SERVICE_STOP);
        SERVICE_STATUS status{};
        if (!service || !ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            return false;
        }
    }
    return WaitForState(SERVICE_STOPPED);
}

bool StandInService::Remove() {
    m_installed = false;
    return RemoveService(Name());
}

bool StandInService::WaitForState(DWORD state) const {
    return PollUntil([&] { return State() == state; });
}

SERVICE_STATUS StandInService::Status() const {
    const ScHandle service = OpenNamedService(Name(), SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.get(), &status)) {
        return {};
    }
    return status;
}

} // namespace quor::test
