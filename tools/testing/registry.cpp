#include "tools/testing/registry.h"

#include "tools/testing/temp.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace zra_testing {

namespace {

std::string narrow(const std::wstring& what) {
    std::string text;
    for (wchar_t c : what)
        text += c < 128 ? static_cast<char>(c) : '?';
    return text;
}

void writeToStderr(const std::wstring& what, LONG code) {
    std::fprintf(stderr, "zra_testing: %s failed with error %ld\n", narrow(what).c_str(),
                 static_cast<long>(code));
}

CleanupFailureHandler g_cleanupFailure = &writeToStderr;

[[noreturn]] void fail(const std::wstring& what, LONG code) {
    throw std::runtime_error(narrow(what) + " failed with error " + std::to_string(code));
}

void cleanupFailed(const std::wstring& what, LONG code) {
    g_cleanupFailure(what, code);
}

HKEY openKey(HKEY root, const std::wstring& path, REGSAM access) {
    HKEY key = nullptr;
    return ::RegOpenKeyExW(root, path.c_str(), 0, access, &key) == ERROR_SUCCESS ? key : nullptr;
}

// Reads a value whole; absent when there is none.
RegistryValue readValue(HKEY key, const std::wstring& name) {
    RegistryValue value;
    for (;;) {
        DWORD size = static_cast<DWORD>(value.data.size());
        const LONG code =
            ::RegQueryValueExW(key, name.c_str(), nullptr, &value.type,
                               value.data.empty() ? nullptr : value.data.data(), &size);
        if (code == ERROR_MORE_DATA || (code == ERROR_SUCCESS && size > value.data.size())) {
            value.data.resize(size);
            continue;
        }
        if (code != ERROR_SUCCESS)
            return RegistryValue::absent();
        value.data.resize(size);
        value.present = true;
        return value;
    }
}

LONG writeValue(HKEY key, const std::wstring& name, const RegistryValue& value) {
    if (!value.present) {
        const LONG code = ::RegDeleteValueW(key, name.c_str());
        return code == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : code;
    }
    return ::RegSetValueExW(key, name.c_str(), 0, value.type,
                            value.data.empty() ? nullptr : value.data.data(),
                            static_cast<DWORD>(value.data.size()));
}

} // namespace

CleanupFailureHandler setCleanupFailureHandler(CleanupFailureHandler handler) {
    const CleanupFailureHandler previous = g_cleanupFailure;
    g_cleanupFailure = handler ? handler : &writeToStderr;
    return previous;
}

bool keyExists(HKEY root, const std::wstring& path, REGSAM view) {
    HKEY key = openKey(root, path, KEY_READ | view);
    if (!key)
        return false;
    ::RegCloseKey(key);
    return true;
}

bool removeKeyTree(HKEY root, const std::wstring& path, REGSAM view) {
    if (HKEY key = openKey(root, path, KEY_ALL_ACCESS | view)) {
        ::RegDeleteTreeW(key, nullptr);
        ::RegCloseKey(key);
    }
    const LONG code = ::RegDeleteKeyExW(root, path.c_str(), view, 0);
    return code == ERROR_SUCCESS || code == ERROR_FILE_NOT_FOUND;
}

RegistryValue RegistryValue::dword(DWORD value) {
    return raw(REG_DWORD, &value, sizeof value);
}

