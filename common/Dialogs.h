// The one door to message boxes and the folder browser, so that handlers and jobs run in
// tests without a person.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace quor {

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Shows a message box with the given MB_ button, icon and default-button flags and
    // returns the button pressed (IDOK, IDYES, IDNO).
    virtual int Message(HWND owner, const std::wstring& text, const std::wstring& title,
                        UINT type) = 0;
    // Shows the shell's folder browser rooted at the virtual folder rootCsidl (a CSIDL_
    // value) with the given title and BIF_ flags. nullopt when the person cancelled; an
    // empty text when the chosen item has no file-system path (a virtual folder such as
    // the computer itself); otherwise the chosen folder's path as the shell gives it.
    virtual std::optional<std::wstring> BrowseForFolder(HWND owner, const std::wstring& title,
                                                        int rootCsidl, UINT flags) = 0;
};

// The real dialogs of the platform.
class SystemDialogs : public Dialogs {
public:
    int Message(HWND owner, const std::wstring& text, const std::wstring& title,
                UINT type) override;
    std::optional<std::wstring> BrowseForFolder(HWND owner, const std::wstring& title,
                                                int rootCsidl, UINT flags) override;
};

} // namespace quor
