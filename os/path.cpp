#include "os/path.h"

#include "base/exception.h"
#include "base/raising_site.h"
#include "base/text.h"
#include "base/win32.h"
#include "os/directories.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace {

// The raising sites of this file. No two share a line, so a trail names the site it came from.
constexpr RaisingSite kCombineSite = {"VFileName::combine", 41};
constexpr RaisingSite kRootSite = {"VFileName::root", 62};
constexpr RaisingSite kExpandSite = {"VFileName::expandEnvironmentStrings", 81};
constexpr RaisingSite kCurrentDirectorySite = {"currentDirectory", 112};

const wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr size_t kLongPrefixLength = 4;
// CreateDirectoryW refuses a short-form path of this length or more (room is kept for an 8.3 file
// name inside); other calls refuse MAX_PATH.
constexpr size_t kLongestShortDirectory = MAX_PATH - 12;

bool hasLongPrefix(const std::wstring& path) {
    return path.compare(0, kLongPrefixLength, kLongPrefix) == 0;
}

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool endsWithBackslash(const std::wstring& path) {
    return !path.empty() && path.back() == L'\\';
}

// Drops trailing backslashes and "." segments: C:\a\. and C:\a\\ both name C:\a. A lone character
// is kept so that a bare "\" survives.
void trimTail(std::wstring& path) {
    while (path.size() > 1) {
        if (path.back() == L'\\')
            path.pop_back();
        else if (path.back() == L'.' && path[path.size() - 2] == L'\\')
            path.pop_back();
        else
            break;
    }
}

// The file system does not add the root separator to "\\?\C:", and without it the name is the
// volume device rather than its root directory.
void completeBareDrive(std::wstring& path) {
    if (path.size() == 6 && path[5] == L':')
        path += L'\\';
}

[[noreturn]] void raiseInvalidPath(const std::wstring& base, const std::wstring& relative) {
    raiseRunTimeError(L"Invalid input path (%s) + (%s)", 0, displayPath(base).c_str(),
                      displayPath(relative).c_str());
}

size_t rootLength(const std::wstring& path);

// One ".." segment: cut the last segment of a path that ends with a backslash. The root (\\?\C:\,
// \\server\share) and anything at or before it cannot be left.
void goUp(std::wstring& path, const std::wstring& base, const std::wstring& relative) {
    if (path.size() < 2)
        raiseInvalidPath(base, relative);
    const size_t slash = path.find_last_of(L'\\', path.size() - 2);
    if (slash == std::wstring::npos || slash + 1 < rootLength(path))
        raiseInvalidPath(base, relative);
    path.erase(slash + 1);
}

// Appends the segments of text to a path. "." and ".." are recognised only as whole segments:
// inside a name (a.\b, x..) the dots belong to the name and must not drop or join segments. Runs
// of separators of either kind become one backslash.
void appendSegments(std::wstring& result, const std::wstring& text, const std::wstring& base,
                    const std::wstring& relative) {
    const size_t length = text.size();
    size_t i = 0;
    while (i < length) {
        const wchar_t c = text[i];
        if (c == L'.' && endsWithBackslash(result)) {
            if (i + 1 < length && isSeparator(text[i + 1])) {
                i += 2;
                continue;
            }
            if (i + 1 < length && text[i + 1] == L'.' &&
                (i + 2 == length || isSeparator(text[i + 2]))) {
                goUp(result, base, relative);
                i += (i + 2 == length) ? 2 : 3;
                continue;
            }
        }
        if (isSeparator(c)) {
            if (!endsWithBackslash(result))
                result += L'\\';
            while (i < length && isSeparator(text[i]))
                ++i;
            continue;
        }
        result += c;
        ++i;
    }
}

