// KavSafe's program-wide state, start-up, operation log, backup marker and jobs.
#pragma once

#include "Dialogs.h"
#include "clsINI.h"

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

namespace kavsafe {

// Paths resolved once at start-up and used by the jobs and the window until exit.
struct AppState {
    std::wstring AppDir;      // installation root, no trailing backslash
    std::wstring ArchiverExe; // AppDir + "\Apache\bin\bi.exe"
    std::wstring DataDir;     // MySQL data directory, no trailing backslash
    std::wstring BackupDir;   // backup folder; file names are appended directly
    quor::clsINI Settings;
};

// Caption of the window and title of KavSafe's message boxes.
inline constexpr wchar_t kAppTitle[] = L"QUOR备份管理";

// What the program does once Main has returned: end with exit code 0 (Done) or 1 (Failed),
// or show the window. A scheduled task reads the code as the night's result.
enum class StartupResult { Done, Failed, ShowWindow };

inline int ExitCode(StartupResult result) {
    return result == StartupResult::Failed ? 1 : 0;
}

// What Main needs from the platform, so that tests can give a temporary root and
// answer the dialogs.
struct StartupContext {
    std::wstring appDir;      // directory of the running program
    std::wstring commandLine; // argument part of the command line, as delivered
    quor::Dialogs& dialogs;
    std::function<bool()> anotherInstanceRunning;
};

// Resolves the paths and settings, checks the installation and carries out a
// command-line request. Failed when the installation is incomplete, the scheduled backup
// was not made, or the command-line restore did not end in success (also after No).
StartupResult Main(AppState& state, const StartupContext& context);

// Appends one line to AppDir\backup.log in the ANSI code page: "[date time]:message", or
// the message alone when bare. A log that cannot be written loses the line silently.
void WriteLog(const std::wstring& appDir, const std::wstring& message, bool bare = false);

// The 45 hyphens that close every job in the log.
inline constexpr wchar_t kLogSeparator[] = L"---------------------------------------------";

// Writes "QUOR" (toQuor) or "Rar!" over the first four bytes of the file at path; a
// missing file is left alone. Returns false when the file exists but cannot be written.
bool MarkArchive(const std::wstring& path, bool toQuor);

class ArchiverProgress;

// Runs program with a hidden window and waits for it to end, processing the program's
// window messages meanwhile. With progress, the program is told where to publish its
// progress. Returns its exit code; nullopt when it could not be started or its exit code
// could not be read.
std::optional<DWORD> RunAndWait(const std::wstring& program, const std::wstring& arguments,
                                const ArchiverProgress* progress = nullptr);

// "Data-yyyymmdd-hhmmss.quordb" from a date and a time read separately.
std::wstring BackupFileName(const SYSTEMTIME& date, const SYSTEMTIME& time);

// Stops MySQL, packs DataDir into a new dated backup in BackupDir, starts MySQL again and
// marks the file. True when a complete backup file was written. With progress, the packing
// publishes its share there.
bool BackupData(const AppState& state, ArchiverProgress* progress = nullptr);

// Stops MySQL, unpacks a copy of the backup file in AppDir\Tmp, puts the unpacked Data
// folder in place of DataDir, and starts MySQL again. True when the restored folder is in
// place; on failure the data directory is as it was.
bool RestoreData(const AppState& state, const std::wstring& backupFile,
                 const ArchiverProgress* progress = nullptr);

} // namespace kavsafe
