// Security identifiers, the well-known accounts the panel grants rights to, and security
// descriptors built from a list of entries for objects that several accounts must reach: named
// mutexes shared by the panel's services and the recycler folders used to remove locked files.
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"

#include <aclapi.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace security {

// A SID from AllocateAndInitializeSid must go back through FreeSid, not LocalFree.
struct AllocatedSidTraits {
    using value_type = PSID;
    static value_type empty() noexcept { return nullptr; }
    static bool isValid(value_type sid) noexcept { return sid != nullptr; }
    static void close(value_type sid) noexcept { ::FreeSid(sid); }
};
using ScopedAllocatedSid = base::ScopedResource<AllocatedSidTraits>;

// ACLs made by SetEntriesInAclW and friends live in LocalAlloc memory.
struct LocalAclTraits {
    using value_type = PACL;
    static value_type empty() noexcept { return nullptr; }
    static bool isValid(value_type acl) noexcept { return acl != nullptr; }
    static void close(value_type acl) noexcept { ::LocalFree(acl); }
};
using ScopedLocalAcl = base::ScopedResource<LocalAclTraits>;

// Buffers of the process heap: token information records and the ACLs this library builds.
struct HeapMemTraits {
    using value_type = void*;
    static value_type empty() noexcept { return nullptr; }
    static bool isValid(value_type p) noexcept { return p != nullptr; }
    static void close(value_type p) noexcept { ::HeapFree(::GetProcessHeap(), 0, p); }
};
using ScopedHeapMem = base::ScopedResource<HeapMemTraits>;

// Zeroed memory of the process heap; empty when the heap has no room.
inline ScopedHeapMem allocateHeap(size_t bytes) {
    return ScopedHeapMem(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
}

} // namespace security

class VWellKnownSid;

// Owns one SID in memory of its own, so it can be copied freely and outlives whatever it was made
// from.
class VSID {
public:
    // At most eight sub-authorities, as a SID allows.
    VSID(const SID_IDENTIFIER_AUTHORITY& authority, std::initializer_list<DWORD> subAuthorities);
    // Copies a SID the system handed out (token queries, ACEs, descriptors).
    explicit VSID(PSID sid);
    VSID(const VWellKnownSid& sid);

    PSID get() const { return const_cast<BYTE*>(bytes_.data()); }
    DWORD length() const { return static_cast<DWORD>(bytes_.size()); }
    // The "S-1-..." form.
    std::wstring toString() const;

    friend bool operator==(const VSID& a, const VSID& b);
    friend bool operator!=(const VSID& a, const VSID& b) { return !(a == b); }

    static const VWellKnownSid& everyone(); // S-1-1-0
    static const VWellKnownSid& system();   // S-1-5-18
    static const VWellKnownSid& admins();   // S-1-5-32-544

private:
    std::vector<BYTE> bytes_;
};

// One of the process-wide well-known SIDs, kept exactly as AllocateAndInitializeSid returned it.
class VWellKnownSid {
public:
    // name is the location reported when the system cannot build the SID, e.g. "VSID::everyone".
    VWellKnownSid(const char* name, const SID_IDENTIFIER_AUTHORITY& authority,
                  std::initializer_list<DWORD> subAuthorities);
    VWellKnownSid(const VWellKnownSid&) = delete;
    VWellKnownSid& operator=(const VWellKnownSid&) = delete;

    PSID get() const { return sid_.get(); }

private:
    security::ScopedAllocatedSid sid_;
};

// One item of the list a SecurityDescriptor is built from: an access entry of the DACL, the owner
// or the primary group. Each keeps its own copy of the SID.
class SecurityEntry {
public:
    enum class Kind { access, owner, group };
    enum class Trustee { user, group };

    // GENERIC_ALL, set (not merged), inherited by child objects and containers.
    static SecurityEntry fullAccess(const VSID& sid, Trustee trustee);
    static SecurityEntry grant(const VSID& sid, DWORD mask, DWORD inheritance, Trustee trustee);
    static SecurityEntry owner(const VSID& sid);
    static SecurityEntry group(const VSID& sid);

    Kind kind() const { return kind_; }
    const VSID& sid() const { return sid_; }
    DWORD mask() const { return mask_; }
    ACCESS_MODE mode() const { return mode_; }
    DWORD inheritance() const { return inheritance_; }
    Trustee trustee() const { return trustee_; }

private:
    SecurityEntry(Kind kind, const VSID& sid, DWORD mask, ACCESS_MODE mode, DWORD inheritance,
                  Trustee trustee);

    Kind kind_;
    VSID sid_;
    DWORD mask_;
    ACCESS_MODE mode_;
    DWORD inheritance_;
    Trustee trustee_;
};

class SecurityEntryList {
public:
    SecurityEntryList() = default;
    SecurityEntryList(std::initializer_list<SecurityEntry> entries) : entries_(entries) {}

    SecurityEntryList& operator+=(const SecurityEntryList& other);
    friend SecurityEntryList operator+(SecurityEntryList a, const SecurityEntryList& b) {
        return a += b;
    }

    const std::vector<SecurityEntry>& entries() const { return entries_; }

private:
    std::vector<SecurityEntry> entries_;
};

// An absolute security descriptor with a DACL made from the access entries, and the
// SECURITY_ATTRIBUTES record that creation calls take. The record points into this object, so it
// is neither copied nor moved.
class SecurityDescriptor {
public:
    SecurityDescriptor(const SecurityEntryList& entries, bool inheritHandle);
    ~SecurityDescriptor();
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

    bool isValid() const { return valid_; }
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }
    PSECURITY_DESCRIPTOR descriptor() const { return descriptor_.get(); }
    PACL dacl() const { return dacl_.get(); }

private:
    bool valid_ = false;
    security::ScopedLocalAcl dacl_;
    base::ScopedLocalMem descriptor_;
    // An absolute descriptor only points at its owner and group: they must live as long as it
    // does, whatever happens to the entry list it was built from.
    std::optional<VSID> owner_;
    std::optional<VSID> group_;
    SECURITY_ATTRIBUTES attributes_{};
};
