// The restore job end to end: backups made by the backup job, the real archiver, the
// QUOR_MySQL stand-in, and the ways a swap or an unpack can fail.
#include "JobFixture.h"
#include "JobRuntime.h"

#include "Crc32.h"

#include <functional>

using namespace kavsafe;
using namespace kavsafe::test;

namespace {

class RestoreJobTest : public JobTest {
protected:
    void SetUp() override {
        JobTest::SetUp();
        ASSERT_TRUE(MakeDirs(m_root / L"Tmp"));
        ASSERT_TRUE(BackupData(m_state));
        // The job starts MySQL without waiting; let it come up before the next job.
        ASSERT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));
        ASSERT_EQ(Backups().size(), 1u);
        m_backup = m_state.BackupDir + Backups()[0];
        m_backupBytes = ReadBytes(m_backup).value_or("");
        m_backedUp = Snapshot(m_state.DataDir);
        // What the restore should undo: a changed, an added and a removed table.
        ASSERT_TRUE(WriteBytes(m_state.DataDir + L"\\mysql\\user.MYD", "changed rows"));
        ASSERT_TRUE(WriteBytes(m_state.DataDir + L"\\quor\\new.MYD", "added"));
        ASSERT_TRUE(DeleteFileW((m_state.DataDir + L"\\quor\\empty.MYI").c_str()));
        m_changed = Snapshot(m_state.DataDir);
        ASSERT_TRUE(DeleteFileW((m_root / L"backup.log").c_str()));
        ASSERT_TRUE(DeleteFileW((m_root / L"Apache\\bin\\spy.txt").c_str()));
    }

    // The restore's own log lines, with the result line given.
    std::vector<std::wstring> ExpectedLog(const std::wstring& outcome) const {
        return {L"开始恢复",         L"文件" + m_backup, L"停止MySQL服务", L"生成临时文件开始",
                L"生成临时文件结束", L"解包开始",        L"解包结束",      outcome,
                L"启动MySQL服务",    L"结束恢复",        kLogSeparator};
    }

    // After any restore: the work folder holds nothing of the run, the backup file is as it
    // was, no old folder is left beside the data, and MySQL runs again.
    void ExpectCleanEnd() {
        EXPECT_TRUE(IsEmptyOrMissing(m_root / L"Tmp"));
        EXPECT_EQ(ReadBytes(m_backup).value_or(""), m_backupBytes);
        EXPECT_FALSE(quor::PathExists(m_state.DataDir + L".quordbrestore.old"));
        EXPECT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));
    }

    std::wstring m_backup;
    std::string m_backupBytes;
    Tree m_backedUp;
    Tree m_changed;
};

} // namespace

TEST_F(RestoreJobTest, GivesBackTheBackedUpTreeWhileMySqlIsStopped) {
    // Leftovers of an interrupted run are no obstacle.
    ASSERT_TRUE(MakeDirs(m_root / L"Tmp\\Data\\stale"));
    ASSERT_TRUE(WriteBytes(m_root / L"Tmp\\.quordbrestore.tmp", "stale copy"));

    ArchiverProgress progress;
    ASSERT_TRUE(RestoreData(m_state, m_backup, &progress));
    EXPECT_EQ(Snapshot(m_state.DataDir), m_backedUp);
    EXPECT_EQ(LogMessages(m_root.path()), ExpectedLog(L"恢复成功"));
    ExpectCleanEnd();
    // The archiver took its total from the backup and reported every byte it wrote.
    EXPECT_EQ(progress.Read().total, 3u * 1024 * 1024 + 7 + 9 + 3);
    EXPECT_EQ(progress.Read().done, progress.Read().total);

    // The archiver ran with the service stopped, on the copy, into the work folder.
    EXPECT_NE(Spy().find(L"service=1\n"), std::wstring::npos) << quor::ToUtf8(Spy());
    EXPECT_NE(Spy().find(L"args=x -v -inul \"" + m_root / L"Tmp\\.quordbrestore.tmp" + L"\" \"" +
                         m_root / L"Tmp" + L"\"\n"),
              std::wstring::npos)
        << quor::ToUtf8(Spy());
}

