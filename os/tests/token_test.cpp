#include "os/token.h"

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "os/security.h"
#include "os/tests/failure_text.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using base::ScopedHandle;

const wchar_t kTakeOwnership[] = L"SeTakeOwnershipPrivilege";
// Held by an administrator's token but disabled until asked for.
const wchar_t kBackup[] = L"SeBackupPrivilege";
// Held by no ordinary token, administrators' included.
const wchar_t kCreateToken[] = L"SeCreateTokenPrivilege";

using os_test::failureOf;
using os_test::startsWith;

ScopedHandle openOwnProcessToken(DWORD access) {
    ScopedHandle token;
    EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), access, token.put()));
    return token;
}

// A real handle: the effective-token rule treats it as another process and reads its token.
ScopedHandle ownProcessHandle() {
    return ScopedHandle(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, ::GetCurrentProcessId()));
}

DWORD privilegeAttributes(HANDLE token, const wchar_t* name) {
    LUID luid{};
    EXPECT_TRUE(::LookupPrivilegeValueW(nullptr, name, &luid));
    BYTE buffer[4096];
    DWORD size = 0;
    EXPECT_TRUE(::GetTokenInformation(token, TokenPrivileges, buffer, sizeof(buffer), &size));
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer);
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID& held = privileges->Privileges[i].Luid;
        if (held.LowPart == luid.LowPart && held.HighPart == luid.HighPart)
            return privileges->Privileges[i].Attributes;
    }
    return MAXDWORD;
}

TOKEN_TYPE tokenType(HANDLE token) {
    TOKEN_TYPE type{};
    DWORD size = 0;
    EXPECT_TRUE(::GetTokenInformation(token, TokenType, &type, sizeof(type), &size));
    return type;
}

// Attributes of the group in the list, or MAXDWORD when it is not there.
DWORD groupAttributes(const VTokenGroups& groups, const VSID& sid) {
    for (DWORD i = 0; i < groups.count(); ++i) {
        if (VSID(groups.sid(i)) == sid)
            return groups.attributes(i);
    }
    return MAXDWORD;
}

// Runs work on a new thread that impersonates a copy of the process token with Everyone made
// deny-only and SeTakeOwnershipPrivilege removed, so its answers differ from the process's.
void onRestrictedThread(const std::function<void()>& work) {
    std::thread thread([&] {
        ScopedHandle process = openOwnProcessToken(TOKEN_ALL_ACCESS);
        SID_AND_ATTRIBUTES disable = {VSID::everyone().get(), 0};
        LUID_AND_ATTRIBUTES remove{};
        ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, kTakeOwnership, &remove.Luid));
        ScopedHandle restricted;
        ASSERT_TRUE(::CreateRestrictedToken(process.get(), 0, 1, &disable, 1, &remove, 0, nullptr,
                                            restricted.put()));
        ScopedHandle impersonation;
        ASSERT_TRUE(::DuplicateTokenEx(restricted.get(), TOKEN_ALL_ACCESS, nullptr,
                                       SecurityImpersonation, TokenImpersonation,
                                       impersonation.put()));
        ASSERT_TRUE(::SetThreadToken(nullptr, impersonation.get()));
        work();
        ::RevertToSelf();
    });
    thread.join();
}

// The same with an unchanged copy of the process token.
void onImpersonatingThread(const std::function<void()>& work) {
    std::thread thread([&] {
        ASSERT_TRUE(::ImpersonateSelf(SecurityImpersonation));
        work();
        ::RevertToSelf();
    });
    thread.join();
}

TEST(TokenTest, ProcessTokenQueriesAgreeWithTheSystem) {
    ScopedHandle token = openOwnProcessToken(TOKEN_READ);
    BYTE buffer[4096];
    DWORD size = 0;
    ASSERT_TRUE(::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size));
    const VSID user(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    ASSERT_TRUE(::GetTokenInformation(token.get(), TokenOwner, buffer, sizeof(buffer), &size));
    const VSID owner(reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner);

    EXPECT_EQ(user, tokenUser());
    EXPECT_EQ(owner, tokenOwner());
    const VTokenGroups groups = tokenGroups();
    EXPECT_NE(MAXDWORD, groupAttributes(groups, VSID(VSID::everyone())));
    EXPECT_NE(MAXDWORD, groupAttributes(groups, VSID(VSID::admins())))
        << "the test user is an administrator";
    // The default owner is the user or a group the token may make owner.
    if (owner != user) {
        EXPECT_TRUE(groupAttributes(groups, owner) & SE_GROUP_OWNER);
    }

    // A process handle of its own reads the same token.
    ScopedHandle self = ownProcessHandle();
    ASSERT_TRUE(self);
    EXPECT_EQ(user, tokenUser(self.get()));
    EXPECT_EQ(owner, tokenOwner(self.get()));
    EXPECT_EQ(groups.count(), tokenGroups(self.get()).count());
}

