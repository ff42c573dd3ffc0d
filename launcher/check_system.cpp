#include "launcher/check_system.h"

#include "base/scoped_handle.h"
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

// The servicing keys are tested in the 64-bit view: a 32-bit program on 64-bit Windows would
// otherwise be redirected to Wow6432Node, where Windows never writes them. A key that cannot be
// opened for any reason, access included, counts as absent.
bool servicingKeyExists(const wchar_t* subKey) {
    try {
        return registry::keyExists(HKEY_LOCAL_MACHINE, subKey, registry::View64);
    } catch (...) {
        return false;
    }
}

void writeLine(const std::string& text) {
    writeStandardOutput(text + "\n");
}

} // namespace

int checkInstaller() {
    base::ScopedHandle mutex(::OpenMutexW(READ_CONTROL, FALSE, kInstallerMutex));
    if (mutex) {
        // No line break: a restart report, if any, follows on the same line.
        writeStandardOutput("Another installation is in progress. Please wait for it to complete.");
        return 1;
    }
    if (servicingKeyExists(kInstallerInProgressKey)) {
        writeLine("The system is corrupted by a suspended or interrupted installation.");
        writeLine("Any further installation attempts will fail with unpredictable consequences.");
        writeLine("Use the Msizap utility to clean up the system from suspended installations:");
        writeLine(" https://learn.microsoft.com/en-us/windows/win32/msi/msizap-exe");
        return 1;
    }
    return 0;
}

int checkPendingRestart() {
    std::string services;
    if (servicingKeyExists(kServicingRebootKey))
        services += " Component-Based Servicing pending restart\n";
    if (servicingKeyExists(kUpdateRebootKey))
        services += " Windows Update requires restart \n";
    if (services.empty())
        return 0;
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
