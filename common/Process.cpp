// Starting child processes: the one place where a command line is put together.
#include "Process.h"

namespace quor {

namespace {

// Starts program hidden; both handles of info belong to the caller when this returns true.
bool Launch(const std::wstring& program, const std::wstring& arguments, PROCESS_INFORMATION& info) {
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    // CreateProcessW may write into the command line buffer, so it gets a private copy.
    // A program given without a folder is looked up on the search path.
    const bool bareName = program.find_first_of(L"\\/") == std::wstring::npos;
    return CreateProcessW(bareName ? nullptr : program.c_str(), commandLine.data(), nullptr,
                          nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                          &info) != FALSE;
}

} // namespace

KernelHandle StartHidden(const std::wstring& program, const std::wstring& arguments) {
    PROCESS_INFORMATION info{};
    if (!Launch(program, arguments, info)) {
        return KernelHandle();
    }
    KernelHandle thread(info.hThread);
    return KernelHandle(info.hProcess);
}

bool StartDetached(const std::wstring& program, const std::wstring& arguments) {
    PROCESS_INFORMATION info{};
    if (!Launch(program, arguments, info)) {
        return false;
    }
    KernelHandle thread(info.hThread);
    KernelHandle process(info.hProcess);
    return true;
}

std::wstring SystemProgram(const std::wstring& fileName) {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return fileName;
    }
    return std::wstring(folder, length) + L"\\" + fileName;
}

std::wstring ArgumentPart(const wchar_t* commandLine) {
    const wchar_t* p = commandLine;
    if (*p == L'"') {
        // A quoted program name ends at the closing quote.
        ++p;
        while (*p && *p != L'"') {
            ++p;
        }
        if (*p) {
            ++p;
        }
    } else {
        while (*p && *p != L' ' && *p != L'\t') {
            ++p;
        }
    }
    while (*p == L' ' || *p == L'\t') {
        ++p;
    }
    return p;
}

std::optional<DWORD> ExitCodeOf(HANDLE process) {
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) {
        return std::nullopt;
    }
    return code;
}

} // namespace quor
