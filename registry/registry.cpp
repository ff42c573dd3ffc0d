#include "base/win32.h"

#include "registry/registry.h"

#include "base/exception.h"
#include "base/raising_site.h"
#include "os/path.h"

#include <cwchar>
#include <vector>

namespace registry {

const wchar_t* const kConfigKey = L"SOFTWARE\\Varno\\ZRA Config\\Config";

namespace {

// The raising sites of this file, with the lines the rest of the system knows them by.
constexpr RaisingSite kOpenSite = {"registry::open", 60};
constexpr RaisingSite kCreateSite = {"registry::create", 53};
constexpr RaisingSite kGetstrSite = {"registry::getstr", 680};
constexpr RaisingSite kSetStringSite = {"registry::set", 197};
constexpr RaisingSite kSetDwordSite = {"registry::set", 190};
constexpr RaisingSite kDwordTypeSite = {"registry::lookup", 355};
constexpr RaisingSite kDwordSizeSite = {"registry::lookup", 357};
constexpr RaisingSite kStringTypeSite = {"registry::lookup", 479};
constexpr RaisingSite kKeyDwordTypeSite = {"registry::lookup", 288};
constexpr RaisingSite kKeyDwordSizeSite = {"registry::lookup", 290};
constexpr RaisingSite kKeyStringTypeSite = {"registry::lookup", 578};

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);

// Older systems lack IsWow64Process, so it is found by name; its absence means a 32-bit system.
const IsWow64ProcessFn g_isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
    reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32"), "IsWow64Process")));

bool runsUnderWow64() {
    if (g_isWow64Process == nullptr)
        return false;
    BOOL wow64 = FALSE;
    if (!g_isWow64Process(::GetCurrentProcess(), &wow64))
        return false;
    return wow64 != FALSE;
}

bool isStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

// Outcome of a value query on an open key: the OS code, or a type the caller did not ask for.
struct StringQuery {
    LONG code = ERROR_SUCCESS;
    bool wrongType = false;
};

// Reads a string value of an open key. Data stored without its terminating NUL (other writers do
// that) keeps every character: the buffer always has room for one code unit past the data, and
// the text is cut after the data or at its first NUL, whichever comes first.
StringQuery queryString(HKEY key, const std::wstring& valueName, std::wstring& out,
                        DWORD expectedType) {
    StringQuery result;
    DWORD maxData = 0;
    result.code = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, &maxData, nullptr, nullptr);
    if (result.code != ERROR_SUCCESS)
        return result;

    // Whole code units covering maxData bytes (an odd count included), plus one for the NUL.
    std::vector<wchar_t> buffer(maxData / 2 + 2, L'\0');
    DWORD type = REG_NONE;
    DWORD size = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    result.code = ::RegQueryValueExW(key, valueName.c_str(), nullptr, &type,
                                     reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (result.code != ERROR_SUCCESS)
        return result;

    if (type != expectedType && !(isStringType(type) && isStringType(expectedType))) {
        result.wrongType = true;
        return result;
    }

    // The buffer was zero-filled, so an odd trailing byte forms a unit with a zero high byte.
    const size_t units = (static_cast<size_t>(size) + 1) / 2;
    const wchar_t* text = buffer.data();
    const size_t length = ::wcsnlen(text, units);
    std::wstring value(text, length);
    if (type == REG_EXPAND_SZ)
        value = VFileName::expandEnvironmentStrings(value);
    out.swap(value);
    return result;
}

enum class DwordResult { Ok, WrongType, WrongSize };

// The query hands back the OS code; the classification says what to do with a successful one.
LONG queryDword(HKEY key, const std::wstring& valueName, DWORD& out, DwordResult& result) {
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    // A buffer of exactly four bytes: anything longer comes back as ERROR_MORE_DATA, whatever
    // its type, and the caller keeps its default.
    const LONG code = ::RegQueryValueExW(key, valueName.c_str(), nullptr, &type,
                                         reinterpret_cast<BYTE*>(&value), &size);
    result = DwordResult::Ok;
    if (code != ERROR_SUCCESS)
        return code;
    if (type != REG_DWORD)
        result = DwordResult::WrongType;
    else if (size != sizeof(DWORD))
        result = DwordResult::WrongSize;
    else
        out = value;
    return code;
}

[[noreturn]] void raiseValueError(const wchar_t* what, const std::wstring& name,
                                  const RaisingSite& site) {
    throw vexception(L"RegQueryValueEx invalid " + std::wstring(what) + L" of '" + name + L"'",
                     siteLocation(site));
}

} // namespace

