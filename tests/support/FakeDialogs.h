// A Dialogs that records every message box and answers with a chosen button.
#pragma once

#include "Dialogs.h"

#include <string>
#include <vector>

namespace quor::test {

struct ShownMessage {
    std::wstring text;
    std::wstring title;
    UINT type;
};

class FakeDialogs : public Dialogs {
public:
    int Message(HWND, const std::wstring& text, const std::wstring& title, UINT type) override {
        shown.push_back({text, title, type});
        return answer;
    }

    std::vector<ShownMessage> shown;
    int answer = IDOK;
};

} // namespace quor::test
