// The Linux side of a program run by Wine: Unix paths, Linux programs, /proc.
#include "UnixSide.h"

#include "Process.h"
#include "Text.h"
#include "UniqueHandle.h"

#include <windows.h>

namespace quor::standin {

namespace {

// Linux process ids have at most 7 digits (pid_max is at most 4194304); with the line break
// a pid line is never longer than this.
constexpr size_t kMaxPidLine = 8;
// Far more than a pid line, a /proc stat line or a server's command line takes.
constexpr size_t kSmallFileLimit = 65536;

// The whole of a small file; nullopt when it cannot be opened. The size that /proc reports
// is 0, so the file is read until its end rather than by its size.
std::optional<std::string> ReadSmallFile(const std::wstring& path) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    std::string text;
    char buffer[1024];
    DWORD got = 0;
    while (text.size() < kSmallFileLimit &&
           ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        text.append(buffer, got);
    }
    return text;
}

} // namespace

std::optional<std::wstring> UnixPath(const std::wstring& windowsPath) {
    // Wine returns the name in the Unix character set, UTF-8 under the locales Wine is run
    // with here, in memory of the process heap.
    using UnixFileName = char*(CDECL*)(const wchar_t*);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto convert = kernel == nullptr
                             ? nullptr
                             : reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
                                   GetProcAddress(kernel, "wine_get_unix_file_name")));
    if (convert == nullptr) {
        return std::nullopt;
    }
    char* name = convert(windowsPath.c_str());
    if (name == nullptr) {
        return std::nullopt;
    }
    std::wstring path;
    const bool converted = FromUtf8(name, path);
    HeapFree(GetProcessHeap(), 0, name);
    return converted ? std::optional(path) : std::nullopt;
}

std::wstring ZDrivePath(std::wstring_view unixPath) {
    std::wstring path = L"Z:";
    for (const wchar_t c : unixPath) {
        path += c == L'/' ? L'\\' : c;
    }
    return path;
}

std::wstring QuoteArgument(std::wstring_view argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
        return std::wstring(argument);
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count double only before a quote, which itself needs one more.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

bool StartShell(std::wstring_view script, const std::vector<std::wstring>& arguments) {
    std::wstring commandLine = L"-c " + QuoteArgument(script);
    for (const std::wstring& argument : arguments) {
        commandLine += L" " + QuoteArgument(argument);
    }
    return StartDetached(ZDrivePath(L"/bin/sh"), commandLine);
}

bool UnixProcessAlive(unsigned pid) {
    const std::optional<std::string> stat =
        ReadSmallFile(ZDrivePath(L"/proc/" + std::to_wstring(pid) + L"/stat"));
    if (!stat) {
        return false;
    }
    // "pid (name) S ...": the name may hold blanks and parentheses, the state follows the
    // last closing parenthesis. Z is a zombie, X a process being removed.
    const size_t close = stat->rfind(')');
    if (close == std::string::npos || close + 2 >= stat->size()) {
        return false;
    }
    const char state = (*stat)[close + 2];
    return state != 'Z' && state != 'X';
}

bool UnixProcessHasArgument(unsigned pid, std::wstring_view argument) {
    const std::wstring folder = L"/proc/" + std::to_wstring(pid);
    const std::optional<std::string> commandLine = ReadSmallFile(ZDrivePath(folder + L"/cmdline"));
    std::string wanted;
    if (!commandLine || !ToUtf8(argument, wanted) || !UnixProcessAlive(pid)) {
        return false;
    }
    // The arguments follow one another, each ended by a zero byte.
    wanted += '\0';
    const std::string line = '\0' + *commandLine;
    return line.find('\0' + wanted) != std::string::npos;
}

bool SendSignal(unsigned pid, std::wstring_view signal) {
    return StartShell(L"kill -" + std::wstring(signal) + L" \"$0\"", {std::to_wstring(pid)});
}

std::optional<unsigned> ParsePidLine(std::string_view text) {
    if (text.empty() || text.size() > kMaxPidLine || text.back() != '\n') {
        return std::nullopt;
    }
    text.remove_suffix(1);
    unsigned pid = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        pid = pid * 10 + unsigned(c - '0');
    }
    return text.empty() || pid == 0 ? std::nullopt : std::optional(pid);
}

std::optional<unsigned> ReadPidFile(const std::wstring& path) {
    const std::optional<std::string> text = ReadSmallFile(path);
    return text ? ParsePidLine(*text) : std::nullopt;
}

std::wstring UnixUser() {
    wchar_t name[256];
    const DWORD length = GetEnvironmentVariableW(L"USER", name, 256);
    return length > 0 && length < 256 ? std::wstring(name, length) : L"root";
}

} // namespace quor::standin
