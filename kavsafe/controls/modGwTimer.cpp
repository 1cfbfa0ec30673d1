// modGwTimer: the timer callback of the button control's hover tracking.
#include "modGwTimer.h"

#include "gwButtons_H.h"

namespace kavsafe::controls {

void CALLBACK HoverTimerProc(HWND hwnd, UINT /*message*/, UINT_PTR timerId, DWORD /*time*/) {
    // The property holds a borrowed pointer: the button removes it before it goes away.
    auto* button = static_cast<gwButtons_H*>(GetPropA(hwnd, "gw_ClassID"));
    const auto storedId = reinterpret_cast<UINT_PTR>(GetPropA(hwnd, "gw_TimerID"));
    if (!button || storedId == 0) {
        // A timer whose button is gone has nobody to report to.
        KillTimer(hwnd, timerId);
        return;
    }
    button->CheckHoverExit(storedId);
}

} // namespace kavsafe::controls
