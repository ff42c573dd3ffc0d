// Structured exceptions (access violations, breakpoints, ...) raised by the program's own code
// become C++ exceptions inside guarded scopes. The C runtime's translator hook does not serve code
// built with GCC, so this is a per-thread equivalent on top of a vectored exception handler.
#pragma once

#include "base/win32.h"

namespace crash {

// Same shape as the C runtime's translator: called on the faulting thread, expected to throw.
using SeTranslator = void (*)(unsigned int code, EXCEPTION_POINTERS* pointers);

// Installs a translator for the calling thread and returns the one installed before (or null).
SeTranslator setSeTranslator(SeTranslator translator);

// The system's translator: writes a crash dump when dumps are enabled, then throws
// cwrpexception with the structured-exception code.
void translateStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers);

// Installs a translator for a scope and puts the previous one back on every way out.
class ScopedSeTranslator {
public:
    explicit ScopedSeTranslator(SeTranslator translator = &translateStructuredException)
        : previous_(setSeTranslator(translator)) {}
    ~ScopedSeTranslator() { setSeTranslator(previous_); }
    ScopedSeTranslator(const ScopedSeTranslator&) = delete;
    ScopedSeTranslator& operator=(const ScopedSeTranslator&) = delete;
    SeTranslator previous() const { return previous_; }

private:
    SeTranslator previous_;
};

} // namespace crash
