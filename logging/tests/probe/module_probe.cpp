// A DLL carrying its own copy of the logging library, loaded by tests next to a program that
// carries another copy.
#include "base/win32.h"
#include "logging/execute_context.h"
#include "logging/log.h"

using namespace varno::logging;

extern "C" {

__declspec(dllexport) ExecuteContext* probeContext() {
    return executeContext();
}

__declspec(dllexport) uint8_t* probeRouting() {
    return routingTable();
}

__declspec(dllexport) void probeSetConsole(int level, int enabled) {
    routingTable()[kConsoleFlag + level] = enabled ? 1 : 0;
}

__declspec(dllexport) void probeLog(int level, const wchar_t* text) {
    logMessage(static_cast<Level>(level), std::wstring(text));
}

__declspec(dllexport) void probeLogException(int level, const wchar_t* message) {
    vexception e(message, SourceLocation(L"probe context", "probeLogException", 7));
    logException(static_cast<Level>(level), e);
}

} // extern "C"
