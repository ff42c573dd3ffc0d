#include "base/exception.h"
#include "base/text.h"
#include "base/win32.h"
#include "os/path.h"

#include <cstring>

namespace {

constexpr DWORD kChunkSize = 4096;
// The whole file, as both 32-bit halves of the lock length.
constexpr DWORD kWholeFileLow = 0xFFFFFFFF;
constexpr DWORD kWholeFileHigh = 0xFFFFFFFF;

} // namespace

void TextFile::create(const std::wstring& base, const std::wstring& relative, DWORD access,
                      DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags) {
    const std::wstring path = makeLongPath(base, relative);
    HANDLE handle =
        ::CreateFileW(path.c_str(), access, share, security, disposition, flags, nullptr);
    // Taken before the previous handle is closed, which may overwrite the last error.
    const DWORD error = ::GetLastError();
    file_.reset(handle);
    if (!file_.valid())
        raiseRunTimeError(L"Unable to create file '%s'", error, displayPath(path).c_str());
}

void TextFile::openForReading(const std::wstring& path) {
    create(std::wstring(), path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
}

bool TextFile::readLine(std::string& out) {
    HANDLE handle = file_.get();
    OVERLAPPED range = {};
    // Writers of the same file in other processes take this lock too; a line is never read half
    // written.
    if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, kWholeFileLow, kWholeFileHigh, &range))
        raiseRunTimeError(L"Unable to lock file  (%X%X)", ::GetLastError(), kWholeFileLow,
                          kWholeFileHigh);
    base::ScopeExit unlockOnFailure([handle]() {
        OVERLAPPED whole = {};
        ::UnlockFileEx(handle, 0, kWholeFileLow, kWholeFileHigh, &whole);
    });

    const size_t start = out.size();
    bool lineEnded = false;
    char chunk[kChunkSize];
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(handle, chunk, kChunkSize, &read, nullptr)) {
            const DWORD error = ::GetLastError();
            // The writing end of a pipe has gone: what it delivered is still a read.
            if (error != ERROR_BROKEN_PIPE)
                raiseRunTimeError(L"Unable to read file", error);
        }
        if (read == 0)
            break;
        const char* lineFeed = static_cast<const char*>(std::memchr(chunk, '\n', read));
        if (lineFeed == nullptr) {
            out.append(chunk, read);
            continue;
        }
        const DWORD used = static_cast<DWORD>(lineFeed - chunk);
        out.append(chunk, used);
        // The CR of a CR LF pair may have been the last byte of the previous chunk.
        if (out.size() > start && out.back() == '\r')
            out.pop_back();

        const DWORD unread = read - used - 1;
        if (unread != 0) {
            LONG high = -1;
            ::SetLastError(NO_ERROR);
            if (::SetFilePointer(handle, -static_cast<LONG>(unread), &high, FILE_CURRENT) ==
                    INVALID_SET_FILE_POINTER &&
                ::GetLastError() != NO_ERROR)
                raiseRunTimeError(L"Unable to change file pointer", ::GetLastError());
        }
        lineEnded = true;
        break;
    }

    unlockOnFailure.dismiss();
    OVERLAPPED whole = {};
    if (!::UnlockFileEx(handle, 0, kWholeFileLow, kWholeFileHigh, &whole))
        raiseRunTimeError(L"Unable to unlock file  (%X%X)", ::GetLastError(), kWholeFileLow,
                          kWholeFileHigh);
    return lineEnded;
}

base::ScopedFindHandle readDirectory(const std::wstring& base, const std::wstring& relative,
                                     WIN32_FIND_DATAW& record, bool raise) {
    // Searches are made on the short form; a pattern too long for it keeps the long form, the
    // only one that reaches it.
    const std::wstring longPattern = makeLongPath(base, relative);
    const std::wstring shortPattern = displayPath(longPattern);
    const std::wstring& pattern = shortPattern.size() < MAX_PATH ? shortPattern : longPattern;
    base::ScopedFindHandle search(::FindFirstFileW(pattern.c_str(), &record));
    if (!search.valid() && raise) {
        const DWORD error = ::GetLastError();
        raiseRunTimeError(L"Unable to read directory (%s)", error, displayPath(base).c_str());
    }
    return search;
}
