#include "os/acl.h"

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "os/security.h"
#include "os/tests/failure_text.h"
#include "os/token.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const BYTE kAllow = ACCESS_ALLOWED_ACE_TYPE;
const BYTE kDeny = ACCESS_DENIED_ACE_TYPE;
const BYTE kAllowObject = ACCESS_ALLOWED_OBJECT_ACE_TYPE;
const BYTE kDenyObject = ACCESS_DENIED_OBJECT_ACE_TYPE;
const BYTE kInherited = INHERITED_ACE;
const BYTE kInheritOnly = INHERIT_ONLY_ACE;
const GUID kGuidA = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const GUID kGuidB = {0xAAAAAAAA, 0xBBBB, 0xCCCC, {0xDD, 0xDD, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x01}};
// kGuidB but for its last byte.
const GUID kGuidB2 = {0xAAAAAAAA, 0xBBBB, 0xCCCC, {0xDD, 0xDD, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x02}};

VSID sidOf(const wchar_t* text) {
    PSID raw = nullptr;
    EXPECT_TRUE(::ConvertStringSidToSidW(text, &raw)) << ::GetLastError();
    base::ScopedLocalMem owner(raw);
    return VSID(raw);
}

using os_test::failureOf;
using os_test::startsWith;

VAce ace(BYTE type, BYTE flags, DWORD mask, const VSID& sid) {
    return VAce(type, flags, mask, sid.get());
}

// An ACL in exactly the given order, written with the system's calls.
VAcl aclOf(const std::vector<VAce>& aces) {
    VAcl acl;
    acl.reserve(nullptr, aces);
    for (const VAce& a : aces)
        EXPECT_TRUE(
            ::AddAce(acl.get(), ACL_REVISION, MAXDWORD, const_cast<void*>(a.data()), a.size()));
    return acl;
}

std::string describe(const VAce& a) {
    char text[64];
    std::snprintf(text, sizeof(text), "type %d flags 0x%x mask 0x%lx ", a.type(), a.flags(),
                  a.mask());
    wchar_t* sid = nullptr;
    ::ConvertSidToStringSidW(a.sid(), &sid);
    base::ScopedLocalMem owner(sid);
    std::string result = text;
    for (const wchar_t* p = sid; p && *p; ++p)
        result += static_cast<char>(*p);
    return result;
}

// The ACL's ACEs, compared whole (mask included), in order.
void expectAces(const VAcl& acl, const std::vector<VAce>& expected) {
    const std::vector<VAce> actual = acl.aces();
    std::string got;
    for (const VAce& a : actual)
        got += "\n  " + describe(a);
    ASSERT_EQ(expected.size(), actual.size()) << got;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(expected[i].size() == actual[i].size() &&
                    std::memcmp(expected[i].data(), actual[i].data(), actual[i].size()) == 0)
            << "at " << i << " expected " << describe(expected[i]) << got;
    }
}

// Canonical: ranks never go down along the ACL.
bool isCanonical(const VAcl& acl) {
    int last = -1;
    for (const VAce& a : acl.aces()) {
        if (a.rank() < last)
            return false;
        last = a.rank();
    }
    return true;
}

struct Sids {
    VSID everyone{VSID::everyone()};
    VSID system{VSID::system()};
    VSID admins{VSID::admins()};
    VSID alice = sidOf(L"S-1-5-21-1-2-3-1001");
    VSID bob = sidOf(L"S-1-5-21-1-2-3-1002");
};

TEST(AceTest, StandardLayout) {
    const Sids s;
    for (BYTE type : {kAllow, kDeny, BYTE(SYSTEM_AUDIT_ACE_TYPE), BYTE(SYSTEM_ALARM_ACE_TYPE)}) {
        const VAce a(type, 0x13, 0x120089, s.alice.get());
        const BYTE* bytes = static_cast<const BYTE*>(a.data());
        EXPECT_EQ(8 + s.alice.length(), a.size());
        EXPECT_EQ(type, bytes[0]);
        EXPECT_EQ(0x13, bytes[1]);
        EXPECT_EQ(a.size(), reinterpret_cast<const ACE_HEADER*>(bytes)->AceSize);
        EXPECT_EQ(0x120089u, *reinterpret_cast<const DWORD*>(bytes + 4));
        EXPECT_EQ(bytes + 8, a.sid());
        EXPECT_EQ(s.alice, VSID(a.sid()));
        EXPECT_FALSE(a.isObject());
        // A copy of the system's ACE holds the same bytes.
        const VAce copy(a.data());
        EXPECT_EQ(0, std::memcmp(copy.data(), a.data(), a.size()));
    }
}

