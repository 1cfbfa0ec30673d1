// Text output of the archiver.
#include "Console.h"

#include "Text.h"

#include <windows.h>

namespace bi {

namespace {

void WriteLine(DWORD stream, const std::wstring& line) {
    const HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::wstring text = line + L"\r\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string bytes = quor::ToUtf8(text);
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

} // namespace

void Console::Out(const std::wstring& line) const {
    if (!m_quiet) {
        WriteLine(STD_OUTPUT_HANDLE, line);
    }
}

void Console::Error(const std::wstring& line) const {
    if (!m_quiet) {
        WriteLine(STD_ERROR_HANDLE, line);
    }
}

} // namespace bi
