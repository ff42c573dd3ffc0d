#include "launcher/console_control.h"

namespace console_control {
namespace {

SetHandlerFunction g_setHandler = &::SetConsoleCtrlHandler;

} // namespace

BOOL WINAPI ignoreControlEvent(DWORD) {
    return TRUE;
}

SetHandlerFunction setSetHandlerFunction(SetHandlerFunction set) {
    const SetHandlerFunction previous = g_setHandler;
    g_setHandler = set ? set : &::SetConsoleCtrlHandler;
    return previous;
}

} // namespace console_control

void leaveConsoleControlToChild() noexcept {
    // A handler that answers "handled", not SetConsoleCtrlHandler(NULL, TRUE): the latter is
    // inherited, and children started later would ignore Ctrl+C as well.
    console_control::g_setHandler(&console_control::ignoreControlEvent, TRUE);
}
