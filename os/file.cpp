#include "os/file.h"

#include "base/exception.h"
#include "base/raising_site.h"
#include "base/text.h"
#include "os/acl.h"
#include "os/directories.h"
#include "os/path.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const wchar_t kRecyclerName[] = L"Recycler";
const wchar_t kRecyclerGuid[] = L"{86066D57-9347-46a7-B4DB-971D9EF36D29}";

// The raising sites of this file. No two share a line, so a trail names the site it came from.
constexpr RaisingSite kFileExistSite = {"fileExist", 225};
constexpr RaisingSite kGetAttributesSite = {"getFileAttributes", 248};
constexpr RaisingSite kSetAttributesSite = {"setFileAttributes", 254};
constexpr RaisingSite kMakeDirSite = {"makeDir", 283};
constexpr RaisingSite kCurrentSite = {"VDirectory::current", 289};
constexpr RaisingSite kCreateDirectorySite = {"VDirectory::createDirectory", 299};
constexpr RaisingSite kFindFirstSite = {"VFileFinder::first", 349};
constexpr RaisingSite kFindNextSite = {"VFileFinder::next", 361};
constexpr RaisingSite kFindCloseSite = {"VFileFinder::close", 372};
constexpr RaisingSite kOpenSite = {"VFile::open", 390};
constexpr RaisingSite kSeekSite = {"VFile::seek", 403};
constexpr RaisingSite kWriteSite = {"VFile::write", 411};
constexpr RaisingSite kShortWriteSite = {"VFile::write", 415};
constexpr RaisingSite kDeleteSite = {"removeFile", 452};
constexpr RaisingSite kMoveSite = {"removeFile", 461};
constexpr RaisingSite kLoadRpcSite = {"newGuidText", 502};
constexpr RaisingSite kUuidCreateSite = {"newGuidText", 509};
constexpr RaisingSite kUuidToStringSite = {"newGuidText", 513};

SourceLocation at(const RaisingSite& site) {
    return siteLocation(site);
}

// Raises the OS-error exception for the error the failed call left behind.
[[noreturn]] void raiseLastError(const std::wstring& context, const RaisingSite& site) {
    const DWORD error = ::GetLastError();
    raiseOsError(context, error, at(site));
}

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

std::wstring trimTrailingSeparators(std::wstring path) {
    while (!path.empty() && isSeparator(path.back()))
        path.pop_back();
    return path;
}

// A drive path (C:\x) or a UNC or long one (\\server\share, \\?\C:\x); also a path rooted
// on the current drive (\x). Not a relative path or a drive-relative one (C:x).
bool isFullPath(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
        return true;
    return !path.empty() && path[0] == L'\\';
}

// The directory a path is in; a drive root keeps its separator (C:\, \\?\C:\): without it the
// name is the drive's current directory, or in the long form the volume device.
std::wstring parentDirectory(const std::wstring& path) {
    const std::wstring parent = removeFileSpec(path);
    if (parent.size() >= 2 && parent.compare(parent.size() - 2, 2, L":\\") == 0)
        return parent;
    return trimTrailingSeparators(parent);
}

// The root of the volume a path lives on. A path without a full root of its own (a\b, \a, C:a)
// is taken relative to the current directory, and only the root of the result matters, so it is
// derived without building the whole absolute path (which could be longer than MAX_PATH).
std::wstring volumeRoot(const std::wstring& path) {
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]))
        return VFileName::root(path);
    if (path.size() >= 2 && path[1] == L':')
        return path.substr(0, 2) + L'\\';
    return volumeRoot(VDirectory::current());
}

// The rpcrt4 calls that name the files moved into a recycler folder. Only removal through the
// recycler needs them, so they are resolved on first use rather than linked: a linked rpcrt4 is
// mapped (with its own imports) at every start of every program built on this library. The
// library is a known DLL, always loaded from the system directory, and stays loaded for the
// process.
struct UuidApi {
    using Create = long(WINAPI*)(GUID*);
    using ToString = long(WINAPI*)(const GUID*, unsigned short**);
    using FreeString = long(WINAPI*)(unsigned short**);

