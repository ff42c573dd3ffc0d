// Registry state a test sets for its own length: keys it had to make are removed again with
// everything below them, and a value is put back exactly as it was (type and data, or no value).
// Tests write under unique temporary keys (TempKey); only values a built program reads from the
// panel's configuration key are set there, and those are restored the same way.
#pragma once

#include "base/win32.h"

#include <string>
#include <vector>

namespace zra_testing {

// Where the panel keeps its configuration: HKLM, 32-bit view.
inline constexpr wchar_t kPanelConfigKey[] = L"SOFTWARE\\Varno\\ZRA Config\\Config";

bool keyExists(HKEY root, const std::wstring& path, REGSAM view);

// Told when a scope ends and cannot put the registry back (a key left behind, a value not
// restored): a destructor cannot throw, and a silent leftover would leak into later tests. Test
// programs turn it into a failure of the running test; the default writes it to stderr.
using CleanupFailureHandler = void (*)(const std::wstring& what, LONG code);
CleanupFailureHandler setCleanupFailureHandler(CleanupFailureHandler handler);

// The data of one value, or no value at all.
struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool present = false;

    static RegistryValue dword(DWORD value);
    // A string with its terminating NUL, REG_SZ or REG_EXPAND_SZ.
    static RegistryValue text(const std::wstring& value, DWORD type = REG_SZ);
    static RegistryValue raw(DWORD type, const void* data, DWORD size);
    static RegistryValue absent() { return {}; }
};

// A key made (with any missing parents) for a scope. The levels that were missing are removed at
// the end, with whatever was put below them meanwhile; levels that were there stay.
class ScopedKey {
public:
    // create false: the key is left for the code under test to make, and removed if it does.
    ScopedKey(HKEY root, const std::wstring& path, REGSAM view, bool create = true);
    ~ScopedKey();
    ScopedKey(ScopedKey&& other) noexcept;
    ScopedKey& operator=(ScopedKey&&) = delete;
    ScopedKey(const ScopedKey&) = delete;

    // True when the key itself was there before.
    bool existed() const { return created_.empty(); }

private:
    HKEY root_;
    REGSAM view_;
    std::vector<std::wstring> created_; // shallowest first
};

// One value set (or removed, with RegistryValue::absent) for a scope, its key made if needed.
class ScopedValue {
public:
    ScopedValue(HKEY root, const std::wstring& path, const std::wstring& name,
                const RegistryValue& value, REGSAM view);
    ~ScopedValue();
    ScopedValue(ScopedValue&& other) noexcept;
    ScopedValue& operator=(ScopedValue&&) = delete;
    ScopedValue(const ScopedValue&) = delete;

    // Another value for the rest of the scope; what was there first still comes back.
    void set(const RegistryValue& value);

private:
    // Writes (or removes) the value in its key; the error of the call that failed, or 0.
    LONG write(const RegistryValue& value) const;

    ScopedKey key_;
    HKEY root_;
    std::wstring path_;
    std::wstring name_;
    REGSAM view_;
    RegistryValue previous_;
    bool owns_ = true;
};

// A value of the panel's configuration key for a scope, as the built programs read it.
ScopedValue panelValue(const std::wstring& name, const RegistryValue& value);

// Points the service client of a built program at the test's own pipe ("zrapipe").
inline ScopedValue panelPipeName(const std::wstring& pipeName) {
    return panelValue(L"zrapipe", RegistryValue::text(pipeName));
}

// A fresh key HKLM\SOFTWARE\ZraTest\<unique> (or under another root), removed with everything in
// it at the end, and its parent too once no other test holds a key there.
class TempKey {
public:
    explicit TempKey(REGSAM view = KEY_WOW64_32KEY, HKEY root = HKEY_LOCAL_MACHINE,
                     const wchar_t* prefix = L"key");
    ~TempKey();
    TempKey(const TempKey&) = delete;
    TempKey& operator=(const TempKey&) = delete;

    HKEY root() const { return root_; }
    const std::wstring& path() const { return path_; }
    HKEY handle() const { return key_; }
    void set(const wchar_t* name, const RegistryValue& value);
    void setDword(const wchar_t* name, DWORD value) { set(name, RegistryValue::dword(value)); }
    void setString(const wchar_t* name, const std::wstring& value) {
        set(name, RegistryValue::text(value));
    }
    void remove(const wchar_t* name);

private:
    HKEY root_;
    REGSAM view_;
    std::wstring path_;
    HKEY key_ = nullptr;
};

// Removes a key with everything below it in one view; true when it is gone.
bool removeKeyTree(HKEY root, const std::wstring& path, REGSAM view);

} // namespace zra_testing
