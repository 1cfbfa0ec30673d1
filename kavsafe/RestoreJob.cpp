// The restore job: a backup file replaces the MySQL data directory.
#include "modPublic.h"

#include "Files.h"
#include "JobRuntime.h"
#include "Layout.h"

namespace kavsafe {

namespace {

using namespace quor::layout;

// The old data folder waits under this name beside itself until the restored one is in
// place.
constexpr wchar_t kAsideSuffix[] = L".quordbrestore.old";

std::wstring WithoutTrailingSeparators(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) {
        path.pop_back();
    }
    return path;
}

// A name beside dataDir that nothing uses. A folder left under the plain name by an earlier
// run may be the only copy of the data (a run that ended between the two renames), so it
// is never removed here.
std::wstring FreeAsideName(const std::wstring& dataDir) {
    std::wstring candidate = dataDir + kAsideSuffix;
    for (int n = 1; quor::PathExists(candidate); ++n) {
        candidate = dataDir + kAsideSuffix + std::to_wstring(n);
    }
    return candidate;
}

// Puts the unpacked folder at destination in place of dataDir: the old folder is renamed
// aside in its own parent folder (an atomic rename), the new one is moved in, and only
// then is the old one removed. On any failure the old folder is put back. True when the
// restored folder is in place.
bool SwapIn(const std::wstring& unpacked, const std::wstring& dataDir,
            const std::wstring& destination) {
    std::wstring aside;
    if (quor::PathExists(dataDir)) {
        aside = FreeAsideName(dataDir);
        if (!MoveFileExW(dataDir.c_str(), aside.c_str(), 0)) {
            return false;
        }
    }
    // A folder cannot be moved to another volume; the old one then goes back.
    if (!MoveFileExW(unpacked.c_str(), destination.c_str(), 0)) {
        if (!aside.empty()) {
            MoveFileExW(aside.c_str(), dataDir.c_str(), 0);
        }
        return false;
    }
    if (!aside.empty()) {
        // A file still held open keeps the old folder; the restore stands all the same.
        quor::DeleteTree(aside);
    }
    return true;
}

} // namespace

bool RestoreData(const AppState& state, const std::wstring& backupFile,
                 const ArchiverProgress* progress) {
    const JobLock lock;
    bool result = false;
    WriteLog(state.AppDir, L"开始恢复");
    if (!quor::FileExists(backupFile)) {
        WriteLog(state.AppDir, L"文件" + backupFile + L"不存在");
        WriteLog(state.AppDir, L"结束恢复");
        WriteLog(state.AppDir, kLogSeparator, true);
        return false;
    }
    WriteLog(state.AppDir, L"文件" + backupFile);
    WriteLog(state.AppDir, L"停止MySQL服务");
    const bool stopped = StopMySql();

    const std::wstring workFolder = state.AppDir + kWorkFolder;
    const std::wstring unpacked = workFolder + kDataFolder;
    if (quor::PathExists(unpacked)) {
        quor::DeleteTree(unpacked); // left over from an earlier restore
    }
    const std::wstring tempArchive = workFolder + kRestoreArchive;
    WriteLog(state.AppDir, L"生成临时文件开始");
    // The backup itself is never changed: only its copy gets the "Rar!" bytes back. A stale
    // copy from an earlier run must not be unpacked in its place, so the unpack below runs
    // only when this copy succeeded. Under a server that still runs nothing is copied,
    // unpacked or put in place.
    const bool copied = stopped && CopyFileW(backupFile.c_str(), tempArchive.c_str(), FALSE) &&
                        MarkArchive(tempArchive, false);
    WriteLog(state.AppDir, L"生成临时文件结束");

    WriteLog(state.AppDir, L"解包开始");
    std::optional<DWORD> exitCode;
    if (copied) {
        // The work folder is quoted too: an installation root with spaces must stay one
        // argument.
        exitCode =
            RunAndWait(state.ArchiverExe,
                       L"x -v -inul \"" + tempArchive + L"\" \"" + workFolder + L"\"", progress);
    }
    WriteLog(state.AppDir, L"解包结束");
    quor::DeleteTree(tempArchive);

    // An archiver that failed may have left part of the folder; it restores nothing.
    const bool unpackedWhole =
        exitCode && *exitCode < kFirstArchiverFailure && quor::DirectoryExists(unpacked);
    // The destination is the data folder's parent, taken from the path text, so that it is
    // known also when the data folder is missing.
    const std::wstring dataDir = WithoutTrailingSeparators(state.DataDir);
    const std::wstring destination = quor::ParentPath(dataDir) + kDataFolder;
    if (unpackedWhole && SwapIn(unpacked, dataDir, destination)) {
        result = true;
        WriteLog(state.AppDir, L"恢复成功");
    } else {
        quor::DeleteTree(unpacked);
        WriteLog(state.AppDir, L"恢复失败");
    }

    WriteLog(state.AppDir, L"启动MySQL服务");
    StartMySql();
    WriteLog(state.AppDir, L"结束恢复");
    WriteLog(state.AppDir, kLogSeparator, true);
    return result;
}

} // namespace kavsafe