RegistryValue RegistryValue::text(const std::wstring& value, DWORD type) {
    return raw(type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

RegistryValue RegistryValue::raw(DWORD type, const void* data, DWORD size) {
    RegistryValue value;
    value.type = type;
    value.data.assign(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size);
    value.present = true;
    return value;
}

// ---------------------------------------------------------------------------------------------

ScopedKey::ScopedKey(HKEY root, const std::wstring& path, REGSAM view, bool create)
    : root_(root), view_(view) {
    for (size_t at = 0;;) {
        at = path.find(L'\\', at + 1);
        const std::wstring level = path.substr(0, at);
        if (!keyExists(root, level, view))
            created_.push_back(level);
        if (at == std::wstring::npos)
            break;
    }
    if (!create)
        return;
    HKEY key = nullptr;
    const LONG code = ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0,
                                        KEY_READ | KEY_WRITE | view, nullptr, &key, nullptr);
    if (code != ERROR_SUCCESS) {
        for (auto level = created_.rbegin(); level != created_.rend(); ++level)
            ::RegDeleteKeyExW(root_, level->c_str(), view_, 0);
        fail(L"RegCreateKeyExW " + path, code);
    }
    ::RegCloseKey(key);
}

ScopedKey::ScopedKey(ScopedKey&& other) noexcept
    : root_(other.root_), view_(other.view_), created_(std::move(other.created_)) {
    other.created_.clear();
}

ScopedKey::~ScopedKey() {
    // Level by level first: that needs no more than DELETE on each, which a test that closed a key
    // to everyone else still has. Whatever was put below the levels meanwhile goes with the tree.
    for (auto level = created_.rbegin(); level != created_.rend(); ++level)
        ::RegDeleteKeyExW(root_, level->c_str(), view_, 0);
    if (!created_.empty() && keyExists(root_, created_.front(), view_) &&
        (!removeKeyTree(root_, created_.front(), view_) ||
         keyExists(root_, created_.front(), view_)))
        cleanupFailed(L"removing the key " + created_.front(), ERROR_ACCESS_DENIED);
}

// ---------------------------------------------------------------------------------------------

ScopedValue::ScopedValue(HKEY root, const std::wstring& path, const std::wstring& name,
                         const RegistryValue& value, REGSAM view)
    : key_(root, path, view), root_(root), path_(path), name_(name), view_(view) {
    HKEY key = openKey(root, path, KEY_READ | KEY_WRITE | view);
    if (!key)
        fail(L"RegOpenKeyExW " + path, ERROR_FILE_NOT_FOUND);
    previous_ = readValue(key, name);
    const LONG code = writeValue(key, name, value);
    ::RegCloseKey(key);
    if (code != ERROR_SUCCESS)
        fail(L"setting " + path + L"\\" + name, code);
}

LONG ScopedValue::write(const RegistryValue& value) const {
    HKEY key = openKey(root_, path_, KEY_READ | KEY_WRITE | view_);
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    const LONG code = writeValue(key, name_, value);
    ::RegCloseKey(key);
    return code;
}

void ScopedValue::set(const RegistryValue& value) {
    if (const LONG code = write(value))
        fail(L"setting " + path_ + L"\\" + name_, code);
}

ScopedValue::ScopedValue(ScopedValue&& other) noexcept
    : key_(std::move(other.key_)), root_(other.root_), path_(std::move(other.path_)),
      name_(std::move(other.name_)), view_(other.view_), previous_(std::move(other.previous_)),
      owns_(other.owns_) {
    other.owns_ = false;
}

ScopedValue::~ScopedValue() {
    if (!owns_)
        return;
    // A key made here goes with the value; one that was there gets the value back.
    if (!key_.existed())
        return;
    if (const LONG code = write(previous_))
        cleanupFailed(L"restoring " + path_ + L"\\" + name_, code);
}

ScopedValue panelValue(const std::wstring& name, const RegistryValue& value) {
    return ScopedValue(HKEY_LOCAL_MACHINE, kPanelConfigKey, name, value, KEY_WOW64_32KEY);
}

// ---------------------------------------------------------------------------------------------

namespace {
const wchar_t kTempParent[] = L"SOFTWARE\\ZraTest";
}

TempKey::TempKey(REGSAM view, HKEY root, const wchar_t* prefix)
    : root_(root), view_(view), path_(std::wstring(kTempParent) + L"\\" + uniqueName(prefix)) {
    const LONG code = ::RegCreateKeyExW(root, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                                        nullptr, &key_, nullptr);
    if (code != ERROR_SUCCESS)
        fail(L"RegCreateKeyExW " + path_, code);
}

TempKey::~TempKey() {
    ::RegCloseKey(key_);
    if (!removeKeyTree(root_, path_, view_))
        cleanupFailed(L"removing the key " + path_, ERROR_ACCESS_DENIED);
    // Fails while other tests still hold keys there, which is what is wanted.
    ::RegDeleteKeyExW(root_, kTempParent, view_, 0);
}

void TempKey::set(const wchar_t* name, const RegistryValue& value) {
    const LONG code = writeValue(key_, name, value);
    if (code != ERROR_SUCCESS)
        fail(L"setting " + path_ + L"\\" + name, code);
}

void TempKey::remove(const wchar_t* name) {
    ::RegDeleteValueW(key_, name);
}

} // namespace zra_testing
