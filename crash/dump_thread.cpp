#include "base/exception.h"
#include "base/raising_site.h"
#include "base/scoped_handle.h"
#include "crash/crash_dump.h"

#include <new>
#include <optional>

namespace crash {
namespace {

// The boundary a refused dump path is reported through; no line is given for it, so it has one of
// its own (fixed: it is part of the Debug text).
constexpr RaisingSite kRefusedPathBoundary = {"translateStructuredException", 181};

// True when the calling thread owns the loader lock (inside DllMain, or a loader callback). A new
// thread cannot start and LoadLibrary cannot proceed on another thread until it is released, so
// the dump is then written where the fault happened.
bool holdsLoaderLock() {
#if defined(__i386__)
    // NtCurrentTeb's fs-relative read trips GCC's array-bounds check; the same read, spelt out.
    const char* teb = nullptr;
    __asm__("movl %%fs:0x18, %0" : "=r"(teb));
#else
    const char* teb = reinterpret_cast<const char*>(::NtCurrentTeb());
#endif
    // PEB and PEB::LoaderLock offsets of the documented-by-use layout of both architectures.
    const size_t pebOffset = sizeof(void*) == 4 ? 0x30 : 0x60;
    const size_t lockOffset = sizeof(void*) == 4 ? 0xA0 : 0x110;
    const char* peb = *reinterpret_cast<const char* const*>(teb + pebOffset);
    if (!peb)
        return false;
    const auto* lock = *reinterpret_cast<const RTL_CRITICAL_SECTION* const*>(peb + lockOffset);
    return lock && reinterpret_cast<DWORD_PTR>(lock->OwningThread) == ::GetCurrentThreadId();
}

// How long a thread whose fault ends the process waits for its dump. Bounded, unlike a translated
// fault: such a fault can strike inside a system routine that holds a lock the dump writer needs,
// and a process that must end anyway must not hang instead.
constexpr DWORD kFatalFaultWaitMs = 5 * 60 * 1000;

FatalFaultReport volatile g_report = nullptr;

// Without unwinding: the faulting thread's frames cannot be unwound, and exit-time destructors
// would run into whatever state the fault left behind.
[[noreturn]] void endProcessNow() noexcept {
    ::TerminateProcess(::GetCurrentProcess(), 1);
    ::ExitProcess(1);
}

void reportFatalFault(const EXCEPTION_POINTERS* pointers) noexcept {
    const FatalFaultReport report = g_report;
    if (!report)
        return;
    const DWORD code =
        pointers && pointers->ExceptionRecord ? pointers->ExceptionRecord->ExceptionCode : 0;
    try {
        report(code);
    } catch (...) {
    }
}

// What the dump thread does after a dump: serve the next one, end itself (the faulting thread
// goes on to the crash path), or end the process for a fault whose thread has no stack left.
enum class AfterDump { serve, retire, endProcess };

// The dump of one fault, or the reason there is none; the caller logs it.
std::optional<vexception> writeDump(CrashDumpInfo& info, EXCEPTION_POINTERS* pointers,
                                    DWORD faultingThread) noexcept {
    if (!info.enabled())
        return std::nullopt;
    std::wstring path;
    try {
        path = info.getFileName();
    } catch (...) {
        // A refused path (too long for the name buffers) is worth a record: otherwise a fault
        // would simply leave no dump behind without a word.
        try {
            return catchLadder(L"Unable to generate dump file", kRefusedPathBoundary.function,
                               kRefusedPathBoundary.line);
        } catch (...) {
            return std::nullopt;
        }
    }
    if (!pointers)
        return std::nullopt;
    return tryDumpMiniDump(path, pointers, kFullDumpType, faultingThread);
}

// The thread that writes dumps. Faulting threads hand it one request at a time and wait; it owns a
// stack of its own, so a fault that left its thread almost no stack (an overflow) still gets its
// dump. Started ahead of the first fault: starting a thread needs stack and the loader lock, both
// of which a faulting thread may lack.
class DumpThread {
public:
    static DumpThread* create() noexcept {
        // Never destroyed: exit-time destructors run while it may still be writing, and the system
        // ends the thread with the process.
        auto* self = new (std::nothrow) DumpThread;
        if (!self)
            return nullptr;
        self->lock_.reset(::CreateMutexW(nullptr, FALSE, nullptr));
        self->request_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        self->done_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (self->lock_ && self->request_ && self->done_)
            self->thread_.reset(
                ::CreateThread(nullptr, 0, &DumpThread::run, self, 0, &self->threadId_));
        if (!self->thread_) {
            delete self;
            return nullptr;
        }
        return self;
    }

    DWORD threadId() const { return threadId_; }
    bool retired() const { return retired_; }