// Length of the part of a path that ".." can never remove: "\\server\share",
// "\\?\UNC\server\share", the device after "\\?\" or "\\.\" with its separator ("\\?\C:\"), "X:\",
// "X:" or "\"; 0 for a relative path.
size_t rootLength(const std::wstring& path) {
    const auto componentEnd = [&path](size_t from) {
        const size_t end = from < path.size() ? path.find(L'\\', from) : std::wstring::npos;
        return end == std::wstring::npos ? path.size() : end;
    };
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        if (path.size() >= 4 && (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\') {
            if (path.size() >= 8 && (path[4] == L'U' || path[4] == L'u') &&
                (path[5] == L'N' || path[5] == L'n') && (path[6] == L'C' || path[6] == L'c') &&
                path[7] == L'\\')
                return componentEnd(componentEnd(8) + 1);
            const size_t end = componentEnd(4);
            return end < path.size() ? end + 1 : end;
        }
        return componentEnd(componentEnd(2) + 1);
    }
    if (path.size() >= 2 && path[1] == L':')
        return path.size() >= 3 && path[2] == L'\\' ? 3 : 2;
    return !path.empty() && path[0] == L'\\' ? 1 : 0;
}

// Removes "." segments and lets ".." remove the segment before it, never the root. The system's
// path helpers would do the same, but they live in a library whose loading drags the window
// manager into every start of the program.
std::wstring canonicalize(const std::wstring& path) {
    const size_t root = rootLength(path);
    std::wstring result = path.substr(0, root);
    std::vector<std::wstring> segments;
    size_t start = root;
    if (start < path.size() && path[start] == L'\\') // the separator after a share name
        ++start;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos)
            end = path.size();
        std::wstring segment = path.substr(start, end - start);
        if (segment == L"..") {
            if (!segments.empty())
                segments.pop_back();
        } else if (segment != L"." && !(segment.empty() && end == path.size())) {
            segments.push_back(std::move(segment));
        }
        start = end + 1;
    }
    if (root > 0 && result.back() != L'\\' && !segments.empty() && root != 2)
        result += L'\\';
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i > 0)
            result += L'\\';
        result += segments[i];
    }
    if (!segments.empty() && path.size() > root && path.back() == L'\\')
        result += L'\\';
    // A bare drive names the drive's current directory; the joined form means its root.
    if (result.size() == 2 && result[1] == L':')
        result += L'\\';
    return result;
}

// The drive ("\\?\C:") or share ("\\server\share") of a directory, without a final separator.
std::wstring currentRoot(std::wstring directory) {
    for (wchar_t& c : directory) {
        if (c == L'/')
            c = L'\\';
    }
    std::wstring root = directory.substr(0, rootLength(directory));
    while (!root.empty() && root.back() == L'\\')
        root.pop_back();
    return (!root.empty() && root[0] == L'\\') ? root : kLongPrefix + root;
}

std::wstring currentDirectory() {
    const DirectoryQuery current = queryCurrentDirectory();
    if (!current.ok())
        raiseOsError(L"GetCurrentDirectory", current.error, siteLocation(kCurrentDirectorySite));
    return current.path;
}

// The current directory in the long form. A process started on a network share has a UNC current
// directory; "\\?\" in front of \\server\share would name nothing.
std::wstring longCurrentDirectory(std::wstring (*currentDirectoryOf)()) {
    std::wstring directory = currentDirectoryOf();
    std::replace(directory.begin(), directory.end(), L'/', L'\\');
    return (!directory.empty() && directory[0] == L'\\') ? directory : kLongPrefix + directory;
}

// The current directory of a drive in the long form: the process's own when it is on that drive,
// else the one the command interpreter keeps for the drive (the variable "=X:"), else its root.
std::wstring driveDirectory(std::wstring (*currentDirectoryOf)(), wchar_t drive) {
    const std::wstring current = longCurrentDirectory(currentDirectoryOf);
    const auto upper = [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); };
    if (current.size() >= 6 && hasLongPrefix(current) && current[5] == L':' &&
        upper(current[4]) == upper(drive))
        return current;
    const std::wstring name = std::wstring(L"=") + upper(drive) + L":";
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetEnvironmentVariableW(name.c_str(), buffer.data(),
                                                       static_cast<DWORD>(buffer.size()));
        if (length == 0)
            break;
        if (length < buffer.size()) {
            std::wstring directory(buffer.data(), length);
            std::replace(directory.begin(), directory.end(), L'/', L'\\');
            if (directory.size() >= 3 && upper(directory[0]) == upper(drive) &&
                directory[1] == L':' && directory[2] == L'\\')
                return kLongPrefix + directory;
            break;
        }
        buffer.resize(length + 1);
    }
    return kLongPrefix + std::wstring(1, drive) + L":\\";
}

} // namespace

