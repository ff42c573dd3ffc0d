// Full-memory crash dumps: the process-wide configuration read at program start, the composition
// of dump file names, the writer itself, and the pruning of old dumps at program exit.
#pragma once

#include "base/win32.h"

#include <dbghelp.h>

#include "base/exception.h"

#include <cstdint>
#include <optional>
#include <string>

class VDateTime;

namespace crash {

// MiniDumpWriteDump's own shape, so the real function and stand-ins are interchangeable.
using MiniDumpWriter = BOOL(WINAPI*)(HANDLE process, DWORD processId, HANDLE file,
                                     MINIDUMP_TYPE type, PMINIDUMP_EXCEPTION_INFORMATION exception,
                                     PMINIDUMP_USER_STREAM_INFORMATION userStreams,
                                     PMINIDUMP_CALLBACK_INFORMATION callback);

// MiniDumpWithDataSegs | MiniDumpWithFullMemory | MiniDumpWithHandleData.
constexpr MINIDUMP_TYPE kFullDumpType = static_cast<MINIDUMP_TYPE>(7);

// The longest dump path, in characters, without its terminator.
constexpr size_t kMaxDumpPath = 260;

// dbghelp is loaded on the first dump, from the system directory only, and stays loaded. Raises the
// OS-error exception when it cannot be loaded or has no MiniDumpWriteDump.
MiniDumpWriter loadMiniDumpWriteDump();

// The writer dumps go through; null (the default) means loadMiniDumpWriteDump. Returns the
// previous one. Tests put a stand-in here: a real full dump takes seconds and tens of megabytes.
MiniDumpWriter setMiniDumpWriter(MiniDumpWriter writer);

// Writes one dump of this process into path for a fault of thread faultingThread (the calling
// thread when 0). Failures are logged at Error and never propagate.
void internalDumpMiniDump(const std::wstring& path, EXCEPTION_POINTERS* pointers,
                          MINIDUMP_TYPE type, DWORD faultingThread = 0) noexcept;

// internalDumpMiniDump without the logging: the failure, already through the catch ladder, is
// handed back so that the thread that asked for the dump can log it. A thread writing a dump for
// another must not log itself: the faulting thread may hold the log's locks.
std::optional<vexception> tryDumpMiniDump(const std::wstring& path, EXCEPTION_POINTERS* pointers,
                                          MINIDUMP_TYPE type, DWORD faultingThread) noexcept;
// Logs a failure of the above at Error. Never throws.
void logDumpFailure(const std::optional<vexception>& failure) noexcept;

class CrashDumpInfo {
public:
    // Reads the panel's configuration; any problem leaves dumping disabled, silently.
    CrashDumpInfo();
    // Removes the oldest dumps beyond maxCount when dumping is enabled.
    ~CrashDumpInfo();
    CrashDumpInfo(const CrashDumpInfo&) = delete;
    CrashDumpInfo& operator=(const CrashDumpInfo&) = delete;

    bool enabled() const { return enabled_; }
    uint32_t maxCount() const { return maxCount_; }
    const std::wstring& location() const { return location_; }
    const std::wstring& baseName() const { return baseName_; }
    const std::wstring& path() const { return path_; }

    // The dump path for now. Raises when dumping is disabled, and refuses (the OS-error exception,
    // file name too long) a path that would not fit kMaxDumpPath.
    const std::wstring& getFileName();
    // The same for a given time.
    const std::wstring& getFileName(const VDateTime& time);

    // Deletes the oldest "*.dmp" files of location until at most maxCount remain. Never throws.
    void prune() noexcept;

private:
    void configure();
    static void keepRemovalAlive();

    bool enabled_ = true;
    uint32_t maxCount_ = 10;
    std::wstring location_;
    std::wstring baseName_;
    wchar_t suffix_[20] = {};
    wchar_t pathBuffer_[kMaxDumpPath + 1] = {};
    std::wstring path_;
};

// The instance built during static initialisation.
CrashDumpInfo& processDumpInfo();

// Writes the dump for a fault of the calling thread when info's dumps are enabled: on a thread of
// its own, which has a whole stack even when the faulting thread has exhausted its own, while the
// calling thread waits at most timeoutMs. A path that cannot be composed is logged at Error.
// Returns true when the dump thread (or, holding the loader lock, the calling thread) finished the
// attempt in time; whether a file was written is the log's to say. processEnds says the fault goes
// on to the crash path: the dump thread then ends after this dump, so that it cannot keep alive a
// process whose faulting thread the system ends alone (Wine does so after a stack overflow).
// Later dumps are written on the faulting thread. Never throws.
bool dumpForFault(CrashDumpInfo& info, EXCEPTION_POINTERS* pointers, DWORD timeoutMs = INFINITE,
                  bool processEnds = false) noexcept;

// What a boundary says when a fault ends the process instead of becoming an exception: the
// failure text it would have written for the translated fault with this code. Runs on the faulting
// thread, or on the dump thread when the faulting thread has no stack left; it must not throw.
using FatalFaultReport = void (*)(unsigned int code);
// Installs the process-wide report and returns the previous one; null writes nothing.
FatalFaultReport setFatalFaultReport(FatalFaultReport report) noexcept;

// Ends the process for a fault of the calling thread that cannot become an exception (it struck
// inside system code, which cannot be unwound, or it exhausted the stack): the dump when dumps are
// enabled, the failure text through the fatal-fault report, then exit code 1, without unwinding
// and without exit-time destructors, which could meet the state the fault left. With
// stackExhausted the dump thread writes the text as well. A second thread arriving meanwhile
// waits for the end. Never returns.
[[noreturn]] void endProcessForFault(EXCEPTION_POINTERS* pointers, bool stackExhausted) noexcept;

// The identifier of the thread that writes dumps, 0 before it was started.
DWORD dumpThreadId() noexcept;

// Starts the dump thread ahead of the first fault, dumps enabled or not: it also speaks for a
// fault that exhausted its thread's stack. Cheap after the first call; never waits for the
// thread, so it may be called with the loader lock held.
void prepareDumpThread() noexcept;

// The system's structured-exception translator (base/se_translator.h), installed by this library
// at program start: writes a crash dump when dumps are enabled, then throws cwrpexception with the
// structured-exception code.
void translateStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers);

} // namespace crash
