// KavSafe's start-up in-process: paths, settings written back, refusals in both modes.
#include "FakeDialogs.h"
#include "Files.h"
#include "TestSupport.h"
#include "Text.h"
#include "modPublic.h"

#include <gtest/gtest.h>

using namespace kavsafe;
using quor::test::FakeDialogs;
using quor::test::MakeDirs;
using quor::test::ReadBytes;
using quor::test::TempDir;
using quor::test::WriteBytes;

namespace {

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.path().empty());
        // The default backup folder is at the top of the root's drive; keep it as found.
        m_defaultBackup = quor::DrivePart(m_root.path()) + L"\\QuorBak";
        m_hadDefaultBackup = quor::DirectoryExists(m_defaultBackup);
    }
    void TearDown() override {
        if (!m_hadDefaultBackup) {
            RemoveDirectoryW(m_defaultBackup.c_str());
        }
    }

    void InstallArchiver() {
        ASSERT_TRUE(MakeDirs(m_root / L"Apache\\bin"));
        ASSERT_TRUE(WriteBytes(m_root / L"Apache\\bin\\bi.exe", "stand-in"));
    }
    void WriteSettings(const std::wstring& text) {
        ASSERT_TRUE(WriteBytes(m_root / L"settings.ini", quor::ToAnsi(text)));
    }
    std::wstring Settings() {
        return quor::FromAnsi(ReadBytes(m_root / L"settings.ini").value_or(""));
    }
    std::wstring Log() { return quor::FromAnsi(ReadBytes(m_root / L"backup.log").value_or("")); }

    StartupResult Start(const std::wstring& commandLine, bool another = false) {
        const StartupContext context{m_root.path(), commandLine, m_dialogs,
                                     [another] { return another; }};
        return Main(m_state, context);
    }

    TempDir m_root{L" 安装 root"};
    FakeDialogs m_dialogs;
    AppState m_state;
    std::wstring m_defaultBackup;
    bool m_hadDefaultBackup = false;
};

} // namespace

TEST_F(StartupTest, DerivesDataFolderAndDefaultBackupFolder) {
    InstallArchiver();
    ASSERT_TRUE(MakeDirs(m_root / L"Data"));
    ASSERT_TRUE(MakeDirs(m_root / L"MySQL\\Data"));

    EXPECT_EQ(Start(L""), StartupResult::ShowWindow);
    EXPECT_TRUE(m_dialogs.shown.empty());
    EXPECT_EQ(m_state.AppDir, m_root.path());
    EXPECT_EQ(m_state.ArchiverExe, m_root / L"Apache\\bin\\bi.exe");
    // "\Data" is the first candidate; it is written back, the backup default is not.
    EXPECT_EQ(m_state.DataDir, m_root / L"Data");
    EXPECT_EQ(m_state.BackupDir, quor::DrivePart(m_root.path()) + L"\\QuorBak\\");
    EXPECT_TRUE(quor::DirectoryExists(m_state.BackupDir));
    EXPECT_NE(Settings().find(L"[QuorKav]\r\nDataPath=" + m_root / L"Data"), std::wstring::npos)
        << quor::ToUtf8(Settings());
    EXPECT_EQ(Settings().find(L"BakPath"), std::wstring::npos);
}

TEST_F(StartupTest, UsesStoredPathsOfAnyLength) {
    InstallArchiver();
    // Longer than the 100 bytes a short buffer would hold.
    const std::wstring data = m_root / (std::wstring(40, L'数') + L" data");
    ASSERT_TRUE(MakeDirs(data));
    const std::wstring backups = m_root / (std::wstring(40, L'备') + L"\\not created\\");
    WriteSettings(L"[QuorKAV]\r\nDataPath=" + data + L"\r\nBakPath=" + backups + L"\r\n");

    EXPECT_EQ(Start(L""), StartupResult::ShowWindow);
    EXPECT_EQ(m_state.DataDir, data);
    EXPECT_EQ(m_state.BackupDir, backups);
    EXPECT_FALSE(quor::PathExists(backups)); // a stored backup folder is used as read
}

