#include "launcher/check_system.h"

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/win32.h"
#include "launcher/standard_output.h"
#include "registry/registry.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Windows Installer holds this mutex for as long as an installation executes.
const wchar_t kInstallerMutex[] = L"Global\\_MSIExecute";
// Present while an installation is suspended or was interrupted.
const wchar_t kInstallerInProgressKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\InProgress";
const wchar_t kServicingRebootKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending";
const wchar_t kUpdateRebootKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\RebootRequired";

// What a look for a mutex or a key found. A look that could not be made is not an absence: the
// installer told "ready" would go ahead into the very state it asked about.
enum class Presence { Absent, Present, Unknown };

struct Probe {
    Presence presence;
    DWORD error;
};

Probe fromOpenError(DWORD error) {
    if (error == ERROR_SUCCESS)
        return {Presence::Present, 0};
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return {Presence::Absent, 0};
    return {Presence::Unknown, error};
}

// The servicing keys are tested in the 64-bit view: a 32-bit program on 64-bit Windows would
// otherwise be redirected to Wow6432Node, where Windows never writes them.
Probe servicingKey(const wchar_t* subKey) {
    return fromOpenError(
        static_cast<DWORD>(registry::keyOpenStatus(HKEY_LOCAL_MACHINE, subKey, registry::View64)));
}

Probe installerMutex() {
    base::ScopedHandle mutex(::OpenMutexW(READ_CONTROL, FALSE, kInstallerMutex));
    const DWORD error = mutex ? ERROR_SUCCESS : ::GetLastError();
    // Denied: the mutex is there, made by an account whose objects this one may not open.
    if (error == ERROR_ACCESS_DENIED)
        return {Presence::Present, 0};
    return fromOpenError(error);
}

void writeLine(const std::string& text) {
    writeStandardOutput(text + "\n");
}

// "Unable to check ...: (code) system text", on a line of its own.
void writeUncheckable(const wchar_t* what, DWORD error) {
    // After the installer's line, which has no break of its own, it starts a line of its own.
    writeLine(std::string(standardOutputLineOpen() ? "\n" : "") +
              cstr(format(L"Unable to check %s: (%lu) %s", what, static_cast<unsigned long>(error),
                          systemMessage(error).c_str()),
                   65001));
}

} // namespace

int checkInstaller() {
    const Probe mutex = installerMutex();
    if (mutex.presence == Presence::Present) {
        // No line break: a restart report, if any, follows on the same line.
        writeStandardOutput("Another installation is in progress. Please wait for it to complete.");
        return 1;
    }
    if (mutex.presence == Presence::Unknown)
        writeUncheckable(L"whether another installation is in progress", mutex.error);
    const Probe interrupted = servicingKey(kInstallerInProgressKey);
    if (interrupted.presence == Presence::Present) {
        writeLine("The system is corrupted by a suspended or interrupted installation.");
        writeLine("Any further installation attempts will fail with unpredictable consequences.");
        writeLine("Use the Msizap utility to clean up the system from suspended installations:");
        writeLine(" https://learn.microsoft.com/en-us/windows/win32/msi/msizap-exe");
        return 1;
    }
    if (interrupted.presence == Presence::Unknown) {
        writeUncheckable(L"for a suspended or interrupted installation", interrupted.error);
        return 1;
    }
    return mutex.presence == Presence::Unknown ? 1 : 0;
}

int checkPendingRestart() {
    std::string services;
    const Probe servicing = servicingKey(kServicingRebootKey);
    if (servicing.presence == Presence::Present)
        services += " Component-Based Servicing pending restart\n";
    const Probe update = servicingKey(kUpdateRebootKey);
    if (update.presence == Presence::Present)
        services += " Windows Update requires restart \n";
    int result = 0;
    if (servicing.presence == Presence::Unknown) {
        writeUncheckable(L"for a restart pending from Component-Based Servicing", servicing.error);
        result = 1;
    }
    if (update.presence == Presence::Unknown) {
        writeUncheckable(L"for a restart required by Windows Update", update.error);
        result = 1;
    }
    if (services.empty())
        return result;
    writeLine("The following services require a system restart:");
    writeStandardOutput(services);
    writeLine("Restart the system before continuing installation.");
    return 1;
}

int checkSystem() {
    std::vector<int> results;
    results.push_back(checkInstaller());
    results.push_back(checkPendingRestart());
    return *std::max_element(results.begin(), results.end());
}
