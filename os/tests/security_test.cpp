#include "os/security.h"

#include "base/exception.h"
#include "base/scoped_handle.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using base::ScopedHandle;
using Trustee = SecurityEntry::Trustee;

struct ExpectedAce {
    const VWellKnownSid& sid;
    DWORD mask;
    BYTE flags;
};

// Every expected ACE is an allow ACE of the DACL, and there is nothing else in it.
void expectAllowAces(PACL dacl, const std::vector<ExpectedAce>& expected) {
    ASSERT_NE(nullptr, dacl);
    ASSERT_EQ(expected.size(), dacl->AceCount);
    for (const ExpectedAce& want : expected) {
        bool found = false;
        for (DWORD i = 0; i < dacl->AceCount && !found; ++i) {
            void* raw = nullptr;
            ASSERT_TRUE(::GetAce(dacl, i, &raw));
            const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
            found = ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                    ace->Header.AceFlags == want.flags && ace->Mask == want.mask &&
                    ::EqualSid(const_cast<DWORD*>(&ace->SidStart), want.sid.get());
        }
        EXPECT_TRUE(found) << "no allow ACE for " << VSID(want.sid).toString().c_str() << " mask 0x"
                           << std::hex << want.mask << " flags " << int(want.flags);
    }
}

std::wstring uniqueName(const wchar_t* what) {
    return std::wstring(L"zra-security-test-") + what + L"-" +
           std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount());
}

