// Helpers shared by the test suites: temporary folders, file bytes, running programs.
#pragma once

#include <windows.h>

#include "UniqueHandle.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace quor::test {

// Value of an environment variable, with '/' turned into '\\'. QUOR_BIN (the built
// programs), QUOR_SOURCE (the checkout) and QUOR_TESTDATA (sample archives made by other
// tools) fall back to the folders known when the tests were built.
std::wstring Env(const wchar_t* name);

// Path of a built program in the bin folder, such as L"bi.exe".
std::wstring BinProgram(const wchar_t* fileName);

// A fresh folder under the temporary folder, deleted with all content when destroyed.
// The optional name part lets a test put spaces or Chinese characters into the path.
class TempDir {
public:
    explicit TempDir(const std::wstring& namePart = L"");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& path() const { return m_path; }
    std::wstring operator/(const std::wstring& relative) const { return m_path + L"\\" + relative; }

private:
    std::wstring m_path;
};

// Whole-file byte access; ReadBytes returns nullopt when the file cannot be read.
bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::optional<std::string> ReadBytes(const std::wstring& path);

// Creates every missing folder of path.
bool MakeDirs(const std::wstring& path);

// What a folder holds: relative path ('\' separators) to kind, content, time and the
// READONLY/HIDDEN/SYSTEM attribute bits (Wine reports ARCHIVE for every file, so that bit is
// left out of comparisons).
struct Item {
    bool directory = false;
    std::string content;
    std::uint64_t modified = 0;
    DWORD attributes = 0;

    bool operator==(const Item&) const = default;
};
std::map<std::wstring, Item> Snapshot(const std::wstring& root);

// True when the folder does not exist or holds nothing.
bool IsEmptyOrMissing(const std::wstring& folder);

// Copies a file, replacing the target.
bool CopyInto(const std::wstring& from, const std::wstring& to);

struct RunResult {
    bool started = false;
    bool finished = false; // false when the wait timed out (the process is then killed)
    // A program that did not start or did not finish never reads as success.
    DWORD exitCode = 0xFFFFFFFF;
    std::string output; // stdout and stderr together, as bytes
};

// Runs a program with the given argument text and waits for it. The output goes through
// a file, not a pipe: a pipe can be inherited by Wine's background processes and never
// reach end of file.
RunResult Run(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 120000,
              const std::wstring& workDir = L"");

// A program started without waiting, for tests that meet its windows.
struct Started {
    quor::KernelHandle process;
    DWORD id = 0;
};
Started Start(const std::wstring& program, const std::wstring& arguments);

// Waits for the process to end; its exit code, or nullopt after the time-out.
std::optional<DWORD> WaitExit(const Started& started, DWORD timeoutMs = 30000);

// Polls done() every 50 ms for up to timeoutMs; its last answer.
template <typename Done> bool Eventually(Done done, int timeoutMs = 20000) {
    for (int waited = 0; waited < timeoutMs && !done(); waited += 50) {
        Sleep(50);
    }
    return done();
}

// A control's rectangle in its parent's client coordinates.
RECT RectInParent(HWND control);
bool SameRect(const RECT& a, const RECT& b);

// A top-level window with a fixed frame, a close box and no minimise or maximise box, centred
// on the screen (to a pixel).
bool FixedAndCentred(HWND window);

// Waits for a visible top-level window of the process with the given class (nullptr: any)
// and caption; nullptr after the time-out.
HWND WaitForWindow(DWORD processId, const wchar_t* className, const std::wstring& caption,
                   DWORD timeoutMs = 20000);

// The window's text (caption of a window, text of a control).
std::wstring TextOf(HWND window);

// A message box as a person sees it: its text, caption, buttons and icon.
struct MessageBoxView {
    HWND box = nullptr;
    std::wstring text;
    std::wstring caption;
    bool hasOk = false, hasYes = false, hasNo = false, hasCancel = false;
    int defaultButton = 0; // control id of the default push button
    bool hasIcon = false;
};
MessageBoxView ReadMessageBox(HWND box);

// Presses a button of a dialog the way a click does.
void PressButton(HWND dialog, int controlId);

} // namespace quor::test
