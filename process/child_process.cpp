#include "process/child_process.h"

#include "base/exception.h"
#include "base/text.h"
#include "logging/log.h"
#include "os/sync.h"
#include "os/path.h"
#include "process/arguments.h"
#include "process/command.h"

namespace {

using RtlRandomFunction = ULONG(NTAPI*)(PULONG seed);

RtlRandomFunction lookUpRtlRandom() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr)
        return nullptr;
    return reinterpret_cast<RtlRandomFunction>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlRandom")));
}

const RtlRandomFunction gRtlRandom = lookUpRtlRandom();

// Shared by every thread; the thread id in the name keeps the names of different threads apart.
volatile LONG gPipeCounter = 0;

// A failed wait for the child is made again this many times in all, this far apart.
constexpr int kWaitAttempts = 5;
constexpr DWORD kWaitRetryMs = 20;

// How long the parent waits for its own open of the pipe to be seen by ConnectNamedPipe.
constexpr DWORD kPipeConnectTimeoutMs = 5000;

// A current directory holds at most MAX_PATH - 2 characters, so that a backslash and the
// terminating NUL still fit.
constexpr size_t kMaxWorkingDirectory = MAX_PATH - 1;

// The child gets inheritable copies; the parent's own ends stay private to it.
// The launcher's own standard handle for the child. No handle at all (a process started without
// one) is passed on as it is; a handle that cannot be had must not silently become the child's
// having none: the child's output would be lost and its exit code reported as success.
HANDLE ownStandardHandle(DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == INVALID_HANDLE_VALUE)
        raiseRunTimeError(L"Unable to get standard handle", ::GetLastError());
    return handle;
}

HANDLE inheritableDuplicate(HANDLE handle) {
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &duplicate, 0,
                           TRUE, DUPLICATE_SAME_ACCESS)) {
        raiseRunTimeError(L"Unable to duplicate handle", ::GetLastError());
    }
    return duplicate;
}

HANDLE makeOverlappedEvent(base::ScopedHandle& event, OVERLAPPED& overlapped) {
    event.reset(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    if (!event.valid())
        raiseRunTimeError(L"Unable to create event", ::GetLastError());
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event.get();
    return event.get();
}

VChildDetail::AssignFunction g_assign = &::AssignProcessToJobObject;

ULONG fallbackRandom(ULONG* seed) {
    *seed = *seed * 1664525u + 1013904223u;
    return *seed & 0x7FFFFFFF;
}

} // namespace

namespace VChildDetail {

std::wstring makeStdPipeName() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    ULONG seed = now.dwHighDateTime + now.dwLowDateTime;
    const ULONG random = gRtlRandom != nullptr ? gRtlRandom(&seed) : fallbackRandom(&seed);
    const LONG counter = ::InterlockedIncrement(&gPipeCounter);
    return format(L"\\\\.\\pipe\\VarnoWin32.Pipes.%X%X%X%X", ::GetCurrentThreadId(),
                  now.dwLowDateTime, random, static_cast<ULONG>(counter));
}

DWORD creationFlags(DWORD extra, bool noWindow) {
    return extra | (noWindow ? CREATE_NO_WINDOW : 0) | ::GetPriorityClass(::GetCurrentProcess()) |
           CREATE_UNICODE_ENVIRONMENT;
}

HANDLE parentJob() {
    static const base::ScopedHandle job = [] {
        base::ScopedHandle made(::CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags =
            JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
        if (made && !::SetInformationJobObject(made.get(), JobObjectExtendedLimitInformation,
                                               &limits, sizeof limits))
            made.reset();
        return made;
    }();
    return job.get();
}

bool tieToParentAndResume(HANDLE process, HANDLE thread, DWORD processId) {
    const HANDLE job = parentJob();
    const DWORD assignError = job == nullptr           ? ERROR_INVALID_HANDLE
                              : g_assign(job, process) ? 0
                                                       : ::GetLastError();
    if (assignError != 0) {
        // This process may itself run in a job that allows no nesting (before Windows 8 every
        // job did): the child then outlives a killed parent, which is better than no child.
        varno::logging::logMessage(varno::logging::Warning,
                                   L"Unable to tie the child process %u to the launcher's "
                                   L"lifetime: error %u",
                                   static_cast<unsigned>(processId),
                                   static_cast<unsigned>(assignError));
    }
    return ::ResumeThread(thread) != static_cast<DWORD>(-1);
}

AssignFunction setAssignFunction(AssignFunction assign) {
    const AssignFunction previous = g_assign;
    g_assign = assign ? assign : &::AssignProcessToJobObject;
    return previous;
}

base::ScopedFileHandle
createServerPipe(std::wstring& name,
                 const std::function<HANDLE(const std::wstring& name)>& create) {
    DWORD lastError = 0;
    for (int attempt = 0; attempt < kPipeCreateAttempts; ++attempt) {
        name = makeStdPipeName();
        const HANDLE pipe = create(name);
        if (pipe != INVALID_HANDLE_VALUE && pipe != nullptr)
            return base::ScopedFileHandle(pipe);
        lastError = ::GetLastError();
    }
    name.clear();
    raiseRunTimeError(L"Unable to create pipe", lastError);
}

} // namespace VChildDetail

