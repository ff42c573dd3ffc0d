#include "os/sync.h"

#include "base/exception.h"
#include "base/raising_site.h"
#include "os/security.h"

namespace {

// The raising sites of this file, with the lines the rest of the system knows them by.
constexpr RaisingSite kWaitSite = {"VSyncObject::waitForSingleObject", 113};
constexpr RaisingSite kLockSite = {"VSyncObject::lock", 129};
constexpr RaisingSite kNamedMutexSite = {"VMutex::VMutex", 196};
constexpr RaisingSite kMutexSite = {"VMutex::VMutex", 200};
constexpr RaisingSite kUnlockSite = {"VMutex::unlock", 236};
constexpr RaisingSite kTaskCreateSite = {"ExclusiveTask::Initialize", 235};
constexpr RaisingSite kTaskWaitSite = {"ExclusiveTask::Initialize", 241};
constexpr RaisingSite kDuplicateSite = {"VHandle::duplicate", 16};

} // namespace

ULONGLONG VSyncDetail::systemTime() {
    FILETIME time;
    ::GetSystemTimeAsFileTime(&time);
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

DWORD VSyncObject::waitForSingleObject(HANDLE handle, DWORD timeout) {
    const DWORD result =
        VSyncDetail::waitWithDeadline(timeout, VSyncDetail::systemTime, [handle](DWORD slice) {
            return ::WaitForSingleObjectEx(handle, slice, TRUE);
        });
    if (result == WAIT_FAILED) {
        const DWORD code = ::GetLastError();
        raiseOsError(L"Wait for single object", code, siteLocation(kWaitSite));
    }
    return result;
}

bool VSyncObject::lock(DWORD timeout) {
    switch (waitForSingleObject(handle(), timeout)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return true;
    case WAIT_TIMEOUT:
    case WAIT_IO_COMPLETION:
        return false;
    default: {
        const DWORD code = ::GetLastError();
        raiseOsError(L"Lock object", code, siteLocation(kLockSite));
    }
    }
}

DWORD waitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeout) {
    return VSyncDetail::waitWithDeadline(timeout, VSyncDetail::systemTime, [&](DWORD slice) {
        return ::WaitForMultipleObjectsEx(count, handles, waitAll, slice, TRUE);
    });
}

VMutex::VMutex(bool initialOwner, const wchar_t* name) {
    // Services of the panel run under different accounts and must all be able to open the mutex.
    SecurityDescriptor security(
        {SecurityEntry::fullAccess(VSID::everyone(), SecurityEntry::Trustee::group)}, false);
    handle_.reset(::CreateMutexW(security.attributes(), initialOwner ? TRUE : FALSE, name));
    if (!handle_) {
        const DWORD code = ::GetLastError();
        if (name)
            raiseOsError(L"Create mutex with name '" + std::wstring(name) + L"'", code,
                         siteLocation(kNamedMutexSite));
        raiseOsError(L"Create mutex", code, siteLocation(kMutexSite));
    }
}

void VMutex::unlock() {
    if (!::ReleaseMutex(handle())) {
        const DWORD code = ::GetLastError();
        raiseOsError(L"ReleaseMutex", code, siteLocation(kUnlockSite));
    }
}

void ExclusiveTask::Initialize(const std::wstring& name, DWORD timeout) {
    release();
    mutex_.reset(::CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!mutex_) {
        const DWORD code = ::GetLastError();
        raiseOsError(L"create mutex " + name, code, siteLocation(kTaskCreateSite));
    }
    switch (::WaitForSingleObject(mutex_.get(), timeout)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
    case WAIT_TIMEOUT:
        return;
    default: {
        const DWORD code = ::GetLastError();
        mutex_.reset();
        raiseOsError(L"WaitForSingleObject failed for mutex " + name, code,
                     siteLocation(kTaskWaitSite));
    }
    }
}

ExclusiveTask::~ExclusiveTask() {
    release();
}

void ExclusiveTask::release() noexcept {
    if (mutex_) {
        // Fails harmlessly when the wait timed out and the mutex was never ours.
        ::ReleaseMutex(mutex_.get());
        mutex_.reset();
    }
}

HANDLE VHandle::duplicate(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    HANDLE process = ::GetCurrentProcess();
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(process, handle, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        const DWORD code = ::GetLastError();
        raiseOsError(L"Unable to duplicate handle", code, siteLocation(kDuplicateSite));
    }
    return copy;
}