TEST(AceTest, ObjectLayouts) {
    const Sids s;
    struct Case {
        DWORD objectFlags;
        size_t sidOffset;
        GUID objectType;
        GUID inheritedType;
    } cases[] = {
        {ACE_OBJECT_TYPE_PRESENT | ACE_INHERITED_OBJECT_TYPE_PRESENT, 44, kGuidA, kGuidB},
        {ACE_OBJECT_TYPE_PRESENT, 28, kGuidA, GUID{}},
        {ACE_INHERITED_OBJECT_TYPE_PRESENT, 28, GUID{}, kGuidB},
        {0, 12, GUID{}, GUID{}},
    };
    for (BYTE type = ACCESS_ALLOWED_OBJECT_ACE_TYPE; type <= SYSTEM_ALARM_OBJECT_ACE_TYPE; ++type) {
        for (const Case& c : cases) {
            const VAce a(type, 2, 0x30, c.objectFlags, kGuidA, kGuidB, s.bob.get());
            const BYTE* bytes = static_cast<const BYTE*>(a.data());
            EXPECT_EQ(c.sidOffset + s.bob.length(), a.size()) << int(type) << " " << c.objectFlags;
            EXPECT_EQ(bytes + c.sidOffset, a.sid());
            EXPECT_EQ(c.objectFlags, *reinterpret_cast<const DWORD*>(bytes + 8));
            if (c.objectFlags & ACE_OBJECT_TYPE_PRESENT) {
                EXPECT_EQ(0, std::memcmp(bytes + 12, &kGuidA, sizeof(GUID)));
            }
            if (c.objectFlags == 3) {
                EXPECT_EQ(0, std::memcmp(bytes + 28, &kGuidB, sizeof(GUID)));
            }
            EXPECT_TRUE(a.isObject());
            EXPECT_EQ(c.objectFlags, a.objectFlags());
            EXPECT_TRUE(::IsEqualGUID(c.objectType, a.objectType()));
            EXPECT_TRUE(::IsEqualGUID(c.inheritedType, a.inheritedObjectType()));

            // Through an ACL and back, the SID is found where the system put it.
            VAcl acl;
            acl.insert(
                a.type() == kAllowObject || a.type() == kDenyObject
                    ? a
                    : VAce(kAllowObject, 2, 0x30, c.objectFlags, kGuidA, kGuidB, s.bob.get()));
            EXPECT_EQ(s.bob, VSID(acl.at(0).sid()));
        }
    }
    // Without GUIDs the short form is also what the four-argument constructor makes.
    EXPECT_EQ(12 + s.bob.length(), VAce(kAllowObject, 0, 1, s.bob.get()).size());
}

TEST(AceTest, Errors) {
    const Sids s;
    const VAce standard = ace(kAllow, 0, 1, s.alice);
    BYTE raw[64] = {};
    struct Case {
        const char* what;
        std::function<void()> work;
        std::string prefix;
    } cases[] = {
        {"type 4", [&] { VAce(4, 0, 1, s.alice.get()); }, "Unsupported ACE type (4)"},
        {"type 9", [&] { VAce(9, 0, 1, s.alice.get()); }, "Unsupported ACE type (9)"},
        {"label type", [&] { VAce(SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, 1, s.alice.get()); },
         "Unsupported ACE type (17)"},
        {"copy of type 4",
         [&] {
             raw[0] = 4;
             raw[2] = 20;
             VAce{raw};
         },
         "Unsupported ACE type (4)"},
        {"object flags of a standard ACE", [&] { standard.objectFlags(); },
         "Not X_X_OBJECT_ACE_TYPE"},
        {"object GUID of a standard ACE", [&] { standard.objectType(); },
         "Not X_X_OBJECT_ACE_TYPE"},
        {"object ACE of a standard type",
         [&] { VAce(kAllow, 0, 1, 0, kGuidA, kGuidB, s.alice.get()); }, "Not object type ACE"},
        {"invalid SID", [&] { VAce(kAllow, 0, 1, raw + 32); }, "Unable to copy SID: (1337) "},
        {"copy whose SID runs past its size",
         [&] {
             const VAce a = ace(kAllow, 0, 1, s.alice);
             std::memcpy(raw, a.data(), a.size());
             reinterpret_cast<ACE_HEADER*>(raw)->AceSize = 16;
             VAce{raw};
         },
         "Unable to copy SID: (1337) "},
    };
    for (const Case& c : cases) {
        const std::string failure = failureOf(c.work);
        EXPECT_TRUE(startsWith(failure, c.prefix)) << c.what << ": " << failure;
    }
}

