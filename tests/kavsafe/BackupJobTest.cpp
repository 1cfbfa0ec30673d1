// The backup job end to end: real archiver, real QUOR_MySQL service (the stand-in), real log.
#include "Files.h"
#include "StandInService.h"
#include "TestSupport.h"
#include "Text.h"
#include "UniqueHandle.h"
#include "modPublic.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>

using namespace kavsafe;
using namespace quor::test;

namespace {

using Tree = std::map<std::wstring, Item>;

std::vector<std::wstring> LogMessages(const std::wstring& root) {
    const std::wstring text = quor::FromAnsi(ReadBytes(root + L"\\backup.log").value_or(""));
    std::vector<std::wstring> messages;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        std::wstring line = text.substr(start, end - start);
        // Dated lines lose their "[date time]:" prefix; the separator stays as it is.
        const size_t close = line.find(L"]:");
        messages.push_back(
            line.front() == L'[' && close != std::wstring::npos ? line.substr(close + 2) : line);
    }
    return messages;
}

class BackupJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.path().empty());
        const std::wstring bin = m_root / L"Apache\\bin";
        ASSERT_TRUE(MakeDirs(bin));
        // The spy takes the archiver's place and hands over to the real one.
        ASSERT_TRUE(CopyInto(quor::ModuleDirectory() + L"\\SpyArchiver.exe", bin + L"\\bi.exe"));
        ASSERT_TRUE(CopyInto(BinProgram(L"bi.exe"), bin + L"\\bi-real.exe"));

        m_state.AppDir = m_root.path();
        m_state.ArchiverExe = bin + L"\\bi.exe";
        m_state.DataDir = m_root / L"MySQL\\Data";
        m_state.BackupDir = m_root / L"备份 目录\\";
        ASSERT_TRUE(MakeDirs(m_state.BackupDir));
        MakeSampleData(m_state.DataDir);

        ASSERT_TRUE(m_mysql.Install());
        ASSERT_TRUE(m_mysql.Start());
    }

    static void MakeSampleData(const std::wstring& data) {
        ASSERT_TRUE(MakeDirs(data + L"\\mysql"));
        ASSERT_TRUE(MakeDirs(data + L"\\quor\\空目录"));
        ASSERT_TRUE(WriteBytes(data + L"\\ibdata1", std::string(3 * 1024 * 1024 + 7, 'i')));
        ASSERT_TRUE(WriteBytes(data + L"\\mysql\\user.MYD", "user rows"));
        ASSERT_TRUE(WriteBytes(data + L"\\quor\\订单.frm", std::string("\0\x01\x02", 3)));
        ASSERT_TRUE(WriteBytes(data + L"\\quor\\empty.MYI", ""));
    }

    std::wstring Spy() {
        std::wstring text;
        quor::FromUtf8(ReadBytes(m_root / L"Apache\\bin\\spy.txt").value_or(""), text);
        return text;
    }

    // Extracts a backup file with the real archiver after giving back its "Rar!" bytes.
    Tree Unpack(const std::wstring& backup) {
        const std::wstring copy = m_root / L"check.rar";
        EXPECT_TRUE(CopyInto(backup, copy));
        EXPECT_TRUE(MarkArchive(copy, false));
        const std::wstring out = m_root / L"check";
        EXPECT_TRUE(MakeDirs(out));
        const RunResult run =
            quor::test::Run(BinProgram(L"bi.exe"), L"x -inul \"" + copy + L"\" \"" + out + L"\"");
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        return Snapshot(out);
    }

    // Backup files in the backup folder.
    std::vector<std::wstring> Backups() {
        std::vector<std::wstring> names;
        for (const auto& [name, item] : Snapshot(m_state.BackupDir)) {
            names.push_back(name);
        }
        return names;
    }

    TempDir m_root{L" 安装 root"};
    AppState m_state;
    StandInMySql m_mysql{m_root.path(), FreePort()};
};

} // namespace

TEST_F(BackupJobTest, PacksTheDataFolderWhileMySqlIsStoppedAndLogsEveryStage) {
    ASSERT_TRUE(BackupData(m_state));

    // One file named Data-yyyymmdd-hhmmss.quordb, marked with QUOR.
    const auto backups = Backups();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_TRUE(std::regex_match(backups[0], std::wregex(L"Data-\\d{8}-\\d{6}\\.quordb")));
    const std::wstring backup = m_state.BackupDir + backups[0];
    EXPECT_EQ(ReadBytes(backup).value_or("").substr(0, 8), std::string("QUOR\x1a\x07\x01\x00", 8));

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

TEST_F(BackupJobTest, FailingArchiverLeavesNoBackupAndStillStartsMySql) {
    SetEnvironmentVariableW(L"QUOR_SPY_FAIL", L"1");
    const bool result = BackupData(m_state);
    SetEnvironmentVariableW(L"QUOR_SPY_FAIL", nullptr);

    EXPECT_FALSE(result);
    EXPECT_TRUE(Backups().empty()); // the partial archive is gone
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
