// The installation root, services and helpers that the backup and restore job tests share.
#pragma once

#include "Files.h"
#include "StandInService.h"
#include "TestSupport.h"
#include "Text.h"
#include "UniqueHandle.h"
#include "modPublic.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace kavsafe::test {

using namespace quor::test;

using Tree = std::map<std::wstring, Item>;

// The log's lines in order; dated lines without their "[date time]:" prefix.
inline std::vector<std::wstring> LogMessages(const std::wstring& root) {
    const std::wstring text = quor::FromAnsi(ReadBytes(root + L"\\backup.log").value_or(""));
    std::vector<std::wstring> messages;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        std::wstring line = text.substr(start, end - start);
        const size_t close = line.find(L"]:");
        messages.push_back(
            line.front() == L'[' && close != std::wstring::npos ? line.substr(close + 2) : line);
    }
    return messages;
}

// An installation root with spaces and Chinese characters, a sample data folder, the spy in
// the archiver's place handing over to the real bi.exe, and QUOR_MySQL running as the
// stand-in service.
class JobTest : public ::testing::Test {
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

    // Another program holds path open (see SpyArchiver's --hold) until Release.
    bool Hold(const std::wstring& path) { return HoldWith(L"--hold " + path); }
    // Another KavSafe-like process holds the job lock until Release.
    bool HoldJobLock() { return HoldWith(L"--hold-job"); }
    void Release() {
        quor::KernelHandle release(CreateEventW(nullptr, TRUE, FALSE, L"QuorSpyRelease"));
        SetEvent(release.get());
        EXPECT_EQ(WaitExit(m_holder), 0u);
        ResetEvent(release.get());
        m_holder = Started();
    }

    TempDir m_root{L" 安装 root"};
    AppState m_state;
    StandInMySql m_mysql{m_root.path(), FreePort()};

private:
    bool HoldWith(const std::wstring& arguments) {
        quor::KernelHandle held(CreateEventW(nullptr, TRUE, FALSE, L"QuorSpyHeld"));
        ResetEvent(held.get());
        m_holder = Start(quor::ModuleDirectory() + L"\\SpyArchiver.exe", arguments);
        return m_holder.process && WaitForSingleObject(held.get(), 20000) == WAIT_OBJECT_0;
    }

    Started m_holder;
};

} // namespace kavsafe::test
