// Helpers shared by the test suites: temporary folders, file bytes, running programs.
#include "TestSupport.h"

#include "Files.h"
#include "UniqueHandle.h"

#include <atomic>

namespace quor::test {

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    std::wstring value;
    if (length > 0 && length < 4096) {
        value.assign(buffer, length);
    } else if (std::wstring_view(name) == L"QUOR_BIN") {
        value = QUOR_BIN_DEFAULT;
    } else if (std::wstring_view(name) == L"QUOR_SOURCE") {
        value = QUOR_SOURCE_DEFAULT;
    } else if (std::wstring_view(name) == L"QUOR_TESTDATA") {
        value = QUOR_TESTDATA_DEFAULT;
    }
    for (wchar_t& c : value) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return value;
}

std::wstring BinProgram(const wchar_t* fileName) {
    return Env(L"QUOR_BIN") + L"\\" + fileName;
}

TempDir::TempDir(const std::wstring& namePart) {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring base(temp, length);
    if (!base.empty() && base.back() == L'\\') {
        base.pop_back();
    }
    for (;;) {
        m_path = base + L"\\quortest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(counter++) + namePart;
        if (CreateDirectoryW(m_path.c_str(), nullptr)) {
            break;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            m_path.clear();
            break;
        }
    }
}

TempDir::~TempDir() {
    if (!m_path.empty()) {
        DeleteTree(m_path);
    }
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    DWORD written = 0;
    return bytes.empty() || (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                       &written, nullptr) &&
                             written == bytes.size());
}

std::optional<std::string> ReadBytes(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    return bytes;
}

bool MakeDirs(const std::wstring& path) {
    if (path.empty() || DirectoryExists(path)) {
        return true;
    }
    const std::wstring parent = ParentPath(path);
    if (!parent.empty() && parent != path && !MakeDirs(parent)) {
        return false;
    }
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

namespace {

void SnapshotInto(const std::wstring& root, const std::wstring& relative,
                  std::map<std::wstring, Item>& items) {
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    WIN32_FIND_DATAW found;
    quor::FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) {
        return;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring childRelative = relative.empty() ? name : relative + L"\\" + name;
        const std::wstring path = root + L"\\" + childRelative;
        Item item;
        item.directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        item.attributes = found.dwFileAttributes &
                          (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        item.modified = (static_cast<std::uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                        found.ftLastWriteTime.dwLowDateTime;
        if (!item.directory) {
            item.content = ReadBytes(path).value_or("<unreadable>");
        }
        items[childRelative] = item;
        if (item.directory) {
            SnapshotInto(root, childRelative, items);
        }
    } while (FindNextFileW(find.get(), &found));
}

} // namespace

std::map<std::wstring, Item> Snapshot(const std::wstring& root) {
    std::map<std::wstring, Item> items;
    SnapshotInto(root, L"", items);
    return items;
}

bool IsEmptyOrMissing(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    quor::FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) {
        return true;
    }
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..") {
            return false;
        }
    } while (FindNextFileW(find.get(), &found));
    return true;
}

bool CopyInto(const std::wstring& from, const std::wstring& to) {
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

RunResult Run(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs,
              const std::wstring& workDir) {
    RunResult result;
    TempDir outDir;
    const std::wstring outPath = outDir / L"output.txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    FileHandle out(CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        return result;
    }
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out.get();
    startup.hStdError = out.get();
    PROCESS_INFORMATION info{};
    // Under a loaded Wine a process start now and then fails for a moment; try again.
    bool created = false;
    for (int attempt = 0; attempt < 3 && !created; ++attempt) {
        created =
            CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                           workDir.empty() ? nullptr : workDir.c_str(), &startup, &info) != FALSE;
        if (!created) {
            Sleep(200);
        }
    }
    if (!created) {
        return result;
    }
    KernelHandle process(info.hProcess);
    KernelHandle thread(info.hThread);
    out.reset();
    result.started = true;
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 255);
        WaitForSingleObject(process.get(), 5000);
        return result;
    }
    result.finished = true;
    GetExitCodeProcess(process.get(), &result.exitCode);
    result.output = ReadBytes(outPath).value_or("");
    return result;
}