std::wstring VFileName::combine(const std::wstring& directory, const std::wstring& fileName) {
    std::wstring dir = directory;
    while (!dir.empty() && isSeparator(dir.back()))
        dir.pop_back();
    size_t skip = 0;
    while (skip < fileName.size() && isSeparator(fileName[skip]))
        ++skip;
    // Without this, a file name such as \x would replace the directory by the root of its drive.
    const std::wstring file = fileName.substr(skip);

    // A file part with its own drive stands alone; otherwise the two are joined by one separator.
    std::wstring joined;
    if (dir.empty() || (file.size() >= 2 && file[1] == L':'))
        joined = file.empty() ? dir : file;
    else if (file.empty())
        joined = dir;
    else
        joined = dir + L'\\' + file;
    std::wstring result = canonicalize(joined);
    if (result.size() < kLongestShortDirectory)
        return result;
    // Past the limits of the short form a full path is given in the long form, in which every
    // file call takes it; only a relative path has no long form. The long form knows neither "/"
    // nor "." segments, so both are resolved here.
    std::replace(joined.begin(), joined.end(), L'/', L'\\');
    result = canonicalize(joined);
    if (hasLongPrefix(result))
        return result;
    if (result.size() >= 3 && result[1] == L':' && result[2] == L'\\')
        return kLongPrefix + result;
    if (result.size() >= 2 && result[0] == L'\\' && result[1] == L'\\')
        return L"\\\\?\\UNC\\" + result.substr(2);
    throw vexception(L"PathCombine failed for dir " + directory + L" and fileName " + fileName,
                     siteLocation(kCombineSite));
}

std::wstring VFileName::root(const std::wstring& path) {
    const size_t length = rootLength(path);
    // A drive without its root separator (C:, C:dir) names the drive's current directory, not a
    // root: the system's root-stripping refuses it as well.
    const bool driveRelative = length == 2 && path[1] == L':';
    if (length == 0 || driveRelative)
        throw vexception(L"PathStripToRoot failed for fileName=" + path, siteLocation(kRootSite));
    return path.substr(0, length);
}

std::wstring VFileName::fileName(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/:");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::wstring VFileName::expandEnvironmentStrings(const std::wstring& text) {
    const auto fail = [&text]() {
        const DWORD error = ::GetLastError();
        raiseOsError(format(L"ExpandEnvironmentStrings(%s)", text.c_str()), error,
                     siteLocation(kExpandSite));
    };
    DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0)
        fail();
    for (;;) {
        std::vector<wchar_t> buffer(needed + 1, L'\0');
        const DWORD written = ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(),
                                                          static_cast<DWORD>(buffer.size()));
        if (written == 0)
            fail();
        // A variable set in between can make the text longer than first measured.
        if (written <= buffer.size())
            return buffer.data();
        needed = written;
    }
}

std::wstring makeLongPath(const std::wstring& base, const std::wstring& relative) {
    return makeLongPathFrom(&currentDirectory, base, relative);
}