TEST(VSIDTest, WellKnownSidsAndOwnedCopies) {
    EXPECT_EQ(L"S-1-1-0", VSID(VSID::everyone()).toString());
    EXPECT_EQ(L"S-1-5-18", VSID(VSID::system()).toString());
    EXPECT_EQ(L"S-1-5-32-544", VSID(VSID::admins()).toString());

    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    const VSID admins(nt, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    EXPECT_EQ(VSID(VSID::admins()), admins);
    EXPECT_NE(VSID(VSID::system()), admins);
    EXPECT_EQ(16u, admins.length());

    // A copy owns its own bytes and outlives the original.
    auto original = std::make_unique<VSID>(nt, std::initializer_list<DWORD>{21, 1, 2, 3, 1001});
    const VSID copy = *original;
    EXPECT_NE(original->get(), copy.get());
    original.reset();
    EXPECT_EQ(L"S-1-5-21-1-2-3-1001", copy.toString());

    try {
        VSID tooLong(nt, {1, 2, 3, 4, 5, 6, 7, 8, 9});
        ADD_FAILURE() << "nine sub-authorities were accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(0, std::string(e.what()).rfind("Unable to allocate and initialize sid: (87) ", 0))
            << e.what();
    }
    EXPECT_THROW(VSID(static_cast<PSID>(nullptr)), std::runtime_error);
}

TEST(VSIDTest, GeneralConstructorTakesZeroToEightSubAuthorities) {
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    const SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    struct Case {
        const SID_IDENTIFIER_AUTHORITY& authority;
        std::initializer_list<DWORD> subAuthorities;
        const wchar_t* text;
    } cases[] = {
        {nt, {}, L"S-1-5"},
        {world, {0}, L"S-1-1-0"},
        {nt, {21, 4294967295u, 0, 7, 1000}, L"S-1-5-21-4294967295-0-7-1000"},
        {nt, {1, 2, 3, 4, 5, 6, 7, 8}, L"S-1-5-1-2-3-4-5-6-7-8"},
    };
    for (const Case& c : cases) {
        const VSID sid(c.authority, c.subAuthorities);
        EXPECT_EQ(c.text, sid.toString());
        EXPECT_EQ(8u + 4u * c.subAuthorities.size(), sid.length()) << sid.toString().c_str();
        EXPECT_EQ(c.subAuthorities.size(), *::GetSidSubAuthorityCount(sid.get()));
    }

    // Assignment copies the bytes; the target keeps nothing of its own.
    VSID target(nt, {1, 2, 3, 4, 5, 6, 7, 8});
    const VSID source(VSID::everyone());
    target = source;
    EXPECT_EQ(source, target);
    EXPECT_NE(source.get(), target.get());
    EXPECT_EQ(12u, target.length());
}

TEST(SecurityDescriptorTest, BuiltFromJoinedListsWithOwnerAndGroup) {
    const SecurityEntryList everyone = {
        SecurityEntry::grant(VSID::everyone(), 0x130080, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE,
                             Trustee::user),
        SecurityEntry::grant(VSID::everyone(), 0x1300E7, CONTAINER_INHERIT_ACE, Trustee::user)};
    const SecurityEntryList others = {
        SecurityEntry::grant(VSID::system(), GENERIC_ALL, 3, Trustee::user),
        SecurityEntry::fullAccess(VSID::admins(), Trustee::group)};
    auto all = std::make_unique<SecurityEntryList>(
        everyone + others +
        SecurityEntryList{SecurityEntry::owner(VSID::admins()),
                          SecurityEntry::group(VSID::everyone()),
                          SecurityEntry::owner(VSID::system())});
    SecurityDescriptor sd(*all, true);
    // An absolute descriptor holds pointers: none may lead into the list, which goes away now.
    PSID owner = nullptr;
    PSID group = nullptr;
    BOOL defaulted = TRUE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(sd.descriptor(), &owner, &defaulted));
    ASSERT_TRUE(::GetSecurityDescriptorGroup(sd.descriptor(), &group, &defaulted));
    for (const SecurityEntry& entry : all->entries()) {
        const BYTE* begin = static_cast<const BYTE*>(entry.sid().get());
        for (PSID used : {owner, group})
            EXPECT_FALSE(used >= begin && used < begin + entry.sid().length());
    }
    all.reset();

    ASSERT_TRUE(sd.isValid());
    ASSERT_TRUE(::IsValidSecurityDescriptor(sd.descriptor()));

    SECURITY_ATTRIBUTES* attributes = sd.attributes();
    EXPECT_EQ(12u, attributes->nLength);
    EXPECT_EQ(sd.descriptor(), attributes->lpSecurityDescriptor);
    EXPECT_TRUE(attributes->bInheritHandle);

    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(sd.descriptor(), &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    EXPECT_EQ(sd.dacl(), dacl);
    expectAllowAces(dacl, {{VSID::everyone(), 0x130080, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE},
                           {VSID::everyone(), 0x1300E7, CONTAINER_INHERIT_ACE},
                           {VSID::system(), GENERIC_ALL, 3},
                           {VSID::admins(), GENERIC_ALL, 3}});

    ASSERT_TRUE(::GetSecurityDescriptorOwner(sd.descriptor(), &owner, &defaulted));
    EXPECT_FALSE(defaulted);
    ASSERT_NE(nullptr, owner);
    EXPECT_EQ(VSID(VSID::system()), VSID(owner)) << "the last owner item counts";
    ASSERT_NE(nullptr, group);
    EXPECT_EQ(VSID(VSID::everyone()), VSID(group));

    SecurityDescriptor plain({SecurityEntry::fullAccess(VSID::everyone(), Trustee::group)}, false);
    EXPECT_FALSE(plain.attributes()->bInheritHandle);
    ASSERT_TRUE(::GetSecurityDescriptorOwner(plain.descriptor(), &owner, &defaulted));
    EXPECT_EQ(nullptr, owner);
    expectAllowAces(plain.dacl(), {{VSID::everyone(), GENERIC_ALL, 3}});
}

TEST(SecurityDescriptorTest, WithoutAccessEntriesNobodyIsGranted) {
    for (const SecurityEntryList& list :
         {SecurityEntryList{}, SecurityEntryList{SecurityEntry::owner(VSID::system())}}) {
        SecurityDescriptor sd(list, false);
        BOOL present = FALSE, defaulted = TRUE;
        PACL dacl = nullptr;
        ASSERT_TRUE(::GetSecurityDescriptorDacl(sd.descriptor(), &present, &dacl, &defaulted));
        EXPECT_TRUE(present);
        ASSERT_NE(nullptr, dacl) << "a null DACL grants everyone everything";
        EXPECT_EQ(0u, dacl->AceCount);
    }
}

TEST(SecurityDescriptorTest, GovernsAccessToTheObjectItProtects) {
    const std::wstring name = uniqueName(L"event");
    SecurityDescriptor sd({SecurityEntry::grant(VSID::everyone(), SYNCHRONIZE, 0, Trustee::group)},
                          false);
    ScopedHandle event(::CreateEventW(sd.attributes(), TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(event) << ::GetLastError();

    ScopedHandle waitOnly(::OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
    EXPECT_TRUE(waitOnly) << ::GetLastError();
    ScopedHandle modify(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    EXPECT_FALSE(modify);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
}

} // namespace
