#include "os/acl.h"

#include "base/exception.h"
#include "os/path.h"
#include "os/token.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <tuple>

namespace {

const DWORD kNewAclSize = 268;
// AclSize is a 16-bit field and the system wants it DWORD-aligned.
const DWORD kMaxAclSize = 0xFFFC;
const size_t kStandardSidOffset = 8;
const size_t kObjectFlagsOffset = 8;
const size_t kObjectGuidsOffset = 12;
// A SID with no sub-authorities.
const size_t kMinSidLength = 8;

bool isStandardType(BYTE type) {
    return type <= SYSTEM_ALARM_ACE_TYPE;
}

DWORD readDword(const BYTE* p) {
    DWORD value;
    std::memcpy(&value, p, sizeof(value));
    return value;
}

// Offset of the SID in an ACE of a supported type whose fixed part is readable.
size_t sidOffsetOf(const BYTE* ace) {
    if (isStandardType(ace[0]))
        return kStandardSidOffset;
    const DWORD objectFlags = readDword(ace + kObjectFlagsOffset);
    size_t offset = kObjectGuidsOffset;
    if (objectFlags & ACE_OBJECT_TYPE_PRESENT)
        offset += sizeof(GUID);
    if (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT)
        offset += sizeof(GUID);
    return offset;
}

size_t sidOffsetFor(BYTE type, DWORD objectFlags) {
    if (isStandardType(type))
        return kStandardSidOffset;
    return kObjectGuidsOffset + ((objectFlags & ACE_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0) +
           ((objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0);
}

int rankOf(BYTE type, BYTE flags) {
    int rank;
    switch (type) {
    case ACCESS_DENIED_ACE_TYPE:
        rank = 0;
        break;
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
        rank = 1;
        break;
    case ACCESS_ALLOWED_ACE_TYPE:
        rank = 2;
        break;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        rank = 3;
        break;
    default:
        return -1;
    }
    return (flags & INHERITED_ACE) ? rank + 4 : rank;
}

// Equality on raw ACEs of the ACL and copies alike: the type, the bytes ahead of the SID (for the
// standard types only the header, so the mask does not count) and the SIDs.
bool equalAces(const BYTE* a, const BYTE* b) {
    if (a[0] != b[0] || (!VAce::isObjectType(a[0]) && !isStandardType(a[0])))
        return false;
    size_t compared = sizeof(ACE_HEADER);
    if (VAce::isObjectType(a[0])) {
        compared = sidOffsetOf(a);
        if (sidOffsetOf(b) != compared)
            return false;
    }
    return std::memcmp(a, b, compared) == 0 &&
           ::EqualSid(const_cast<BYTE*>(a + sidOffsetOf(a)),
                      const_cast<BYTE*>(b + sidOffsetOf(b))) != FALSE;
}

// Walks the ACEs in place. GetAce counts from the first ACE on every call, which makes a walk by
// index quadratic, and every insertion walks the ACL.
class AceWalk {
public:
    explicit AceWalk(PACL acl)
        : acl_(acl), end_(reinterpret_cast<const BYTE*>(acl) + acl->AclSize),
          next_(reinterpret_cast<const BYTE*>(acl) + sizeof(ACL)) {}

    // The next ACE, or null after the last one.
    const BYTE* next() {
        if (index_ == acl_->AceCount)
            return nullptr;
        const BYTE* ace = next_;
        if (ace + sizeof(ACE_HEADER) > end_)
            raiseRunTimeError(L"Unable to get ACL ACE", ERROR_INVALID_ACL);
        const WORD size = reinterpret_cast<const ACE_HEADER*>(ace)->AceSize;
        if (size < sizeof(ACE_HEADER) || ace + size > end_)
            raiseRunTimeError(L"Unable to get ACL ACE", ERROR_INVALID_ACL);
        next_ = ace + size;
        ++index_;
        return ace;
    }
    // Index of the ACE next() returned last.
    DWORD index() const { return index_ - 1; }

private:
    PACL acl_;
    const BYTE* end_;
    const BYTE* next_;
    DWORD index_ = 0;
};

ACL_SIZE_INFORMATION sizeOf(PACL acl) {
    ACL_SIZE_INFORMATION info{};
    if (!::GetAclInformation(acl, &info, sizeof(info), AclSizeInformation))
        raiseRunTimeError(L"Unable to get ACL size", ::GetLastError());
    return info;
}

std::vector<VAce> acesOf(PACL acl) {
    std::vector<VAce> result;
    if (acl == nullptr)
        return result;
    if (!::IsValidAcl(acl))
        raiseRunTimeError(L"Unable to get ACL ACE", ERROR_INVALID_ACL);
    result.reserve(acl->AceCount);
    AceWalk walk(acl);
    while (const BYTE* ace = walk.next())
        result.emplace_back(ace);
    return result;
}

// Sort key of the duplicate merge: the type byte first, then the other bytes ahead of the SID,
// then the SID's length, then the SID itself.
using MergeKey = std::tuple<BYTE, std::vector<BYTE>, DWORD, std::vector<BYTE>>;

MergeKey mergeKey(const VAce& ace) {
    const BYTE* bytes = static_cast<const BYTE*>(ace.data());
    const BYTE* sid = static_cast<const BYTE*>(ace.sid());
    const DWORD sidLength = ::GetLengthSid(ace.sid());
    return MergeKey(bytes[0], std::vector<BYTE>(bytes + 1, sid), sidLength,
                    std::vector<BYTE>(sid, sid + sidLength));
}

// The merge emits an entry unless the very same ACE (mask included) is already there: an entry
// for the same SID with other rights must survive, or the rights it grants would be lost.
bool containsExactly(const VAcl& acl, const VAce& ace) {
    AceWalk walk(acl.get());
    while (const BYTE* raw = walk.next()) {
        if (reinterpret_cast<const ACE_HEADER*>(raw)->AceSize == ace.size() &&
            std::memcmp(raw, ace.data(), ace.size()) == 0)
            return true;
    }
    return false;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// VAce

bool VAce::isObjectType(BYTE type) {
    return type >= ACCESS_ALLOWED_OBJECT_ACE_TYPE && type <= SYSTEM_ALARM_OBJECT_ACE_TYPE;
}

VAce::VAce(const void* ace) {
    const BYTE* raw = static_cast<const BYTE*>(ace);
    const BYTE type = raw[0];
    if (!isStandardType(type) && !isObjectType(type))
        raiseRunTimeError(L"Unsupported ACE type (%d)", 0, static_cast<int>(type));
    const WORD size = reinterpret_cast<const ACE_HEADER*>(raw)->AceSize;
    // The ACE's own size must cover the SID it holds, or the copy would read past it.
    const size_t fixed = isStandardType(type) ? kStandardSidOffset : kObjectGuidsOffset;
    bool sound = size >= fixed + kMinSidLength;
    size_t offset = 0;
    if (sound) {
        offset = sidOffsetOf(raw);
        sound = size >= offset + kMinSidLength &&
                offset + ::GetSidLengthRequired(raw[offset + 1]) <= size;
    }
    if (!sound)
        raiseRunTimeError(L"Unable to copy SID", ERROR_INVALID_SID);
    try {
        bytes_.assign(raw, raw + size);
    } catch (const std::bad_alloc&) {
        raiseRunTimeError(L"Unable to allocate ACE", 0);
    }
}

VAce::VAce(BYTE type, BYTE flags, DWORD mask, PSID sid) {
    build(type, flags, mask, 0, GUID{}, GUID{}, sid);
}

VAce::VAce(BYTE type, BYTE flags, DWORD mask, DWORD objectFlags, const GUID& objectType,
           const GUID& inheritedObjectType, PSID sid) {
    if (isStandardType(type))
        raiseRunTimeError(L"Not object type ACE", 0);
    build(type, flags, mask, objectFlags, objectType, inheritedObjectType, sid);
}

void VAce::build(BYTE type, BYTE flags, DWORD mask, DWORD objectFlags, const GUID& objectType,
                 const GUID& inheritedObjectType, PSID sid) {
    if (!isStandardType(type) && !isObjectType(type))
        raiseRunTimeError(L"Unsupported ACE type (%d)", 0, static_cast<int>(type));
    if (sid == nullptr || !::IsValidSid(sid))
        raiseRunTimeError(L"Unable to copy SID", ERROR_INVALID_SID);
    const size_t offset = sidOffsetFor(type, objectFlags);
    const DWORD sidLength = ::GetLengthSid(sid);
    if (offset + sidLength > 0xFFFF)
        raiseRunTimeError(L"Unable to allocate ACE", 0);
    try {
        bytes_.assign(offset + sidLength, 0);
    } catch (const std::bad_alloc&) {
        raiseRunTimeError(L"Unable to allocate ACE", 0);
    }
    auto* header = reinterpret_cast<ACE_HEADER*>(bytes_.data());
    header->AceType = type;
    header->AceFlags = flags;
    header->AceSize = static_cast<WORD>(bytes_.size());
    setMask(mask);
    if (isObjectType(type)) {
        std::memcpy(bytes_.data() + kObjectFlagsOffset, &objectFlags, sizeof(objectFlags));
        BYTE* guid = bytes_.data() + kObjectGuidsOffset;
        if (objectFlags & ACE_OBJECT_TYPE_PRESENT) {
            std::memcpy(guid, &objectType, sizeof(GUID));
            guid += sizeof(GUID);
        }
        if (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT)
            std::memcpy(guid, &inheritedObjectType, sizeof(GUID));
    }
    if (!::CopySid(sidLength, bytes_.data() + offset, sid))
        raiseRunTimeError(L"Unable to copy SID", ::GetLastError());
}

DWORD VAce::mask() const {
    return readDword(bytes_.data() + sizeof(ACE_HEADER));
}

void VAce::setMask(DWORD mask) {
    std::memcpy(bytes_.data() + sizeof(ACE_HEADER), &mask, sizeof(mask));
}

size_t VAce::sidOffset() const {
    return sidOffsetOf(bytes_.data());
}

DWORD VAce::objectFlags() const {
    if (!isObject())
        raiseRunTimeError(L"Not X_X_OBJECT_ACE_TYPE", 0);
    return readDword(bytes_.data() + kObjectFlagsOffset);
}

GUID VAce::objectType() const {
    GUID guid{};
    if (objectFlags() & ACE_OBJECT_TYPE_PRESENT)
        std::memcpy(&guid, bytes_.data() + kObjectGuidsOffset, sizeof(guid));
    return guid;
}

GUID VAce::inheritedObjectType() const {
    GUID guid{};
    const DWORD flags = objectFlags();
    if (flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) {
        const size_t offset =
            kObjectGuidsOffset + ((flags & ACE_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0);
        std::memcpy(&guid, bytes_.data() + offset, sizeof(guid));
    }
    return guid;
}

int VAce::rank() const {
    return rankOf(type(), flags());
}

bool operator==(const VAce& a, const VAce& b) {
    return equalAces(a.bytes_.data(), b.bytes_.data());
}

DWORD mapFileRights(DWORD mask) {
    struct Mapping {
        DWORD generic;
        DWORD specific;
    };
    static const Mapping kMappings[] = {{GENERIC_READ, FILE_GENERIC_READ},
                                        {GENERIC_WRITE, FILE_GENERIC_WRITE},
                                        {GENERIC_EXECUTE, FILE_GENERIC_EXECUTE},
                                        {GENERIC_ALL, FILE_ALL_ACCESS}};
    DWORD result = mask;
    for (const Mapping& m : kMappings) {
        if (mask & m.generic)
            result = (result & ~m.generic) | m.specific;
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// VAcl

VAcl::VAcl() {
    allocate(kNewAclSize);
}

VAcl::VAcl(DWORD size) {
    allocate(size);
}

void VAcl::allocate(DWORD size) {
    size = std::min<DWORD>((std::max<DWORD>(size, sizeof(ACL)) + 3) & ~3u, kMaxAclSize);
    security::ScopedHeapMem memory = security::allocateHeap(size);
    if (!memory)
        raiseRunTimeError(L"Unable to allocate new ACL", 0);
    if (!::InitializeAcl(static_cast<PACL>(memory.get()), size, ACL_REVISION))
        raiseRunTimeError(L"Unable to initialize ACL", ::GetLastError());
    memory_ = std::move(memory);
}

void VAcl::reset() {
    allocate(kNewAclSize);
}

DWORD VAcl::bytesInUse() const {
    return sizeOf(get()).AclBytesInUse;
}

DWORD VAcl::fullSize() const {
    const ACL_SIZE_INFORMATION info = sizeOf(get());
    return info.AclBytesInUse + info.AclBytesFree;
}

void VAcl::assignAcl(PACL other) {
    // Read before anything is replaced: other may be this very ACL.
    const std::vector<VAce> copied = acesOf(other);
    DWORD size = kNewAclSize;
    if (other != nullptr) {
        const ACL_SIZE_INFORMATION info = sizeOf(other);
        size = info.AclBytesInUse + info.AclBytesFree;
    }
    VAcl fresh(size);
    fresh.addSorted(copied);
    memory_ = std::move(fresh.memory_);
}

void VAcl::reserve(PACL otherAcl, const std::vector<VAce>& aces) {
    DWORD needed = bytesInUse() + sizeof(ACL);
    if (otherAcl != nullptr)
        needed += sizeOf(otherAcl).AclBytesInUse;
    for (const VAce& ace : aces)
        needed += ace.size();
    const DWORD size = fullSize();
    if (size >= needed || size >= kMaxAclSize)
        return;
    // Past the largest ACL the system allows, growing stops there and AddAce reports the rest.
    VAcl grown(std::min<DWORD>(needed * 2, kMaxAclSize));
    grown.addSorted(get());
    memory_ = std::move(grown.memory_);
}

void VAcl::addSorted(PACL other) {
    addSorted(acesOf(other));
}

void VAcl::addSorted(const std::vector<VAce>& aces) {
    for (const VAce& ace : aces)
        insert(ace);
}

void VAcl::addMissing(const std::vector<VAce>& aces) {
    reserve(nullptr, aces);
    for (const VAce& ace : aces) {
        if (find(ace) < 0)
            insert(ace);
    }
}

void VAcl::insert(const VAce& ace) {
    const int rank = ace.rank();
    if (rank < 0)
        raiseRunTimeError(L"Invalid ACE type", ERROR_INVALID_PARAMETER);
    if (sizeOf(get()).AclBytesFree < ace.size())
        reserve(nullptr, {ace});
    BYTE* base = static_cast<BYTE*>(memory_.get());
    const BYTE* position = nullptr;
    AceWalk walk(get());
    while (const BYTE* raw = walk.next()) {
        const auto* header = reinterpret_cast<const ACE_HEADER*>(raw);
        const int existing = rankOf(header->AceType, header->AceFlags);
        if (existing < 0)
            raiseRunTimeError(L"Unsupported ACE type in ACL", ERROR_INVALID_PARAMETER);
        if (existing >= rank) {
            position = raw;
            break;
        }
    }
    const DWORD inUse = bytesInUse();
    // Appended by the system, which checks room and revision, then moved into place by hand:
    // not every implementation of AddAce honours the starting index.
    const DWORD revision = ace.isObject() ? ACL_REVISION_DS : ACL_REVISION;
    if (!::AddAce(get(), revision, MAXDWORD, const_cast<void*>(ace.data()), ace.size()))
        raiseRunTimeError(L"Unable to add ACE to ACL", ::GetLastError());
    if (position != nullptr)
        std::rotate(base + (position - base), base + inUse, base + inUse + ace.size());
}

int VAcl::find(const VAce& ace, int start) const {
    const BYTE* wanted = static_cast<const BYTE*>(ace.data());
    AceWalk walk(get());
    while (const BYTE* raw = walk.next()) {
        if (static_cast<int>(walk.index()) >= start && equalAces(raw, wanted))
            return static_cast<int>(walk.index());
    }
    return -1;
}

int VAcl::findSid(PSID sid, int start) const {
    AceWalk walk(get());
    while (const BYTE* raw = walk.next()) {
        if (static_cast<int>(walk.index()) < start ||
            (!isStandardType(raw[0]) && !VAce::isObjectType(raw[0])))
            continue;
        if (::EqualSid(const_cast<BYTE*>(raw + sidOffsetOf(raw)), sid))
            return static_cast<int>(walk.index());
    }
    return -1;
}

VAce VAcl::at(int index) const {
    void* raw = nullptr;
    if (!::GetAce(get(), static_cast<DWORD>(index), &raw))
        raiseRunTimeError(L"Unable to get ACL ACE (%d)", ::GetLastError(), index);
    return VAce(raw);
}

void VAcl::deleteAt(int index) {
    if (!::DeleteAce(get(), static_cast<DWORD>(index)))
        raiseRunTimeError(L"Unable to delete ACL ACE (%d)", ::GetLastError(), index);
}

std::vector<VAce> VAcl::aces() const {
    return acesOf(get());
}

VAcl VAcl::mergeDuplicateAces(bool mapRights) const {
    struct Entry {
        VAce ace;
        DWORD value;
    };

    // Pass 1: ACEs that differ only in their flags become one; an ACE stays inherit-only only
    // when every one of its duplicates is.
    std::map<MergeKey, Entry> byFlags;
    for (VAce ace : aces()) {
        if (mapRights)
            ace.setMask(mapFileRights(ace.mask()));
        const BYTE flags = ace.flags();
        ace.setFlags(0);
        auto found = byFlags.find(mergeKey(ace));
        if (found == byFlags.end()) {
            byFlags.emplace(mergeKey(ace), Entry{ace, flags});
            continue;
        }
        const DWORD both = found->second.value;
        found->second.value =
            ((both | flags) & ~DWORD(INHERIT_ONLY_ACE)) | (both & flags & INHERIT_ONLY_ACE);
    }
    VAcl unified;
    for (auto& item : byFlags) {
        VAce ace = item.second.ace;
        ace.setFlags(static_cast<BYTE>(item.second.value));
        if (!containsExactly(unified, ace))
            unified.insert(ace);
    }

    // Pass 2: ACEs that differ only in their masks become one with all the rights.
    std::map<MergeKey, Entry> byMask;
    for (VAce ace : unified.aces()) {
        const DWORD mask = mapRights ? mapFileRights(ace.mask()) : ace.mask();
        ace.setMask(0);
        auto found = byMask.find(mergeKey(ace));
        if (found == byMask.end())
            byMask.emplace(mergeKey(ace), Entry{ace, mask});
        else
            found->second.value |= mask;
    }
    VAcl merged;
    for (auto& item : byMask) {
        VAce ace = item.second.ace;
        ace.setFlags(static_cast<BYTE>(ace.flags() & ~INHERITED_ACE));
        ace.setMask(item.second.value);
        if (!containsExactly(merged, ace))
            merged.insert(ace);
    }
    return merged;
}

// ---------------------------------------------------------------------------------------------
// Object security

namespace security {
namespace {

class SystemNamedObjectCalls : public NamedObjectCalls {
public:
    DWORD getDacl(const std::wstring& name, SE_OBJECT_TYPE type, PACL* dacl,
                  PSECURITY_DESCRIPTOR* descriptor) override {
        return ::GetNamedSecurityInfoW(name.c_str(), type, DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, dacl, nullptr, descriptor);
    }
    DWORD setSecurity(const std::wstring& name, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                      PSID owner, PACL dacl) override {
        return ::SetNamedSecurityInfoW(const_cast<LPWSTR>(name.c_str()), type, what, owner, nullptr,
                                       dacl, nullptr);
    }
    DWORD lookupAccountSid(PSID sid, wchar_t* name, DWORD* nameChars, wchar_t* domain,
                           DWORD* domainChars) override {
        SID_NAME_USE use;
        if (::LookupAccountSidW(nullptr, sid, name, nameChars, domain, domainChars, &use))
            return ERROR_SUCCESS;
        return ::GetLastError();
    }
};

NamedObjectCalls* installedCalls = nullptr;

NamedObjectCalls& calls() {
    return installedCalls ? *installedCalls : systemNamedObjectCalls();
}

} // namespace

NamedObjectCalls& systemNamedObjectCalls() {
    static SystemNamedObjectCalls calls;
    return calls;
}

NamedObjectCalls* setNamedObjectCalls(NamedObjectCalls* calls) {
    NamedObjectCalls* previous = installedCalls;
    installedCalls = calls;
    return previous ? previous : &systemNamedObjectCalls();
}

} // namespace security

namespace {

// ACEs of accounts that were deleted cannot be written back on some systems and grant nothing:
// they go. Only a definite "no such account" counts; a name too long for the buffers, or any
// other failure of the look-up, keeps the ACE.
void purgeUnmappedSids(VAcl& acl) {
    const DWORD kNameChars = 32;
    for (int i = 0; i < static_cast<int>(acl.count());) {
        const VAce ace = acl.at(i);
        wchar_t name[kNameChars];
        wchar_t domain[kNameChars];
        DWORD nameChars = kNameChars;
        DWORD domainChars = kNameChars;
        const DWORD code =
            security::calls().lookupAccountSid(ace.sid(), name, &nameChars, domain, &domainChars);
        if (code == ERROR_NONE_MAPPED)
            acl.deleteAt(i);
        else
            ++i;
    }
}

DWORD writeDacl(const std::wstring& name, SE_OBJECT_TYPE type, const VAcl& acl) {
    return security::calls().setSecurity(
        name, type, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
        acl.get());
}

bool isDeny(BYTE type) {
    return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE;
}

} // namespace

VAcl getObjectDacl(const std::wstring& name, SE_OBJECT_TYPE type) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD code = security::calls().getDacl(name, type, &dacl, &descriptor);
    const base::ScopedLocalMem owner(descriptor);
    if (code != ERROR_SUCCESS)
        raiseRunTimeError(L"Unable to get the object (%s) security info", code,
                          displayPath(name).c_str());
    VAcl result;
    if (dacl != nullptr)
        result.assignAcl(dacl);
    else
        result.insert(VAce(ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                           GENERIC_ALL, VSID::everyone().get()));
    return result;
}

void setObjectOwner(const std::wstring& name, SE_OBJECT_TYPE type) {
    const wchar_t kTakeOwnership[] = L"SeTakeOwnershipPrivilege";
    if (hasPrivilege(kTakeOwnership))
        enablePrivilege(kTakeOwnership);
    const VSID owner = tokenOwner();
    const DWORD code =
        security::calls().setSecurity(name, type, OWNER_SECURITY_INFORMATION, owner.get(), nullptr);
    if (code != ERROR_SUCCESS)
        raiseRunTimeError(L"Unable to set the object (%s) owner", code, displayPath(name).c_str());
}

void setObjectDacl(const std::wstring& name, SE_OBJECT_TYPE type, VAcl& acl) {
    purgeUnmappedSids(acl);
    DWORD code = writeDacl(name, type, acl);
    if (code == ERROR_ACCESS_DENIED) {
        setObjectOwner(name, type);
        code = writeDacl(name, type, acl);
    }
    if (code != ERROR_SUCCESS)
        raiseRunTimeError(L"Unable to set the object (%s) security info", code,
                          displayPath(name).c_str());
}

void takeOwnershipAndGrant(const std::wstring& name, SE_OBJECT_TYPE type, DWORD mask) {
    setObjectOwner(name, type);
    const VSID owner = tokenOwner();
    const VSID system(VSID::system());

    const VAcl current = getObjectDacl(name, type).mergeDuplicateAces(type == SE_FILE_OBJECT);

    // Deny entries for anything this process acts as would defeat the grant below.
    VAcl kept;
    kept.assignAcl(current);
    const VSID user = tokenUser();
    const VTokenGroups groups = tokenGroups();
    std::vector<PSID> ours;
    for (DWORD i = 0; i < groups.count(); ++i)
        ours.push_back(groups.sid(i));
    ours.push_back(user.get());
    if (owner != user)
        ours.push_back(owner.get());
    ours.push_back(system.get());
    for (PSID sid : ours) {
        int index = kept.findSid(sid, 0);
        while (index >= 0) {
            if (isDeny(kept.at(index).type())) {
                kept.deleteAt(index);
                index = kept.findSid(sid, index);
            } else {
                index = kept.findSid(sid, index + 1);
            }
        }
    }

    VAcl grants;
    grants.addMissing({VAce(ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                            mask, owner.get()),
                       VAce(ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                            mask, system.get())});
    VAcl result;
    result.assignAcl(grants);
    result.reserve(kept.get(), {});
    result.addSorted(kept.get());
    setObjectDacl(name, type, result);
}