TEST(AceTest, Equality) {
    const Sids s;
    struct Case {
        const char* what;
        VAce a;
        VAce b;
        bool equal;
    } cases[] = {
        {"mask is not compared", ace(kAllow, 3, 1, s.alice), ace(kAllow, 3, 2, s.alice), true},
        {"flags differ", ace(kAllow, 3, 1, s.alice), ace(kAllow, 2, 1, s.alice), false},
        {"types differ", ace(kAllow, 0, 1, s.alice), ace(kDeny, 0, 1, s.alice), false},
        {"SIDs differ", ace(kAllow, 0, 1, s.alice), ace(kAllow, 0, 1, s.bob), false},
        {"SIDs of other lengths", ace(kAllow, 0, 1, s.alice), ace(kAllow, 0, 1, s.everyone), false},
        {"same object ACE", VAce(kAllowObject, 0, 1, 3, kGuidA, kGuidB, s.bob.get()),
         VAce(kAllowObject, 0, 1, 3, kGuidA, kGuidB, s.bob.get()), true},
        {"object ACE masks differ", VAce(kAllowObject, 0, 1, 3, kGuidA, kGuidB, s.bob.get()),
         VAce(kAllowObject, 0, 2, 3, kGuidA, kGuidB, s.bob.get()), false},
        {"inherited object types differ in the last byte",
         VAce(kAllowObject, 0, 1, 3, kGuidA, kGuidB, s.bob.get()),
         VAce(kAllowObject, 0, 1, 3, kGuidA, kGuidB2, s.bob.get()), false},
        {"object flags differ", VAce(kAllowObject, 0, 1, 1, kGuidA, kGuidB, s.bob.get()),
         VAce(kAllowObject, 0, 1, 2, kGuidA, kGuidA, s.bob.get()), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.equal, c.a == c.b) << c.what;
        EXPECT_EQ(c.equal, c.b == c.a) << c.what;
    }
}

TEST(AceTest, RanksAndFileRights) {
    const Sids s;
    struct RankCase {
        BYTE type;
        BYTE flags;
        int rank;
    } ranks[] = {
        {kDeny, 0, 0},
        {kDenyObject, 0, 1},
        {kAllow, 3, 2},
        {kAllowObject, 0, 3},
        {kDeny, kInherited, 4},
        {kDenyObject, kInherited, 5},
        {kAllow, kInherited | 3, 6},
        {kAllowObject, kInherited, 7},
        {SYSTEM_AUDIT_ACE_TYPE, 0, -1},
        {SYSTEM_ALARM_OBJECT_ACE_TYPE, kInherited, -1},
    };
    for (const RankCase& c : ranks)
        EXPECT_EQ(c.rank, VAce(c.type, c.flags, 1, s.alice.get()).rank()) << int(c.type);

    struct MapCase {
        DWORD in;
        DWORD out;
    } maps[] = {
        {GENERIC_READ, FILE_GENERIC_READ},
        {GENERIC_WRITE, FILE_GENERIC_WRITE},
        {GENERIC_EXECUTE, FILE_GENERIC_EXECUTE},
        {GENERIC_ALL, FILE_ALL_ACCESS},
        {GENERIC_READ | GENERIC_EXECUTE | DELETE,
         FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | DELETE},
        {DELETE | FILE_WRITE_ATTRIBUTES, 0x10100},
        {0, 0},
    };
    for (const MapCase& c : maps)
        EXPECT_EQ(c.out, mapFileRights(c.in)) << std::hex << c.in;
}

TEST(AclTest, CanonicalInsertion) {
    const Sids s;
    const VAce deny = ace(kDeny, 0, 1, s.alice);
    const VAce allow = ace(kAllow, 0, 1, s.alice);
    const VAce inheritedDeny = ace(kDeny, kInherited, 1, s.alice);
    struct Case {
        const char* what;
        VAce inserted;
        int index;
    } cases[] = {
        {"explicit allow", ace(kAllow, 0, 2, s.bob), 1},
        {"inherited deny", ace(kDeny, kInherited, 2, s.bob), 2},
        {"explicit deny goes first", ace(kDeny, 0, 2, s.bob), 0},
        {"explicit object deny", VAce(kDenyObject, 0, 2, s.bob.get()), 1},
        {"explicit object allow", VAce(kAllowObject, 0, 2, s.bob.get()), 2},
        {"inherited allow goes last", ace(kAllow, kInherited, 2, s.bob), 3},
    };
    for (const Case& c : cases) {
        VAcl acl = aclOf({deny, allow, inheritedDeny});
        acl.insert(c.inserted);
        ASSERT_EQ(4u, acl.count()) << c.what;
        EXPECT_EQ(c.index, acl.find(c.inserted)) << c.what;
        EXPECT_EQ(c.inserted.mask(), acl.at(c.index).mask()) << c.what;
        EXPECT_TRUE(isCanonical(acl)) << c.what;
    }

    VAcl acl;
    EXPECT_TRUE(
        startsWith(failureOf([&] { acl.insert(VAce(SYSTEM_AUDIT_ACE_TYPE, 0, 1, s.alice.get())); }),
                   "Invalid ACE type: (87) "));
    VAcl withAudit = aclOf({VAce(SYSTEM_AUDIT_ACE_TYPE, 0, 1, s.alice.get())});
    EXPECT_TRUE(startsWith(failureOf([&] { withAudit.insert(allow); }),
                           "Unsupported ACE type in ACL: (87) "));
}

