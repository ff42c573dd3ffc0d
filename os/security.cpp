#include "os/security.h"

#include "base/exception.h"
#include "base/raising_site.h"

#include <sddl.h>

#include <new>
#include <stdexcept>

namespace {

// AllocateAndInitializeSid takes at most eight, fewer than a SID may hold.
constexpr size_t kMaxSubAuthorities = 8;

// The raising sites of this file. No two share a line, so a trail names the site it came from.
// A well-known SID's failures record the SID's own name (VSID::everyone ...) as their function.
constexpr int32_t kSidTooLongLine = 99;
constexpr int32_t kSidAllocateLine = 108;
constexpr RaisingSite kEntriesInAclSite = {"SecurityDescriptor::SecurityDescriptor", 183};
constexpr RaisingSite kEmptyAclMemorySite = {"SecurityDescriptor::SecurityDescriptor", 190};
constexpr RaisingSite kInitializeAclSite = {"SecurityDescriptor::SecurityDescriptor", 192};
constexpr RaisingSite kDescriptorMemorySite = {"SecurityDescriptor::SecurityDescriptor", 197};
constexpr RaisingSite kInitializeDescriptorSite = {"SecurityDescriptor::SecurityDescriptor", 200};
constexpr RaisingSite kSetDaclSite = {"SecurityDescriptor::SecurityDescriptor", 202};
constexpr RaisingSite kSetOwnerSite = {"SecurityDescriptor::SecurityDescriptor", 204};
constexpr RaisingSite kSetGroupSite = {"SecurityDescriptor::SecurityDescriptor", 206};

// The code is taken before anything else can touch the thread's last error.
[[noreturn]] void raiseLastError(const wchar_t* context, const RaisingSite& site) {
    const DWORD code = ::GetLastError();
    raiseOsError(context, code, siteLocation(site));
}

} // namespace

VSID::VSID(const SID_IDENTIFIER_AUTHORITY& authority, std::initializer_list<DWORD> subAuthorities) {
    if (subAuthorities.size() > kMaxSubAuthorities)
        raiseRunTimeError(L"Unable to allocate and initialize sid", ERROR_INVALID_PARAMETER);
    PSID raw = nullptr;
    if (!::AllocateAndInitializeSid(const_cast<PSID_IDENTIFIER_AUTHORITY>(&authority),
                                    static_cast<BYTE>(subAuthorities.size()), 0, 0, 0, 0, 0, 0, 0,
                                    0, &raw))
        raiseRunTimeError(L"Unable to allocate and initialize sid", ::GetLastError());
    security::ScopedAllocatedSid allocated(raw);
    DWORD index = 0;
    for (DWORD value : subAuthorities)
        *::GetSidSubAuthority(raw, index++) = value;
    *this = VSID(raw);
}

VSID::VSID(PSID sid) {
    if (sid == nullptr || !::IsValidSid(sid))
        raiseRunTimeError(L"Unable to copy invalid sid", ERROR_INVALID_SID);
    bytes_.resize(::GetLengthSid(sid));
    if (!::CopySid(length(), bytes_.data(), sid))
        raiseRunTimeError(L"Unable to copy sid", ::GetLastError());
}

VSID::VSID(const VWellKnownSid& sid) : VSID(sid.get()) {}

std::wstring VSID::toString() const {
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(get(), &text))
        raiseRunTimeError(L"Unable to convert sid to text", ::GetLastError());
    base::ScopedLocalMem owner(text);
    return text;
}

bool operator==(const VSID& a, const VSID& b) {
    return ::EqualSid(a.get(), b.get()) != FALSE;
}

const VWellKnownSid& VSID::everyone() {
    static const VWellKnownSid sid("VSID::everyone", SECURITY_WORLD_SID_AUTHORITY,
                                   {SECURITY_WORLD_RID});
    return sid;
}

const VWellKnownSid& VSID::system() {
    static const VWellKnownSid sid("VSID::system", SECURITY_NT_AUTHORITY,
                                   {SECURITY_LOCAL_SYSTEM_RID});
    return sid;
}

