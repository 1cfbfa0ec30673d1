// The one door to message boxes, so that handlers and jobs run in tests without a person.
#pragma once

#include <windows.h>

#include <string>

namespace quor {

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Shows a message box with the given MB_ button, icon and default-button flags and
    // returns the button pressed (IDOK, IDYES, IDNO).
    virtual int Message(HWND owner, const std::wstring& text, const std::wstring& title,
                        UINT type) = 0;
};

// The real dialogs of the platform.
class SystemDialogs : public Dialogs {
public:
    int Message(HWND owner, const std::wstring& text, const std::wstring& title,
                UINT type) override;
};

} // namespace quor
