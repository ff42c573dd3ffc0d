#include "base/se_translator.h"

#include "base/exception.h"

#include <cstdint>

namespace {

// Constant-initialised: a program may install its translator from any static initialiser.
SystemSeTranslator g_system;

// Whether translator is the system translator that ends the process for faults it cannot
// translate.
bool endsProcessForFaults(SeTranslator translator) {
    return translator && translator == g_system.translate && g_system.endProcessForFault;
}

// What the faulting thread needs after the handler has returned: the handler's own copies of the
// exception record and context live on a stack region that the "called" thrower will reuse.
struct ThreadState {
    SeTranslator translator = nullptr;
    unsigned int code = 0;
    EXCEPTION_RECORD record{};
    CONTEXT context{};
    EXCEPTION_POINTERS pointers{};
};

struct Process {
    // A fiber-local slot, whose callback frees a thread's state when the thread ends. (A
    // thread_local owner would do the same, but GCC's emulated thread storage aborts the process
    // when it cannot allocate; here that is a bad_alloc the caller can report.)
    DWORD tlsIndex = FLS_OUT_OF_INDEXES;
    uintptr_t imageBegin = 0;
    uintptr_t imageEnd = 0;
    PVOID handler = nullptr;
    LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
};

LONG CALLBACK vectoredHandler(EXCEPTION_POINTERS* exception);
LONG WINAPI lastChanceFilter(EXCEPTION_POINTERS* exception);

void WINAPI freeThreadState(void* state) {
    delete static_cast<ThreadState*>(state);
}

// Bounds of the module this code is linked into: only faults of our own instructions can be
// unwound by the DWARF unwinder, faults inside system DLLs are left to the crash path.
void findImageBounds(Process& process) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&vectoredHandler), &module))
        return;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        reinterpret_cast<const char*>(module) + dos->e_lfanew);
    process.imageBegin = reinterpret_cast<uintptr_t>(module);
    process.imageEnd = process.imageBegin + nt->OptionalHeader.SizeOfImage;
}

Process& process() {
    static Process instance = [] {
        Process p;
        p.tlsIndex = ::FlsAlloc(&freeThreadState);
        findImageBounds(p);
        // First in the chain: the translator must see the fault before frame-based handlers.
        p.handler = ::AddVectoredExceptionHandler(1, &vectoredHandler);
        // Faults the handler leaves alone (inside system code) and that nothing else handles end
        // here, still on the faulting thread.
        p.previousFilter = ::SetUnhandledExceptionFilter(&lastChanceFilter);
        return p;
    }();
    return instance;
}

ThreadState* currentState(bool create) {
    Process& p = process();
    if (p.tlsIndex == FLS_OUT_OF_INDEXES)
        return nullptr;
    auto* state = static_cast<ThreadState*>(::FlsGetValue(p.tlsIndex));
    if (!state && create) {
        state = new ThreadState;
        if (!::FlsSetValue(p.tlsIndex, state)) {
            delete state;
            return nullptr;
        }
    }
    return state;
}

// Entered as if the faulting instruction had called it: the return address pushed by the handler
// points one byte past the fault, so the unwinder finds the faulting function's call site and
// unwinds its frames (running destructors) as for any throw from a call.
__attribute__((noinline, used)) void raiseFromFault() {
    ThreadState* state = currentState(false);
    const unsigned int code = state->code;
    if (SeTranslator translator = state->translator)
        translator(code, &state->pointers);
    // A translator that returns has nothing to say: the fault still must not resume.
    throw cwrpexception(code);
}

bool isTranslatable(DWORD code) {
    // Informational and success codes are notifications (debug output, thread names), not faults.
    // A stack overflow leaves no room to run the thrower; it goes to the crash path.
    return (code >> 30) >= 2 && code != EXCEPTION_STACK_OVERFLOW;
}

LONG CALLBACK vectoredHandler(EXCEPTION_POINTERS* exception) {
    const Process& p = process();
    if (p.tlsIndex == FLS_OUT_OF_INDEXES)
        return EXCEPTION_CONTINUE_SEARCH;
    auto* state = static_cast<ThreadState*>(::FlsGetValue(p.tlsIndex));
    if (!state || !state->translator)
        return EXCEPTION_CONTINUE_SEARCH;
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    if (record->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
        // Nothing more can run on this stack than a hand-over to the dump thread, which writes
        // the dump and the failure text and ends the process. Other translators leave the fault
        // to the crash path.
        if (endsProcessForFaults(state->translator)) {
            state->translator = nullptr;
            g_system.endProcessForFault(exception, true);
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const auto address = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
    if (!isTranslatable(record->ExceptionCode) || address < p.imageBegin || address >= p.imageEnd ||
        record->ExceptionFlags & EXCEPTION_NONCONTINUABLE)
        return EXCEPTION_CONTINUE_SEARCH;

    state->code = record->ExceptionCode;
    state->record = *record;
    state->record.ExceptionRecord = nullptr;
    state->context = *exception->ContextRecord;
    state->pointers.ExceptionRecord = &state->record;
    state->pointers.ContextRecord = &state->context;

    CONTEXT* context = exception->ContextRecord;
    context->Esp -= sizeof(DWORD);
    *reinterpret_cast<DWORD*>(context->Esp) = static_cast<DWORD>(address + 1);
    context->Eip = static_cast<DWORD>(reinterpret_cast<uintptr_t>(&raiseFromFault));
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Reached only when no frame handled the fault. Where the system's translator guards the thread,
// a fault that could not be translated (it struck inside system code, which the unwinder cannot
// pass) still gets its dump and its failure text, and the process ends with 1 without unwinding.
LONG WINAPI lastChanceFilter(EXCEPTION_POINTERS* exception) {
    const Process& p = process();
    auto* state = p.tlsIndex == FLS_OUT_OF_INDEXES
                      ? nullptr
                      : static_cast<ThreadState*>(::FlsGetValue(p.tlsIndex));
    if (state && endsProcessForFaults(state->translator) &&
        exception->ExceptionRecord->ExceptionCode >> 30 >= 2) {
        state->translator = nullptr;
        g_system.endProcessForFault(exception, false);
    }
    return p.previousFilter ? p.previousFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

SeTranslator setSeTranslator(SeTranslator translator) {
    ThreadState* state = currentState(translator != nullptr);
    if (!state)
        return nullptr;
    SeTranslator previous = state->translator;
    state->translator = translator;
    if (translator == g_system.translate && previous != translator && g_system.guardThread)
        g_system.guardThread();
    return previous;
}

void throwStructuredException(unsigned int code, EXCEPTION_POINTERS*) {
    throw cwrpexception(code);
}

void setSystemSeTranslator(const SystemSeTranslator& system) {
    g_system = system.translate ? system : SystemSeTranslator{};
}

SeTranslator systemSeTranslator() {
    return g_system.translate ? g_system.translate : &throwStructuredException;
}
