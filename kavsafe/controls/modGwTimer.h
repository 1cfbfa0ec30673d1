// modGwTimer: the timer callback of the button control's hover tracking.
#pragma once

#include <windows.h>

namespace kavsafe::controls {

// Timer callback of a button window: finds the button through the window property
// "gw_ClassID" and the timer id through "gw_TimerID", and lets the button check whether the
// cursor has left it.
void CALLBACK HoverTimerProc(HWND hwnd, UINT message, UINT_PTR timerId, DWORD time);

} // namespace kavsafe::controls
