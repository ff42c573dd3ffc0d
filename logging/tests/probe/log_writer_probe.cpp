// One of several processes writing the same log at once. Waits for a named start event so that
// all writers begin together, then writes its records, each "record <tag> <n>", through one log
// object kept open. The date is pinned so that every writer agrees on the file even at midnight.
//   log_writer_probe <directory> <log name> <tag> <count> <start event>
#include "base/exception.h"
#include "base/win32.h"
#include "logging/varno_log.h"

#include <cstdio>
#include <cwchar>
#include <string>

using namespace varno::logging;

namespace {

VDateTime pinnedNow() {
    SYSTEMTIME local;
    ::GetLocalTime(&local);
    return VDateTime(2014, 3, 7, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 6)
        return 2;
    try {
        HANDLE start = ::OpenEventW(SYNCHRONIZE, FALSE, argv[5]);
        if (!start || ::WaitForSingleObject(start, 60000) != WAIT_OBJECT_0)
            return 3;
        ::CloseHandle(start);
        LogClock clock;
        clock.now = &pinnedNow;
        VarnoLog log(argv[2], 1, argv[1], clock);
        const std::wstring prefix = std::wstring(L"record ") + argv[3] + L" ";
        const long count = std::wcstol(argv[4], nullptr, 10);
        for (long i = 0; i < count; ++i)
            log.write(prefix + std::to_wstring(i));
    } catch (const vexception& e) {
        std::fwprintf(stderr, L"%ls\n", e.fullText().c_str());
        return 1;
    }
    return 0;
}