TEST_F(StartupTest, MissingDataFolderIsReportedByBoxOrByLog) {
    InstallArchiver();
    // Neither candidate exists: the second is written back, then the check fails.
    EXPECT_EQ(Start(L""), StartupResult::Failed);
    EXPECT_NE(Settings().find(L"DataPath=" + m_root / L"MySQL\\Data"), std::wstring::npos);
    ASSERT_EQ(m_dialogs.shown.size(), 1u);
    EXPECT_EQ(m_dialogs.shown[0].text, L"未找到数据库路径，执行QUOR备份管理出错！");
    EXPECT_EQ(m_dialogs.shown[0].title, L"错误");
    EXPECT_EQ(m_dialogs.shown[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(Log(), L"");

    // With a command line the refusal goes to the log instead.
    m_state = AppState();
    EXPECT_EQ(Start(L"-b"), StartupResult::Failed);
    EXPECT_EQ(m_dialogs.shown.size(), 1u);
    EXPECT_NE(Log().find(L"]:未找到数据库路径，执行QUOR备份管理出错\r\n"), std::wstring::npos);
    EXPECT_EQ(Log().find(L"计划任务开始备份"), std::wstring::npos);
}

TEST_F(StartupTest, MissingArchiverIsReportedByBoxOrByLog) {
    ASSERT_TRUE(MakeDirs(m_root / L"MySQL\\Data"));
    ASSERT_TRUE(MakeDirs(m_root / L"Apache\\bin\\bi.exe")); // a folder is not the archiver

    EXPECT_EQ(Start(L""), StartupResult::Failed);
    ASSERT_EQ(m_dialogs.shown.size(), 1u);
    EXPECT_EQ(m_dialogs.shown[0].text, L"执行QUOR备份管理出错，请确认是否正确安装！");
    EXPECT_EQ(m_dialogs.shown[0].title, L"错误");
    EXPECT_EQ(m_dialogs.shown[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));

    m_state = AppState();
    EXPECT_EQ(Start(L"some.quordb"), StartupResult::Failed);
    EXPECT_EQ(m_dialogs.shown.size(), 1u);
    EXPECT_NE(Log().find(L"]:执行QUOR备份管理出错，请确认是否正确安装\r\n"), std::wstring::npos);
}

TEST_F(StartupTest, OnlyExactDashBIsTheScheduledModeAndASecondInstanceEndsSilently) {
    InstallArchiver();
    ASSERT_TRUE(MakeDirs(m_root / L"Data"));

    // "-B" and "-b " are not the scheduled mode; naming no file they open the window.
    EXPECT_EQ(Start(L"-B"), StartupResult::ShowWindow);
    EXPECT_EQ(Start(L"-b "), StartupResult::ShowWindow);
    EXPECT_EQ(Log(), L"");

    // Another instance: end without a word.
    EXPECT_EQ(Start(L"", true), StartupResult::Done);
    EXPECT_EQ(Start(L"-B", true), StartupResult::Done);
    EXPECT_TRUE(m_dialogs.shown.empty());
}

TEST_F(StartupTest, SecondCandidateAndAFileNamedLikeTheDataFolder) {
    InstallArchiver();
    // Only "\MySQL\Data" exists: it is taken and written back.
    ASSERT_TRUE(MakeDirs(m_root / L"MySQL\\Data"));
    EXPECT_EQ(Start(L""), StartupResult::ShowWindow);
    EXPECT_EQ(m_state.DataDir, m_root / L"MySQL\\Data");
    EXPECT_NE(Settings().find(L"DataPath=" + m_root / L"MySQL\\Data"), std::wstring::npos);

    // The presence check accepts anything of that name, also an ordinary file.
    WriteSettings(L"[QuorKAV]\r\nDataPath=" + m_root / L"data.file" + L"\r\n");
    ASSERT_TRUE(WriteBytes(m_root / L"data.file", "x"));
    m_state = AppState();
    EXPECT_EQ(Start(L""), StartupResult::ShowWindow);
    EXPECT_TRUE(m_dialogs.shown.empty());
}

TEST_F(StartupTest, ScheduledBackupRunsBesideAnOpenWindow) {
    // "-b" does not look for another instance: the job runs and logs its stages. The
    // archiver here is no program, so the job fails quickly.
    InstallArchiver();
    ASSERT_TRUE(MakeDirs(m_root / L"Data"));
    WriteSettings(L"[QuorKAV]\r\nBakPath=" + m_root.path() + L"\\\r\n");
    EXPECT_EQ(Start(L"-b", true), StartupResult::Failed);
    const std::wstring log = Log();
    EXPECT_NE(log.find(L"]:计划任务开始备份\r\n"), std::wstring::npos) << quor::ToUtf8(log);
    EXPECT_NE(log.find(L"]:备份失败\r\n"), std::wstring::npos);
    EXPECT_TRUE(m_dialogs.shown.empty());
}

TEST_F(StartupTest, CommandLineRestoreAsksThenRefusesOrRestores) {
    InstallArchiver();
    ASSERT_TRUE(MakeDirs(m_root / L"Data"));
    WriteSettings(L"[QuorKAV]\r\nBakPath=" + m_root.path() + L"\\\r\n");
    const std::wstring file = m_root / L"Data-20260101-000000.quordb";
    ASSERT_TRUE(WriteBytes(file, "QUOR not really an archive"));
    const std::wstring question =
        L"从“" + file + L"”恢复数据？\r\n\r\n警告：恢复操作会覆盖现有数据。";

    // No: nothing happens.
    m_dialogs.answer = IDNO;
    EXPECT_EQ(Start(file), StartupResult::Failed);
    ASSERT_EQ(m_dialogs.shown.size(), 1u);
    EXPECT_EQ(m_dialogs.shown[0].text, question);
    EXPECT_EQ(m_dialogs.shown[0].title, L"QUOR备份管理");
    EXPECT_EQ(m_dialogs.shown[0].type,
              static_cast<UINT>(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2));
    EXPECT_EQ(Log(), L"");

    // Yes while another instance runs: refused after the question, nothing logged.
    m_dialogs.answer = IDYES;
    EXPECT_EQ(Start(file, true), StartupResult::Failed);
    ASSERT_EQ(m_dialogs.shown.size(), 3u);
    EXPECT_EQ(m_dialogs.shown[2].text, L"QUOR备份管理正在运行中，不能恢复！");
    EXPECT_EQ(m_dialogs.shown[2].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(Log(), L"");

    // Yes: the file is logged first, the job runs (and fails on this file), the result shows.
    EXPECT_EQ(Start(file), StartupResult::Failed);
    ASSERT_EQ(m_dialogs.shown.size(), 5u);
    EXPECT_EQ(m_dialogs.shown[4].text, L"恢复失败！");
    EXPECT_EQ(m_dialogs.shown[4].title, L"QUOR备份管理");
    EXPECT_EQ(m_dialogs.shown[4].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    const std::wstring log = Log();
    EXPECT_EQ(log.find(L"]:命令行恢复文件开始" + file + L"\r\n"), log.find(L"]:"))
        << quor::ToUtf8(log);
    EXPECT_NE(log.find(L"]:恢复失败\r\n"), std::wstring::npos);

    // A quoted path is taken as it stands: it names no file, so the window opens.
    EXPECT_EQ(Start(L"\"" + file + L"\""), StartupResult::ShowWindow);
    EXPECT_EQ(m_dialogs.shown.size(), 5u);
}
