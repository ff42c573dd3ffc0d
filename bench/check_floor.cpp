// bench-check-floor: the least a readiness check can do, the yardstick for "--check-system": the
// same four system calls (the installer's mutex, the three servicing keys in the 64-bit view, with
// the same access), and the same exit code, but no output and nothing else.
#include "base/win32.h"

namespace {

bool keyOpens(const wchar_t* subKey) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, READ_CONTROL | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

} // namespace

int wmain() {
    int found = 0;
    if (HANDLE mutex = ::OpenMutexW(READ_CONTROL, FALSE, L"Global\\_MSIExecute")) {
        ::CloseHandle(mutex);
        found = 1;
    }
    if (keyOpens(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\InProgress"))
        found = 1;
    if (keyOpens(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based "
                 L"Servicing\\RebootPending"))
        found = 1;
    if (keyOpens(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto "
                 L"Update\\RebootRequired"))
        found = 1;
    return found;
}
