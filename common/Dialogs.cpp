// The one door to message boxes and the folder browser.
#include "Dialogs.h"

#include "UniqueHandle.h"

#include <objbase.h>
#include <shlobj.h>

namespace quor {

namespace {

// Item identifier lists that the shell allocates with the COM task allocator.
struct PidlTraits {
    static LPITEMIDLIST invalid() { return nullptr; }
    static void close(LPITEMIDLIST pidl) { CoTaskMemFree(pidl); }
};
using PidlHandle = Unique<PidlTraits>;

// The folder browser needs COM on the calling thread; initialised here for the time of the
// call, and left alone when the thread already has it in another model.
class ComScope {
public:
    ComScope() : m_ok(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComScope() {
        if (m_ok) {
            CoUninitialize();
        }
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool m_ok;
};

} // namespace

int SystemDialogs::Message(HWND owner, const std::wstring& text, const std::wstring& title,
                           UINT type) {
    return MessageBoxW(owner, text.c_str(), title.c_str(), type);
}

std::optional<std::wstring> SystemDialogs::BrowseForFolder(HWND owner, const std::wstring& title,
                                                           int rootCsidl, UINT flags) {
    const ComScope com;
    // Without the root item (null on failure) the browser starts at the desktop.
    PidlHandle root;
    SHGetSpecialFolderLocation(owner, rootCsidl, root.put());
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.pidlRoot = root.get();
    info.lpszTitle = title.c_str();
    info.ulFlags = flags;
    const PidlHandle chosen(SHBrowseForFolderW(&info));
    if (!chosen) {
        return std::nullopt;
    }
    // SHGetPathFromIDListW fails for items outside the file system.
    wchar_t path[MAX_PATH] = L"";
    if (!SHGetPathFromIDListW(chosen.get(), path)) {
        return std::wstring();
    }
    return std::wstring(path);
}

} // namespace quor
