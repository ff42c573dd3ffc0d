// A program that links the registry library but calls none of it still gets the panel's Debug
// switch: nothing here refers to registry code, so only the library's own start-up can install
// the reader.
#include "base/win32.h"

#include "base/exception.h"
#include "base/scoped_handle.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kConfigKey[] = L"SOFTWARE\\Varno\\ZRA Config\\Config";

TEST(DebugSwitchFromTheRegistry, IsReadWithoutTheProgramAskingForIt) {
    base::ScopedRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, 0,
                                               KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY,
                                               nullptr, key.put(), nullptr));
    DWORD saved = 0;
    DWORD size = sizeof(saved);
    const bool hadValue =
        ::RegQueryValueExW(key.get(), L"Debug", nullptr, nullptr, reinterpret_cast<BYTE*>(&saved),
                           &size) == ERROR_SUCCESS;
    struct Row {
        const char* what;
        DWORD type;
        DWORD data;
        bool expected;
    };
    const Row rows[] = {
        {"DWORD 1", REG_DWORD, 1, true},
        {"DWORD 0", REG_DWORD, 0, false},
        {"DWORD 2", REG_DWORD, 2, true},
        // L"1" with its terminator: four bytes of the wrong type make the read fail.
        {"a string where a DWORD belongs", REG_SZ, 0x31, false},
    };
    for (const Row& row : rows) {
        ::RegSetValueExW(key.get(), L"Debug", 0, row.type, reinterpret_cast<const BYTE*>(&row.data),
                         sizeof(row.data));
        resetDebugSwitchCache();
        EXPECT_EQ(row.expected, isDebugEnabled()) << row.what;
    }
    ::RegDeleteValueW(key.get(), L"Debug");
    resetDebugSwitchCache();
    EXPECT_FALSE(isDebugEnabled()) << "no value";

    if (hadValue)
        ::RegSetValueExW(key.get(), L"Debug", 0, REG_DWORD, reinterpret_cast<BYTE*>(&saved),
                         sizeof(saved));
    resetDebugSwitchCache();
}

} // namespace
