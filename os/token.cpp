#include "os/token.h"

#include "base/exception.h"

namespace {

using security::ScopedHeapMem;

// Reads one variable-sized record: the size first, then a buffer of exactly that size.
ScopedHeapMem readTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what) {
    DWORD size = 0;
    if (!::GetTokenInformation(token, what, nullptr, 0, &size)) {
        const DWORD code = ::GetLastError();
        if (code != ERROR_INSUFFICIENT_BUFFER)
            raiseRunTimeError(L"Unable to get token information", code);
    }
    ScopedHeapMem buffer = security::allocateHeap(size);
    if (!buffer)
        raiseRunTimeError(L"Unable to get token information", ERROR_NOT_ENOUGH_MEMORY);
    if (!::GetTokenInformation(token, what, buffer.get(), size, &size))
        raiseRunTimeError(L"Unable to get token information", ::GetLastError());
    return buffer;
}

LUID lookupPrivilege(const std::wstring& name, const wchar_t* failure) {
    LUID luid{};
    if (!::LookupPrivilegeValueW(nullptr, name.c_str(), &luid))
        raiseRunTimeError(failure, ::GetLastError(), name.c_str());
    return luid;
}

} // namespace

base::ScopedHandle openEffectiveToken(HANDLE process, DWORD access) {
    base::ScopedHandle token;
    if (process != ::GetCurrentProcess()) {
        if (!::OpenProcessToken(process, access, token.put()))
            raiseRunTimeError(L"Unable to open process token", ::GetLastError());
        return token;
    }
    if (::OpenThreadToken(::GetCurrentThread(), access, FALSE, token.put()))
        return token;
    const DWORD code = ::GetLastError();
    if (code != ERROR_NO_TOKEN)
        raiseRunTimeError(L"Unable to open a thread token", code);
    if (!::OpenProcessToken(process, access, token.put()))
        raiseRunTimeError(L"Unable to open a process token", ::GetLastError());
    return token;
}

VSID tokenUser(HANDLE process) {
    const base::ScopedHandle token = openEffectiveToken(process, TOKEN_READ);
    const ScopedHeapMem record = readTokenInformation(token.get(), TokenUser);
    return VSID(static_cast<const TOKEN_USER*>(record.get())->User.Sid);
}

VSID tokenOwner(HANDLE process) {
    const base::ScopedHandle token = openEffectiveToken(process, TOKEN_READ);
    const ScopedHeapMem record = readTokenInformation(token.get(), TokenOwner);
    return VSID(static_cast<const TOKEN_OWNER*>(record.get())->Owner);
}

VTokenGroups tokenGroups(HANDLE process) {
    const base::ScopedHandle token = openEffectiveToken(process, TOKEN_READ);
    // Most tokens fit the first guess, which saves the size query.
    DWORD size = 256;
    ScopedHeapMem buffer = security::allocateHeap(size);
    if (!buffer)
        raiseRunTimeError(L"Unable to get token information", ERROR_NOT_ENOUGH_MEMORY);
    if (!::GetTokenInformation(token.get(), TokenGroups, buffer.get(), size, &size)) {
        const DWORD code = ::GetLastError();
        if (code != ERROR_INSUFFICIENT_BUFFER)
            raiseRunTimeError(L"Unable to get token information", code);
        buffer = security::allocateHeap(size);
        if (!buffer)
            raiseRunTimeError(L"Unable to get token information", ERROR_NOT_ENOUGH_MEMORY);
        if (!::GetTokenInformation(token.get(), TokenGroups, buffer.get(), size, &size))
            raiseRunTimeError(L"Unable to get token information", ::GetLastError());
    }
    return VTokenGroups(std::move(buffer));
}

bool hasPrivilege(const std::wstring& name) {
    const LUID luid = lookupPrivilege(name, L"The privilege (%s) is not found");
    const base::ScopedHandle token = openEffectiveToken(::GetCurrentProcess(), TOKEN_QUERY);
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size)) {
        const DWORD code = ::GetLastError();
        if (code != ERROR_INSUFFICIENT_BUFFER)
            raiseRunTimeError(L"Unable to get token privileges", code);
    }
    const ScopedHeapMem buffer = security::allocateHeap(size);
    if (!buffer)
        raiseRunTimeError(L"Unable to allocate memory for token privileges (%d) bytes", 0,
                          static_cast<int>(size));
    if (!::GetTokenInformation(token.get(), TokenPrivileges, buffer.get(), size, &size))
        raiseRunTimeError(L"Unable to get token privileges", ::GetLastError());
    const auto* privileges = static_cast<const TOKEN_PRIVILEGES*>(buffer.get());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID& held = privileges->Privileges[i].Luid;
        if (held.LowPart == luid.LowPart && held.HighPart == luid.HighPart)
            return true;
    }
    return false;
}

void enablePrivilege(const std::wstring& name) {
    const LUID luid = lookupPrivilege(name, L"Unable to find privilege (%s)");
    const base::ScopedHandle token =
        openEffectiveToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES);
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Luid = luid;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // A privilege the token does not hold is reported only through the last error (1300) with
    // the call returning TRUE; a stale error from earlier must not pass for that.
    ::SetLastError(ERROR_SUCCESS);
    const BOOL adjusted =
        ::AdjustTokenPrivileges(token.get(), FALSE, &wanted, sizeof(wanted), nullptr, nullptr);
    const DWORD code = ::GetLastError();
    if (!adjusted || code != ERROR_SUCCESS)
        raiseRunTimeError(L"Unable to adjust privilege (%s)", code, name.c_str());
}
