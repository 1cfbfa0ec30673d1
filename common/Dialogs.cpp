// The one door to message boxes, so that handlers and jobs run in tests without a person.
#include "Dialogs.h"

namespace quor {

int SystemDialogs::Message(HWND owner, const std::wstring& text, const std::wstring& title,
                           UINT type) {
    return MessageBoxW(owner, text.c_str(), title.c_str(), type);
}

} // namespace quor