TEST(AclTest, CopiesReverseOrderWithinARank) {
    const Sids s;
    const VAce a1 = ace(kAllow, 0, 1, s.alice);
    const VAce a2 = ace(kAllow, 0, 2, s.bob);
    const VAce d1 = ace(kDeny, 0, 4, s.alice);
    const VAcl original = aclOf({d1, a1, a2});
    VAcl copy;
    copy.assignAcl(original);
    expectAces(copy, {d1, a2, a1});
    // Assigning an ACL to itself keeps its ACEs.
    copy.assignAcl(copy);
    expectAces(copy, {d1, a1, a2});

    // An out-of-order ACL comes out canonical.
    VAcl sorted;
    sorted.addSorted(aclOf({a1, d1, ace(kDeny, kInherited, 8, s.bob)}).get());
    EXPECT_TRUE(isCanonical(sorted));
    EXPECT_EQ(3u, sorted.count());
}

TEST(AclTest, GrowsBeyondTheFirstSize) {
    // 268 bytes hold nine ACEs of a 28-byte SID; the rest must make room for themselves.
    VAcl acl;
    std::vector<VAce> aces;
    for (int i = 0; i < 200; ++i)
        aces.push_back(ace(i % 3 ? kAllow : kDeny, 0, i,
                           sidOf((L"S-1-5-21-1-2-3-" + std::to_wstring(2000 + i)).c_str())));
    acl.addMissing(aces);
    EXPECT_EQ(200u, acl.count());
    EXPECT_TRUE(isCanonical(acl));
    acl.addSorted(aces);
    EXPECT_EQ(400u, acl.count());

    VAcl other;
    other.reserve(acl.get(), {});
    ACL_SIZE_INFORMATION info{};
    ASSERT_TRUE(::GetAclInformation(other.get(), &info, sizeof(info), AclSizeInformation));
    DWORD otherInUse = 0;
    {
        ACL_SIZE_INFORMATION full{};
        ASSERT_TRUE(::GetAclInformation(acl.get(), &full, sizeof(full), AclSizeInformation));
        otherInUse = full.AclBytesInUse;
    }
    EXPECT_GE(info.AclBytesFree, otherInUse);

    // An ACL cannot pass 64 KB: the failure is reported, not written past the end. A SID of 8
    // sub-authorities makes 48-byte ACEs.
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    const VSID longest(nt, {21, 1, 2, 3, 4, 5, 6, 7});
    std::vector<VAce> tooMany(1200, ace(kAllow, 0, 1, longest));
    EXPECT_TRUE(
        startsWith(failureOf([&] { acl.addSorted(tooMany); }), "Unable to add ACE to ACL: ("));
    EXPECT_TRUE(::IsValidAcl(acl.get()));
}

TEST(AclTest, FindAddMissingAndDelete) {
    const Sids s;
    VAcl acl = aclOf({ace(kDeny, 0, 1, s.alice), ace(kAllow, 0, 1, s.alice),
                      ace(kAllow, 0, 1, s.bob), ace(kAllow, 0, 2, s.alice)});
    EXPECT_EQ(1, acl.find(ace(kAllow, 0, 7, s.alice)));
    EXPECT_EQ(3, acl.find(ace(kAllow, 0, 7, s.alice), 2));
    EXPECT_EQ(-1, acl.find(ace(kAllow, 0, 7, s.alice), 4));
    EXPECT_EQ(-1, acl.find(ace(kAllow, 1, 7, s.alice)));
    EXPECT_EQ(0, acl.findSid(s.alice.get()));
    EXPECT_EQ(3, acl.findSid(s.alice.get(), 2));
    EXPECT_EQ(-1, acl.findSid(s.system.get()));

    // An ACE equal but for its mask counts as present.
    acl.addMissing({ace(kAllow, 0, 9, s.bob), ace(kAllow, 0, 9, s.system)});
    EXPECT_EQ(5u, acl.count());
    EXPECT_EQ(1u, acl.at(acl.find(ace(kAllow, 0, 0, s.bob))).mask());

    acl.deleteAt(0);
    EXPECT_EQ(4u, acl.count());
    EXPECT_EQ(-1, acl.find(ace(kDeny, 0, 1, s.alice)));
    EXPECT_TRUE(startsWith(failureOf([&] { acl.at(4); }), "Unable to get ACL ACE (4): ("));
    EXPECT_TRUE(startsWith(failureOf([&] { acl.at(-1); }), "Unable to get ACL ACE (-1): ("));
    EXPECT_TRUE(startsWith(failureOf([&] { acl.deleteAt(9); }), "Unable to delete ACL ACE (9): ("));
    acl.reset();
    EXPECT_EQ(0u, acl.count());
}