Started Start(const std::wstring& program, const std::wstring& arguments) {
    Started started;
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       nullptr, &startup, &info)) {
        KernelHandle thread(info.hThread);
        started.process.reset(info.hProcess);
        started.id = info.dwProcessId;
    }
    return started;
}

std::optional<DWORD> WaitExit(const Started& started, DWORD timeoutMs) {
    if (!started.process ||
        WaitForSingleObject(started.process.get(), timeoutMs) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(started.process.get(), &code);
    return code;
}

namespace {

struct WindowSearch {
    DWORD processId;
    const wchar_t* className;
    const std::wstring* caption;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND hwnd, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner != search->processId || !IsWindowVisible(hwnd)) {
        return TRUE;
    }
    wchar_t className[256];
    GetClassNameW(hwnd, className, 256);
    if (search->className && wcscmp(className, search->className) != 0) {
        return TRUE;
    }
    if (TextOf(hwnd) != *search->caption) {
        return TRUE;
    }
    search->found = hwnd;
    return FALSE;
}

} // namespace

HWND WaitForWindow(DWORD processId, const wchar_t* className, const std::wstring& caption,
                   DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        WindowSearch search{processId, className, &caption, nullptr};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            return search.found;
        }
        Sleep(50);
    } while (GetTickCount64() < deadline);
    return nullptr;
}

RECT RectInParent(HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

bool FixedAndCentred(HWND window) {
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    RECT frame{};
    GetWindowRect(window, &frame);
    const auto withinPixel = [](LONG a, int b) { return a - b >= -1 && a - b <= 1; };
    return (style & WS_SYSMENU) && !(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) &&
           withinPixel((frame.left + frame.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2) &&
           withinPixel((frame.top + frame.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2);
}

std::wstring TextOf(HWND window) {
    // WM_GETTEXT rather than GetWindowText: only the message reads an edit control's text in
    // another process. A window that does not answer reads as empty.
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
        return {};
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, 5000, &copied)) {
        return {};
    }
    text.resize(static_cast<size_t>(copied));
    return text;
}

MessageBoxView ReadMessageBox(HWND box) {
    MessageBoxView view;
    view.box = box;
    view.caption = TextOf(box);
    // The message text is the static control with id 0xFFFF.
    if (HWND text = GetDlgItem(box, 0xFFFF)) {
        view.text = TextOf(text);
    }
    // Windows gives the icon id 20, Wine id 0x440 (stc1).
    HWND icon = GetDlgItem(box, 20) ? GetDlgItem(box, 20) : GetDlgItem(box, 0x440);
    // Which icon shows cannot be told from here: every process gets its own copy of the
    // system icons. The in-process tests check the MB_ICON flags.
    view.hasIcon = icon && IsWindowVisible(icon) && SendMessageW(icon, STM_GETICON, 0, 0) != 0;
    view.hasOk = GetDlgItem(box, IDOK) != nullptr;
    view.hasYes = GetDlgItem(box, IDYES) != nullptr;
    view.hasNo = GetDlgItem(box, IDNO) != nullptr;
    view.hasCancel =
        GetDlgItem(box, IDCANCEL) != nullptr && IsWindowVisible(GetDlgItem(box, IDCANCEL));
    for (int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
        HWND button = GetDlgItem(box, id);
        if (button && (GetWindowLongW(button, GWL_STYLE) & 0x0F) == BS_DEFPUSHBUTTON) {
            view.defaultButton = id;
        }
    }
    return view;
}

void PressButton(HWND dialog, int controlId) {
    if (HWND button = GetDlgItem(dialog, controlId)) {
        PostMessageW(button, BM_CLICK, 0, 0);
    }
}

} // namespace quor::test
