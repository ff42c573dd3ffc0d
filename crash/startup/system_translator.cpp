#include "base/exception.h"
#include "base/se_translator.h"
#include "crash/crash_dump.h"

// Makes the crash library's translator the system's: every guarded scope of a program that links
// this library writes its dump before the fault becomes an exception. This object is linked into
// every such program (not archived, so nothing has to refer to it), and installs the translator
// during static initialisation, before any scope is guarded.
namespace crash {

void translateStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers) {
    // A second fault while this runs, the dump included, is not translated again.
    ScopedSeTranslator off(nullptr);
    if (pointers)
        dumpForFault(processDumpInfo(), pointers);
    throw cwrpexception(code);
}

namespace {

const bool g_installed = [] {
    SystemSeTranslator system;
    system.translate = &translateStructuredException;
    system.guardThread = &prepareDumpThread;
    system.endProcessForFault = &endProcessForFault;
    setSystemSeTranslator(system);
    return true;
}();

} // namespace
} // namespace crash