const VWellKnownSid& VSID::admins() {
    static const VWellKnownSid sid("VSID::admins", SECURITY_NT_AUTHORITY,
                                   {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    return sid;
}

VWellKnownSid::VWellKnownSid(const char* name, const SID_IDENTIFIER_AUTHORITY& authority,
                             std::initializer_list<DWORD> subAuthorities) {
    DWORD values[kMaxSubAuthorities] = {};
    BYTE count = 0;
    for (DWORD value : subAuthorities) {
        if (count == kMaxSubAuthorities)
            raiseOsError(L"AllocateAndInitializeSid", ERROR_INVALID_PARAMETER,
                         SourceLocation(L"", name, kSidTooLongLine));
        values[count++] = value;
    }
    PSID raw = nullptr;
    if (!::AllocateAndInitializeSid(const_cast<PSID_IDENTIFIER_AUTHORITY>(&authority), count,
                                    values[0], values[1], values[2], values[3], values[4],
                                    values[5], values[6], values[7], &raw)) {
        const DWORD code = ::GetLastError();
        raiseOsError(L"AllocateAndInitializeSid", code,
                     SourceLocation(L"", name, kSidAllocateLine));
    }
    sid_.reset(raw);
}

SecurityEntry::SecurityEntry(Kind kind, const VSID& sid, DWORD mask, ACCESS_MODE mode,
                             DWORD inheritance, Trustee trustee)
    : kind_(kind), sid_(sid), mask_(mask), mode_(mode), inheritance_(inheritance),
      trustee_(trustee) {}

SecurityEntry SecurityEntry::fullAccess(const VSID& sid, Trustee trustee) {
    return grant(sid, GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, trustee);
}

SecurityEntry SecurityEntry::grant(const VSID& sid, DWORD mask, DWORD inheritance,
                                   Trustee trustee) {
    return SecurityEntry(Kind::access, sid, mask, SET_ACCESS, inheritance, trustee);
}

SecurityEntry SecurityEntry::owner(const VSID& sid) {
    return SecurityEntry(Kind::owner, sid, 0, NOT_USED_ACCESS, 0, Trustee::user);
}

SecurityEntry SecurityEntry::group(const VSID& sid) {
    return SecurityEntry(Kind::group, sid, 0, NOT_USED_ACCESS, 0, Trustee::group);
}

SecurityEntryList& SecurityEntryList::operator+=(const SecurityEntryList& other) {
    entries_.insert(entries_.end(), other.entries_.begin(), other.entries_.end());
    return *this;
}

SecurityDescriptor::SecurityDescriptor(const SecurityEntryList& entries, bool inheritHandle) {
    std::vector<EXPLICIT_ACCESS_W> access;
    const SecurityEntry* owner = nullptr;
    const SecurityEntry* group = nullptr;
    try {
        access.reserve(entries.entries().size());
        for (const SecurityEntry& entry : entries.entries()) {
            switch (entry.kind()) {
            case SecurityEntry::Kind::owner:
                owner = &entry;
                break;
            case SecurityEntry::Kind::group:
                group = &entry;
                break;
            case SecurityEntry::Kind::access: {
                EXPLICIT_ACCESS_W item{};
                item.grfAccessPermissions = entry.mask();
                item.grfAccessMode = entry.mode();
                item.grfInheritance = entry.inheritance();
                item.Trustee.pMultipleTrustee = nullptr;
                item.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
                item.Trustee.TrusteeForm = TRUSTEE_IS_SID;
                item.Trustee.TrusteeType = entry.trustee() == SecurityEntry::Trustee::group
                                               ? TRUSTEE_IS_GROUP
                                               : TRUSTEE_IS_USER;
                item.Trustee.ptstrName = static_cast<LPWSTR>(entry.sid().get());
                access.push_back(item);
                break;
            }
            }
        }
        if (owner)
            owner_.emplace(owner->sid());
        if (group)
            group_.emplace(group->sid());
    } catch (const std::bad_alloc&) {
        throw std::overflow_error("Out of memory");
    }

    PACL acl = nullptr;
    const DWORD result = ::SetEntriesInAclW(
        static_cast<ULONG>(access.size()), access.empty() ? nullptr : access.data(), nullptr, &acl);
    if (result != ERROR_SUCCESS)
        raiseOsError(L"SetEntriesInAcl", result, siteLocation(kEntriesInAclSite));
    dacl_.reset(acl);
    if (!dacl_) {
        // With no access entries the system hands back no ACL at all, and a present but null DACL
        // would let everyone in. An empty list means nobody is granted anything.
        dacl_.reset(static_cast<PACL>(::LocalAlloc(LPTR, sizeof(ACL))));
        if (!dacl_)
            throw vexception(L"Out of memory", siteLocation(kEmptyAclMemorySite));
        if (!::InitializeAcl(dacl_.get(), sizeof(ACL), ACL_REVISION))
            raiseLastError(L"InitializeAcl", kInitializeAclSite);
    }

    descriptor_.reset(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor_)
        throw vexception(L"Out of memory", siteLocation(kDescriptorMemorySite));
    PSECURITY_DESCRIPTOR sd = descriptor_.get();
    if (!::InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION))
        raiseLastError(L"InitializeSecurityDescriptor", kInitializeDescriptorSite);
    if (!::SetSecurityDescriptorDacl(sd, TRUE, dacl_.get(), FALSE))
        raiseLastError(L"SetSecurityDescriptorDacl", kSetDaclSite);
    if (owner_ && !::SetSecurityDescriptorOwner(sd, owner_->get(), FALSE))
        raiseLastError(L"SetSecurityDescriptorOwner", kSetOwnerSite);
    if (group_ && !::SetSecurityDescriptorGroup(sd, group_->get(), FALSE))
        raiseLastError(L"SetSecurityDescriptorGroup", kSetGroupSite);

    attributes_.nLength = sizeof(SECURITY_ATTRIBUTES);
    attributes_.lpSecurityDescriptor = sd;
    attributes_.bInheritHandle = inheritHandle ? TRUE : FALSE;
    valid_ = true;
}

SecurityDescriptor::~SecurityDescriptor() = default;
