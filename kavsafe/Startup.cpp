// KavSafe's start-up: resolves the installation paths and settings and picks the mode.
#include "modPublic.h"

#include "Files.h"
#include "Layout.h"

namespace kavsafe {

namespace {

using namespace quor::layout;

// Settings values are read with room for any Windows path (32767 UTF-16 units, up to
// two bytes each in the ANSI form), so a long folder is never cut.
constexpr int32_t kPathValueSize = 65536;

constexpr wchar_t kKeyDataPath[] = L"DataPath";
constexpr wchar_t kKeyBakPath[] = L"BakPath";
// The data directory is written back under this spelling; section names ignore case.
constexpr wchar_t kWriteSection[] = L"QuorKav";

constexpr wchar_t kErrorTitle[] = L"错误";

// Reports a start-up refusal: a message box for a person, a log line for a task.
void Refuse(const AppState& state, const StartupContext& context, const wchar_t* message,
            const wchar_t* logLine) {
    if (context.commandLine.empty()) {
        context.dialogs.Message(nullptr, message, kErrorTitle, MB_OK | MB_ICONERROR);
    } else {
        WriteLog(state.AppDir, logLine);
    }
}

// Restores the backup file named by the command line after the administrator agreed; true
// when it was restored.
bool RestoreFromCommandLine(const AppState& state, const StartupContext& context) {
    const std::wstring& file = context.commandLine;
    const std::wstring question =
        L"从“" + file + L"”恢复数据？\r\n\r\n警告：恢复操作会覆盖现有数据。";
    if (context.dialogs.Message(nullptr, question, kAppTitle,
                                MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
        return false;
    }
    if (context.anotherInstanceRunning()) {
        context.dialogs.Message(nullptr, L"QUOR备份管理正在运行中，不能恢复！", kAppTitle,
                                MB_OK | MB_ICONERROR);
        return false;
    }
    WriteLog(state.AppDir, L"命令行恢复文件开始" + file);
    if (RestoreData(state, file)) {
        context.dialogs.Message(nullptr, L"恢复成功！", kAppTitle, MB_OK | MB_ICONINFORMATION);
        return true;
    }
    context.dialogs.Message(nullptr, L"恢复失败！", kAppTitle, MB_OK | MB_ICONERROR);
    return false;
}

StartupResult DoneIf(bool succeeded) {
    return succeeded ? StartupResult::Done : StartupResult::Failed;
}

} // namespace

StartupResult Main(AppState& state, const StartupContext& context) {
    state.AppDir = context.appDir;
    state.Settings.IniName(state.AppDir + kSettingsFile);
    state.ArchiverExe = state.AppDir + kArchiverExe;
    state.DataDir = state.Settings.ReadString(kSettingsSection, kKeyDataPath, kPathValueSize, L"");
    state.BackupDir = state.Settings.ReadString(kSettingsSection, kKeyBakPath, kPathValueSize, L"");

    if (state.DataDir.empty()) {
        state.DataDir = state.AppDir + kDataFolder;
        if (!quor::PathExists(state.DataDir)) {
            state.DataDir = state.AppDir + kMysqlDataFolder;
        }
        state.Settings.WriteString(kWriteSection, kKeyDataPath, state.DataDir);
    }

    if (state.BackupDir.empty()) {
        // The default folder sits at the top of the installation drive and is not
        // written to the settings. If it cannot be created, the backup job reports the
        // failure in the log.
        state.BackupDir = quor::DrivePart(state.AppDir) + kDefaultBackupFolder;
        if (!quor::DirectoryExists(state.BackupDir)) {
            CreateDirectoryW(state.BackupDir.c_str(), nullptr);
        }
    }

    if (!quor::PathExists(state.DataDir)) {
        Refuse(state, context, L"未找到数据库路径，执行QUOR备份管理出错！",
               L"未找到数据库路径，执行QUOR备份管理出错");
        return StartupResult::Failed;
    }
    if (!quor::FileExists(state.ArchiverExe)) {
        Refuse(state, context, L"执行QUOR备份管理出错，请确认是否正确安装！",
               L"执行QUOR备份管理出错，请确认是否正确安装");
        return StartupResult::Failed;
    }

    if (context.commandLine == L"-b") {
        WriteLog(state.AppDir, L"计划任务开始备份");
        return DoneIf(BackupData(state));
    }

    if (!context.commandLine.empty() && quor::FileExists(context.commandLine)) {
        return DoneIf(RestoreFromCommandLine(state, context));
    }

    // The window that already runs serves the administrator.
    if (context.anotherInstanceRunning()) {
        return StartupResult::Done;
    }
    return StartupResult::ShowWindow;
}

} // namespace kavsafe
