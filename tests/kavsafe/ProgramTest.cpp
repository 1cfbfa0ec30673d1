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
    // presses OK; the program must then end with exit code 1.
    void ExpectErrorBoxAndPressOk(Started& program, const std::wstring& text) {
        HWND box = WaitForWindow(program.id, L"#32770", L"错误");
        ASSERT_NE(box, nullptr);
        const MessageBoxView view = ReadMessageBox(box);
        EXPECT_EQ(view.text, text);
        EXPECT_TRUE(view.hasOk);
        EXPECT_FALSE(view.hasYes || view.hasNo || view.hasCancel);
        EXPECT_TRUE(view.hasIcon);
        PressButton(box, IDOK);
        EXPECT_EQ(WaitExit(program), 1u);
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

    // With a command line the same refusal is a log line and no window; a scheduled task
    // sees the failure in the exit code.
    Started scheduled = Start(m_program, L"-b");
    EXPECT_EQ(WaitExit(scheduled), 1u);
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

TEST_F(ProgramTest, RestoreNamedOnTheCommandLineAsksFirstAndReportsTheResult) {
    InstallArchiverAndData();
    ASSERT_TRUE(MakeDirs(m_root / L"Tmp"));
    Started backup = Start(m_program, L"-b");
    ASSERT_EQ(WaitExit(backup, 60000), 0u);
    const auto backups = Snapshot(m_root / L"备份");
    ASSERT_EQ(backups.size(), 1u);
    const std::wstring file = m_root / L"备份\\" + backups.begin()->first;
    const auto backedUp = Snapshot(m_root / L"MySQL\\Data");
    ASSERT_TRUE(WriteBytes(m_root / L"MySQL\\Data\\quor\\t.MYD", "changed"));
    const auto changed = Snapshot(m_root / L"MySQL\\Data");
    const std::wstring question =
        L"从“" + file + L"”恢复数据？\r\n\r\n警告：恢复操作会覆盖现有数据。";

    // The question: Yes and No, a question icon, No as the default. No ends the program.
    Started declined = Start(m_program, file);
    HWND box = WaitForWindow(declined.id, L"#32770", kCaption);
    ASSERT_NE(box, nullptr);
    MessageBoxView view = ReadMessageBox(box);
    EXPECT_EQ(view.text, question);
    EXPECT_TRUE(view.hasYes && view.hasNo);
    EXPECT_FALSE(view.hasOk || view.hasCancel);
    EXPECT_EQ(view.defaultButton, IDNO);
    EXPECT_TRUE(view.hasIcon);
    PressButton(box, IDNO);
    EXPECT_EQ(WaitExit(declined), 1u); // nothing was restored
    EXPECT_EQ(Snapshot(m_root / L"MySQL\\Data"), changed);
    const std::wstring logBefore = Log(m_root.path());

    // While a window instance runs, Yes is refused without a log line.
    Started window = Start(m_program, L"");
    HWND main = WaitForWindow(window.id, nullptr, kCaption);
    ASSERT_NE(main, nullptr);
    Started refused = Start(m_program, file);
    box = WaitForWindow(refused.id, L"#32770", kCaption);
    ASSERT_NE(box, nullptr);
    PressButton(box, IDYES);
    box = WaitForWindow(refused.id, L"#32770", kCaption);
    ASSERT_NE(box, nullptr);
    // The same box may still be closing; wait for the refusal's text.
    for (int i = 0; i < 100 && ReadMessageBox(box).text != L"QUOR备份管理正在运行中，不能恢复！";
         ++i) {
        Sleep(50);
        box = WaitForWindow(refused.id, L"#32770", kCaption);
    }
    view = ReadMessageBox(box);
    EXPECT_EQ(view.text, L"QUOR备份管理正在运行中，不能恢复！");
    EXPECT_TRUE(view.hasIcon);
    PressButton(box, IDOK);
    EXPECT_EQ(WaitExit(refused), 1u);
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitExit(window), 0u);
    EXPECT_EQ(Log(m_root.path()), logBefore);

    // Yes restores, logs the file first and reports success.
    Started accepted = Start(m_program, file);
    box = WaitForWindow(accepted.id, L"#32770", kCaption);
    ASSERT_NE(box, nullptr);
    PressButton(box, IDYES);
    HWND result = nullptr;
    for (int i = 0; i < 600 && !result; ++i) {
        HWND candidate = WaitForWindow(accepted.id, L"#32770", kCaption, 100);
        if (candidate && ReadMessageBox(candidate).text == L"恢复成功！") {
            result = candidate;
        }
    }
    ASSERT_NE(result, nullptr);
    view = ReadMessageBox(result);
    EXPECT_TRUE(view.hasOk);
    EXPECT_TRUE(view.hasIcon);
    PressButton(result, IDOK);
    EXPECT_EQ(WaitExit(accepted), 0u);
    EXPECT_EQ(Snapshot(m_root / L"MySQL\\Data"), backedUp);
    EXPECT_NE(Log(m_root.path()).find(L"]:命令行恢复文件开始" + file + L"\r\n"),
              std::wstring::npos);
}
