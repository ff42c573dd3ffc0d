// Typed, view-aware access to the Windows registry.
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"

#include <string>

namespace registry {

// The panel's configuration key under HKEY_LOCAL_MACHINE, always read in the 32-bit view.
extern const wchar_t* const kConfigKey; // "SOFTWARE\Varno\ZRA Config\Config"

enum View : int { ViewDefault = 0, View32 = 1, View64 = 2, ViewNative = 3 };

// The access flag a view adds to a requested access mask.
REGSAM viewFlag(int view);

bool keyExists(HKEY root, const std::wstring& subKey, int view);
// What opening the key for READ_CONTROL gives: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND for a key that
// is not there, or the error that kept it from being opened.
LONG keyOpenStatus(HKEY root, const std::wstring& subKey, int view);

// Lookups return the OS error code (0 on success); a missing key or value is an ordinary result.
// They throw a vexception only when the value exists with the wrong type or size.
LONG lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD& out,
            int view);
LONG lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, std::wstring& out,
            DWORD expectedType, int view);

// Throws the OS-error exception on any failure.
std::wstring getstr(HKEY root, const std::wstring& subKey, const std::wstring& valueName, int view);

class Key {
public:
    Key(HKEY root, const std::wstring& subKey, REGSAM access, bool openOnly);
    Key(Key&&) = default;
    Key& operator=(Key&&) = default;

    LONG lookup(const std::wstring& valueName, DWORD& out);
    LONG lookup(const std::wstring& valueName, std::wstring& out);
    void set(const std::wstring& valueName, const wchar_t* text);
    void set(const std::wstring& valueName, DWORD value);
    void close() { key_.reset(); }
    HKEY handle() const { return key_.get(); }

private:
    base::ScopedRegKey key_;
};

} // namespace registry
