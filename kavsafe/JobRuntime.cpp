// What the backup and restore jobs share: waiting with message processing, the MySQL
// service commands, and the lock that runs the jobs of all KavSafe processes one at a time.
#include "JobRuntime.h"

#include "Layout.h"
#include "Process.h"
#include "modPublic.h"

#include <algorithm>

namespace kavsafe {

namespace {

constexpr DWORD kPollMs = 200;
// How long a service that is stopping may take: a database writes back its buffers first.
constexpr ULONGLONG kStopWaitMs = 10 * 60 * 1000;
constexpr wchar_t kProgressVariable[] = L"QUOR_PROGRESS";

// The scheduled task may run in another session than the window, so the lock lives in the
// global namespace; creating a global object needs a privilege that a plain user may lack,
// and then the session's own namespace is the best there is.
constexpr wchar_t kGlobalJobMutex[] = L"Global\\QuorKavSafeJob";
constexpr wchar_t kLocalJobMutex[] = L"Local\\QuorKavSafeJob";

std::wstring NetProgram() {
    return quor::SystemProgram(L"net.exe");
}

} // namespace

void WaitPumpingMessages(HANDLE object) {
    bool quitSeen = false;
    int quitCode = 0;
    for (;;) {
        const DWORD wait = MsgWaitForMultipleObjects(1, &object, FALSE, kPollMs, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED_0) {
            break;
        }
        if (wait == WAIT_FAILED) {
            // Never go on while the awaited work may still be running.
            WaitForSingleObject(object, INFINITE);
            break;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quitSeen = true;
                quitCode = static_cast<int>(msg.wParam);
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (quitSeen) {
        PostQuitMessage(quitCode);
    }
}

std::optional<DWORD> RunAndWait(const std::wstring& program, const std::wstring& arguments,
                                const ArchiverProgress* progress) {
    // The child inherits the variable that names the progress counters; the program's own
    // environment is as before once the child has started.
    const bool publish = progress && !progress->Name().empty();
    if (publish) {
        SetEnvironmentVariableW(kProgressVariable, progress->Name().c_str());
    }
    // The wait is on the handle that the start returned: a process id could be reused by
    // another process as soon as the child has ended.
    quor::KernelHandle process = quor::StartHidden(program, arguments);
    if (publish) {
        SetEnvironmentVariableW(kProgressVariable, nullptr);
    }
    if (!process) {
        return std::nullopt;
    }
    WaitPumpingMessages(process.get());
    return quor::ExitCodeOf(process.get());
}

bool StopMySql() {
    RunAndWait(NetProgram(), std::wstring(L"stop ") + quor::layout::kMysqlService);
    const quor::ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const quor::ScHandle service(
        manager ? OpenServiceW(manager.get(), quor::layout::kMysqlService, SERVICE_QUERY_STATUS)
                : nullptr);
    if (!service) {
        return true; // not installed: no server of it runs
    }
    const ULONGLONG deadline = GetTickCount64() + kStopWaitMs;
    for (;;) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service.get(), &status)) {
            return true; // the state cannot be read: as it always was, the job goes on
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            return true;
        }
        if (status.dwCurrentState != SERVICE_STOP_PENDING || GetTickCount64() >= deadline) {
            return false;
        }
        const quor::KernelHandle pause(CreateWaitableTimerW(nullptr, TRUE, nullptr));
        LARGE_INTEGER due{};
        due.QuadPart = -static_cast<LONGLONG>(kPollMs) * 10000;
        if (!pause || !SetWaitableTimer(pause.get(), &due, 0, nullptr, nullptr, FALSE)) {
            Sleep(kPollMs);
            continue;
        }
        WaitPumpingMessages(pause.get());
    }
}

void StartMySql() {
    quor::StartHidden(NetProgram(), std::wstring(L"start ") + quor::layout::kMysqlService);
}

ArchiverProgress::ArchiverProgress() {
    // Unique among the program's runs and jobs: process id and a counter.
    static LONG serial = 0;
    const std::wstring name = L"Local\\QuorKavSafeProgress-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(InterlockedIncrement(&serial));
    m_mapping.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                       sizeof(Counters), name.c_str()));
    if (!m_mapping) {
        return;
    }
    m_view.reset(static_cast<Counters*>(
        MapViewOfFile(m_mapping.get(), FILE_MAP_WRITE, 0, 0, sizeof(Counters))));
    if (m_view) {
        m_name = name; // the new mapping is zero-filled: nothing done, total unknown
    }
}

void ArchiverProgress::SetTotal(std::uint64_t bytes) {
    if (m_view) {
        InterlockedExchange64(const_cast<LONG64*>(&m_view->total), static_cast<LONG64>(bytes));
    }
}

ArchiverProgress::Share ArchiverProgress::Read() const {
    if (!m_view) {
        return {};
    }
    // Aligned 64-bit reads are whole; the archiver only ever raises the counters.
    const std::int64_t done = m_view->done;
    const std::int64_t total = m_view->total;
    return {static_cast<std::uint64_t>(std::max<std::int64_t>(done, 0)),
            static_cast<std::uint64_t>(std::max<std::int64_t>(total, 0))};
}

std::uint64_t TreeBytes(const std::wstring& folder) {
    std::uint64_t bytes = 0;
    WIN32_FIND_DATAW found;
    const quor::FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) {
        return 0;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A link to a folder is not followed, as the archiver does not follow it.
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                bytes += TreeBytes(folder + L"\\" + name);
            }
        } else {
            bytes += (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        }
    } while (FindNextFileW(find.get(), &found));
    return bytes;
}

JobLock::JobLock() {
    m_mutex.reset(CreateMutexW(nullptr, FALSE, kGlobalJobMutex));
    if (!m_mutex) {
        m_mutex.reset(CreateMutexW(nullptr, FALSE, kLocalJobMutex));
    }
    if (m_mutex) {
        // An abandoned lock (a job whose process died) is taken over like a free one.
        WaitPumpingMessages(m_mutex.get());
        m_owned = true;
    }
}

JobLock::~JobLock() {
    if (m_owned) {
        ReleaseMutex(m_mutex.get());
    }
}

} // namespace kavsafe
