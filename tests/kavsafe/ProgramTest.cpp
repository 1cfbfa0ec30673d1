// The real KavSafe.exe copied into an installation root: modes, message boxes, instances.
#include "Files.h"
#include "StandInService.h"
#include "TestSupport.h"
#include "Text.h"

#include <gtest/gtest.h>

using namespace quor::test;

namespace {

constexpr wchar_t kCaption[] = L"QUOR备份管理";

std::wstring Log(const std::wstring& root) {
    return quor::FromAnsi(ReadBytes(root + L"\\backup.log").value_or(""));
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.path().empty());
        ASSERT_TRUE(CopyInto(BinProgram(L"KavSafe.exe"), m_program));
    }

    void InstallArchiverAndData() {
        ASSERT_TRUE(MakeDirs(m_root / L"Apache\\bin"));
        ASSERT_TRUE(CopyInto(BinProgram(L"bi.exe"), m_root / L"Apache\\bin\\bi.exe"));
        ASSERT_TRUE(MakeDirs(m_root / L"MySQL\\Data\\quor"));
        ASSERT_TRUE(WriteBytes(m_root / L"MySQL\\Data\\quor\\t.MYD", "rows"));
        // Backups go into the root, not to the drive's default folder.
        ASSERT_TRUE(
            WriteBytes(m_root / L"settings.ini",
                       quor::ToAnsi(L"[QuorKAV]\r\nBakPath=" + m_root / L"备份\\" + L"\r\n")));
        ASSERT_TRUE(MakeDirs(m_root / L"备份"));
    }

    // Expects one message box with exactly this text, an OK button and an icon, and
    // presses OK; the program must then end.
    void ExpectErrorBoxAndPressOk(Started& program, const std::wstring& text) {
        HWND box = WaitForWindow(program.id, L"#32770", L"错误");
        ASSERT_NE(box, nullptr);
        const MessageBoxView view = ReadMessageBox(box);
        EXPECT_EQ(view.text, text);
        EXPECT_TRUE(view.hasOk);
        EXPECT_FALSE(view.hasYes || view.hasNo || view.hasCancel);
        EXPECT_TRUE(view.hasIcon);
        PressButton(box, IDOK);
        EXPECT_EQ(WaitExit(program), 0u);
    }

    // The root holds spaces and Chinese characters; a program lying where the unquoted
    // path would be cut ("...\quortest-N-M.exe") must never be started instead.
    TempDir m_root{L" 安装 root"};
    std::wstring m_program = m_root / L"KavSafe.exe";
};

} // namespace

TEST_F(ProgramTest, ScheduledBackupInARootWithSpacesAndChineseCharacters) {
    InstallArchiverAndData();
    // The service itself is covered by the job tests: its registered path is unquoted, so
    // the decoy would stop it from starting here.
    const std::wstring decoy = m_root.path().substr(0, m_root.path().find(L' ')) + L".exe";
    ASSERT_TRUE(WriteBytes(decoy, "not a program"));

    Started program = Start(m_program, L"-b");
    EXPECT_EQ(WaitExit(program, 60000), 0u);
    DeleteFileW(decoy.c_str());

    const std::wstring log = Log(m_root.path());
    const size_t first = log.find(L"]:计划任务开始备份\r\n");
    const size_t success = log.find(L"]:备份成功，" + m_root / L"备份\\Data-");
    EXPECT_NE(first, std::wstring::npos) << quor::ToUtf8(log);
    EXPECT_NE(success, std::wstring::npos) << quor::ToUtf8(log);
    EXPECT_LT(first, success);
}

TEST_F(ProgramTest, WindowModeRefusalsAreMessageBoxes) {
    // No data folder at all.
    Started noData = Start(m_program, L"");
    ExpectErrorBoxAndPressOk(noData, L"未找到数据库路径，执行QUOR备份管理出错！");

    // Data folder present (the first run wrote the second candidate), archiver missing.
    ASSERT_TRUE(MakeDirs(m_root / L"MySQL\\Data"));
    Started noArchiver = Start(m_program, L"");
    ExpectErrorBoxAndPressOk(noArchiver, L"执行QUOR备份管理出错，请确认是否正确安装！");
    EXPECT_EQ(Log(m_root.path()), L"");

    // With a command line the same refusal is a log line and no window.
    Started scheduled = Start(m_program, L"-b");
    EXPECT_EQ(WaitExit(scheduled), 0u);
    EXPECT_NE(Log(m_root.path()).find(L"]:执行QUOR备份管理出错，请确认是否正确安装\r\n"),
              std::wstring::npos);
}

TEST_F(ProgramTest, SecondStartEndsSilentlyWhileTheWindowIsOpen) {
    InstallArchiverAndData();
    Started first = Start(m_program, L"");
    HWND window = WaitForWindow(first.id, nullptr, kCaption);
    ASSERT_NE(window, nullptr);

    // The second start sees the first and ends without a window or message.
    Started second = Start(m_program, L"");
    EXPECT_EQ(WaitExit(second), 0u);
    EXPECT_EQ(WaitForWindow(second.id, nullptr, kCaption, 300), nullptr);

    // The window closes normally and the program ends.
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitExit(first), 0u);

    // With the first gone, a new start opens the window again.
    Started third = Start(m_program, L"");
    HWND again = WaitForWindow(third.id, nullptr, kCaption);
    ASSERT_NE(again, nullptr);
    PostMessageW(again, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitExit(third), 0u);
}