TEST(AclTest, MergeDuplicateAces) {
    const Sids s;
    struct Case {
        const char* what;
        std::vector<VAce> in;
        bool mapRights;
        std::vector<VAce> out;
    } cases[] = {
        {"masks 1 and 2 make 3",
         {ace(kAllow, 3, 1, s.alice), ace(kAllow, 3, 2, s.alice)},
         false,
         {ace(kAllow, 3, 3, s.alice)}},
        {"generic all on a file",
         {ace(kAllow, 0, GENERIC_ALL, s.alice)},
         true,
         {ace(kAllow, 0, FILE_ALL_ACCESS, s.alice)}},
        {"generic all elsewhere",
         {ace(kAllow, 0, GENERIC_ALL, s.alice)},
         false,
         {ace(kAllow, 0, GENERIC_ALL, s.alice)}},
        {"generic read on a file merges with its file rights",
         {ace(kAllow, 0, GENERIC_READ, s.alice), ace(kAllow, 0, FILE_GENERIC_READ, s.alice)},
         true,
         {ace(kAllow, 0, FILE_GENERIC_READ, s.alice)}},
        {"inherited allow comes out explicit",
         {ace(kAllow, kInherited | 3, 1, s.alice)},
         false,
         {ace(kAllow, 3, 1, s.alice)}},
        {"flags of duplicates unite",
         {ace(kAllow, OBJECT_INHERIT_ACE, 1, s.alice),
          ace(kAllow, CONTAINER_INHERIT_ACE, 1, s.alice)},
         false,
         {ace(kAllow, 3, 1, s.alice)}},
        {"inherit-only needs both",
         {ace(kAllow, kInheritOnly | 3, 1, s.alice), ace(kAllow, 3, 1, s.alice)},
         false,
         {ace(kAllow, 3, 1, s.alice)}},
        {"inherit-only kept when both have it",
         {ace(kAllow, kInheritOnly | 1, 1, s.alice), ace(kAllow, kInheritOnly | 2, 1, s.alice)},
         false,
         {ace(kAllow, kInheritOnly | 3, 1, s.alice)}},
        {"explicit and inherited copy of one grant",
         {ace(kAllow, 0, 1, s.alice), ace(kAllow, kInherited, 1, s.alice)},
         false,
         {ace(kAllow, 0, 1, s.alice)}},
        {"deny and allow stay apart, deny first",
         {ace(kAllow, 0, 1, s.alice), ace(kDeny, 0, 2, s.alice), ace(kDeny, 0, 4, s.alice)},
         false,
         {ace(kDeny, 0, 6, s.alice), ace(kAllow, 0, 1, s.alice)}},
        {"other SIDs stay apart",
         {ace(kAllow, 0, 1, s.alice), ace(kAllow, 0, 2, s.bob)},
         false,
         {ace(kAllow, 0, 2, s.bob), ace(kAllow, 0, 1, s.alice)}},
        {"object ACEs merge by their GUIDs",
         {VAce(kAllowObject, 0, 1, 1, kGuidA, GUID{}, s.bob.get()),
          VAce(kAllowObject, 0, 2, 1, kGuidA, GUID{}, s.bob.get()),
          VAce(kAllowObject, 0, 4, 1, kGuidB, GUID{}, s.bob.get())},
         false,
         {VAce(kAllowObject, 0, 4, 1, kGuidB, GUID{}, s.bob.get()),
          VAce(kAllowObject, 0, 3, 1, kGuidA, GUID{}, s.bob.get())}},
        {"empty", {}, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const VAcl merged = aclOf(c.in).mergeDuplicateAces(c.mapRights);
        expectAces(merged, c.out);
        EXPECT_TRUE(isCanonical(merged));
    }
}

TEST(AclTest, MergeKeepsRightsOfAnInheritedGrantThatDiffers) {
    // An inherited grant with other rights than the explicit one must not vanish when both turn
    // explicit: the DACL written afterwards is protected, and nothing would bring them back.
    const Sids s;
    const VAcl merged = aclOf({ace(kAllow, 0, 1, s.alice), ace(kAllow, kInherited, 2, s.alice)})
                            .mergeDuplicateAces(false);
    DWORD rights = 0;
    for (const VAce& a : merged.aces()) {
        EXPECT_EQ(0, a.flags());
        EXPECT_EQ(s.alice, VSID(a.sid()));
        rights |= a.mask();
    }
    EXPECT_EQ(3u, rights);
}

} // namespace

// Stands in for the named-object calls: objects with stored DACLs, scripted results for the
// writes, and accounts the look-up does not know.
class FakeObjects : public security::NamedObjectCalls {
public:
    struct Write {
        SECURITY_INFORMATION what;
        std::wstring owner; // text form, empty when not written
        std::vector<VAce> dacl;
    };

    DWORD getResult = ERROR_SUCCESS;
    bool hasDacl = true;
    std::vector<VAce> stored;
    // Results of the writes in turn; success when they run out.
    std::vector<DWORD> setResults;
    // Look-up results by SID text; success for the others.
    std::map<std::wstring, DWORD> lookups;

    std::vector<std::wstring> names;
    std::vector<Write> writes;
    std::vector<std::pair<DWORD, DWORD>> lookupSizes;

    DWORD getDacl(const std::wstring& name, SE_OBJECT_TYPE, PACL* dacl,
                  PSECURITY_DESCRIPTOR* descriptor) override {
        names.push_back(name);
        if (getResult != ERROR_SUCCESS)
            return getResult;
        // The caller frees the descriptor with LocalFree; here it is the ACL itself.
        const VAcl acl = aclOf(stored);
        ACL_SIZE_INFORMATION info{};
        ::GetAclInformation(acl.get(), &info, sizeof(info), AclSizeInformation);
        void* memory = ::LocalAlloc(LPTR, info.AclBytesInUse + info.AclBytesFree);
        std::memcpy(memory, acl.get(), info.AclBytesInUse + info.AclBytesFree);
        *descriptor = memory;
        *dacl = hasDacl ? static_cast<PACL>(memory) : nullptr;
        return ERROR_SUCCESS;
    }

