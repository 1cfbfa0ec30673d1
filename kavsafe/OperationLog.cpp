// The operation log backup.log and the marker that turns an archive into a backup file.
#include "modPublic.h"

#include "Files.h"
#include "Layout.h"
#include "Text.h"
#include "UniqueHandle.h"

namespace kavsafe {

namespace {

std::wstring FormatNow(bool date) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t buffer[128];
    const int length =
        date ? GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, buffer, 128)
             : GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, buffer, 128);
    return length > 0 ? std::wstring(buffer, static_cast<size_t>(length - 1)) : std::wstring();
}

} // namespace

void WriteLog(const std::wstring& appDir, const std::wstring& message, bool bare) {
    std::wstring line;
    if (bare) {
        line = message;
    } else {
        // The date and the time are read one after the other, the date first.
        const std::wstring date = FormatNow(true);
        const std::wstring time = FormatNow(false);
        line = L"[" + date + L" " + time + L"]:" + message;
    }
    line += L"\r\n";
    const std::string bytes = quor::ToAnsi(line);

    // FILE_APPEND_DATA makes every write land at the end, also when a second instance
    // appends to the same log.
    const std::wstring path = appDir + quor::layout::kLogFile;
    quor::FileHandle log(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!log) {
        return;
    }
    DWORD written = 0;
    WriteFile(log.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool MarkArchive(const std::wstring& path, bool toQuor) {
    if (!quor::FileExists(path)) {
        return true;
    }
    const char* signature = toQuor ? "QUOR" : "Rar!";
    quor::FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    DWORD written = 0;
    return WriteFile(file.get(), signature, 4, &written, nullptr) && written == 4;
}

} // namespace kavsafe
