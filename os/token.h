// Queries on the security token the code runs under, and the enabling of one privilege. They
// find the SIDs that stand for the running process when a file has to be taken over before it
// can be removed.
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"
#include "os/security.h"

#include <string>

// The token used for an access check: for the current process (its pseudo handle) the calling
// thread's impersonation token when it has one, else the process token; for any other process
// handle that process's token.
base::ScopedHandle openEffectiveToken(HANDLE process, DWORD access);

VSID tokenUser(HANDLE process = ::GetCurrentProcess());
// The SID the token makes the owner of the objects it creates.
VSID tokenOwner(HANDLE process = ::GetCurrentProcess());

// The token's TOKEN_GROUPS record, in heap memory of its own.
class VTokenGroups {
public:
    explicit VTokenGroups(security::ScopedHeapMem memory) : memory_(std::move(memory)) {}

    const TOKEN_GROUPS* get() const { return static_cast<const TOKEN_GROUPS*>(memory_.get()); }
    DWORD count() const { return get()->GroupCount; }
    PSID sid(DWORD index) const { return get()->Groups[index].Sid; }
    DWORD attributes(DWORD index) const { return get()->Groups[index].Attributes; }

private:
    security::ScopedHeapMem memory_;
};

VTokenGroups tokenGroups(HANDLE process = ::GetCurrentProcess());

// True when the effective token holds the privilege, enabled or not.
bool hasPrivilege(const std::wstring& name);
// Enables the privilege in the effective token and leaves it enabled. A token that does not hold
// it is an error, although the system call itself reports success then.
void enablePrivilege(const std::wstring& name);
