// A real MariaDB server behind the MySQL service, started through Wine and watched through
// /proc and its port.
#include "RealMySqlServer.h"

#include "RealServerConfig.h"
#include "ServerGreeting.h"
#include "StandInConfig.h"
#include "UnixSide.h"

#include "Files.h"
#include "Text.h"
#include "UniqueHandle.h"

#include <cstdio>

namespace quor::standin {

namespace {

// The shell sends everything it and the server print to the error log, writes its process
// id ($0 names the file), then becomes the server with the same id: Wine hands back no handle
// that follows a Linux program, so the id is how the server is watched. The temporary folder
// ($2) is given in its resolved form: Wine names drive C: through a link "dosdevices/c:",
// and the server reads a ':' in its temporary folder as a separator of several folders.
constexpr wchar_t kLaunchScript[] =
    L"exec </dev/null >/dev/null 2>>\"$1\"; echo $$ >\"$0\" || exit; "
    L"tmp=$(cd -P -- \"$2\" && pwd -P) || exit; shift 2; exec \"$@\" --tmpdir=\"$tmp\"";

constexpr unsigned long long kLaunchLimitMs = 10000;
// Crash recovery of a large data directory can take minutes.
constexpr unsigned long long kStartLimitMs = 300000;
// A clean shutdown writes back every changed page of the buffer pool. Wine's service manager
// waits for a control handler only as long as ServicesPipeTimeout (10 s unless the string
// value of that name under HKLM\System\CurrentControlSet\Control says more); past that
// "net stop" reports a timeout while the stop goes on here to its end.
constexpr unsigned long long kStopLimitMs = 300000;
constexpr unsigned long long kKillLimitMs = 10000;
constexpr DWORD kPollMs = 100;
// Progress is reported this often while a start or stop goes on.
constexpr unsigned long long kProgressMs = 1000;
constexpr DWORD kGreetingTimeoutMs = 2000;

std::wstring Seconds(unsigned long long ms) {
    return std::to_wstring(ms / 1000) + L" s";
}

// Calls progress about once a second from inside a polling loop.
class ProgressTicker {
public:
    explicit ProgressTicker(const HostedServer::Progress& progress) : m_progress(progress) {}
    void Tick() {
        const unsigned long long now = GetTickCount64();
        if (now - m_last >= kProgressMs) {
            m_last = now;
            m_progress();
        }
    }

private:
    const HostedServer::Progress& m_progress;
    unsigned long long m_last = GetTickCount64();
};

} // namespace

RealMySqlServer::RealMySqlServer(std::wstring root)
    : m_root(std::move(root)), m_errorLog(RunFilesIn(RunFolderOf(m_root)).errorLog) {}

void RealMySqlServer::Log(const wchar_t* level, const std::wstring& text) const {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t stamp[32];
    std::swprintf(stamp, 32, L"%04u-%02u-%02u %2u:%02u:%02u", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);
    // The server writes its log in UTF-8 with LF line ends; these lines match it.
    const std::string line =
        ToUtf8(std::wstring(stamp) + L" [" + level + L"] mysqld-nt: " + text) + "\n";
    const FileHandle file(CreateFileW(m_errorLog.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) {
        WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
}

HostedServer::Outcome RealMySqlServer::Fail(RealServerCode code, const std::wstring& text) const {
    Log(L"ERROR", text);
    return {code, text + L" (see " + m_errorLog + L")"};
}

HostedServer::Outcome RealMySqlServer::Start(const Progress& progress) {
    m_port = ReadPort(m_root, Flavour::MySql);
    const std::wstring dataDir = DataDirectoryOf(m_root);
    const std::wstring runFolder = RunFolderOf(m_root);
    if (!CreateDirectoryW(runFolder.c_str(), nullptr) && !DirectoryExists(runFolder)) {
        return {kCannotLaunch, L"cannot create the run folder " + runFolder};
    }
    Log(L"Note", L"starting the server on 127.0.0.1:" + std::to_wstring(m_port) +
                     L" with the data directory " + dataDir);
    if (!DirectoryExists(dataDir + L"\\mysql")) {
        return Fail(kNoDataDirectory,
                    DirectoryExists(dataDir)
                        ? L"the data directory " + dataDir + L" holds no mysql database folder"
                        : L"the data directory " + dataDir + L" does not exist");
    }
    const std::optional<std::wstring> unixData = UnixPath(dataDir);
    const std::optional<std::wstring> unixRun = UnixPath(runFolder);
    if (!unixData || !unixRun) {
        return Fail(kCannotLaunch, L"the folders have no Unix path (the program must run "
                                   L"under Wine)");
    }
    if (!FileExists(ZDrivePath(kServerProgram))) {
        return Fail(kCannotLaunch, std::wstring(kServerProgram) + L" is not installed");
    }
    const ServerSetup setup{.user = UnixUser(),
                            .dataDir = *unixData,
                            .socket = SocketPathFor(*unixRun, m_port),
                            .pidFile = *unixRun + L"/mysqld.pid",
                            .errorLog = *unixRun + L"/mysqld.err",
                            .port = m_port};
    if (!setup.socket.starts_with(*unixRun)) {
        // The run folder's path is too long for a socket address: the socket gets a short
        // folder of its own.
        CreateDirectoryW(ParentPath(ZDrivePath(setup.socket)).c_str(), nullptr);
    }

    const unsigned long long started = GetTickCount64();
    ProgressTicker ticker(progress);
    const RunFiles files = RunFilesIn(runFolder);
    EndEarlierServer(files, setup, progress);
    if (const Outcome launched = Launch(files, setup, *unixRun, progress); launched.code != 0) {
        return launched;
    }
    const unsigned pid = m_pid;

    // A greeting alone could come from another program on the port while this server is still
    // starting; the server writes its pid file only once it listens.
    while (GetTickCount64() - started < kStartLimitMs) {
        if (!UnixProcessAlive(pid)) {
            m_pid = 0;
            return Fail(kServerEnded,
                        L"the server (pid " + std::to_wstring(pid) +
                            L") ended before it answered on its port; the lines above say why");
        }
        if (ReadPidFile(files.pidFile) == pid && ServerGreets(m_port, kGreetingTimeoutMs)) {
            return {0, L"serving on 127.0.0.1:" + std::to_wstring(m_port) + L" (pid " +
                           std::to_wstring(pid) + L")"};
        }
        ticker.Tick();
        Sleep(kPollMs);
    }
    Log(L"ERROR", L"the server did not answer on port " + std::to_wstring(m_port) + L" within " +
                      Seconds(kStartLimitMs) + L"; killing it");
    Kill(pid);
    m_pid = 0;
    return {kNoAnswer, L"the server did not answer within " + Seconds(kStartLimitMs)};
}

void RealMySqlServer::EndEarlierServer(const RunFiles& files, const ServerSetup& setup,
                                       const Progress& progress) {
    // A server outlives this program when Wine ends without stopping its services. Its pid
    // file names it, and its command line names that pid file. It is shut down, never taken
    // over: its data directory may have been replaced meanwhile (a restore while the service
    // seemed stopped), and a server must not go on with files that are no longer the folder's.
    const std::optional<unsigned> earlier = ReadPidFile(files.pidFile);
    if (!earlier || !UnixProcessHasArgument(*earlier, L"--pid-file=" + setup.pidFile)) {
        return;
    }
    const std::wstring which =
        L"the server of an earlier start (pid " + std::to_wstring(*earlier) + L")";
    Log(L"Note", which + L" still runs; shutting it down");
    if (!SendSignal(*earlier, L"TERM") || !WaitForEnd(*earlier, kStopLimitMs, progress)) {
        Log(L"ERROR", which + L" did not end within " + Seconds(kStopLimitMs) + L"; killing it");
        Kill(*earlier);
    }
}

HostedServer::Outcome RealMySqlServer::Launch(const RunFiles& files, const ServerSetup& setup,
                                              const std::wstring& unixRunFolder,
                                              const Progress& progress) {
    DeleteFileW(files.launchFile.c_str());
    DeleteFileW(files.pidFile.c_str());
    std::vector<std::wstring> arguments{unixRunFolder + L"/launch.pid", setup.errorLog,
                                        unixRunFolder, kServerProgram};
    for (std::wstring& argument : ServerArguments(setup)) {
        arguments.push_back(std::move(argument));
    }
    if (!StartShell(kLaunchScript, arguments)) {
        return Fail(kCannotLaunch, L"cannot start /bin/sh to launch the server (error " +
                                       std::to_wstring(GetLastError()) + L")");
    }
    ProgressTicker ticker(progress);
    const unsigned long long launched = GetTickCount64();
    std::optional<unsigned> pid;
    while (!(pid = ReadPidFile(files.launchFile))) {
        if (GetTickCount64() - launched >= kLaunchLimitMs) {
            return Fail(kCannotLaunch, L"the launching shell wrote no process id within " +
                                           Seconds(kLaunchLimitMs));
        }
        ticker.Tick();
        Sleep(kPollMs);
    }
    m_pid = *pid;
    return {};
}

HostedServer::Outcome RealMySqlServer::Stop(const Progress& progress) {
    const unsigned pid = m_pid.exchange(0);
    if (pid == 0 || !UnixProcessAlive(pid)) {
        return Fail(kServerEnded, L"the server (pid " + std::to_wstring(pid) +
                                      L") had ended without being asked to");
    }
    Log(L"Note", L"asking the server (pid " + std::to_wstring(pid) + L") to shut down");
    if (SendSignal(pid, L"TERM") && WaitForEnd(pid, kStopLimitMs, progress)) {
        return {0, L"stopped"};
    }
    Log(L"ERROR", L"the server (pid " + std::to_wstring(pid) + L") did not end within " +
                      Seconds(kStopLimitMs) + L"; killing it");
    Kill(pid);
    return {kKilledOnStop, L"the server did not shut down and was killed"};
}

bool RealMySqlServer::Serving() {
    const unsigned pid = m_pid;
    return pid != 0 && UnixProcessAlive(pid);
}

bool RealMySqlServer::WaitForEnd(unsigned pid, unsigned long long limitMs,
                                 const Progress& progress) const {
    ProgressTicker ticker(progress);
    const unsigned long long start = GetTickCount64();
    while (UnixProcessAlive(pid)) {
        if (GetTickCount64() - start >= limitMs) {
            return false;
        }
        ticker.Tick();
        Sleep(kPollMs);
    }
    return true;
}

void RealMySqlServer::Kill(unsigned pid) const {
    if (!SendSignal(pid, L"KILL") || !WaitForEnd(pid, kKillLimitMs, [] {})) {
        Log(L"ERROR", L"the server (pid " + std::to_wstring(pid) + L") could not be killed");
    }
}

} // namespace quor::standin