void createStdPipe(base::ScopedFileHandle& serverEnd, base::ScopedFileHandle& clientEnd,
                   SECURITY_ATTRIBUTES* securityAttributes, DWORD bufferSize,
                   OVERLAPPED& overlapped) {
    serverEnd.reset();
    clientEnd.reset();
    std::wstring name;
    base::ScopedFileHandle server =
        VChildDetail::createServerPipe(name, [&](const std::wstring& candidate) {
            return ::CreateNamedPipeW(candidate.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                      bufferSize, bufferSize, 0, securityAttributes);
        });
    base::ScopedFileHandle client(
        ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!client.valid())
        raiseRunTimeError(L"Unable to open pipe (%s)", ::GetLastError(), name.c_str());
    if (!::ConnectNamedPipe(server.get(), &overlapped)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            const DWORD result =
                VSyncObject::waitForSingleObject(overlapped.hEvent, kPipeConnectTimeoutMs);
            if (result == WAIT_TIMEOUT) {
                raiseRunTimeError(L"Unable to wait while pipe connected (%s)", ERROR_TIMEOUT,
                                  name.c_str());
            }
            if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
                raiseRunTimeError(L"Unable to wait while pipe connected (%s): Unknown state %X", 0,
                                  name.c_str(), result);
            }
        } else if (error != ERROR_PIPE_CONNECTED) {
            raiseRunTimeError(L"Unable to connect pipe (%s)", error, name.c_str());
        }
    }
    serverEnd = std::move(server);
    clientEnd = std::move(client);
}

VChildProcess::VChildProcess(ProductSettings& settings) : settings_(settings) {
    makeOverlappedEvent(stdOutputEvent_, stdOutputOverlapped_);
    makeOverlappedEvent(stdErrorEvent_, stdErrorOverlapped_);
}

VChildProcess::~VChildProcess() {
    // The child itself is left alone: it is neither waited for nor terminated.
    process_.reset();
    thread_.reset();
    stdErrorEvent_.reset();
    stdErrorRead_.reset();
    stdOutputEvent_.reset();
    stdOutputRead_.reset();
    stdInputWrite_.reset();
}

HANDLE VChildProcess::childOutputEnd(bool inherit, DWORD stdHandle, base::ScopedHandle& readEnd,
                                     OVERLAPPED& overlapped, base::ScopedHandle& childEnd) {
    if (inherit)
        return ownStandardHandle(stdHandle);
    readEnd.reset();
    base::ScopedFileHandle serverEnd;
    base::ScopedFileHandle writeEnd;
    createStdPipe(serverEnd, writeEnd, nullptr, 0, overlapped);
    readEnd.reset(serverEnd.release());
    childEnd.reset(inheritableDuplicate(writeEnd.get()));
    return childEnd.get();
}

std::wstring VChildProcess::start(const std::wstring& command, const std::wstring& arguments,
                                  bool useProductPhp) {
    ChildStartOptions options;
    options.useProductPhp = useProductPhp;
    return start(command, arguments, options);
}