    DWORD setSecurity(const std::wstring& name, SE_OBJECT_TYPE, SECURITY_INFORMATION what,
                      PSID owner, PACL dacl) override {
        names.push_back(name);
        Write write{what, owner ? VSID(owner).toString() : L"", {}};
        for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
            void* raw = nullptr;
            ::GetAce(dacl, i, &raw);
            write.dacl.emplace_back(raw);
        }
        writes.push_back(write);
        if (writes.size() > setResults.size())
            return ERROR_SUCCESS;
        return setResults[writes.size() - 1];
    }

    DWORD lookupAccountSid(PSID sid, wchar_t* name, DWORD* nameChars, wchar_t* domain,
                           DWORD* domainChars) override {
        lookupSizes.emplace_back(*nameChars, *domainChars);
        auto found = lookups.find(VSID(sid).toString());
        const DWORD result = found == lookups.end() ? ERROR_SUCCESS : found->second;
        if (result == ERROR_SUCCESS) {
            // A name that just fits, terminator included.
            std::fill(name, name + *nameChars - 1, L'n');
            name[*nameChars - 1] = 0;
            std::fill(domain, domain + *domainChars - 1, L'd');
            domain[*domainChars - 1] = 0;
        }
        return result;
    }
};

class InstalledCalls {
public:
    explicit InstalledCalls(security::NamedObjectCalls& calls)
        : previous_(security::setNamedObjectCalls(&calls)) {}
    ~InstalledCalls() { security::setNamedObjectCalls(previous_); }

private:
    security::NamedObjectCalls* previous_;
};

// The same ACEs, whole, in any order within the ACL.
void expectSameAces(const std::vector<VAce>& expected, const std::vector<VAce>& actual) {
    std::string got;
    for (const VAce& a : actual)
        got += "\n  " + describe(a);
    EXPECT_EQ(expected.size(), actual.size()) << got;
    for (const VAce& want : expected) {
        const bool found = std::any_of(actual.begin(), actual.end(), [&](const VAce& a) {
            return a.size() == want.size() && std::memcmp(a.data(), want.data(), a.size()) == 0;
        });
        EXPECT_TRUE(found) << "missing " << describe(want) << got;
    }
}

const SECURITY_INFORMATION kProtectedDacl = 0x80000004;

TEST(ObjectSecurityTest, MissingDaclReadsAsEveryoneFullAccess) {
    FakeObjects fake;
    fake.hasDacl = false;
    InstalledCalls installed(fake);
    const VAcl dacl = getObjectDacl(L"C:\\open.txt", SE_FILE_OBJECT);
    expectAces(dacl, {VAce(kAllow, 3, GENERIC_ALL, VSID::everyone().get())});
}

TEST(ObjectSecurityTest, ReadKeepsTheStoredAcesAndNamesTheObjectOnFailure) {
    const Sids s;
    FakeObjects fake;
    fake.stored = {ace(kDeny, 0, 1, s.alice), ace(kAllow, kInherited, 2, s.bob)};
    InstalledCalls installed(fake);
    expectSameAces(fake.stored, getObjectDacl(L"C:\\a.txt", SE_FILE_OBJECT).aces());

    fake.getResult = ERROR_FILE_NOT_FOUND;
    EXPECT_TRUE(
        startsWith(failureOf([] { getObjectDacl(L"\\\\?\\C:\\data\\gone.txt", SE_FILE_OBJECT); }),
                   "Unable to get the object (C:\\data\\gone.txt) security info: (2) "));
}

TEST(ObjectSecurityTest, WritingPurgesAcesOfUnmappedSids) {
    const Sids s;
    const VSID carol = sidOf(L"S-1-5-21-1-2-3-1003");
    const VSID dave = sidOf(L"S-1-5-21-1-2-3-1004");
    FakeObjects fake;
    fake.lookups = {{s.alice.toString(), ERROR_NONE_MAPPED},
                    {carol.toString(), ERROR_NONE_MAPPED},
                    {dave.toString(), ERROR_NONE_MAPPED},
                    {s.bob.toString(), ERROR_INSUFFICIENT_BUFFER},
                    {s.admins.toString(), ERROR_ACCESS_DENIED}};
    InstalledCalls installed(fake);
    // Two gone accounts in a row, one at the end.
    VAcl acl =
        aclOf({ace(kDeny, 0, 1, s.alice), ace(kDeny, 0, 1, carol), ace(kAllow, 0, 2, s.bob),
               ace(kAllow, 0, 3, s.admins), ace(kAllow, 0, 4, s.system), ace(kAllow, 0, 5, dave)});
    setObjectDacl(L"C:\\a.txt", SE_FILE_OBJECT, acl);

    const std::vector<VAce> kept = {ace(kAllow, 0, 2, s.bob), ace(kAllow, 0, 3, s.admins),
                                    ace(kAllow, 0, 4, s.system)};
    ASSERT_EQ(1u, fake.writes.size());
    EXPECT_EQ(kProtectedDacl, fake.writes[0].what);
    EXPECT_EQ(L"", fake.writes[0].owner);
    expectAces(acl, kept);
    expectSameAces(kept, fake.writes[0].dacl);
    EXPECT_EQ(6u, fake.lookupSizes.size());
    for (const auto& sizes : fake.lookupSizes) {
        EXPECT_EQ(32u, sizes.first) << "characters, not bytes";
        EXPECT_EQ(32u, sizes.second);
    }
}

