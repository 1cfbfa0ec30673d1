// The backup manager window.
#pragma once

#include "BaseWindow.h"
#include "modPublic.h"

namespace kavsafe {

class frmKavSafe : public quor::BaseWindow<frmKavSafe> {
public:
    frmKavSafe(AppState& state, quor::Dialogs& dialogs);

    // Creates and shows the window; false when it could not be created.
    bool Show(HINSTANCE instance, int showCommand);

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

private:
    AppState& m_state;
    quor::Dialogs& m_dialogs;
};

} // namespace kavsafe
