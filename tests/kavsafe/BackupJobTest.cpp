// The backup job end to end: real archiver, real QUOR_MySQL service (the stand-in), real log.
#include "JobFixture.h"
#include "JobRuntime.h"

#include <regex>
#include <thread>

using namespace kavsafe;
using namespace kavsafe::test;

namespace {

using BackupJobTest = JobTest;

} // namespace

TEST_F(BackupJobTest, PacksTheDataFolderWhileMySqlIsStoppedAndLogsEveryStage) {
    ArchiverProgress progress;
    ASSERT_FALSE(progress.Name().empty());
    ASSERT_TRUE(BackupData(m_state, &progress));
    // The archiver reported every byte of the data folder against the folder's size.
    EXPECT_EQ(progress.Read().total, 3u * 1024 * 1024 + 7 + 9 + 3);
    EXPECT_EQ(progress.Read().done, progress.Read().total);

    // One file named Data-yyyymmdd-hhmmss.quordb: a RAR 2.9 archive marked with QUOR.
    const auto backups = Backups();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_TRUE(std::regex_match(backups[0], std::wregex(L"Data-\\d{8}-\\d{6}\\.quordb")));
    const std::wstring backup = m_state.BackupDir + backups[0];
    EXPECT_EQ(ReadBytes(backup).value_or("").substr(0, 7), std::string("QUOR\x1a\x07\x00", 7));

    // Its content is the data folder, under the folder's own name, with names, contents,
    // times and attributes.
    Tree unpacked = Unpack(backup);
    ASSERT_TRUE(unpacked.count(L"Data"));
    unpacked.erase(L"Data");
    Tree expected;
    for (const auto& [name, item] : Snapshot(m_state.DataDir)) {
        expected[L"Data\\" + name] = item;
    }
    EXPECT_EQ(unpacked, expected);

    const std::vector<std::wstring> log = LogMessages(m_root.path());
    const std::vector<std::wstring> expectedLog = {
        L"开始备份",      L"停止MySQL服务",       L"打包开始", L"打包结束",
        L"启动MySQL服务", L"备份成功，" + backup, L"结束备份", kLogSeparator};
    EXPECT_EQ(log, expectedLog);

    // The archiver ran with the service stopped and the exact argument text; afterwards
    // the service comes back.
    EXPECT_NE(Spy().find(L"service=1\n"), std::wstring::npos) << quor::ToUtf8(Spy());
    EXPECT_NE(
        Spy().find(L"args=a -ep1 -inul -m2 \"" + backup + L"\" \"" + m_state.DataDir + L"\"\n"),
        std::wstring::npos)
        << quor::ToUtf8(Spy());
    EXPECT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(Listening(m_mysql.Port()));
}

// KeepBackups: the newest backups stay, the backup just made always among them; older ones of
// the job's own names go, each logged; other files are never touched.
TEST_F(BackupJobTest, KeepsTheNewestBackupsAndDeletesOnlyOlderOnesOfItsOwnNames) {
    m_state.Settings.IniName(m_root / L"settings.ini");
    ASSERT_TRUE(WriteBytes(m_root / L"settings.ini", "[QuorKav]\r\nKeepBackups=3\r\n"));
    const std::wstring dir = m_state.BackupDir;
    const std::vector<std::wstring> untouched = {
        L"Data-20990101-000000.quordb", // from a clock that ran ahead: newest by name, kept
        L"Data-20220101-000000.quordb", // kept
        L"Data-20190101-000000.QUORDB",     L"Data-2019-01-01.quordb",
        L"Data-20180101-00000.quordb",      L"data-20170101-000000.quordb",
        L"Data-20160101-000000.quordb.bak", L"notes.txt"};
    for (const std::wstring& name : untouched) {
        ASSERT_TRUE(WriteBytes(dir + name, "x"));
    }
    for (const wchar_t* name : {L"Data-20210101-000000.quordb", L"Data-20200101-000000.quordb"}) {
        ASSERT_TRUE(WriteBytes(dir + name, "old"));
    }
    // A backup the administrator made read-only cannot be deleted; the backup still counts.
    const std::wstring protectedBackup = dir + L"Data-20210101-000000.quordb";
    ASSERT_TRUE(SetFileAttributesW(protectedBackup.c_str(), FILE_ATTRIBUTE_READONLY));

    ASSERT_TRUE(BackupData(m_state));
    SetFileAttributesW(protectedBackup.c_str(), FILE_ATTRIBUTE_NORMAL);

    for (const std::wstring& name : untouched) {
        EXPECT_TRUE(quor::FileExists(dir + name)) << quor::ToUtf8(name);
    }
    EXPECT_TRUE(quor::FileExists(protectedBackup));
    EXPECT_FALSE(quor::PathExists(dir + L"Data-20200101-000000.quordb"));
    const std::vector<std::wstring> log = LogMessages(m_root.path());
    ASSERT_EQ(log.size(), 10u);
    EXPECT_EQ(log[5].rfind(L"备份成功，" + dir + L"Data-2", 0), 0u) << quor::ToUtf8(log[5]);
    EXPECT_TRUE(quor::FileExists(log[5].substr(5))); // the new backup stays
    EXPECT_EQ(log[6], L"删除旧备份失败" + protectedBackup);
    EXPECT_EQ(log[7], L"删除旧备份" + dir + L"Data-20200101-000000.quordb");
    EXPECT_EQ(log[8], L"结束备份");
}