    // False when the dump thread did not finish within timeoutMs.
    bool write(CrashDumpInfo& info, EXCEPTION_POINTERS* pointers, DWORD timeoutMs, AfterDump after,
               std::optional<vexception>& failure) noexcept {
        const DWORD locked = ::WaitForSingleObject(lock_.get(), timeoutMs);
        if (locked != WAIT_OBJECT_0 && locked != WAIT_ABANDONED)
            return false;
        const LONG sequence = ++sequence_;
        request_info_ = &info;
        request_pointers_ = pointers;
        request_thread_ = ::GetCurrentThreadId();
        request_sequence_ = sequence;
        request_after_ = after;
        ::SetEvent(request_.get());
        const ULONGLONG start = ::GetTickCount64();
        bool finished = false;
        for (;;) {
            DWORD wait = INFINITE;
            if (timeoutMs != INFINITE) {
                const ULONGLONG spent = ::GetTickCount64() - start;
                wait = spent >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - spent);
            }
            if (::WaitForSingleObject(done_.get(), wait) != WAIT_OBJECT_0)
                break;
            // A late completion of a request that was given up on is not this one's.
            if (completed_ == sequence) {
                finished = true;
                failure = std::move(failure_);
                failure_.reset();
                break;
            }
        }
        ::ReleaseMutex(lock_.get());
        return finished;
    }

private:
    DumpThread() = default;

    static DWORD WINAPI run(void* parameter) {
        auto* self = static_cast<DumpThread*>(parameter);
        for (;;) {
            if (::WaitForSingleObject(self->request_.get(), INFINITE) != WAIT_OBJECT_0)
                return 1;
            const LONG sequence = self->request_sequence_;
            const AfterDump after = self->request_after_;
            std::optional<vexception> failure =
                writeDump(*self->request_info_, self->request_pointers_, self->request_thread_);
            if (after != AfterDump::serve) {
                // The faulting thread has no stack left to log on, and its process is ending.
                logDumpFailure(failure);
                failure.reset();
                self->retired_ = true;
            }
            if (after == AfterDump::endProcess) {
                reportFatalFault(self->request_pointers_);
                endProcessNow();
            }
            self->failure_ = std::move(failure);
            self->completed_ = sequence;
            ::SetEvent(self->done_.get());
            // Left the last thread of its process, this thread's code becomes the process's own:
            // a process ended by a fault must not look like a success.
            if (after != AfterDump::serve)
                return 1;
        }
    }

    base::ScopedHandle lock_;
    base::ScopedHandle request_;
    base::ScopedHandle done_;
    base::ScopedHandle thread_;
    DWORD threadId_ = 0;
    LONG sequence_ = 0;
    CrashDumpInfo* volatile request_info_ = nullptr;
    EXCEPTION_POINTERS* volatile request_pointers_ = nullptr;
    volatile DWORD request_thread_ = 0;
    volatile LONG request_sequence_ = 0;
    volatile AfterDump request_after_ = AfterDump::serve;
    volatile bool retired_ = false;
    std::optional<vexception> failure_; // handed over with completed_
    volatile LONG completed_ = 0;
};

DumpThread* g_thread = nullptr;

DumpThread* dumpThread() noexcept {
    // One creator: the others see it once it is published, or make none and write in place.
    static volatile LONG creating = 0;
    if (DumpThread* thread = g_thread)
        return thread;
    if (::InterlockedCompareExchange(&creating, 1, 0) != 0)
        return g_thread;
    DumpThread* thread = DumpThread::create();
    ::InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&g_thread), thread);
    if (!thread)
        creating = 0;
    return thread;
}

} // namespace

bool dumpForFault(CrashDumpInfo& info, EXCEPTION_POINTERS* pointers, DWORD timeoutMs,
                  bool processEnds) noexcept {
    if (!info.enabled())
        return false;
    if (!holdsLoaderLock()) {
        DumpThread* thread = dumpThread();
        if (thread && !thread->retired()) {
            std::optional<vexception> failure;
            const bool finished =
                thread->write(info, pointers, timeoutMs,
                              processEnds ? AfterDump::retire : AfterDump::serve, failure);
            logDumpFailure(failure);
            return finished;
        }
    }
    logDumpFailure(writeDump(info, pointers, ::GetCurrentThreadId()));
    return true;
}

void prepareDumpThread() noexcept {
    dumpThread();
}

FatalFaultReport setFatalFaultReport(FatalFaultReport report) noexcept {
    const FatalFaultReport previous = g_report;
    g_report = report;
    return previous;
}

void endProcessForFault(EXCEPTION_POINTERS* pointers, bool stackExhausted) noexcept {
    static volatile LONG ending = 0;
    if (::InterlockedExchange(&ending, 1) != 0) {
        for (;;)
            ::Sleep(INFINITE);
    }
    CrashDumpInfo& info = processDumpInfo();
    if (stackExhausted) {
        // Only a thread started beforehand: starting one takes stack this thread does not have.
        DumpThread* thread = holdsLoaderLock() ? nullptr : g_thread;
        if (thread && !thread->retired()) {
            std::optional<vexception> failure;
            thread->write(info, pointers, kFatalFaultWaitMs, AfterDump::endProcess, failure);
        }
        // The dump thread did not end the process in time: the code at least must say failure.
        endProcessNow();
    }
    dumpForFault(info, pointers, kFatalFaultWaitMs, false);
    reportFatalFault(pointers);
    endProcessNow();
}

DWORD dumpThreadId() noexcept {
    DumpThread* thread = g_thread;
    return thread ? thread->threadId() : 0;
}

} // namespace crash
