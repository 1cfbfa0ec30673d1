// The backup job.
#include "modPublic.h"

#include "Files.h"
#include "JobRuntime.h"

#include <cstdio>

namespace kavsafe {

std::wstring BackupFileName(const SYSTEMTIME& date, const SYSTEMTIME& time) {
    wchar_t name[64];
    swprintf(name, 64, L"Data-%04u%02u%02u-%02u%02u%02u.quordb", date.wYear, date.wMonth, date.wDay,
             time.wHour, time.wMinute, time.wSecond);
    return name;
}

bool BackupData(const AppState& state) {
    const JobLock lock;
    bool result = false;
    WriteLog(state.AppDir, L"开始备份");
    WriteLog(state.AppDir, L"停止MySQL服务");
    StopMySql();
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
    StartMySql();

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