TEST(ObjectSecurityTest, RefusedWriteIsRetriedOnceAfterTakingOwnership) {
    const std::wstring owner = tokenOwner().toString();
    struct Case {
        const char* what;
        std::vector<DWORD> results;
        std::vector<SECURITY_INFORMATION> writes;
        std::string failure;
    } cases[] = {
        {"granted after taking ownership",
         {ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_SUCCESS},
         {kProtectedDacl, OWNER_SECURITY_INFORMATION, kProtectedDacl},
         ""},
        {"refused twice",
         {ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_ACCESS_DENIED},
         {kProtectedDacl, OWNER_SECURITY_INFORMATION, kProtectedDacl},
         "Unable to set the object (C:\\x.txt) security info: (5) "},
        {"other failures are not retried",
         {ERROR_INVALID_ACL},
         {kProtectedDacl},
         "Unable to set the object (C:\\x.txt) security info: (1336) "},
        {"owner refused",
         {ERROR_ACCESS_DENIED, ERROR_INVALID_OWNER},
         {kProtectedDacl, OWNER_SECURITY_INFORMATION},
         "Unable to set the object (C:\\x.txt) owner: (1307) "},
    };
    for (const Case& c : cases) {
        FakeObjects fake;
        fake.setResults = c.results;
        InstalledCalls installed(fake);
        VAcl acl = aclOf({ace(kAllow, 0, 1, VSID(VSID::system()))});
        const std::string failure = c.failure.empty() ? "" : failureOf([&] {
            setObjectDacl(L"\\\\?\\C:\\x.txt", SE_FILE_OBJECT, acl);
        });
        if (c.failure.empty())
            EXPECT_NO_THROW(setObjectDacl(L"\\\\?\\C:\\x.txt", SE_FILE_OBJECT, acl)) << c.what;
        else
            EXPECT_TRUE(startsWith(failure, c.failure)) << c.what << ": " << failure;
        ASSERT_EQ(c.writes.size(), fake.writes.size()) << c.what;
        for (size_t i = 0; i < c.writes.size(); ++i) {
            EXPECT_EQ(c.writes[i], fake.writes[i].what) << c.what << " " << i;
            const bool ownerWrite = c.writes[i] == OWNER_SECURITY_INFORMATION;
            EXPECT_EQ(ownerWrite ? owner : L"", fake.writes[i].owner) << c.what << " " << i;
            EXPECT_EQ(ownerWrite ? 0u : 1u, fake.writes[i].dacl.size()) << c.what << " " << i;
        }
    }
}

TEST(ObjectSecurityTest, TakeOwnershipAndGrant) {
    const Sids s;
    const VSID user = tokenUser();
    const VSID owner = tokenOwner();
    const VSID deleted = sidOf(L"S-1-5-21-1-2-3-1099");
    const DWORD kGrant = DELETE | FILE_WRITE_ATTRIBUTES;
    struct Case {
        const char* what;
        SE_OBJECT_TYPE type;
        DWORD read;
    } cases[] = {
        {"file", SE_FILE_OBJECT, FILE_GENERIC_READ},
        {"registry key", SE_REGISTRY_KEY, GENERIC_READ},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeObjects fake;
        fake.lookups = {{deleted.toString(), ERROR_NONE_MAPPED}};
        fake.stored = {
            ace(kDeny, 0, kGrant, s.system),   // SYSTEM
            ace(kDeny, 3, DELETE, s.everyone), // a group of the token
            ace(kDeny, kInherited, DELETE, s.admins),
            ace(kDeny, 0, DELETE, user),
            ace(kDeny, 0, DELETE, owner),
            ace(kDeny, 0, DELETE, s.alice),           // unrelated: stays
            ace(kAllow, 0, FILE_READ_DATA, s.system), // not a deny: stays
            ace(kAllow, 0, FILE_ALL_ACCESS, deleted),
            ace(kAllow, kInherited, GENERIC_READ, user),
            ace(kAllow, 3, 1, s.everyone),
            ace(kAllow, 3, 2, s.everyone),
        };
        InstalledCalls installed(fake);
        takeOwnershipAndGrant(L"\\\\?\\C:\\locked.txt", c.type, kGrant);

        for (const std::wstring& name : fake.names)
            EXPECT_EQ(L"\\\\?\\C:\\locked.txt", name);
        ASSERT_EQ(2u, fake.writes.size());
        EXPECT_EQ(OWNER_SECURITY_INFORMATION, fake.writes[0].what);
        EXPECT_EQ(owner.toString(), fake.writes[0].owner);
        EXPECT_EQ(kProtectedDacl, fake.writes[1].what);
        const std::vector<VAce>& written = fake.writes[1].dacl;
        expectSameAces({ace(kDeny, 0, DELETE, s.alice), ace(kAllow, 3, kGrant, owner),
                        ace(kAllow, 3, kGrant, s.system), ace(kAllow, 0, FILE_READ_DATA, s.system),
                        ace(kAllow, 0, c.read, user), ace(kAllow, 3, 3, s.everyone)},
                       written);
        int last = -1;
        for (const VAce& a : written) {
            EXPECT_GE(a.rank(), last) << describe(a);
            last = a.rank();
        }
    }
}

