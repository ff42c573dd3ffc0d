#include "base/text.h"

#include "base/exception.h"
#include "base/raising_site.h"
#include "base/win32.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>

namespace {

// The raising sites of this file and the lines they record (part of the Debug text).
constexpr RaisingSite kToNarrowSite = {"cstr", 15};
constexpr RaisingSite kToWideSite = {"wstr", 35};

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// msvcrt's counted formatter: %s is a wide string, and the result is negative when the output does
// not fit. mingw's own C99 formatter would read %s as narrow, so it is named explicitly.
int countedFormat(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
    return _vsnwprintf(buffer, capacity, format, args);
}

} // namespace

std::wstring vaformat(const wchar_t* format, va_list args) {
    constexpr size_t kLimit = 0xA00000;
    for (size_t capacity = 100; capacity < kLimit; capacity *= 2) {
        std::unique_ptr<wchar_t, FreeDeleter> buffer(
            static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t))));
        if (!buffer)
            raiseOutOfMemory();
        va_list attempt;
        va_copy(attempt, args);
        const int count = countedFormat(buffer.get(), capacity, format, attempt);
        va_end(attempt);
        // A count equal to the capacity means the terminator did not fit.
        if (count >= 0 && static_cast<size_t>(count) < capacity) {
            buffer.get()[count] = L'\0';
            return std::wstring(buffer.get()); // up to the first NUL, as %c of NUL would cut it
        }
    }
    return L"Error on try call vaformat";
}

std::wstring format(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    struct VaEnd {
        va_list& a;
        ~VaEnd() { va_end(a); }
    } end{args};
    return vaformat(fmt, args);
}

std::string cstr(const std::wstring& text, unsigned codePage) {
    if (text.empty())
        return std::string();
    const int length = static_cast<int>(text.size());
    const int needed =
        ::WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed == 0)
        throw vexception(L"Maps a wide-character (Unicode) string to a character stringz",
                         siteLocation(kToNarrowSite));
    std::string result;
    try {
        result.resize(static_cast<size_t>(needed));
    } catch (const std::bad_alloc&) {
        raiseOutOfMemory();
    }
    // The sizing call can succeed and this one still fail: a buffer of NULs is no text.
    if (::WideCharToMultiByte(codePage, 0, text.data(), length, &result[0], needed, nullptr,
                              nullptr) != needed)
        throw vexception(L"Maps a wide-character (Unicode) string to a character stringz",
                         siteLocation(kToNarrowSite));
    return result;
}

std::wstring wstr(const std::string& text, unsigned codePage) {
    if (text.empty())
        return std::wstring();
    const int length = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (needed == 0)
        throw vexception(L"Maps a character string to a wide-character (Unicode) string failed",
                         siteLocation(kToWideSite));
    std::wstring result;
    try {
        result.resize(static_cast<size_t>(needed));
    } catch (const std::bad_alloc&) {
        raiseOutOfMemory();
    }
    if (::MultiByteToWideChar(codePage, 0, text.data(), length, &result[0], needed) != needed)
        throw vexception(L"Maps a character string to a wide-character (Unicode) string failed",
                         siteLocation(kToWideSite));
    return result;
}

std::wstring toDecimal(int32_t value) {
    return format(L"%d", static_cast<int>(value));
}

std::wstring toHex(uint32_t value) {
    return format(L"0x%x", static_cast<unsigned>(value));
}
