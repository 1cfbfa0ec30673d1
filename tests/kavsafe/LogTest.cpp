// The operation log, the backup marker and the small text rules of the jobs.
#include "Files.h"
#include "Process.h"
#include "TestSupport.h"
#include "UniqueHandle.h"
#include "Text.h"
#include "modPublic.h"

#include <gtest/gtest.h>

#include <regex>

using namespace kavsafe;
using quor::test::ReadBytes;
using quor::test::TempDir;
using quor::test::WriteBytes;

namespace {

std::wstring Format(const SYSTEMTIME& moment, bool date) {
    wchar_t buffer[128];
    const int length =
        date ? GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &moment, nullptr, buffer, 128)
             : GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &moment, nullptr, buffer, 128);
    return std::wstring(buffer, length > 0 ? length - 1 : 0);
}

std::wstring LogText(const TempDir& root) {
    return quor::FromAnsi(ReadBytes(root / L"backup.log").value_or(""));
}

} // namespace

TEST(WriteLogTest, DatedAndBareLinesInTheAnsiCodePage) {
    TempDir root(L" 日志");
    SYSTEMTIME before;
    GetLocalTime(&before);
    WriteLog(root.path(), L"开始备份");
    SYSTEMTIME after;
    GetLocalTime(&after);
    WriteLog(root.path(), kLogSeparator, true);

    // The first line creates the log; lines end in CR LF and the text is code page 936.
    const auto bytes = ReadBytes(root / L"backup.log");
    ASSERT_TRUE(bytes);
    EXPECT_NE(bytes->find("]:\xbf\xaa\xca\xbc\xb1\xb8\xb7\xdd\r\n"), std::string::npos);
    EXPECT_EQ(bytes->substr(bytes->size() - 47), std::string(45, '-') + "\r\n");

    // "[" short date, one space, long time "]:" and the message right after the colon.
    const std::wstring text = LogText(root);
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(text, match,
                                 std::wregex(L"\\[([^ ]+) ([^\\]]+)\\]:开始备份\r\n-{45}\r\n")))
        << quor::ToUtf8(text);
    EXPECT_TRUE(match[1] == Format(before, true) || match[1] == Format(after, true));
    EXPECT_TRUE(match[2] == Format(before, false) || match[2] == Format(after, false))
        << quor::ToUtf8(match[2].str());
}

TEST(WriteLogTest, AppendsAndLosesLinesSilentlyWhenTheLogCannotBeWritten) {
    TempDir root;
    ASSERT_TRUE(WriteBytes(root / L"backup.log", "earlier line\r\n"));
    WriteLog(root.path(), L"x", true);
    WriteLog(root.path(), L"y", true);
    EXPECT_EQ(ReadBytes(root / L"backup.log").value_or(""), "earlier line\r\nx\r\ny\r\n");

    // A folder in place of the log, or a missing root: nothing is written, nothing fails.
    TempDir blocked;
    ASSERT_TRUE(CreateDirectoryW((blocked / L"backup.log").c_str(), nullptr));
    WriteLog(blocked.path(), L"lost");
    WriteLog(blocked / L"missing", L"lost");
    EXPECT_FALSE(quor::PathExists(blocked / L"missing"));
}

TEST(MarkArchiveTest, SwapsExactlyTheFirstFourBytes) {
    TempDir dir;
    const std::wstring path = dir / L"a.quordb";
    const std::string archive = std::string("Rar!\x1a\x07\x01\x00", 8) + "rest of the archive";
    ASSERT_TRUE(WriteBytes(path, archive));

    EXPECT_TRUE(MarkArchive(path, true));
    EXPECT_EQ(ReadBytes(path).value_or(""), "QUOR" + archive.substr(4));
    EXPECT_TRUE(MarkArchive(path, false));
    EXPECT_EQ(ReadBytes(path).value_or(""), archive);

    // A file shorter than four bytes grows to four; a missing file is not created.
    const std::wstring tiny = dir / L"tiny";
    ASSERT_TRUE(WriteBytes(tiny, "ab"));
    EXPECT_TRUE(MarkArchive(tiny, true));
    EXPECT_EQ(ReadBytes(tiny).value_or(""), "QUOR");
    MarkArchive(dir / L"missing", true);
    EXPECT_FALSE(quor::PathExists(dir / L"missing"));
    MarkArchive(dir.path(), true); // a folder is not a file: no effect, no failure
}

TEST(MarkArchiveTest, ReportsAFileItCannotOpen) {
    TempDir dir;
    const std::wstring path = dir / L"locked.quordb";
    ASSERT_TRUE(WriteBytes(path, "Rar!data"));
    quor::FileHandle holder(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(MarkArchive(path, true));
    holder.reset();
    EXPECT_EQ(ReadBytes(path).value_or(""), "Rar!data");
}

TEST(JobTextTest, BackupFileNameAndArgumentPart) {
    SYSTEMTIME date{};
    date.wYear = 2026;
    date.wMonth = 3;
    date.wDay = 7;
    SYSTEMTIME time{};
    time.wHour = 9;
    time.wMinute = 5;
    time.wSecond = 1;
    EXPECT_EQ(BackupFileName(date, time), L"Data-20260307-090501.quordb");
    // Date and time are separate readings: just after midnight the old day may pair with
    // the new day's time.
    date.wDay = 31;
    time.wHour = 0;
    EXPECT_EQ(BackupFileName(date, time), L"Data-20260331-000501.quordb");

    EXPECT_EQ(quor::ArgumentPart(L"KavSafe.exe -b"), L"-b");
    EXPECT_EQ(quor::ArgumentPart(L"\"C:\\Program Files\\Q\\KavSafe.exe\"   -b"), L"-b");
    EXPECT_EQ(quor::ArgumentPart(L"\"C:\\Q\\KavSafe.exe\""), L"");
    EXPECT_EQ(quor::ArgumentPart(L"KavSafe.exe"), L"");
    EXPECT_EQ(quor::ArgumentPart(L"KavSafe.exe \"D:\\备份\\Data-1.quordb\""),
              L"\"D:\\备份\\Data-1.quordb\"");
    EXPECT_EQ(quor::ArgumentPart(L"KavSafe.exe\t-B "), L"-B ");
}

TEST(RunAndWaitTest, ProcessesWindowMessagesWhileWaitingAndKeepsAQuitRequest) {
    // The child ends only when this thread's window has handled a posted message, which
    // happens only if the wait dispatches messages.
    quor::KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, L"KavSafeRunAndWaitTest"));
    ASSERT_TRUE(event);
    static HANDLE s_event;
    s_event = event.get();
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = [](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (msg == WM_APP) {
            SetEvent(s_event);
            PostQuitMessage(7);
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    };
    windowClass.lpszClassName = L"RunAndWaitTestWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(L"RunAndWaitTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    PostMessageW(window, WM_APP, 0, 0);

    const std::wstring child = quor::ModuleDirectory() + L"\\SpyArchiver.exe";
    EXPECT_EQ(RunAndWait(child, L"--wait-event KavSafeRunAndWaitTest"), 0u);
    // The quit request made during the wait is there for the main loop afterwards.
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
    DestroyWindow(window);

    // The exit code comes back; a program that cannot start gives none.
    EXPECT_EQ(RunAndWait(child, L"--wait-event NoSuchEvent"), 1u);
    EXPECT_EQ(RunAndWait(quor::ModuleDirectory() + L"\\missing.exe", L""), std::nullopt);
}
