// Structured exceptions (access violations, breakpoints, ...) raised by the program's own code
// become C++ exceptions inside guarded scopes. The C runtime's translator hook does not serve code
// built with GCC, so this is a per-thread equivalent on top of a vectored exception handler.
//
// What a guarded scope does with a fault by default is the system's translator. The crash library
// installs it during static initialisation of every program that links it (a dump when dumps are
// enabled, then cwrpexception; faults that cannot become an exception end the process with the
// dump and the failure text). A program without the crash library gets
// throwStructuredException: cwrpexception alone, and faults that cannot be translated go on to the
// system's own crash path.
#pragma once

#include "base/win32.h"

// Same shape as the C runtime's translator: called on the faulting thread, expected to throw.
using SeTranslator = void (*)(unsigned int code, EXCEPTION_POINTERS* pointers);

// Installs a translator for the calling thread and returns the one installed before (or null).
SeTranslator setSeTranslator(SeTranslator translator);

// Throws cwrpexception with the structured-exception code, nothing more.
void throwStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers);

// The system's translator and what goes with it, as a library above this one provides them.
struct SystemSeTranslator {
    // Called on the faulting thread; expected to throw.
    SeTranslator translate = nullptr;
    // Called when translate is installed on a thread that did not have it; must not throw or wait.
    void (*guardThread)() noexcept = nullptr;
    // Ends the process for a fault on a thread guarded by translate that cannot become an
    // exception (inside system code, or the stack exhausted); never returns. Null leaves such
    // faults to the system's crash path.
    void (*endProcessForFault)(EXCEPTION_POINTERS* pointers,
                               bool stackExhausted) noexcept = nullptr;
};

// Installs the system's translator for the whole process; meant for static initialisation, before
// any thread is guarded. A null translate puts throwStructuredException back.
void setSystemSeTranslator(const SystemSeTranslator& system);
// The installed system translator, throwStructuredException when none is.
SeTranslator systemSeTranslator();

// Installs a translator for a scope and puts the previous one back on every way out.
class ScopedSeTranslator {
public:
    ScopedSeTranslator() : ScopedSeTranslator(systemSeTranslator()) {}
    explicit ScopedSeTranslator(SeTranslator translator) : previous_(setSeTranslator(translator)) {}
    ~ScopedSeTranslator() { setSeTranslator(previous_); }
    ScopedSeTranslator(const ScopedSeTranslator&) = delete;
    ScopedSeTranslator& operator=(const ScopedSeTranslator&) = delete;
    SeTranslator previous() const { return previous_; }

private:
    SeTranslator previous_;
};