TEST_F(BackupJobTest, FailingArchiverLeavesNoBackupAndStillStartsMySql) {
    // A failed backup deletes no old one, whatever KeepBackups says.
    m_state.Settings.IniName(m_root / L"settings.ini");
    ASSERT_TRUE(WriteBytes(m_root / L"settings.ini", "[QuorKav]\r\nKeepBackups=1\r\n"));
    ASSERT_TRUE(WriteBytes(m_state.BackupDir + L"Data-20200101-000000.quordb", "old"));
    SetEnvironmentVariableW(L"QUOR_SPY_FAIL", L"1");
    const bool result = BackupData(m_state);
    SetEnvironmentVariableW(L"QUOR_SPY_FAIL", nullptr);

    EXPECT_FALSE(result);
    // The partial archive is gone, the old backup is there.
    EXPECT_EQ(Backups(), std::vector<std::wstring>{L"Data-20200101-000000.quordb"});
    const std::vector<std::wstring> expectedLog = {L"开始备份", L"停止MySQL服务", L"打包开始",
                                                   L"打包结束", L"启动MySQL服务", L"备份失败",
                                                   L"结束备份", kLogSeparator};
    EXPECT_EQ(LogMessages(m_root.path()), expectedLog);
    EXPECT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));
}

TEST_F(BackupJobTest, UnreadableDataFileFailsTheBackup) {
    // A table file held open without sharing, as by a server that did not stop.
    quor::FileHandle holder(CreateFileW((m_state.DataDir + L"\\ibdata1").c_str(), GENERIC_READ, 0,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(BackupData(m_state));
    EXPECT_TRUE(Backups().empty());
    EXPECT_EQ(LogMessages(m_root.path()).at(5), L"备份失败");
}

TEST_F(BackupJobTest, StoppedServiceAndMissingArchiverAreNoObstacleToTheLog) {
    // MySQL already stopped: every stage is still logged and the service is started.
    ASSERT_TRUE(m_mysql.Stop());
    ASSERT_TRUE(BackupData(m_state));
    EXPECT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));

    // An archiver that cannot be started gives a failed backup, not a hang. (A second
    // later, so that the first backup's name is not reused.)
    Sleep(1100);
    m_state.ArchiverExe = m_root / L"Apache\\bin\\missing.exe";
    EXPECT_FALSE(BackupData(m_state));
    const std::vector<std::wstring> log = LogMessages(m_root.path());
    ASSERT_EQ(log.size(), 16u);
    EXPECT_EQ(log[13], L"备份失败");
    EXPECT_EQ(Backups().size(), 1u);
}

TEST_F(BackupJobTest, BackupFolderWithoutTrailingBackslashPrefixesTheFileName) {
    // A hand-edited BakPath without the backslash: the name is appended directly.
    m_state.BackupDir = m_root / L"Bak";
    ASSERT_TRUE(BackupData(m_state));
    Tree files = Snapshot(m_root.path());
    bool found = false;
    for (const auto& [name, item] : files) {
        found = found || std::regex_match(name, std::wregex(L"BakData-\\d{8}-\\d{6}\\.quordb"));
    }
    EXPECT_TRUE(found);
}

TEST_F(BackupJobTest, ArchiverWarningStillCountsAndAnUnwritableLogDoesNotStopTheJob) {
    // Exit code 1 is RAR's warning: the archive is complete and counts as a backup.
    SetEnvironmentVariableW(L"QUOR_SPY_EXIT", L"1");
    // A folder in place of backup.log: every line is lost, the job goes on.
    ASSERT_TRUE(CreateDirectoryW((m_root / L"backup.log").c_str(), nullptr));
    const bool result = BackupData(m_state);
    SetEnvironmentVariableW(L"QUOR_SPY_EXIT", nullptr);

    EXPECT_TRUE(result);
    ASSERT_EQ(Backups().size(), 1u);
    EXPECT_EQ(ReadBytes(m_state.BackupDir + Backups()[0]).value_or("").substr(0, 4), "QUOR");
    EXPECT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));
}

TEST_F(BackupJobTest, WaitsWhileAnotherProcessRunsAJob) {
    ASSERT_TRUE(HoldJobLock());
    std::thread job([&] { BackupData(m_state); });
    // While the other job runs, this one has not begun: no line, MySQL untouched.
    Sleep(1000);
    EXPECT_TRUE(LogMessages(m_root.path()).empty());
    EXPECT_EQ(m_mysql.State(), static_cast<DWORD>(SERVICE_RUNNING));
    Release();
    job.join();
    EXPECT_EQ(LogMessages(m_root.path()).size(), 8u);
    EXPECT_EQ(Backups().size(), 1u);
}