TEST(TokenTest, ManyGroupsOutgrowTheFirstBuffer) {
    // The first guess of 256 bytes holds few groups; the count must come out whole either way.
    ScopedHandle token = openOwnProcessToken(TOKEN_READ);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenGroups, nullptr, 0, &size);
    const VTokenGroups groups = tokenGroups();
    ASSERT_GT(groups.count(), 0u);
    for (DWORD i = 0; i < groups.count(); ++i)
        EXPECT_TRUE(::IsValidSid(groups.sid(i))) << i;
    EXPECT_GE(size, sizeof(DWORD) + groups.count() * sizeof(SID_AND_ATTRIBUTES));
}

TEST(TokenTest, EffectiveTokenIsTheThreadsWhileItImpersonates) {
    {
        ScopedHandle token = openEffectiveToken(::GetCurrentProcess(), TOKEN_QUERY);
        ASSERT_TRUE(token);
        EXPECT_EQ(TokenPrimary, tokenType(token.get()));
    }
    onImpersonatingThread([] {
        ScopedHandle token = openEffectiveToken(::GetCurrentProcess(), TOKEN_QUERY);
        ASSERT_TRUE(token);
        EXPECT_EQ(TokenImpersonation, tokenType(token.get()));
        // Another process handle always means that process's own token.
        ScopedHandle self = ownProcessHandle();
        ScopedHandle processToken = openEffectiveToken(self.get(), TOKEN_QUERY);
        EXPECT_EQ(TokenPrimary, tokenType(processToken.get()));
    });
}

TEST(TokenTest, QueriesOnAnImpersonatingThreadUseTheThreadToken) {
    const VSID everyone(VSID::everyone());
    EXPECT_TRUE(hasPrivilege(kTakeOwnership));
    EXPECT_EQ(0u, groupAttributes(tokenGroups(), everyone) & SE_GROUP_USE_FOR_DENY_ONLY);

    const VSID processUser = tokenUser();
    onRestrictedThread([&] {
        EXPECT_FALSE(hasPrivilege(kTakeOwnership));
        EXPECT_TRUE(groupAttributes(tokenGroups(), everyone) & SE_GROUP_USE_FOR_DENY_ONLY);
        EXPECT_EQ(processUser, tokenUser());
        EXPECT_TRUE(startsWith(failureOf([] { enablePrivilege(kTakeOwnership); }),
                               "Unable to adjust privilege (SeTakeOwnershipPrivilege): (1300) "));

        ScopedHandle self = ownProcessHandle();
        EXPECT_EQ(0u,
                  groupAttributes(tokenGroups(self.get()), everyone) & SE_GROUP_USE_FOR_DENY_ONLY);
    });
}

TEST(TokenTest, EnablingChangesOnlyTheEffectiveToken) {
    ScopedHandle process = openOwnProcessToken(TOKEN_QUERY);
    ASSERT_EQ(0u, privilegeAttributes(process.get(), kBackup) & SE_PRIVILEGE_ENABLED);
    onImpersonatingThread([&] {
        EXPECT_TRUE(hasPrivilege(kBackup)) << "held but disabled";
        // A stale error on the thread must not pass for the 1300 of a privilege not held.
        ::SetLastError(ERROR_NOT_ALL_ASSIGNED);
        EXPECT_NO_THROW(enablePrivilege(kBackup));
        ScopedHandle thread;
        ASSERT_TRUE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, FALSE, thread.put()));
        EXPECT_TRUE(privilegeAttributes(thread.get(), kBackup) & SE_PRIVILEGE_ENABLED);
        // Enabling twice is no error, and the privilege stays enabled.
        EXPECT_NO_THROW(enablePrivilege(kBackup));
        EXPECT_TRUE(privilegeAttributes(thread.get(), kBackup) & SE_PRIVILEGE_ENABLED);
    });
    EXPECT_EQ(0u, privilegeAttributes(process.get(), kBackup) & SE_PRIVILEGE_ENABLED);
}

TEST(TokenTest, Failures) {
    ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE notAProcess = event.get();
    struct Case {
        const char* what;
        std::function<void()> work;
        std::string prefix;
    } cases[] = {
        {"unknown name, test", [] { hasPrivilege(L"SeNoSuchPrivilege"); },
         "The privilege (SeNoSuchPrivilege) is not found: (1313) "},
        {"unknown name, enable", [] { enablePrivilege(L"SeNoSuchPrivilege"); },
         "Unable to find privilege (SeNoSuchPrivilege): (1313) "},
        {"empty name", [] { hasPrivilege(L""); }, "The privilege () is not found: (1313) "},
        {"not held", [] { enablePrivilege(kCreateToken); },
         "Unable to adjust privilege (SeCreateTokenPrivilege): (1300) "},
        {"not a process, user", [=] { tokenUser(notAProcess); },
         "Unable to open process token: (6) "},
        {"not a process, groups", [=] { tokenGroups(notAProcess); },
         "Unable to open process token: (6) "},
    };
    for (const Case& c : cases) {
        const std::string failure = failureOf(c.work);
        EXPECT_TRUE(startsWith(failure, c.prefix)) << c.what << ": " << failure;
    }
    EXPECT_FALSE(hasPrivilege(kCreateToken));
}

} // namespace