    base::ScopedModule module;
    Create createSequential = nullptr;
    Create create = nullptr;
    ToString toString = nullptr;
    FreeString freeString = nullptr;
    DWORD error = ERROR_SUCCESS; // why the calls are missing, when they are
};

template <typename F> void resolve(UuidApi& api, F& target, const char* name) {
    target = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(api.module.get(), name)));
    if (!target && api.error == ERROR_SUCCESS)
        api.error = ::GetLastError();
}

const UuidApi& uuidApi() {
    static const UuidApi api = [] {
        UuidApi result;
        result.module.reset(::LoadLibraryW(L"rpcrt4.dll"));
        if (!result.module) {
            result.error = ::GetLastError();
            return result;
        }
        resolve(result, result.createSequential, "UuidCreateSequential");
        resolve(result, result.create, "UuidCreate");
        resolve(result, result.toString, "UuidToStringW");
        resolve(result, result.freeString, "RpcStringFreeW");
        return result;
    }();
    return api;
}

// A GUID that is unique on this machine only is all a file name in a local folder needs.
bool uuidUsable(long status) {
    return status == ERROR_SUCCESS || status == RPC_S_UUID_LOCAL_ONLY;
}

// The delete or move of removeFile: true when it succeeded or the file is gone.
template <typename Attempt> bool settled(Attempt& attempt, DWORD& error) {
    if (attempt())
        return true;
    error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND;
}

// Whether taking the file over touches this file alone. A reparse point (a symbolic link, a
// junction) would hand the new owner and rights on to its target, and a file with more than one
// name would have them under its other names too, wherever those are (outside the folder being
// cleaned): neither is taken over. Nor is a file that cannot be looked at.
bool takesOverAlone(const std::wstring& path) {
    base::ScopedFileHandle file(::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
        nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file.valid() || !::GetFileInformationByHandle(file.get(), &information))
        return false;
    const DWORD notPlain = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    return (information.dwFileAttributes & notPlain) == 0 && information.nNumberOfLinks <= 1;
}

// Takes the file over so that a refusal by its DACL, its owner or its read-only bit no longer
// stands in the way. False when the file disappeared meanwhile.
bool takeOver(const std::wstring& path, TakeOwnershipFunction takeOwnershipAndGrant) {
    try {
        takeOwnershipAndGrant(path, SE_FILE_OBJECT, DELETE | FILE_WRITE_ATTRIBUTES);
        const DWORD attributes = getFileAttributes(path) & ~FILE_ATTRIBUTE_READONLY;
        // No attribute at all is written as FILE_ATTRIBUTE_NORMAL, the one way to say "none".
        setFileAttributes(path, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
    } catch (...) {
        if (!fileExist(path))
            return false;
        throw;
    }
    return true;
}

// Runs attempt (a delete or a move) until it settles: once plainly, once after taking the file
// over through takeOwnership (unless it is null), then up to retries more times delayMs apart.
// failure is the context of the error raised with the last attempt's error when they are all
// refused.
template <typename Attempt>
void escalate(const std::wstring& path, TakeOwnershipFunction takeOwnership, int retries,
              DWORD delayMs, Attempt attempt, const std::wstring& failure,
              const RaisingSite& site) {
    DWORD error = ERROR_SUCCESS;
    if (settled(attempt, error))
        return;
    // Only a refusal is worth taking the file over for: a file in use (32) or a name the system
    // cannot reach stays what it is however its rights are rewritten.
    if (takeOwnership && error == ERROR_ACCESS_DENIED && takesOverAlone(path)) {
        if (!takeOver(path, takeOwnership) || settled(attempt, error))
            return;
    }
    for (;;) {
        if (retries <= 0)
            raiseOsError(failure, error, at(site));
        ::Sleep(delayMs);
        if (settled(attempt, error))
            return;
        --retries;
    }
}

void ensureFolder(const std::wstring& folder, SECURITY_ATTRIBUTES* security,
                  void (*create)(const std::wstring&, SECURITY_ATTRIBUTES*)) {
    if (fileExist(folder))
        return;
    try {
        create(folder, security);
    } catch (const vexception&) {
        // Another process removing files on this volume may have created it first.
        if (fileExist(folder))
            return;
        throw;
    }
}

} // namespace