// Backups compressed by the installation's earlier archivers, in the RAR 2.9 format and in
// RAR 5.0, restore like the job's own.
TEST_F(RestoreJobTest, RestoresCompressedBackupsOfBothFormats) {
    const struct {
        const wchar_t* name;
        std::uint32_t crc;
        std::size_t size;
    } restored[] = {{L"quor\\t.MYD", 0x47A3D737, 10776},
                    {L"mysql\\user.MYD", 0x9937BED2, 3200},
                    {L"quor\\empty.MYI", 0, 0}};
    for (const wchar_t* sample : {L"compressed-rar29.rar", L"compressed-rar5.rar"}) {
        SCOPED_TRACE(quor::ToUtf8(sample));
        const auto archive =
            ReadBytes(quor::test::Env(L"QUOR_SOURCE") + L"\\tests\\kavsafe\\data\\" + sample);
        ASSERT_TRUE(archive.has_value());
        m_backupBytes = "QUOR" + archive->substr(4);
        ASSERT_TRUE(WriteBytes(m_backup, m_backupBytes));
        DeleteFileW((m_root / L"backup.log").c_str());

        ASSERT_TRUE(RestoreData(m_state, m_backup));
        const Tree tree = Snapshot(m_state.DataDir);
        EXPECT_EQ(tree.size(), 5u); // the three files and their two folders
        for (const auto& file : restored) {
            const auto found = tree.find(file.name);
            ASSERT_NE(found, tree.end()) << quor::ToUtf8(file.name);
            EXPECT_EQ(found->second.content.size(), file.size);
            EXPECT_EQ(bi::Crc32(found->second.content.data(), found->second.content.size()),
                      file.crc);
        }
        EXPECT_EQ(LogMessages(m_root.path()), ExpectedLog(L"恢复成功"));
        ExpectCleanEnd();
    }
}

TEST_F(RestoreJobTest, MissingBackupFileTouchesNothing) {
    ASSERT_TRUE(m_mysql.Stop()); // so that a stray "net start" would show
    const std::wstring missing = m_state.BackupDir + L"Data-20000101-000000.quordb";
    EXPECT_FALSE(RestoreData(m_state, missing));
    const std::vector<std::wstring> expected = {L"开始恢复", L"文件" + missing + L"不存在",
                                                L"结束恢复", kLogSeparator};
    EXPECT_EQ(LogMessages(m_root.path()), expected);
    EXPECT_EQ(Snapshot(m_state.DataDir), m_changed);
    EXPECT_EQ(m_mysql.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(quor::PathExists(m_root / L"Apache\\bin\\spy.txt"));
}

TEST_F(RestoreJobTest, DamagedBackupsLeaveTheDataUntouched) {
    const std::string rar = "Rar!" + m_backupBytes.substr(4);
    const struct {
        const char* what;
        std::string bytes;
    } damaged[] = {
        {"garbage after the marker", "QUOR" + std::string(4096, '\x5a')},
        {"cut short", m_backupBytes.substr(0, m_backupBytes.size() - 1000)},
        {"a flipped byte in the data",
         [&] {
             std::string b = m_backupBytes;
             b[b.size() - 500] ^= 0x01;
             return b;
         }()},
        {"RAR 5.0 signature before RAR 2.9 headers",
         std::string("QUOR\x1a\x07\x01\x00", 8) + rar.substr(7)},
        {"a zip archive", std::string("PK\x03\x04", 4) + std::string(200, '\0')},
    };
    for (const auto& backup : damaged) {
        SCOPED_TRACE(backup.what);
        const std::wstring path = m_state.BackupDir + L"damaged.quordb";
        ASSERT_TRUE(WriteBytes(path, backup.bytes));
        DeleteFileW((m_root / L"backup.log").c_str());

        EXPECT_FALSE(RestoreData(m_state, path));
        EXPECT_EQ(Snapshot(m_state.DataDir), m_changed);
        EXPECT_EQ(LogMessages(m_root.path()).at(7), L"恢复失败");
        EXPECT_TRUE(IsEmptyOrMissing(m_root / L"Tmp"));
        EXPECT_EQ(ReadBytes(path).value_or(""), backup.bytes);
    }

    // An archiver that fails after unpacking part of the folder restores nothing.
    DeleteFileW((m_root / L"backup.log").c_str());
    SetEnvironmentVariableW(L"QUOR_SPY_FAIL", L"1");
    EXPECT_FALSE(RestoreData(m_state, m_backup));
    SetEnvironmentVariableW(L"QUOR_SPY_FAIL", nullptr);
    EXPECT_EQ(Snapshot(m_state.DataDir), m_changed);
    EXPECT_EQ(LogMessages(m_root.path()), ExpectedLog(L"恢复失败"));
    ExpectCleanEnd();
}

TEST_F(RestoreJobTest, FailedSwapPutsTheOldFolderBack) {
    // Each way the swap can be refused: the data folder itself held open by another
    // program, or a destination that cannot be written.
    const struct {
        const char* what;
        std::function<void()> arrange;
        std::function<void()> undo;
    } failures[] = {
        {"data folder held open", [&] { ASSERT_TRUE(Hold(m_state.DataDir)); }, [&] { Release(); }},
        {"a file where the restored folder goes",
         [&] {
             m_state.DataDir = m_root / L"MySQL\\db";
             ASSERT_TRUE(MoveFileW((m_root / L"MySQL\\Data").c_str(), m_state.DataDir.c_str()));
             ASSERT_TRUE(WriteBytes(m_root / L"MySQL\\Data", "in the way"));
         },
         [&] {
             ASSERT_TRUE(DeleteFileW((m_root / L"MySQL\\Data").c_str()));
             ASSERT_TRUE(MoveFileW(m_state.DataDir.c_str(), (m_root / L"MySQL\\Data").c_str()));
             m_state.DataDir = m_root / L"MySQL\\Data";
         }},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.what);
        DeleteFileW((m_root / L"backup.log").c_str());
        failure.arrange();
        EXPECT_FALSE(RestoreData(m_state, m_backup));
        EXPECT_EQ(Snapshot(m_state.DataDir), m_changed);
        EXPECT_EQ(LogMessages(m_root.path()), ExpectedLog(L"恢复失败"));
        failure.undo();
        ExpectCleanEnd();
    }
}

