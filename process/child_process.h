// One child process and the parent's ends of its standard handles. The child gets either the
// parent's own standard handles or fresh pipes; the parent waits for it and takes its exit code.
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"
#include "process/product_settings.h"

#include <cstdint>
#include <functional>
#include <string>

struct ChildStartOptions {
    // NAME=VALUE entries each ended by NUL; empty: the child inherits the parent's environment.
    std::wstring environmentBlock;
    // Empty: the parent's current directory, or the product's admin directory with useProductPhp.
    std::wstring workingDirectory;
    // With a token the child runs as that user (CreateProcessAsUserW).
    HANDLE userToken = nullptr;
    bool inheritHandles = true;
    DWORD creationFlags = 0;
    // Starts the child on the interactive desktop "winsta0\default".
    bool desktopAccess = false;
    // Runs the found file as it is, without choosing an interpreter or re-encoding arguments.
    bool verbatim = false;
    // PHP scripts run on the product's own php.exe, in the product's admin directory.
    bool useProductPhp = false;
};

class VChildProcess {
public:
    // Raises "Unable to create event" when the events of the output pipes cannot be made.
    // settings answers where interpreters live and must outlive the object.
    explicit VChildProcess(ProductSettings& settings);
    ~VChildProcess();
    VChildProcess(const VChildProcess&) = delete;
    VChildProcess& operator=(const VChildProcess&) = delete;

    // true: the child's handle is the parent's own. false (the default): a pipe is made.
    void setInheritStdInput(bool inherit) { inheritStdInput_ = inherit; }
    void setInheritStdOutput(bool inherit) { inheritStdOutput_ = inherit; }
    void setInheritStdError(bool inherit) { inheritStdError_ = inherit; }
    void setNoWindow(bool noWindow) { noWindow_ = noWindow; }
    // A value (the panel password) that the start record and start errors must not show: every
    // argument equal to it is written as "*****" there. The child's command line is unchanged.
    void setSecret(const std::wstring& secret) { secret_ = secret; }
    // true: the child is put in this process's job (VChildDetail::parentJob), so that it ends
    // when this process ends, killed included; releasing the object still leaves it running. A
    // child that cannot be put there (a job that forbids nesting) starts all the same.
    void setEndWithParent(bool end) { endWithParent_ = end; }

    // Resolves command, creates the child and returns the command line it was given.
    std::wstring start(const std::wstring& command, const std::wstring& arguments,
                       const ChildStartOptions& options);
    std::wstring start(const std::wstring& command, const std::wstring& arguments,
                       bool useProductPhp);

    // Waits without limit for the child to end and returns its exit code unchanged.
    uint32_t waitExitCode();

    HANDLE processHandle() const { return process_.get(); }
    HANDLE threadHandle() const { return thread_.get(); }
    DWORD processId() const { return processId_; }
    DWORD threadId() const { return threadId_; }
    HANDLE stdInputWrite() const { return stdInputWrite_.get(); }
    // Closes the parent's end of the child's standard-input pipe: the child reads end of file.
    void closeStdInput() { stdInputWrite_.reset(); }
    HANDLE stdOutputRead() const { return stdOutputRead_.get(); }
    HANDLE stdErrorRead() const { return stdErrorRead_.get(); }
    OVERLAPPED& stdOutputOverlapped() { return stdOutputOverlapped_; }
    OVERLAPPED& stdErrorOverlapped() { return stdErrorOverlapped_; }

private:
    HANDLE childOutputEnd(bool inherit, DWORD stdHandle, base::ScopedHandle& readEnd,
                          OVERLAPPED& overlapped, base::ScopedHandle& childEnd);

    ProductSettings& settings_;
    base::ScopedHandle stdInputWrite_;
    // Null when no pipe was made (the child inherited the parent's handle) or after release.
    base::ScopedHandle stdOutputRead_;
    base::ScopedHandle stdOutputEvent_;
    OVERLAPPED stdOutputOverlapped_{};
    base::ScopedHandle stdErrorRead_;
    base::ScopedHandle stdErrorEvent_;
    OVERLAPPED stdErrorOverlapped_{};
    base::ScopedHandle process_;
    base::ScopedHandle thread_;
    DWORD processId_ = 0;
    DWORD threadId_ = 0;
    bool inheritStdInput_ = false;
    bool inheritStdOutput_ = false;
    bool inheritStdError_ = false;
    bool noWindow_ = true;
    bool endWithParent_ = false;
    std::wstring secret_;
};

// One named pipe for a child's output: serverEnd is the parent's inbound, overlapped end and is
// connected before return; clientEnd is the child's write end (not yet inheritable). overlapped
// must carry a manual-reset event. On failure both stay empty.
void createStdPipe(base::ScopedFileHandle& serverEnd, base::ScopedFileHandle& clientEnd,
                   SECURITY_ATTRIBUTES* securityAttributes, DWORD bufferSize,
                   OVERLAPPED& overlapped);

namespace VChildDetail {

// "\\.\pipe\VarnoWin32.Pipes." followed by the thread id, the low part of the system time, a
// random number seeded from the time and a process-wide counter, in upper-case hexadecimal.
std::wstring makeStdPipeName();

// The creation flags of a child: the extra flags, CREATE_NO_WINDOW when asked, the parent's own
// priority class (children run at the parent's priority), and a Unicode environment block.
DWORD creationFlags(DWORD extra, bool noWindow);

// The job of the children that end with this process: kill-on-close, held by this process until
// it ends, so the system ends them however this process ends. Their own children may break away
// silently, so a child can still make jobs of its own. Null when no such job can be made.
HANDLE parentJob();

// Puts a suspended child in parentJob and lets it run. A failure to put it there is logged at
// Warning and does not stop the child. False, with the last error set, when the child cannot be
// resumed.
bool tieToParentAndResume(HANDLE process, HANDLE thread, DWORD processId);

// AssignProcessToJobObject unless replaced (tests); returns the previous one, null restores it.
using AssignFunction = BOOL(WINAPI*)(HANDLE job, HANDLE process);
AssignFunction setAssignFunction(AssignFunction assign);

// CreateNamedPipeW is retried with a fresh name this many times in a row before the last error
// is raised: a retry steps past a name that is taken, but a failure that does not depend on the
// name would otherwise repeat forever.
constexpr int kPipeCreateAttempts = 64;

// Makes the server end through create(name), retrying with fresh names; raises "Unable to create
// pipe" with the last error when every attempt failed. name receives the name used.
base::ScopedFileHandle
createServerPipe(std::wstring& name, const std::function<HANDLE(const std::wstring& name)>& create);

} // namespace VChildDetail
