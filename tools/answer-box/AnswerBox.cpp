// answer-box.exe: answers a message box of another program as a person would, for the demo and
// the tests that run the real programs from a shell.
//   answer-box.exe TITLE TEXT yes|no|ok [SECONDS]
// Waits (30 s unless SECONDS says otherwise) for a visible message box titled TITLE whose text
// contains TEXT, prints its text and presses the button. Exit code 0 when pressed, 1 when no such
// box came, 2 for a bad command line.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Search {
    const wchar_t* title;
    const wchar_t* text;
    int button;
    HWND found = nullptr;
};

std::wstring TextOf(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// The box's message is the static control with id 0xFFFF.
std::wstring MessageOf(HWND box) {
    const HWND message = GetDlgItem(box, 0xFFFF);
    return message ? TextOf(message) : std::wstring();
}

BOOL CALLBACK Match(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    wchar_t className[16] = L"";
    GetClassNameW(window, className, 16);
    if (IsWindowVisible(window) && std::wcscmp(className, L"#32770") == 0 &&
        TextOf(window) == search->title &&
        MessageOf(window).find(search->text) != std::wstring::npos &&
        GetDlgItem(window, search->button) != nullptr) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || argc > 5) {
        std::fwprintf(stderr, L"usage: answer-box TITLE TEXT yes|no|ok [SECONDS]\n");
        return 2;
    }
    const std::wstring answer = argv[3];
    const int button = answer == L"yes"  ? IDYES
                       : answer == L"no" ? IDNO
                       : answer == L"ok" ? IDOK
                                         : 0;
    const int seconds = argc == 5 ? _wtoi(argv[4]) : 30;
    if (button == 0 || seconds <= 0) {
        std::fwprintf(stderr, L"usage: answer-box TITLE TEXT yes|no|ok [SECONDS]\n");
        return 2;
    }
    // A box that is closing after an earlier answer has not got this button.
    Search search{argv[1], argv[2], button};
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    while (!search.found && GetTickCount64() < deadline) {
        EnumWindows(Match, reinterpret_cast<LPARAM>(&search));
        if (!search.found) {
            Sleep(100);
        }
    }
    if (!search.found) {
        return 1;
    }
    // The message, on one line: to a console as it is, to a file or pipe in UTF-8.
    std::wstring line = MessageOf(search.found);
    for (wchar_t& c : line) {
        c = c == L'\r' || c == L'\n' ? L' ' : c;
    }
    line += L"\n";
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    if (!WriteConsoleW(out, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr)) {
        const int size = WideCharToMultiByte(
            CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
        std::string bytes(static_cast<size_t>(std::max(size, 0)), '\0');
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(),
                            size, nullptr, nullptr);
        WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    PostMessageW(GetDlgItem(search.found, button), BM_CLICK, 0, 0);
    return 0;
}
