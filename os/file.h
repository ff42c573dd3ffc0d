// Strict wrappers over the file calls (every failure is an exception with a fixed text), recursive
// directory creation and listing, and file removal that escalates from a plain delete to taking
// ownership of the file. Log and crash-dump cleanup remove old files through removeFile.
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"
#include "os/security.h"

#include <cstdint>
#include <list>
#include <string>

// GetFileAttributesW: errors 2 and 3 read as "not there"; isDirectory, when given, is set.
bool fileExist(const std::wstring& path, bool* isDirectory = nullptr);
// False for an empty path; isNotDirectory, when given, is set.
bool pathExists(const std::wstring& path, bool* isNotDirectory = nullptr);
DWORD getFileAttributes(const std::wstring& path);
void setFileAttributes(const std::wstring& path, DWORD attributes);
// The path without its last component and the backslash before it; a root (C:\, C:, \\server, a
// lone backslash) is kept whole. Only a backslash separates components.
std::wstring removeFileSpec(const std::wstring& path);
void makeDir(const std::wstring& path, SECURITY_ATTRIBUTES* security = nullptr);

class VDirectory {
public:
    static std::wstring current();
    // Creates the directory and every missing parent, each with the same security attributes. A
    // path that exists, as a directory or as a file, is left alone.
    static void createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* security = nullptr);
};

class VFileFinder {
public:
    VFileFinder();
    ~VFileFinder();
    VFileFinder(const VFileFinder&) = delete;
    VFileFinder& operator=(const VFileFinder&) = delete;

    // True when an entry was found; a missing file or path is no error.
    bool first(const std::wstring& pattern);
    // False when no search is open or there are no more entries.
    bool next();
    void close();

    std::wstring name() const { return data_.cFileName; }
    bool isDirectory() const { return (data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // "." or "..".
    bool isDots() const;
    uint64_t lastWriteTime() const;
    const WIN32_FIND_DATAW& data() const { return data_; }

private:
    HANDLE handle_;
    WIN32_FIND_DATAW data_;
};

class VFile {
public:
    VFile() = default;
    void open(const std::wstring& name, DWORD access, DWORD share, DWORD disposition, DWORD flags);
    // SetFilePointer; returns the new low word. distanceHigh, when given, is in and out.
    DWORD seek(LONG distance, LONG* distanceHigh, DWORD method);
    // Returns the count written; with requireAll a short write is an error.
    DWORD write(const void* data, DWORD count, bool requireAll);
    void close() { file_.reset(); }

    HANDLE handle() const { return file_.get(); }
    bool isOpen() const { return file_.valid(); }
    const std::wstring& name() const { return name_; }

private:
    base::ScopedFileHandle file_;
    std::wstring name_;
};

// Appends to list the full paths of the files matching pattern in directory, then, while depth is
// not 0, of its subdirectories (depth lowered by one when positive; negative means no limit).
// Directories themselves are never listed.
constexpr int kListDirectoryOnly = 0;
constexpr int kListEveryLevel = -1;
void listFiles(const std::wstring& directory, const std::wstring& pattern,
               std::list<std::wstring>& list, int depth);

// How removeFile goes about a file that resists a plain delete. The default is a plain delete
// and nothing more; the log and dump cleanup take ownership, without the recycler or retries.
struct RemoveFileOptions {
    // A refused delete is escalated through takeOwnershipAndGrant and clearing the read-only bit.
    bool takeOwnership = false;
    // The file is moved into the volume's private recycler folder first, so a file still in use
    // leaves its name free.
    bool useRecycler = false;
    // Further attempts after the first (and the one after taking ownership), delayMs apart.
    int retries = 0;
    DWORD delayMs = 0;

    RemoveFileOptions& takingOwnership(bool on = true) {
        takeOwnership = on;
        return *this;
    }
    RemoveFileOptions& throughRecycler(bool on = true) {
        useRecycler = on;
        return *this;
    }
    RemoveFileOptions& retrying(int count, DWORD everyMs) {
        retries = count;
        delayMs = everyMs;
        return *this;
    }
};

// Deletes the file; a missing file is success.
void removeFile(const std::wstring& path, const RemoveFileOptions& options = RemoveFileOptions());
// The same with the take-over of the file's security supplied by the caller (tests use it to see
// the steps that follow it).
using TakeOwnershipFunction = void (*)(const std::wstring& name, SE_OBJECT_TYPE type, DWORD mask);
void removeFileWith(const std::wstring& path, const RemoveFileOptions& options,
                    TakeOwnershipFunction takeOwnershipAndGrant);
// The volume's "Recycler\{86066D57-...}" folder, created with its own rights when missing.
std::wstring recyclerFolder(const std::wstring& path);
// The same with the creation of each level supplied by the caller (tests use it to lose the race
// against another process that creates the folder first).
std::wstring recyclerFolderWith(const std::wstring& path,
                                void (*createDirectory)(const std::wstring&, SECURITY_ATTRIBUTES*));
// The rights the recycler folders are created with: everyone may move files in and delete them,
// but nobody but SYSTEM and the administrators may read or write what others moved there.
SecurityEntryList recyclerFolderEntries();
// A new GUID in its 36-character text form (no braces), sequential where the machine allows.
std::wstring newGuidText();
