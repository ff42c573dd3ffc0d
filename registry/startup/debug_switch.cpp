#include "base/win32.h"

#include "base/exception.h"
#include "registry/registry.h"

// Hands the errors library the reader of the panel's Debug switch. This object is linked into every
// program that links the registry library (not archived, so nothing has to refer to it), and the
// switch is read from the first failure such a program composes after its static initialisation.
namespace {

bool readDebugSwitch(uint32_t& value) {
    DWORD data = 0;
    if (registry::lookup(HKEY_LOCAL_MACHINE, registry::kConfigKey, L"Debug", data,
                         registry::View32) != ERROR_SUCCESS)
        return false;
    value = data;
    return true;
}

const bool g_installed = (setDebugSwitchReader(&readDebugSwitch), true);

} // namespace
