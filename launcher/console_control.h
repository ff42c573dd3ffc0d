// The console's control events (Ctrl+C, Ctrl+Break, closing the window) while an examination runs.
#pragma once

#include "base/win32.h"

// From now on the launcher survives the console's control events: the child, which shares the
// console, receives them itself and decides whether to end, and the launcher goes on waiting to
// return the child's exit code. Events that end the session (closing the window, log-off) still
// end the launcher once the system's grace period runs out. Never throws.
void leaveConsoleControlToChild() noexcept;

namespace console_control {
// What the launcher answers for every control event: handled, so the default action (ending the
// process) is not taken.
BOOL WINAPI ignoreControlEvent(DWORD event);

// SetConsoleCtrlHandler unless replaced (tests); returns the previous one, null restores it.
using SetHandlerFunction = BOOL(WINAPI*)(PHANDLER_ROUTINE handler, BOOL add);
SetHandlerFunction setSetHandlerFunction(SetHandlerFunction set);
} // namespace console_control
