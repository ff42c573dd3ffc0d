// A program that links the registry library but calls none of it still gets the panel's Debug
// switch: nothing here refers to registry code, so only the library's own start-up can install
// the reader.
#include "base/win32.h"

#include "base/exception.h"
#include "base/scoped_handle.h"

#include "tools/testing/registry.h"

#include <gtest/gtest.h>

namespace {

TEST(DebugSwitchFromTheRegistry, IsReadWithoutTheProgramAskingForIt) {
    using zra_testing::RegistryValue;
    struct Row {
        const char* what;
        RegistryValue value;
        bool expected;
    };
    const DWORD one = 0x31;
    const Row rows[] = {
        {"DWORD 1", RegistryValue::dword(1), true},
        {"DWORD 0", RegistryValue::dword(0), false},
        {"DWORD 2", RegistryValue::dword(2), true},
        // L"1" with its terminator: four bytes of the wrong type make the read fail.
        {"a string where a DWORD belongs", RegistryValue::raw(REG_SZ, &one, sizeof one), false},
        {"no value", RegistryValue::absent(), false},
    };
    {
        auto debug = zra_testing::panelValue(L"Debug", RegistryValue::absent());
        for (const Row& row : rows) {
            debug.set(row.value);
            resetDebugSwitchCache();
            EXPECT_EQ(row.expected, isDebugEnabled()) << row.what;
        }
    }
    resetDebugSwitchCache();
}

} // namespace
