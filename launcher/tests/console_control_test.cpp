// The launcher's answer to the console's control events while its child runs. Wine delivers no
// control event to a program without a console of its own (as under the test runner), so the
// installation is seen through the seam and the handler is asked directly.
#include "launcher/console_control.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Installed {
    PHANDLER_ROUTINE handler;
    BOOL add;
};
std::vector<Installed> g_installed;

BOOL WINAPI recordHandler(PHANDLER_ROUTINE handler, BOOL add) {
    g_installed.push_back({handler, add});
    return TRUE;
}

} // namespace

TEST(ConsoleControl, EveryEventIsLeftToTheChildAndTheLauncherStays) {
    g_installed.clear();
    const console_control::SetHandlerFunction previous =
        console_control::setSetHandlerFunction(&recordHandler);
    leaveConsoleControlToChild();
    console_control::setSetHandlerFunction(previous);

    ASSERT_EQ(1u, g_installed.size());
    EXPECT_TRUE(g_installed[0].add);
    // A null handler would be inherited by the child as "ignore Ctrl+C".
    ASSERT_NE(nullptr, g_installed[0].handler);
    for (const DWORD event :
         {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT})
        EXPECT_TRUE(g_installed[0].handler(event)) << event;
}