bool fileExist(const std::wstring& path, bool* isDirectory) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (isDirectory)
            *isDirectory = false;
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return false;
        raiseOsError(L"retrieves attributes for file or directory " + path, error,
                     at(kFileExistSite));
    }
    if (isDirectory)
        *isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

bool pathExists(const std::wstring& path, bool* isNotDirectory) {
    if (isNotDirectory)
        *isNotDirectory = false;
    if (path.empty())
        return false;
    bool isDirectory = false;
    if (!fileExist(path, &isDirectory))
        return false;
    if (isNotDirectory)
        *isNotDirectory = !isDirectory;
    return true;
}

DWORD getFileAttributes(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        raiseLastError(format(L"GetFileAttributes(%s)", path.c_str()), kGetAttributesSite);
    return attributes;
}

void setFileAttributes(const std::wstring& path, DWORD attributes) {
    if (!::SetFileAttributesW(path.c_str(), attributes))
        raiseLastError(format(L"SetFileAttributes(%s)", path.c_str()), kSetAttributesSite);
}

std::wstring removeFileSpec(const std::wstring& path) {
    const size_t length = path.size();
    size_t i = 0;
    size_t cut = 0; // where the last component begins, or the backslash before it
    // The backslashes of \a and \\server belong to the root.
    if (i < length && path[i] == L'\\')
        cut = ++i;
    if (i < length && path[i] == L'\\')
        cut = ++i;
    while (i < length) {
        if (path[i] == L'\\') {
            cut = i++;
        } else if (path[i] == L':') {
            cut = ++i;
            // The backslash of a drive root stays.
            if (i < length && path[i] == L'\\')
                cut = ++i;
        } else {
            ++i;
        }
    }
    return cut < length ? path.substr(0, cut) : path;
}

void makeDir(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
    if (!::CreateDirectoryW(path.c_str(), security))
        raiseLastError(format(L"CreateDirectory(%s)", path.c_str()), kMakeDirSite);
}

std::wstring VDirectory::current() {
    const DirectoryQuery current = queryCurrentDirectory();
    if (!current.ok())
        raiseOsError(L"get current directory", current.error, at(kCurrentSite));
    return current.path;
}

void VDirectory::createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
    std::wstring trimmed = trimTrailingSeparators(path);
    // The system takes either separator; the walk up below only knows the backslash.
    std::replace(trimmed.begin(), trimmed.end(), L'/', L'\\');
    if (trimmed.empty())
        throw ArgumentException(L"Unable to create directory with wrong name",
                                at(kCreateDirectorySite));
    // "." and ".." are resolved first: the system does not resolve them in the long form, and
    // C:\x\..\y must not leave a C:\x behind. A full path past the short form's limits comes
    // back in the long form.
    if (isFullPath(trimmed))
        trimmed = trimTrailingSeparators(VFileName::combine(trimmed, L""));

    // Walk up to the first level that exists, or that cannot be shortened any more: a root
    // (C:\, \\?\C:\, \\server) or the only component of a relative path. Such a level is created
    // like any other, so a missing drive or share ends in the system's own error for it.
    std::vector<std::wstring> missing;
    std::wstring level = trimmed;
    while (!fileExist(level)) {
        missing.push_back(level);
        const std::wstring parent = parentDirectory(level);
        if (parent.empty() || parent == level)
            break;
        level = parent;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        try {
            makeDir(*it, security);
        } catch (const vosexception& e) {
            // Another process made it in between (two launchers writing their first dump at
            // once), or it is a "." level of one just made: a directory that exists is what
            // was asked for.
            bool isDirectory = false;
            if ((e.code() != ERROR_ALREADY_EXISTS && e.code() != ERROR_FILE_EXISTS) ||
                !fileExist(*it, &isDirectory) || !isDirectory)
                throw;
        }
    }
}