std::wstring makeLongPathFrom(std::wstring (*currentDirectoryOf)(), const std::wstring& base,
                              const std::wstring& relative) {
    // Console devices must be opened by their bare names; any directory in front of them makes
    // an ordinary file name.
    if (base.empty() && (relative.size() == 6 || relative.size() == 7) &&
        (compareNoCase(relative, L"CONOUT$") || compareNoCase(relative, L"CONIN$"))) {
        std::wstring result = relative;
        trimTail(result);
        return result;
    }
    if (base.empty() && relative.empty())
        raiseRunTimeError(L"Empty input path", ERROR_INVALID_PARAMETER);

    // A UNC or already long relative path stands on its own and cannot take the prefix. The
    // system reads //server/share as \\server\share.
    if (relative.size() >= 2 && isSeparator(relative[0]) && isSeparator(relative[1])) {
        std::wstring result = relative;
        std::replace(result.begin(), result.end(), L'/', L'\\');
        trimTail(result);
        completeBareDrive(result);
        return result;
    }

    std::wstring result;
    if (relative.size() >= 2 && relative[1] == L':') {
        result = kLongPrefix;
    } else if (base.size() >= 2 && isSeparator(base[0]) && isSeparator(base[1])) {
        // A UNC or already long base: its leading pair, and a "?" or "." device marker after it,
        // are not segments and must stay as written.
        const bool device =
            base.size() >= 4 && (base[2] == L'?' || base[2] == L'.') && isSeparator(base[3]);
        result = device ? std::wstring(L"\\\\") + base[2] + L'\\' : std::wstring(L"\\\\");
        appendSegments(result, base.substr(result.size()), base, relative);
    } else if (!base.empty() && isSeparator(base[0])) {
        // Rooted without a drive (\dir): on the current directory's drive or share. Kept as it
        // stands, a base of "\" would put the relative's first segment where a server name goes.
        result = currentRoot(currentDirectoryOf());
        appendSegments(result, base, base, relative);
    } else if (base.size() >= 3 && base[1] == L':' && isSeparator(base[2])) {
        result = kLongPrefix;
        appendSegments(result, base, base, relative);
    } else if (base.size() == 2 && base[1] == L':') {
        // A bare drive stands for its root, as a bare drive relative does.
        result = kLongPrefix + base;
    } else if (base.size() > 2 && base[1] == L':') {
        // C:x: x under the current directory of drive C.
        result = driveDirectory(currentDirectoryOf, base[0]);
        trimTail(result);
        result += L'\\';
        appendSegments(result, base.substr(2), base, relative);
    } else {
        // An empty base is the current directory, and a relative one (".", "bin", "..\\x") lies
        // under it: without it in front the base would stand where the drive belongs.
        result = longCurrentDirectory(currentDirectoryOf);
        if (!base.empty()) {
            trimTail(result);
            result += L'\\';
            appendSegments(result, base, base, relative);
        }
    }
    trimTail(result);
    result += L'\\';
    appendSegments(result, relative, base, relative);
    trimTail(result);
    completeBareDrive(result);
    return result;
}

std::wstring displayPath(const std::wstring& path) {
    if (hasLongPrefix(path))
        return path.substr(kLongPrefixLength);
    return path;
}

std::wstring ensureTrailingSeparator(const std::wstring& path) {
    return endsWithBackslash(path) ? path : path + L'\\';
}

bool compareNoCase(const std::wstring& a, const std::wstring& b) {
    const int result =
        ::CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.c_str(),
                         static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()));
    if (result == 0)
        raiseRunTimeError(L"Unable to compare strings (%s) with (%s)", ::GetLastError(), a.c_str(),
                          b.c_str());
    return result == CSTR_EQUAL;
}

DWORD getAttributes(const std::wstring& base, const std::wstring& relative) {
    const std::wstring path = makeLongPath(base, relative);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return attributes;
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
        error == ERROR_INVALID_NAME)
        return INVALID_FILE_ATTRIBUTES;
    raiseRunTimeError(L"Unable to get file (%s) attributes", error, displayPath(path).c_str());
}

bool exists(const std::wstring& base, const std::wstring& relative) {
    return getAttributes(base, relative) != INVALID_FILE_ATTRIBUTES;
}

bool exists(const std::wstring& path) {
    return exists(std::wstring(), path);
}

std::wstring quoteArgument(const std::wstring& argument) {
    // Characters the command interpreter or a child's argument parser would otherwise act on.
    static const wchar_t kSpecial[] = L"\"&<>[]{}^=;!'+,`~|";
    bool needsQuotes = false;
    for (const wchar_t c : argument) {
        if (std::iswspace(c) || (c != L'\0' && std::wcschr(kSpecial, c) != nullptr)) {
            needsQuotes = true;
            break;
        }
    }
    if (!needsQuotes)
        return argument;

    // Built back to front: backslashes are literal unless a quote follows them, so only a run
    // that ends at an inner quote or at the closing quote is doubled.
    std::wstring reversed;
    reversed.reserve(argument.size() * 2 + 2);
    reversed += L'"';
    bool beforeQuote = true;
    for (auto it = argument.rbegin(); it != argument.rend(); ++it) {
        const wchar_t c = *it;
        reversed += c;
        if (c == L'"' || (c == L'\\' && beforeQuote)) {
            reversed += L'\\';
            beforeQuote = true;
        } else {
            beforeQuote = false;
        }
    }
    reversed += L'"';
    return std::wstring(reversed.rbegin(), reversed.rend());
}
