// The backup job.
#include "modPublic.h"

#include "Files.h"
#include "JobRuntime.h"
#include "Layout.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace kavsafe {

namespace {

constexpr wchar_t kKeyKeepBackups[] = L"KeepBackups";

// "Data-" 8 digits "-" 6 digits ".quordb", letter case included: the names the backup job
// gives. Among such names the text order is the order in time.
bool IsBackupName(const std::wstring& name) {
    static constexpr wchar_t kPattern[] = L"Data-########-######.quordb";
    if (name.size() != std::size(kPattern) - 1) {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        const bool fits =
            kPattern[i] == L'#' ? name[i] >= L'0' && name[i] <= L'9' : name[i] == kPattern[i];
        if (!fits) {
            return false;
        }
    }
    return true;
}

// Keeps the newest `keep` backups of the folder and deletes the older ones, logging each.
// The backup just made is always kept and counts as one of them, even when a name from a
// clock that ran ahead sorts after it.
void DeleteOldBackups(const AppState& state, const std::wstring& madeName, int keep) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const quor::FindHandle find(FindFirstFileW((state.BackupDir + L"*").c_str(), &found));
    if (find) {
        do {
            const std::wstring name = found.cFileName;
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsBackupName(name) &&
                name != madeName) {
                names.push_back(name);
            }
        } while (FindNextFileW(find.get(), &found));
    }
    std::sort(names.begin(), names.end(), std::greater<>());
    for (size_t i = static_cast<size_t>(keep - 1); i < names.size(); ++i) {
        const std::wstring path = state.BackupDir + names[i];
        // A read-only backup is one the administrator protected: it is not forced.
        WriteLog(state.AppDir,
                 (DeleteFileW(path.c_str()) ? L"删除旧备份" : L"删除旧备份失败") + path);
    }
}

} // namespace

std::wstring BackupFileName(const SYSTEMTIME& date, const SYSTEMTIME& time) {
    wchar_t name[64];
    swprintf(name, 64, L"Data-%04u%02u%02u-%02u%02u%02u.quordb", date.wYear, date.wMonth, date.wDay,
             time.wHour, time.wMinute, time.wSecond);
    return name;
}

bool BackupData(const AppState& state, ArchiverProgress* progress) {
    const JobLock lock;
    bool result = false;
    WriteLog(state.AppDir, L"开始备份");
    WriteLog(state.AppDir, L"停止MySQL服务");
    const bool stopped = StopMySql();
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
    if (progress) {
        progress->SetTotal(TreeBytes(state.DataDir));
    }
    // A server that still runs would be packed in the middle of its writes: no backup.
    std::optional<DWORD> exitCode;
    if (stopped) {
        exitCode = RunAndWait(state.ArchiverExe,
                              L"a -ep1 -inul -m2 \"" + target + L"\" \"" + state.DataDir + L"\"",
                              progress);
    }
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
        // Absent or 0: every backup is kept. A read notes its failure on the store, so the
        // job's own copy reads.
        quor::clsINI settings = state.Settings;
        const int keep = settings.ReadInt(quor::layout::kSettingsSection, kKeyKeepBackups, 0);
        if (keep > 0) {
            DeleteOldBackups(state, target.substr(state.BackupDir.size()), keep);
        }
    } else {
        WriteLog(state.AppDir, L"备份失败");
    }
    WriteLog(state.AppDir, L"结束备份");
    WriteLog(state.AppDir, kLogSeparator, true);
    return result;
}

} // namespace kavsafe
