// A Dialogs that records every message box and folder browser and answers with a chosen
// button or folder.
#pragma once

#include "Dialogs.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quor::test {

struct ShownMessage {
    std::wstring text;
    std::wstring title;
    UINT type;
    HWND owner = nullptr;
};

struct ShownBrowser {
    HWND owner;
    std::wstring title;
    int rootCsidl;
    UINT flags;
};

class FakeDialogs : public Dialogs {
public:
    int Message(HWND owner, const std::wstring& text, const std::wstring& title,
                UINT type) override {
        shown.push_back({text, title, type, owner});
        if (onMessage) {
            onMessage(shown.back());
        }
        return answer;
    }

    std::optional<std::wstring> BrowseForFolder(HWND owner, const std::wstring& title,
                                                int rootCsidl, UINT flags) override {
        browsed.push_back({owner, title, rootCsidl, flags});
        return folder;
    }

    std::vector<ShownMessage> shown;
    int answer = IDOK;
    // Runs while a box is "open", before the answer is given.
    std::function<void(const ShownMessage&)> onMessage;

    std::vector<ShownBrowser> browsed;
    // nullopt: the person cancels; "": an item without a file-system path.
    std::optional<std::wstring> folder;
};

} // namespace quor::test
