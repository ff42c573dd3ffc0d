#include "os/directories.h"

#include <algorithm>
#include <vector>

namespace {

DirectoryQuery failed() {
    DirectoryQuery result;
    result.error = ::GetLastError();
    return result;
}

DirectoryQuery found(const wchar_t* text, size_t length) {
    DirectoryQuery result;
    result.succeeded = true;
    result.path.assign(text, length);
    return result;
}

// The calls that answer with the length they need (terminator included) when the buffer is too
// small, and with the length written (without it) when it was large enough.
template <typename Query> DirectoryQuery grownQuery(Query query) {
    std::vector<wchar_t> buffer(MAX_PATH + 1, L'\0');
    for (;;) {
        const DWORD length = query(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return failed();
        if (length < buffer.size())
            return found(buffer.data(), length);
        buffer.assign(length + 1, L'\0');
    }
}

} // namespace

DirectoryQuery queryCurrentDirectory() {
    return grownQuery(
        [](wchar_t* buffer, DWORD size) { return ::GetCurrentDirectoryW(size, buffer); });
}

DirectoryQuery queryModulePath(HMODULE module) {
    // A path that does not fit comes back cut to the buffer's size, not with the size it needs.
    std::vector<wchar_t> buffer(MAX_PATH + 1, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return failed();
        if (length < buffer.size())
            return found(buffer.data(), length);
        buffer.assign(buffer.size() * 2, L'\0');
    }
}

DirectoryQuery queryModulePathIn(DWORD capacity, HMODULE module) {
    std::vector<wchar_t> buffer(capacity + 1, L'\0');
    const DWORD length = ::GetModuleFileNameW(module, buffer.data(), capacity);
    if (length == 0)
        return failed();
    // Cut, the path is capacity characters (XP) or capacity - 1 and a NUL (later systems): a NUL
    // is never part of it.
    const DWORD kept = length < capacity ? length : capacity;
    return found(buffer.data(),
                 std::find(buffer.data(), buffer.data() + kept, L'\0') - buffer.data());
}

DirectoryQuery querySystemDirectory() {
    return grownQuery([](wchar_t* buffer, DWORD size) {
        return static_cast<DWORD>(::GetSystemDirectoryW(buffer, size));
    });
}

DirectoryQuery queryWindowsDirectory() {
    return grownQuery([](wchar_t* buffer, DWORD size) {
        return static_cast<DWORD>(::GetWindowsDirectoryW(buffer, size));
    });
}
