#include "os/acl.h"

#include "base/exception.h"

// Placeholder until the ACL holder lands.
void takeOwnershipAndGrant(const std::wstring&, SE_OBJECT_TYPE, DWORD) {
    raiseRunTimeError(L"Taking ownership is not available yet", 0);
}
