// The backup job and the wait for the child processes that the jobs start.
#include "modPublic.h"

#include "Files.h"
#include "Layout.h"
#include "Process.h"

#include <cstdio>

namespace kavsafe {

namespace {

// RAR's exit codes 0 (success) and 1 (warning) leave a usable archive; 2 and above
// mean the archive is incomplete or was not written.
constexpr DWORD kFirstArchiverFailure = 2;
constexpr DWORD kPollMs = 200;

std::wstring NetProgram() {
    return quor::SystemProgram(L"net.exe");
}

} // namespace

std::optional<DWORD> RunAndWait(const std::wstring& program, const std::wstring& arguments) {
    // The wait is on the handle that the start returned: a process id could be reused by
    // another process as soon as the child has ended.
    quor::KernelHandle process = quor::StartHidden(program, arguments);
    if (!process) {
        return std::nullopt;
    }
    bool quitSeen = false;
    int quitCode = 0;
    HANDLE waitOn = process.get();
    for (;;) {
        const DWORD wait = MsgWaitForMultipleObjects(1, &waitOn, FALSE, kPollMs, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) {
            break;
        }
        if (wait == WAIT_FAILED) {
            // Never report a child as ended while it may still be running.
            WaitForSingleObject(process.get(), INFINITE);
            break;
        }
        // Keep the window responsive while the child runs.
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
    // A quit request that arrived during the wait belongs to the main message loop.
    if (quitSeen) {
        PostQuitMessage(quitCode);
    }
    return quor::ExitCodeOf(process.get());
}

std::wstring BackupFileName(const SYSTEMTIME& date, const SYSTEMTIME& time) {
    wchar_t name[64];
    swprintf(name, 64, L"Data-%04u%02u%02u-%02u%02u%02u.quordb", date.wYear, date.wMonth, date.wDay,
             time.wHour, time.wMinute, time.wSecond);
    return name;
}

bool BackupData(const AppState& state) {
    bool result = false;
    WriteLog(state.AppDir, L"开始备份");
    WriteLog(state.AppDir, L"停止MySQL服务");
    RunAndWait(NetProgram(), std::wstring(L"stop ") + quor::layout::kMysqlService);
    WriteLog(state.AppDir, L"打包开始");

    // The date and the time are read separately, the date first.
    SYSTEMTIME date;
    GetLocalTime(&date);
    SYSTEMTIME time;
    GetLocalTime(&time);
    const std::wstring target = state.BackupDir + BackupFileName(date, time);
    if (quor::FileExists(target)) {
        DeleteFileW(target.c_str());
    }
    const std::optional<DWORD> exitCode = RunAndWait(
        state.ArchiverExe, L"a -ep1 -inul -m2 \"" + target + L"\" \"" + state.DataDir + L"\"");
    // An archiver that failed may have left a partial archive; it is no backup.
    const bool packed = exitCode && *exitCode < kFirstArchiverFailure;
    if (!packed && quor::FileExists(target)) {
        quor::DeleteTree(target); // also when the archiver left it read-only
    }
    WriteLog(state.AppDir, L"打包结束");

    WriteLog(state.AppDir, L"启动MySQL服务");
    quor::StartHidden(NetProgram(), std::wstring(L"start ") + quor::layout::kMysqlService);

    if (packed && quor::FileExists(target)) {
        MarkArchive(target, true);
        result = true;
        WriteLog(state.AppDir, L"备份成功，" + target);
    } else {
        WriteLog(state.AppDir, L"备份失败");
    }
    WriteLog(state.AppDir, L"结束备份");
    WriteLog(state.AppDir, kLogSeparator, true);
    return result;
}

} // namespace kavsafe
