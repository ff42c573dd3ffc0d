// ACEs and ACLs kept in canonical order, duplicate merging, and rewriting an object's owner and
// DACL so that the process can remove it.
#pragma once

#include "base/win32.h"
#include "os/security.h"

#include <aclapi.h>

#include <string>
#include <vector>

// A copy of one ACE. Standard types (allowed, denied, audit, alarm: 0 to 3) keep their SID 8
// bytes in; object types (5 to 8) have their object flags 8 bytes in, then the object-type GUID
// and the inherited-object-type GUID, each only when its bit of the object flags says it is
// present (as the system lays them out), then the SID: 44 bytes in when both are present.
class VAce {
public:
    // Copies a system ACE; types other than the eight above are refused.
    explicit VAce(const void* ace);
    // An ACE of a standard type; an object type gets no GUIDs.
    VAce(BYTE type, BYTE flags, DWORD mask, PSID sid);
    // An ACE of an object type; the GUIDs whose bits are missing from objectFlags are left out.
    VAce(BYTE type, BYTE flags, DWORD mask, DWORD objectFlags, const GUID& objectType,
         const GUID& inheritedObjectType, PSID sid);

    BYTE type() const { return bytes_[0]; }
    BYTE flags() const { return bytes_[1]; }
    WORD size() const { return static_cast<WORD>(bytes_.size()); }
    DWORD mask() const;
    PSID sid() const { return const_cast<BYTE*>(bytes_.data() + sidOffset()); }
    const void* data() const { return bytes_.data(); }
    bool isObject() const { return isObjectType(type()); }

    // Object ACEs only; a GUID that is not present reads as all zeros.
    DWORD objectFlags() const;
    GUID objectType() const;
    GUID inheritedObjectType() const;

    void setFlags(BYTE flags) { bytes_[1] = flags; }
    void setMask(DWORD mask);

    // Position in the canonical order: explicit deny, explicit object deny, explicit allow,
    // explicit object allow, then the same four inherited; -1 for audit and alarm ACEs.
    int rank() const;

    // Same type, same bytes ahead of the SID (for standard types the header only, so the mask is
    // left out) and equal SIDs.
    friend bool operator==(const VAce& a, const VAce& b);
    friend bool operator!=(const VAce& a, const VAce& b) { return !(a == b); }

    static bool isObjectType(BYTE type);

private:
    void build(BYTE type, BYTE flags, DWORD mask, DWORD objectFlags, const GUID& objectType,
               const GUID& inheritedObjectType, PSID sid);
    size_t sidOffset() const;

    std::vector<BYTE> bytes_;
};

// A heap ACL (revision 2) that every insertion keeps in canonical order. Copies are made with
// assignAcl, which re-inserts the ACEs and so reverses their order within each rank.
class VAcl {
public:
    // An empty ACL of 268 bytes.
    VAcl();
    VAcl(VAcl&&) noexcept = default;
    VAcl& operator=(VAcl&&) noexcept = default;
    VAcl(const VAcl&) = delete;
    VAcl& operator=(const VAcl&) = delete;

    PACL get() const { return static_cast<PACL>(memory_.get()); }
    DWORD count() const { return get()->AceCount; }

    void reset();
    // Room for the other ACL's full size, emptied, then every ACE of it added in canonical order.
    void assignAcl(PACL other);
    void assignAcl(const VAcl& other) { assignAcl(other.get()); }
    // Grows (to twice what is needed) so that the ACEs of otherAcl (may be null) and aces fit.
    void reserve(PACL otherAcl, const std::vector<VAce>& aces);
    void addSorted(PACL other);
    void addSorted(const std::vector<VAce>& aces);
    // Adds each ACE that has no equal in the ACL yet.
    void addMissing(const std::vector<VAce>& aces);
    // Inserts ahead of the first ACE of the same or a later rank.
    void insert(const VAce& ace);

    // Index of the first equal ACE at or after start, or -1.
    int find(const VAce& ace, int start = 0) const;
    // Index of the first ACE of any type for the SID at or after start, or -1.
    int findSid(PSID sid, int start = 0) const;
    VAce at(int index) const;
    void deleteAt(int index);
    std::vector<VAce> aces() const;

    // A new ACL in which ACEs that differ only in their flags, then only in their masks, are
    // merged; inherited ACEs come out explicit. mapRights turns generic rights into file rights.
    VAcl mergeDuplicateAces(bool mapRights) const;

private:
    explicit VAcl(DWORD size);
    DWORD bytesInUse() const;
    DWORD fullSize() const;
    // A fresh empty ACL of the given size replaces the current one.
    void allocate(DWORD size);

    security::ScopedHeapMem memory_;
};

// GENERIC_* rights replaced by the FILE_GENERIC_* rights (GENERIC_ALL by FILE_ALL_ACCESS).
DWORD mapFileRights(DWORD mask);

namespace security {

// The calls on named objects that this library makes. They sit behind an interface because an
// object's stored security is not observable everywhere the library is tested (file DACLs, a
// deleted account); the system's calls are the default.
class NamedObjectCalls {
public:
    virtual ~NamedObjectCalls() = default;
    // GetNamedSecurityInfoW for the DACL; *descriptor is LocalAlloc memory holding *dacl.
    virtual DWORD getDacl(const std::wstring& name, SE_OBJECT_TYPE type, PACL* dacl,
                          PSECURITY_DESCRIPTOR* descriptor) = 0;
    // SetNamedSecurityInfoW.
    virtual DWORD setSecurity(const std::wstring& name, SE_OBJECT_TYPE type,
                              SECURITY_INFORMATION what, PSID owner, PACL dacl) = 0;
    // LookupAccountSidW on the local system; returns 0 or the error. The counts are characters.
    virtual DWORD lookupAccountSid(PSID sid, wchar_t* name, DWORD* nameChars, wchar_t* domain,
                                   DWORD* domainChars) = 0;
};

NamedObjectCalls& systemNamedObjectCalls();
// Installs calls (null restores the system's) and returns the ones installed before.
NamedObjectCalls* setNamedObjectCalls(NamedObjectCalls* calls);

} // namespace security

// The object's DACL; an object without one (everyone may do anything) reads as an ACL granting
// Everyone GENERIC_ALL, inherited by objects and containers.
VAcl getObjectDacl(const std::wstring& name, SE_OBJECT_TYPE type);
// Makes the token's default owner the object's owner, using SeTakeOwnershipPrivilege when held.
void setObjectOwner(const std::wstring& name, SE_OBJECT_TYPE type);
// Writes acl as the object's protected DACL after deleting the ACEs of SIDs that no longer map to
// an account (acl is changed). Refused for lack of rights, it takes ownership and tries once more.
void setObjectDacl(const std::wstring& name, SE_OBJECT_TYPE type, VAcl& acl);

// Makes the token's default owner the object's owner and grants it and SYSTEM the given rights,
// removing deny entries that stand in their way.
void takeOwnershipAndGrant(const std::wstring& name, SE_OBJECT_TYPE type, DWORD mask);