TEST_F(RestoreJobTest, TableFileHeldOpenNeverCostsData) {
    // A table file held without sharing: depending on the platform the swap is refused
    // (the folder cannot be renamed) or goes through (the old folder keeps the held file).
    // Either way the data folder is whole: the backed-up tree or the one before.
    ASSERT_TRUE(Hold(m_state.DataDir + L"\\ibdata1"));
    const bool restored = RestoreData(m_state, m_backup);
    Release();
    EXPECT_EQ(Snapshot(m_state.DataDir), restored ? m_backedUp : m_changed);
    EXPECT_EQ(LogMessages(m_root.path()), ExpectedLog(restored ? L"恢复成功" : L"恢复失败"));
    EXPECT_TRUE(IsEmptyOrMissing(m_root / L"Tmp"));
    EXPECT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));
}

TEST_F(RestoreJobTest, DestinationIsTheDataFolderBesideADataDirOfAnotherName) {
    // DataDir named otherwise: the restored folder becomes its sibling "Data" and the old
    // folder goes. A DataDir that is missing altogether gets the same sibling.
    m_state.DataDir = m_root / L"MySQL\\db";
    ASSERT_TRUE(MoveFileW((m_root / L"MySQL\\Data").c_str(), m_state.DataDir.c_str()));
    ASSERT_TRUE(RestoreData(m_state, m_backup));
    EXPECT_FALSE(quor::PathExists(m_state.DataDir));
    EXPECT_EQ(Snapshot(m_root / L"MySQL\\Data"), m_backedUp);

    ASSERT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));
    m_state.DataDir = m_root / L"MySQL\\gone";
    ASSERT_TRUE(quor::DeleteTree(m_root / L"MySQL\\Data"));
    ASSERT_TRUE(RestoreData(m_state, m_backup));
    EXPECT_EQ(Snapshot(m_root / L"MySQL\\Data"), m_backedUp);
    ExpectCleanEnd();
}

TEST_F(RestoreJobTest, MissingWorkFolderFailsWithoutTouchingData) {
    ASSERT_TRUE(RemoveDirectoryW((m_root / L"Tmp").c_str()));
    EXPECT_FALSE(RestoreData(m_state, m_backup));
    EXPECT_EQ(Snapshot(m_state.DataDir), m_changed);
    EXPECT_EQ(LogMessages(m_root.path()), ExpectedLog(L"恢复失败"));
    EXPECT_FALSE(quor::PathExists(m_root / L"Tmp"));
}

// A server whose service refuses to stop keeps running: neither job touches its data. The
// backup packs nothing, the restore copies, unpacks and swaps nothing, and both fail.
TEST_F(RestoreJobTest, AServerThatWillNotStopIsNeitherPackedNorReplaced) {
    ASSERT_TRUE(m_mysql.Stop());
    const std::wstring myIni = m_root / L"MySQL\\my.ini";
    ASSERT_TRUE(WriteBytes(myIni, ReadBytes(myIni).value_or("") + "refuse_stop=1\r\n"));
    ASSERT_TRUE(m_mysql.Start());

    EXPECT_FALSE(RestoreData(m_state, m_backup));
    EXPECT_EQ(Snapshot(m_state.DataDir), m_changed);
    EXPECT_EQ(LogMessages(m_root.path()), ExpectedLog(L"恢复失败"));
    ASSERT_TRUE(DeleteFileW((m_root / L"backup.log").c_str()));

    EXPECT_FALSE(BackupData(m_state));
    EXPECT_EQ(Backups(), std::vector<std::wstring>{m_backup.substr(m_state.BackupDir.size())});
    const std::vector<std::wstring> expectedLog = {L"开始备份", L"停止MySQL服务", L"打包开始",
                                                   L"打包结束", L"启动MySQL服务", L"备份失败",
                                                   L"结束备份", kLogSeparator};
    EXPECT_EQ(LogMessages(m_root.path()), expectedLog);
    // The archiver never ran, and the server runs on.
    EXPECT_FALSE(quor::PathExists(m_root / L"Apache\\bin\\spy.txt"));
    EXPECT_EQ(m_mysql.State(), static_cast<DWORD>(SERVICE_RUNNING));
}