std::wstring VChildProcess::start(const std::wstring& command, const std::wstring& arguments,
                                  const ChildStartOptions& options) {
    // The child's ends; the parent closes its copies once the child has (or has not) been made.
    base::ScopedHandle childInput;
    base::ScopedHandle childOutput;
    base::ScopedHandle childError;

    HANDLE input = nullptr;
    if (inheritStdInput_) {
        input = ownStandardHandle(STD_INPUT_HANDLE);
    } else {
        stdInputWrite_.reset();
        HANDLE readEnd = nullptr;
        HANDLE writeEnd = nullptr;
        if (!::CreatePipe(&readEnd, &writeEnd, nullptr, 0))
            raiseRunTimeError(L"Unable to create pipe", ::GetLastError());
        base::ScopedHandle privateRead(readEnd);
        stdInputWrite_.reset(writeEnd);
        childInput.reset(inheritableDuplicate(privateRead.get()));
        input = childInput.get();
    }
    const HANDLE output = childOutputEnd(inheritStdOutput_, STD_OUTPUT_HANDLE, stdOutputRead_,
                                         stdOutputOverlapped_, childOutput);
    const HANDLE error = childOutputEnd(inheritStdError_, STD_ERROR_HANDLE, stdErrorRead_,
                                        stdErrorOverlapped_, childError);

    STARTUPINFOW startup{};
    static_assert(sizeof(STARTUPINFOW) == 68, "the start-up record of a 32-bit process");
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
    std::wstring desktop = L"winsta0\\default";
    if (options.desktopAccess)
        startup.lpDesktop = &desktop[0];

    // A child that is to end with this process starts suspended: put in the job before it runs,
    // it cannot start children of its own outside it.
    const DWORD flags = VChildDetail::creationFlags(options.creationFlags, noWindow_) |
                        (endWithParent_ ? CREATE_SUSPENDED : 0);

    ResolvedCommand resolved =
        resolveCommandForm(command, arguments, options.environmentBlock,
                           CommandOptions{options.verbatim, options.useProductPhp}, settings_);

    // The record goes to the event log and the debug log files: the secret is written as *****
    // there, and in the error texts that the launcher prints.
    const std::wstring shownArguments = redactArguments(arguments, secret_);
    std::wstring shownCommandLine = resolved.commandLine;
    if (shownArguments != arguments) {
        try {
            shownCommandLine = resolved.form.render(shownArguments);
        } catch (...) {
            shownCommandLine = L"*****";
        }
    }

    // A line over the limit would not run whole: cmd exits without running the batch file, and
    // Wine cuts the line where Windows fails. It is refused before anything is created.
    const size_t limit = resolved.form.maxCommandLine();
    if (resolved.commandLine.size() > limit) {
        raiseRunTimeError(resolved.form.runsInCmd()
                              ? L"Unable to start (%s): The command line is %u characters long, "
                                L"more than the %u that cmd reads for a batch file"
                              : L"Unable to start (%s): The command line is %u characters long, "
                                L"more than the %u that a process can be given",
                          0, shownCommandLine.c_str(),
                          static_cast<unsigned>(resolved.commandLine.size()),
                          static_cast<unsigned>(limit));
    }

    std::wstring workingDirectory = options.workingDirectory;
    if (options.useProductPhp && workingDirectory.empty())
        workingDirectory = settings_.productAdminDirectory();
    // A directory built past the short form's limits comes in the long form, which no process can
    // start in; one that still fits is given in the short form, and a longer one is refused here
    // (handed on, it fails the start on Windows and corrupts Wine's heap).
    workingDirectory = displayPath(workingDirectory);
    if (workingDirectory.size() >= kMaxWorkingDirectory) {
        raiseRunTimeError(L"Unable to start (%s): The working directory %s is %u characters long, "
                          L"more than the %u that a process can start in",
                          0, shownCommandLine.c_str(), workingDirectory.c_str(),
                          static_cast<unsigned>(workingDirectory.size()),
                          static_cast<unsigned>(kMaxWorkingDirectory - 1));
    }

    std::wstring commandLine = resolved.commandLine; // CreateProcess may write into its buffer
    void* environment = options.environmentBlock.empty()
                            ? nullptr
                            : const_cast<wchar_t*>(options.environmentBlock.c_str());
    const wchar_t* directory = workingDirectory.empty() ? nullptr : workingDirectory.c_str();
    PROCESS_INFORMATION information{};
    BOOL created;
    if (options.userToken != nullptr) {
        created = ::CreateProcessAsUserW(options.userToken, nullptr, &commandLine[0], nullptr,
                                         nullptr, options.inheritHandles, flags, environment,
                                         directory, &startup, &information);
    } else {
        created =
            ::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, options.inheritHandles,
                             flags, environment, directory, &startup, &information);
    }
    DWORD createError = created ? 0 : ::GetLastError();
    if (created) {
        process_.reset(information.hProcess);
        thread_.reset(information.hThread);
        processId_ = information.dwProcessId;
        threadId_ = information.dwThreadId;
    }
    if (created && endWithParent_ &&
        !VChildDetail::tieToParentAndResume(process_.get(), thread_.get(), processId_)) {
        // A child left suspended would keep the launcher waiting for ever: it counts as not
        // started.
        createError = ::GetLastError();
        ::TerminateProcess(process_.get(), 1);
        process_.reset();
        thread_.reset();
        processId_ = 0;
        threadId_ = 0;
        created = FALSE;
    }

    varno::logging::logMessage(varno::logging::Info, L"path: %s, args: %s, cmdLine %s",
                               command.c_str(), shownArguments.c_str(), shownCommandLine.c_str());
    if (!created)
        raiseRunTimeError(L"Unable to start (%s)", createError, shownCommandLine.c_str());
    // Moved, not copied: once the child runs, a failed allocation here would report a launch
    // that failed while the child goes on.
    return std::move(resolved.commandLine);
}

uint32_t VChildProcess::waitExitCode() {
    // A wait that fails on the handle of a child still running is tried again: given up at once,
    // the launcher would report a failure while the child goes on and its exit code is lost.
    DWORD result = WAIT_FAILED;
    for (int attempt = 1;; ++attempt) {
        try {
            result = VSyncObject::waitForSingleObject(process_.get(), INFINITE);
            break;
        } catch (...) {
            // An OS error or memory for the wait's own bookkeeping; nothing here is a request to
            // stop waiting.
            if (attempt == kWaitAttempts)
                throw;
            ::Sleep(kWaitRetryMs);
        }
    }
    // A wait without limit does not time out; the code is read all the same if it does.
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED || result == WAIT_TIMEOUT) {
        DWORD exitCode = 0;
        // The child has ended: a failed read of its code is only worth making again.
        if (!::GetExitCodeProcess(process_.get(), &exitCode) &&
            !::GetExitCodeProcess(process_.get(), &exitCode))
            raiseRunTimeError(L"Unable to get process exit code", ::GetLastError());
        return exitCode;
    }
    raiseRunTimeError(L"Unable to wait process: Unknown state %X", 0, result);
}