VFileFinder::VFileFinder() : handle_(INVALID_HANDLE_VALUE), data_{} {}

VFileFinder::~VFileFinder() {
    if (handle_ != INVALID_HANDLE_VALUE)
        ::FindClose(handle_);
}

bool VFileFinder::first(const std::wstring& pattern) {
    close();
    handle_ = ::FindFirstFileW(pattern.c_str(), &data_);
    if (handle_ != INVALID_HANDLE_VALUE)
        return true;
    const DWORD error = ::GetLastError();
    std::memset(&data_, 0, sizeof(data_));
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return false;
    raiseOsError(L"FindFirstFile(" + pattern + L")", error, at(kFindFirstSite));
}

bool VFileFinder::next() {
    if (handle_ == INVALID_HANDLE_VALUE)
        return false;
    if (::FindNextFileW(handle_, &data_))
        return true;
    const DWORD error = ::GetLastError();
    std::memset(&data_, 0, sizeof(data_));
    if (error == ERROR_NO_MORE_FILES)
        return false;
    raiseOsError(L"FindNextFile", error, at(kFindNextSite));
}

void VFileFinder::close() {
    std::memset(&data_, 0, sizeof(data_));
    if (handle_ == INVALID_HANDLE_VALUE)
        return;
    const HANDLE handle = handle_;
    // The handle is given up whatever FindClose says: it is not to be closed twice.
    handle_ = INVALID_HANDLE_VALUE;
    if (!::FindClose(handle))
        raiseLastError(L"FindClose", kFindCloseSite);
}

bool VFileFinder::isDots() const {
    const std::wstring entry = name();
    return entry == L"." || entry == L"..";
}

uint64_t VFileFinder::lastWriteTime() const {
    return (static_cast<uint64_t>(data_.ftLastWriteTime.dwHighDateTime) << 32) |
           data_.ftLastWriteTime.dwLowDateTime;
}

void VFile::open(const std::wstring& name, DWORD access, DWORD share, DWORD disposition,
                 DWORD flags) {
    const HANDLE handle =
        ::CreateFileW(name.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        raiseLastError(L"Open file '" + name + L"'", kOpenSite);
    file_.reset(handle);
    name_ = name;
}

DWORD VFile::seek(LONG distance, LONG* distanceHigh, DWORD method) {
    // A position whose low word is all ones comes back as INVALID_SET_FILE_POINTER too; only the
    // last error tells it from a failure, so an older error must not be left standing.
    ::SetLastError(ERROR_SUCCESS);
    const DWORD position = ::SetFilePointer(file_.get(), distance, distanceHigh, method);
    if (position == INVALID_SET_FILE_POINTER) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_SUCCESS)
            raiseOsError(L"Unable seek in file '" + name_ + L"'", error, at(kSeekSite));
    }
    return position;
}

DWORD VFile::write(const void* data, DWORD count, bool requireAll) {
    DWORD written = 0;
    if (!::WriteFile(file_.get(), data, count, &written, nullptr))
        raiseLastError(L"Write to file '" + name_ + L"'", kWriteSite);
    // The name is appended, not formatted: it may hold a percent sign.
    if (requireAll && written != count)
        throw vexception(format(L"Unable to write %u bytes into file '", count) + name_ + L"'",
                         at(kShortWriteSite));
    return written;
}

void listFiles(const std::wstring& directory, const std::wstring& pattern,
               std::list<std::wstring>& list, int depth) {
    VFileFinder finder;
    for (bool found = finder.first(VFileName::combine(directory, pattern)); found;
         found = finder.next()) {
        if (!finder.isDots() && !finder.isDirectory())
            list.push_back(VFileName::combine(directory, finder.name()));
    }
    if (depth != 0) {
        const int below = depth > 0 ? depth - 1 : depth;
        for (bool found = finder.first(VFileName::combine(directory, L"*.*")); found;
             found = finder.next()) {
            if (finder.isDirectory() && !finder.isDots())
                listFiles(VFileName::combine(directory, finder.name()), pattern, list, below);
        }
    }
    finder.close();
}

