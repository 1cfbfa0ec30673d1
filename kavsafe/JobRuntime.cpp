// What the backup and restore jobs share: waiting with message processing, the MySQL
// service commands, and the lock that runs the jobs of all KavSafe processes one at a time.
#include "JobRuntime.h"

#include "Layout.h"
#include "Process.h"
#include "modPublic.h"

namespace kavsafe {

namespace {

constexpr DWORD kPollMs = 200;

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

std::optional<DWORD> RunAndWait(const std::wstring& program, const std::wstring& arguments) {
    // The wait is on the handle that the start returned: a process id could be reused by
    // another process as soon as the child has ended.
    quor::KernelHandle process = quor::StartHidden(program, arguments);
    if (!process) {
        return std::nullopt;
    }
    WaitPumpingMessages(process.get());
    return quor::ExitCodeOf(process.get());
}

void StopMySql() {
    RunAndWait(NetProgram(), std::wstring(L"stop ") + quor::layout::kMysqlService);
}

void StartMySql() {
    quor::StartHidden(NetProgram(), std::wstring(L"start ") + quor::layout::kMysqlService);
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
