// Path rules of the library: joining, roots, environment expansion, the long "\\?\" form in which
// file-system calls are made, display forms, attribute queries, text files read line by line under
// a lock, directory searches, and the quoting of one command-line argument.
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"

#include <string>

class VFileName {
public:
    static std::wstring combine(const std::wstring& directory, const std::wstring& fileName);
    static std::wstring root(const std::wstring& path);
    static std::wstring expandEnvironmentStrings(const std::wstring& text);
    // The last component: what follows the last "\", "/" or ":".
    static std::wstring fileName(const std::wstring& path);
};

// Every file-system call of the process-execution code goes through this form, so paths longer
// than MAX_PATH work and "." / ".." are resolved here rather than by the file system (which does
// not resolve them in "\\?\" paths).
std::wstring makeLongPath(const std::wstring& base, const std::wstring& relative);
// The same rules with the current directory supplied by the caller (an empty base stands for it, a
// base rooted without a drive takes its drive); makeLongPath passes the process's current
// directory. Tests use it to pin that directory.
std::wstring makeLongPathFrom(std::wstring (*currentDirectory)(), const std::wstring& base,
                              const std::wstring& relative);
std::wstring displayPath(const std::wstring& path);
std::wstring ensureTrailingSeparator(const std::wstring& path);
bool compareNoCase(const std::wstring& a, const std::wstring& b);
DWORD getAttributes(const std::wstring& base, const std::wstring& relative);
bool exists(const std::wstring& base, const std::wstring& relative);
bool exists(const std::wstring& path);
std::wstring quoteArgument(const std::wstring& argument);

class TextFile {
public:
    TextFile() = default;
    void create(const std::wstring& base, const std::wstring& relative, DWORD access, DWORD share,
                SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags);
    void openForReading(const std::wstring& path);
    // Appends one line (without CR LF) to out; true when the line ended with LF.
    bool readLine(std::string& out);
    HANDLE handle() const { return file_.get(); }

private:
    base::ScopedFileHandle file_;
};

// FindFirstFileW on the long form of (base, relative); the first entry goes to record. An empty
// handle is returned when the search fails and raise is false.
base::ScopedFindHandle readDirectory(const std::wstring& base, const std::wstring& relative,
                                     WIN32_FIND_DATAW& record, bool raise);