void removeFile(const std::wstring& path, const RemoveFileOptions& options) {
    removeFileWith(path, options, &takeOwnershipAndGrant);
}

void removeFileWith(const std::wstring& path, const RemoveFileOptions& options,
                    TakeOwnershipFunction takeOwnershipAndGrant) {
    // Null when the file is not to be taken over.
    const TakeOwnershipFunction grant = options.takeOwnership ? takeOwnershipAndGrant : nullptr;
    const int retries = options.retries;
    const DWORD delayMs = options.delayMs;
    if (!options.useRecycler) {
        escalate(
            path, grant, retries, delayMs,
            [&path]() { return ::DeleteFileW(path.c_str()) != FALSE; },
            L"DeleteFile '" + path + L"'", kDeleteSite);
        return;
    }
    // Moved under a new name, a file that is still open no longer blocks its own name, and is
    // gone from the recycler folder as soon as the last handle to it closes.
    const std::wstring target = VFileName::combine(recyclerFolder(path), newGuidText());
    escalate(
        path, grant, retries, delayMs,
        [&path, &target]() { return ::MoveFileExW(path.c_str(), target.c_str(), 0) != FALSE; },
        L"Move file '" + path + L"' to '" + target + L"'", kMoveSite);
    ::DeleteFileW(target.c_str());
}

std::wstring recyclerFolder(const std::wstring& path) {
    return recyclerFolderWith(path, &VDirectory::createDirectory);
}

std::wstring recyclerFolderWith(const std::wstring& path,
                                void (*createDirectory)(const std::wstring&,
                                                        SECURITY_ATTRIBUTES*)) {
    const std::wstring folder = VFileName::combine(volumeRoot(path), kRecyclerName);
    SecurityDescriptor security(recyclerFolderEntries(), false);
    ensureFolder(folder, security.attributes(), createDirectory);
    const std::wstring result = VFileName::combine(folder, kRecyclerGuid);
    ensureFolder(result, security.attributes(), createDirectory);
    return result;
}

SecurityEntryList recyclerFolderEntries() {
    using Trustee = SecurityEntry::Trustee;
    // Files inside: read attributes, delete, read control, synchronize.
    const DWORD fileRights = FILE_READ_ATTRIBUTES | DELETE | READ_CONTROL | SYNCHRONIZE;
    // The folder itself: list, add file, add subdirectory, traverse, delete child, read
    // attributes, and the same three standard rights.
    const DWORD folderRights = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                               FILE_TRAVERSE | FILE_DELETE_CHILD | FILE_READ_ATTRIBUTES | DELETE |
                               READ_CONTROL | SYNCHRONIZE;
    const DWORD everywhere = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    return {
        SecurityEntry::grant(VSID::everyone(), fileRights, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE,
                             Trustee::user),
        SecurityEntry::grant(VSID::everyone(), folderRights, CONTAINER_INHERIT_ACE, Trustee::user),
        SecurityEntry::grant(VSID::system(), GENERIC_ALL, everywhere, Trustee::user),
        SecurityEntry::grant(VSID::admins(), GENERIC_ALL, everywhere, Trustee::user),
    };
}

std::wstring newGuidText() {
    const UuidApi& api = uuidApi();
    if (api.error != ERROR_SUCCESS)
        raiseOsError(L"Load rpcrt4.dll", api.error, at(kLoadRpcSite));
    GUID guid{};
    long status = api.createSequential(&guid);
    // Without a network adapter to build a sequential one from, a random GUID does as well.
    if (!uuidUsable(status))
        status = api.create(&guid);
    if (!uuidUsable(status))
        raiseOsError(L"UuidCreate", static_cast<uint32_t>(status), at(kUuidCreateSite));
    unsigned short* text = nullptr;
    status = api.toString(&guid, &text);
    if (status != ERROR_SUCCESS)
        raiseOsError(L"UuidToString", static_cast<uint32_t>(status), at(kUuidToStringSite));
    base::ScopeExit freeText([&api, &text]() { api.freeString(&text); });
    return std::wstring(reinterpret_cast<const wchar_t*>(text));
}