REGSAM viewFlag(int view) {
    switch (view) {
    case View32:
        return KEY_WOW64_32KEY;
    case View64:
        return KEY_WOW64_64KEY;
    case ViewNative:
        return runsUnderWow64() ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    default:
        return 0;
    }
}

bool keyExists(HKEY root, const std::wstring& subKey, int view) {
    return keyOpenStatus(root, subKey, view) == ERROR_SUCCESS;
}

LONG keyOpenStatus(HKEY root, const std::wstring& subKey, int view) {
    base::ScopedRegKey key;
    return ::RegOpenKeyExW(root, subKey.c_str(), 0, READ_CONTROL | viewFlag(view), key.put());
}

LONG lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD& out,
            int view) {
    base::ScopedRegKey key;
    LONG code =
        ::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE | viewFlag(view), key.put());
    if (code != ERROR_SUCCESS)
        return code;
    DwordResult result;
    code = queryDword(key.get(), valueName, out, result);
    key.reset();
    if (result == DwordResult::WrongType)
        raiseValueError(L"type", subKey + L"\\" + valueName, kDwordTypeSite);
    if (result == DwordResult::WrongSize)
        raiseValueError(L"size", subKey + L"\\" + valueName, kDwordSizeSite);
    return code;
}

LONG lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, std::wstring& out,
            DWORD expectedType, int view) {
    base::ScopedRegKey key;
    const LONG code =
        ::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE | viewFlag(view), key.put());
    if (code != ERROR_SUCCESS)
        return code;
    const StringQuery query = queryString(key.get(), valueName, out, expectedType);
    key.reset();
    if (query.wrongType)
        raiseValueError(L"type", subKey + L"\\" + valueName, kStringTypeSite);
    return query.code;
}

std::wstring getstr(HKEY root, const std::wstring& subKey, const std::wstring& valueName,
                    int view) {
    std::wstring result;
    const LONG code = lookup(root, subKey, valueName, result, REG_SZ, view);
    if (code != ERROR_SUCCESS)
        raiseOsError(L"lookup subKey=" + subKey + L" value=" + valueName,
                     static_cast<uint32_t>(code), siteLocation(kGetstrSite));
    return result;
}

Key::Key(HKEY root, const std::wstring& subKey, REGSAM access, bool openOnly) {
    if (openOnly) {
        const LONG code = ::RegOpenKeyExW(root, subKey.c_str(), 0, access, key_.put());
        if (code != ERROR_SUCCESS)
            raiseOsError(L"RegOpenKeyEx subKey=" + subKey, static_cast<uint32_t>(code),
                         siteLocation(kOpenSite));
    } else {
        const LONG code =
            ::RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                              nullptr, key_.put(), nullptr);
        if (code != ERROR_SUCCESS)
            raiseOsError(L"RegCreateKeyEx subKey=" + subKey, static_cast<uint32_t>(code),
                         siteLocation(kCreateSite));
    }
}

LONG Key::lookup(const std::wstring& valueName, DWORD& out) {
    DwordResult result;
    const LONG code = queryDword(key_.get(), valueName, out, result);
    if (result == DwordResult::WrongType)
        raiseValueError(L"type", valueName, kKeyDwordTypeSite);
    if (result == DwordResult::WrongSize)
        raiseValueError(L"size", valueName, kKeyDwordSizeSite);
    return code;
}

LONG Key::lookup(const std::wstring& valueName, std::wstring& out) {
    const StringQuery query = queryString(key_.get(), valueName, out, REG_SZ);
    if (query.wrongType)
        raiseValueError(L"type", valueName, kKeyStringTypeSite);
    return query.code;
}

void Key::set(const std::wstring& valueName, const wchar_t* text) {
    // A null text is stored as the empty string rather than read through.
    if (text == nullptr)
        text = L"";
    // The terminating NUL is stored too: readers using RegQueryValueEx directly rely on it.
    const DWORD bytes = static_cast<DWORD>((::wcslen(text) + 1) * sizeof(wchar_t));
    const LONG code = ::RegSetValueExW(key_.get(), valueName.c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(text), bytes);
    if (code != ERROR_SUCCESS)
        raiseOsError(L"RegSetValueEx valueName=" + valueName, static_cast<uint32_t>(code),
                     siteLocation(kSetStringSite));
}

void Key::set(const std::wstring& valueName, DWORD value) {
    const LONG code = ::RegSetValueExW(key_.get(), valueName.c_str(), 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&value), sizeof(value));
    if (code != ERROR_SUCCESS)
        raiseOsError(L"RegSetValueEx valueName=" + valueName, static_cast<uint32_t>(code),
                     siteLocation(kSetDwordSite));
}

} // namespace registry
