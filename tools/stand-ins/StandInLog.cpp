// The files through which a stand-in tells tests what happened.
#include "StandInLog.h"

#include "Text.h"
#include "UniqueHandle.h"

namespace quor::standin {

namespace {

// Opens a file of the logs folder, creating the folder first. The server folder itself
// (<root>\Apache) belongs to the installation and is not created here.
FileHandle OpenLogFile(const std::wstring& root, Flavour flavour, const wchar_t* name, DWORD access,
                       DWORD disposition) {
    const std::wstring folder = LogFolder(root, flavour);
    CreateDirectoryW(folder.c_str(), nullptr);
    return FileHandle(CreateFileW((folder + L"\\" + name).c_str(), access,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteAll(HANDLE file, std::string_view bytes) {
    DWORD written = 0;
    return bytes.empty() ||
           (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size());
}

} // namespace

bool AppendLogLine(const std::wstring& root, Flavour flavour, std::wstring_view line) {
    // FILE_APPEND_DATA alone makes every write land at the end of the file.
    const FileHandle file =
        OpenLogFile(root, flavour, L"standin.log", FILE_APPEND_DATA, OPEN_ALWAYS);
    return file && WriteAll(file.get(), ToAnsi(line) + "\r\n");
}

bool WriteLastRequest(const std::wstring& root, std::string_view requestLine) {
    const FileHandle file =
        OpenLogFile(root, Flavour::Apache, L"last-request.txt", GENERIC_WRITE, CREATE_ALWAYS);
    return file && WriteAll(file.get(), requestLine);
}

} // namespace quor::standin
