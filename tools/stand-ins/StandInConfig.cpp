// Where a stand-in server finds its installation root, its port and its files.
#include "StandInConfig.h"

#include "Files.h"
#include "Text.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <optional>

namespace quor::standin {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// A decimal port number 1..65535 that fills the whole text.
std::optional<unsigned short> PortNumber(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + unsigned(c - '0');
    }
    if (value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<unsigned short>(value);
}

// Calls match on each line without its line break (LF or CR LF) and leading blanks, skipping
// empty lines and comments; returns the first port it yields.
template <typename Match>
unsigned short FirstPort(std::string_view text, std::string_view commentStarts, Match match) {
    // A UTF-8 byte order mark would hide the first line's keyword.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        line = TrimBlanks(line);
        if (line.empty() || commentStarts.find(line.front()) != std::string_view::npos) {
            continue;
        }
        if (const std::optional<unsigned short> port = match(line)) {
            return *port;
        }
    }
    return 0;
}

} // namespace

const wchar_t* ServerFolder(Flavour flavour) {
    return flavour == Flavour::Apache ? L"Apache" : L"MySQL";
}

unsigned short DefaultPort(Flavour flavour) {
    return flavour == Flavour::Apache ? 80 : 3306;
}

std::wstring InstallationRootOf(std::wstring_view programPath) {
    return ParentPath(ParentPath(ParentPath(programPath)));
}

std::wstring ConfigPath(const std::wstring& root, Flavour flavour) {
    return flavour == Flavour::Apache ? root + L"\\Apache\\conf\\httpd.conf"
                                      : root + L"\\MySQL\\my.ini";
}

std::wstring LogFolder(const std::wstring& root, Flavour flavour) {
    return root + L"\\" + ServerFolder(flavour) + L"\\logs";
}

unsigned short ParseListenPort(std::string_view conf) {
    return FirstPort(conf, "#", [](std::string_view line) -> std::optional<unsigned short> {
        constexpr std::string_view kKeyword = "Listen";
        if (line.size() <= kKeyword.size() || !IsBlank(line[kKeyword.size()]) ||
            !EqualsAsciiNoCase(line.substr(0, kKeyword.size()), kKeyword)) {
            return std::nullopt;
        }
        // The address is the first word; Apache allows a protocol word after it.
        std::string_view address = TrimBlanks(line.substr(kKeyword.size()));
        address = address.substr(0, address.find_first_of(" \t"));
        const size_t colon = address.rfind(':');
        return PortNumber(colon == std::string_view::npos ? address : address.substr(colon + 1));
    });
}

unsigned short ParseMysqlPort(std::string_view ini) {
    return FirstPort(ini, "#;[", [](std::string_view line) -> std::optional<unsigned short> {
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos ||
            !EqualsAsciiNoCase(TrimBlanks(line.substr(0, equals)), "port")) {
            return std::nullopt;
        }
        return PortNumber(TrimBlanks(line.substr(equals + 1)));
    });
}

namespace {

std::string ReadConfig(const std::wstring& root, Flavour flavour) {
    std::string text;
    FileHandle file(CreateFileW(ConfigPath(root, flavour).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        char buffer[16384];
        DWORD got = 0;
        // Configuration files are small; a megabyte is far more than any real one holds.
        while (text.size() < (1u << 20) &&
               ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
            text.append(buffer, got);
        }
    }
    return text;
}

} // namespace

unsigned short ReadPort(const std::wstring& root, Flavour flavour) {
    const std::string text = ReadConfig(root, flavour);
    const unsigned short port =
        flavour == Flavour::Apache ? ParseListenPort(text) : ParseMysqlPort(text);
    return port != 0 ? port : DefaultPort(flavour);
}

std::vector<std::wstring> ArgumentsAfterProgram(std::wstring_view commandLine,
                                                std::wstring_view programPath) {
    std::wstring_view rest = commandLine;
    while (!rest.empty() && IsBlank(rest.front())) {
        rest.remove_prefix(1);
    }
    if (!rest.empty() && rest.front() == L'"') {
        const size_t close = rest.find(L'"', 1);
        rest.remove_prefix(close == std::wstring_view::npos ? rest.size() : close + 1);
    } else if (!programPath.empty() && rest.size() >= programPath.size() &&
               EqualsNoCase(rest.substr(0, programPath.size()), programPath) &&
               (rest.size() == programPath.size() || IsBlank(rest[programPath.size()]))) {
        rest.remove_prefix(programPath.size());
    } else {
        size_t end = 0;
        while (end < rest.size() && !IsBlank(rest[end])) {
            ++end;
        }
        rest.remove_prefix(end);
    }

    // The remaining words: blanks separate them, double quotes group blanks into one word.
    std::vector<std::wstring> arguments;
    size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && IsBlank(rest[i])) {
            ++i;
        }
        if (i == rest.size()) {
            break;
        }
        std::wstring word;
        bool quoted = false;
        for (; i < rest.size() && (quoted || !IsBlank(rest[i])); ++i) {
            if (rest[i] == L'"') {
                quoted = !quoted;
            } else {
                word += rest[i];
            }
        }
        arguments.push_back(std::move(word));
    }
    return arguments;
}

std::wstring ServiceNameFrom(Flavour flavour, const std::vector<std::wstring>& arguments) {
    if (flavour == Flavour::MySql) {
        return arguments.empty() || arguments.front().starts_with(L"-") ? std::wstring()
                                                                        : arguments.front();
    }
    for (size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == L"-n") {
            return arguments[i + 1];
        }
    }
    return {};
}

bool WantsConsole(const std::vector<std::wstring>& arguments) {
    for (const std::wstring& argument : arguments) {
        if (EqualsNoCase(argument, L"-console") || EqualsNoCase(argument, L"--console")) {
            return true;
        }
    }
    return false;
}

bool RefusesStop(const std::wstring& root, Flavour flavour) {
    const std::string text = ReadConfig(root, flavour);
    const std::string_view option = "refuse_stop=1";
    for (size_t at = text.find(option); at != std::string::npos; at = text.find(option, at + 1)) {
        if (at == 0 || text[at - 1] == '\n') {
            return true;
        }
    }
    return false;
}

} // namespace quor::standin
