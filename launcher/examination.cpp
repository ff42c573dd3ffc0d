#include "launcher/examination.h"

#include "base/text.h"
#include "launcher/console_control.h"
#include "launcher/phase_stamp.h"
#include "launcher/service_product_settings.h"
#include "launcher/version_compare.h"
#include "logging/log.h"
#include "os/path.h"
#include "process/child_process.h"
#include "service/client.h"

#include <string>

#ifdef ZRA_PHASE_STAMPS
#include "process/command.h"
#include "registry/registry.h"
#endif

namespace {

// Panels before this version run examinations on their own php.exe with their own php.ini.
const wchar_t kTypedScriptsVersion[] = L"11.6.0";

// An empty argument goes on as "" so that the script's later arguments keep their positions; only
// the password, which comes last, is left out when it is empty.
std::wstring passedOn(const wchar_t* argument) {
    return *argument ? quoteArgument(argument) : std::wstring(L"\"\"");
}

} // namespace

uint32_t runExamination(int argc, wchar_t** argv) {
    ZRA_PHASE_STAMP("entry");
#ifdef ZRA_PHASE_STAMPS
    {
        // The client reads these while it connects; read alone first, they show on their own.
        std::wstring pipeName;
        DWORD tries = 0;
        registry::lookup(HKEY_LOCAL_MACHINE, registry::kConfigKey, L"zrapipe", pipeName, REG_SZ,
                         registry::View32);
        registry::lookup(HKEY_LOCAL_MACHINE, registry::kConfigKey, L"PipeConnectTryCount", tries,
                         registry::View32);
        ZRA_PHASE_STAMP("configuration");
    }
#endif
    VarnoSrvClient& service = VarnoSrvClient::getInstance();
    ZRA_PHASE_STAMP("connection");
    const std::wstring password = service.getPassword(L"pwd");
    std::wstring version = service.getString(L"PANEL_VERSION", L"");
    if (version.empty())
        version = service.getString(L"PRODUCT_VERSION");
    ZRA_PHASE_STAMP("queries");

    std::wstring arguments;
    // The child shares the launcher's console or redirection; it is never terminated here, so a
    // failure after the start leaves it running until the launcher ends. It ends with the
    // launcher, killed or not: an orphan would keep the password on its command line.
    VChildProcess child(serviceProductSettings());
    child.setInheritStdInput(true);
    child.setInheritStdOutput(true);
    child.setInheritStdError(true);
    child.setNoWindow(false);
    child.setSecret(password);
    child.setEndWithParent(true);

    // An empty or non-numeric version orders below the threshold.
    if (compareVersions(kTypedScriptsVersion, version) > 0) {
        const std::wstring root = productRoot();
        const std::wstring ini = VFileName::combine(root, L"admin\\php.ini");
        const std::wstring php = VFileName::combine(root, L"admin\\bin\\php.exe");
        arguments = format(L"-q -dauto_prepend_file=\"\" -c %s %s ", quoteArgument(ini).c_str(),
                           quoteArgument(argv[1]).c_str());
        for (int i = 2; i < argc; ++i)
            arguments += passedOn(argv[i]) + L" ";
        arguments += quoteArgument(password);
        child.start(php, arguments, false);
    } else {
        for (int i = 2; i < argc; ++i)
            arguments += passedOn(argv[i]) + L" ";
        arguments += quoteArgument(password);
#ifdef ZRA_PHASE_STAMPS
        // The start below resolves, sets up logging for its record and creates the child in one
        // call; the traced build does the first two beforehand so each shows on its own.
        resolveCommand(argv[1], arguments, std::wstring(), CommandOptions{false, true},
                       serviceProductSettings());
        ZRA_PHASE_STAMP("resolution");
        varno::logging::getLogManager();
        ZRA_PHASE_STAMP("logging");
#endif
        child.start(argv[1], arguments, true);
    }
    ZRA_PHASE_STAMP("child-start");
    leaveConsoleControlToChild();
    const uint32_t code = child.waitExitCode();
    ZRA_PHASE_STAMP("child-run");
    // The start record says what ran; this one closes it, so the debug log shows how it ended.
    varno::logging::logMessage(varno::logging::Info,
                               L"Examination %s ended with exit code %u (0x%08X)", argv[1], code,
                               code);
    return code;
}
