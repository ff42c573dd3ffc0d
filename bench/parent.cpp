// bench-parent: the least a parent can do, the yardstick for the launcher. The rest of its own
// command line is the child's command line; it starts that with the standard handles inherited,
// as the launcher does, waits, and exits with the child's exit code. Its traced build
// (bench-parent-traced) writes the same milestone stamps as the launcher's.
#include "base/win32.h"

#include "launcher/phase_stamp.h"

namespace {

// The command line after the program's own name, which may be quoted.
const wchar_t* childCommandLine(const wchar_t* line) {
    if (*line == L'"') {
        ++line;
        while (*line && *line != L'"')
            ++line;
        if (*line)
            ++line;
    } else {
        while (*line && *line != L' ' && *line != L'\t')
            ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

} // namespace

int wmain() {
    ZRA_PHASE_STAMP("wmain");
    wchar_t* commandLine = const_cast<wchar_t*>(childCommandLine(::GetCommandLineW()));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &info))
        return 1;
    ZRA_PHASE_STAMP("child-start");
    ::CloseHandle(info.hThread);
    ::WaitForSingleObject(info.hProcess, INFINITE);
    ZRA_PHASE_STAMP("child-run");
    DWORD code = 1;
    ::GetExitCodeProcess(info.hProcess, &code);
    ::CloseHandle(info.hProcess);
    return static_cast<int>(code);
}