// What the system's own calls do with a real object. Registry keys keep their DACL and owner
// under every implementation the tests run on; files may keep only what their file system can
// store, so for them only the effect that matters is checked: the process may remove the file.
TEST(ObjectSecurityTest, TakeOwnershipOfARealRegistryKey) {
    const Sids s;
    const VSID guests = sidOf(L"S-1-5-32-546");
    const VSID deleted = sidOf(L"S-1-5-21-1-2-3-1099");
    const std::wstring subKey =
        L"Software\\zra-acl-test-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring name = L"CURRENT_USER\\" + subKey;
    base::ScopedRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, key.put(), nullptr));
    key.reset();
    base::ScopeExit removeKey([&] { ::RegDeleteKeyW(HKEY_CURRENT_USER, subKey.c_str()); });
    VAcl start = aclOf({ace(kDeny, 0, DELETE, s.everyone), ace(kDeny, 0, DELETE, s.system),
                        ace(kDeny, 0, KEY_SET_VALUE, guests), ace(kAllow, 0, KEY_READ, guests),
                        ace(kAllow, 0, KEY_READ, deleted)});
    ASSERT_EQ(ERROR_SUCCESS, ::SetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()),
                                                     SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                                     nullptr, nullptr, start.get(), nullptr));

    takeOwnershipAndGrant(name, SE_REGISTRY_KEY, KEY_ALL_ACCESS);

    const VSID owner = tokenOwner();
    const VAcl written = getObjectDacl(name, SE_REGISTRY_KEY);
    expectSameAces({ace(kDeny, 0, KEY_SET_VALUE, guests), ace(kAllow, 0, KEY_READ, guests),
                    ace(kAllow, 3, KEY_ALL_ACCESS, owner),
                    ace(kAllow, 3, KEY_ALL_ACCESS, s.system)},
                   written.aces());
    EXPECT_TRUE(isCanonical(written));
    PSID stored = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              ::GetNamedSecurityInfoW(name.c_str(), SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION,
                                      &stored, nullptr, nullptr, nullptr, &descriptor));
    base::ScopedLocalMem descriptorOwner(descriptor);
    EXPECT_EQ(owner, VSID(stored));
}

TEST(ObjectSecurityTest, TakeOwnershipOfARealFile) {
    wchar_t directory[MAX_PATH];
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, directory));
    const std::wstring path = std::wstring(directory) + L"zra-acl-test-" +
                              std::to_wstring(::GetCurrentProcessId()) + L".txt";
    base::ScopedFileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    file.reset();
    base::ScopeExit removeFile([&] {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
    });

    EXPECT_NO_THROW(
        takeOwnershipAndGrant(L"\\\\?\\" + path, SE_FILE_OBJECT, DELETE | FILE_WRITE_ATTRIBUTES));

    // The SYSTEM account and the process (as user or as default owner) may now delete the file.
    const VSID user = tokenUser();
    const VSID owner = tokenOwner();
    DWORD systemRights = 0;
    DWORD ownRights = 0;
    for (const VAce& a : getObjectDacl(path, SE_FILE_OBJECT).aces()) {
        const VSID sid(a.sid());
        const bool ours = sid == user || sid == owner;
        if (a.type() == kDeny) {
            EXPECT_FALSE(ours || sid == VSID(VSID::system())) << describe(a);
            continue;
        }
        if (sid == VSID(VSID::system()))
            systemRights |= a.mask();
        if (ours)
            ownRights |= a.mask();
    }
    EXPECT_EQ(DWORD(DELETE | FILE_WRITE_ATTRIBUTES),
              systemRights & (DELETE | FILE_WRITE_ATTRIBUTES));
    EXPECT_EQ(DWORD(DELETE | FILE_WRITE_ATTRIBUTES), ownRights & (DELETE | FILE_WRITE_ATTRIBUTES));
    EXPECT_TRUE(::DeleteFileW(path.c_str())) << ::GetLastError();

    EXPECT_TRUE(startsWith(failureOf([&] { getObjectDacl(path, SE_FILE_OBJECT); }),
                           "Unable to get the object (" + std::string(path.begin(), path.end()) +
                               ") security info: (2) "));
}
