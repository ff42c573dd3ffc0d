// Registry changes made by a test and undone when it ends: keys are created in one view and only
// the keys that did not exist before are removed again; a value is put back as it was.
#pragma once

#include "base/win32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testreg {

inline bool keyPresent(HKEY root, const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

class ScopedKey {
public:
    ScopedKey(HKEY root, const std::wstring& path, REGSAM view) : root_(root), view_(view) {
        // Remember every missing level so that exactly those are removed afterwards.
        size_t at = 0;
        for (;;) {
            at = path.find(L'\\', at + 1);
            const std::wstring level = path.substr(0, at);
            if (!keyPresent(root, level, view))
                created_.push_back(level);
            if (at == std::wstring::npos)
                break;
        }
        HKEY key = nullptr;
        const LONG code = ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0,
                                            KEY_READ | KEY_WRITE | view, nullptr, &key, nullptr);
        EXPECT_EQ(ERROR_SUCCESS, code);
        if (key)
            ::RegCloseKey(key);
    }
    ~ScopedKey() {
        for (auto level = created_.rbegin(); level != created_.rend(); ++level)
            EXPECT_EQ(ERROR_SUCCESS, ::RegDeleteKeyExW(root_, level->c_str(), view_, 0));
    }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;

private:
    HKEY root_;
    REGSAM view_;
    std::vector<std::wstring> created_;
};

// Sets a value of any type, creating its key if needed; the old value (or its absence) comes back.
class ScopedValue {
public:
    ScopedValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type,
                const void* data, DWORD size, REGSAM view)
        : key_(root, path, view), root_(root), path_(path), name_(name), view_(view) {
        HKEY key = open();
        if (!key)
            return;
        DWORD oldSize = 0;
        if (::RegQueryValueExW(key, name.c_str(), nullptr, &oldType_, nullptr, &oldSize) ==
            ERROR_SUCCESS) {
            hadValue_ = true;
            oldData_.resize(oldSize);
            ::RegQueryValueExW(key, name.c_str(), nullptr, &oldType_, oldData_.data(), &oldSize);
        }
        EXPECT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key, name.c_str(), 0, type,
                                                  static_cast<const BYTE*>(data), size));
        ::RegCloseKey(key);
    }
    // A REG_SZ value (with its terminating NUL).
    ScopedValue(HKEY root, const std::wstring& path, const std::wstring& name,
                const std::wstring& text, REGSAM view)
        : ScopedValue(root, path, name, REG_SZ, text.c_str(),
                      static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), view) {}
    ~ScopedValue() {
        HKEY key = open();
        if (!key)
            return;
        if (hadValue_)
            ::RegSetValueExW(key, name_.c_str(), 0, oldType_, oldData_.data(),
                             static_cast<DWORD>(oldData_.size()));
        else
            ::RegDeleteValueW(key, name_.c_str());
        ::RegCloseKey(key);
    }
    ScopedValue(const ScopedValue&) = delete;
    ScopedValue& operator=(const ScopedValue&) = delete;

private:
    HKEY open() {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS,
                  ::RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ | KEY_WRITE | view_, &key));
        return key;
    }

    ScopedKey key_;
    HKEY root_;
    std::wstring path_;
    std::wstring name_;
    REGSAM view_;
    bool hadValue_ = false;
    DWORD oldType_ = 0;
    std::vector<BYTE> oldData_;
};

// Sets a DWORD value, creating its key if needed; the old value (or its absence) comes back.
class ScopedDwordValue : public ScopedValue {
public:
    ScopedDwordValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD value,
                     REGSAM view)
        : ScopedValue(root, path, name, REG_DWORD, &value, sizeof value, view) {}
};

} // namespace testreg
