// Owners of the kernel objects used for mutual exclusion between the panel's processes, and the
// waits every part of the program goes through. Waits are alertable so that completion routines
// of overlapped pipe I/O run during them, and deadline based so that those routines neither
// shorten nor lengthen the time-out the caller asked for.
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"
#include "os/cancelation.h"

#include <string>

class VSyncObject {
public:
    VSyncObject(const VSyncObject&) = delete;
    VSyncObject& operator=(const VSyncObject&) = delete;

    // True when the object was acquired (abandoned by a dead owner included), false on time-out.
    bool lock(DWORD timeout);
    virtual void unlock() = 0;
    HANDLE handle() const { return handle_.get(); }

    // WaitForSingleObjectEx, alertable, resumed after each APC until the deadline. Raises on
    // WAIT_FAILED; every other result is returned.
    static DWORD waitForSingleObject(HANDLE handle, DWORD timeout);

protected:
    VSyncObject() = default;
    // Objects are never destroyed through this base, so destruction is not virtual; keeping it
    // protected makes a delete through a base pointer a compile error.
    ~VSyncObject() = default;

    base::ScopedHandle handle_;
};

// The same deadline loop over WaitForMultipleObjectsEx. Nothing is raised: WAIT_FAILED is returned
// like any other result.
DWORD waitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeout);

// A mutex any account may open, so that services running under different accounts can share it.
class VMutex : public VSyncObject {
public:
    // name may be null for an unnamed mutex. A name without a namespace prefix lives in the
    // caller's session namespace.
    VMutex(bool initialOwner, const wchar_t* name);
    void unlock() override;
};

// Holds a named mutex for the duration of one task, such as a registration that must not run in
// two processes at once.
class ExclusiveTask {
public:
    ExclusiveTask() = default;
    ExclusiveTask(const ExclusiveTask&) = delete;
    ExclusiveTask& operator=(const ExclusiveTask&) = delete;
    ~ExclusiveTask();

    // A time-out is not an error: the task then runs without the mutex, and the release at
    // destruction fails silently.
    void Initialize(const std::wstring& name, DWORD timeout);

private:
    void release() noexcept;

    base::ScopedHandle mutex_;
};

namespace VHandle {
// A second handle to the same object in this process, same access, not inheritable; the caller
// closes it. Null and INVALID_HANDLE_VALUE give INVALID_HANDLE_VALUE.
HANDLE duplicate(HANDLE handle);
} // namespace VHandle

namespace VSyncDetail {

// A single wait cannot ask for more than this: the value must stay clear of INFINITE.
constexpr DWORD kLongestSingleWait = 0x7FFFFFFF;

// The deadline loop behind both waits, with the clock (100-ns units) and the wait passed in.
template <typename Clock, typename Wait>
DWORD waitWithDeadline(DWORD timeout, Clock now, Wait wait) {
    ThreadCancelation::CancelationPoint cancelationPoint(0);
    const ULONGLONG start = now();
    const ULONGLONG deadline =
        timeout == INFINITE ? 0 : start + static_cast<ULONGLONG>(timeout) * 10000u;
    for (;;) {
        DWORD slice = INFINITE;
        bool partial = false;
        if (timeout != INFINITE) {
            const ULONGLONG current = now();
            const ULONGLONG left = deadline >= current ? (deadline - current) / 10000u : 0;
            // Longer than one wait can take: wait in slices until the deadline.
            partial = left > kLongestSingleWait;
            slice = partial ? kLongestSingleWait : static_cast<DWORD>(left);
        }
        const DWORD result = wait(slice);
        if (result == WAIT_IO_COMPLETION || (partial && result == WAIT_TIMEOUT))
            continue;
        return result;
    }
}

// GetSystemTimeAsFileTime as one 64-bit number.
ULONGLONG systemTime();

} // namespace VSyncDetail
