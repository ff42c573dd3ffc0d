// Writes the records named on its command line and nothing else, so a parent can compare the
// exact bytes that reach a redirected standard output.
//   m <level> <text>     a text record
//   e <level> <message>  an exception record with one location
//   p <text>             a plain printf line, to show the C runtime's own mode is left alone
//   x <text>             an Error record written by an exit handler that runs after the logging
//                        library has torn itself down (give it before any record)
#include "base/exception.h"
#include "base/text.h"
#include "logging/log.h"

#include <cstdio>
#include <cstdlib>

using namespace varno::logging;

namespace {

std::wstring g_lateText;

void logLate() {
    logMessage(Error, g_lateText);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring command = argv[i];
        if (command == L"m" && i + 2 < argc) {
            logMessage(static_cast<Level>(std::wcstol(argv[i + 1], nullptr, 10)),
                       std::wstring(argv[i + 2]));
            i += 2;
        } else if (command == L"e" && i + 2 < argc) {
            vexception e(argv[i + 2], SourceLocation(L"probe context", "consoleProbe", 12));
            logException(static_cast<Level>(std::wcstol(argv[i + 1], nullptr, 10)), e);
            i += 2;
        } else if (command == L"x" && i + 1 < argc) {
            g_lateText = argv[i + 1];
            std::atexit(&logLate);
            i += 1;
        } else if (command == L"p" && i + 1 < argc) {
            std::printf("%s\n", cstr(argv[i + 1], CP_UTF8).c_str());
            i += 1;
        } else {
            return 2;
        }
    }
    return 0;
}
