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

// Sets the panel's Debug switch for one test and puts back what was there.
class DebugSwitch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, 0,
                                    KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr,
                                    key_.put(), nullptr));
        DWORD size = sizeof(saved_);
        hadValue_ = ::RegQueryValueExW(key_.get(), L"Debug", nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(&saved_), &size) == ERROR_SUCCESS;
        resetDebugSwitchCache();
    }
    void TearDown() override {
        if (hadValue_)
            set(saved_);
        else
            ::RegDeleteValueW(key_.get(), L"Debug");
        resetDebugSwitchCache();
    }
    void set(DWORD value) {
        ::RegSetValueExW(key_.get(), L"Debug", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value),
                         sizeof(value));
    }
    base::ScopedRegKey key_;
    DWORD saved_ = 0;
    bool hadValue_ = false;
};

TEST_F(DebugSwitch, IsReadOnTheFirstAndEverySixteenthCall) {
    set(1);
    EXPECT_TRUE(isDebugEnabled()); // call 1 reads
    set(0);
    for (int call = 2; call <= 16; ++call)
        EXPECT_TRUE(isDebugEnabled()) << call;
    EXPECT_FALSE(isDebugEnabled()); // call 17 reads again
    set(1);
    for (int call = 18; call <= 32; ++call)
        EXPECT_FALSE(isDebugEnabled()) << call;
    EXPECT_TRUE(isDebugEnabled()); // call 33
}

TEST_F(DebugSwitch, TextIsFullTextOnlyWhileDebugIsOn) {
    vexception e(L"Incorrect launching options.", SourceLocation(L"", "wmain", 66));
    set(0);
    EXPECT_EQ(L"Incorrect launching options.", e.text());
    resetDebugSwitchCache();
    set(1);
    EXPECT_EQ(e.fullText(), e.text());
}

TEST_F(DebugSwitch, AMissingValueKeepsTheCachedSwitch) {
    set(1);
    EXPECT_TRUE(isDebugEnabled());
    ::RegDeleteValueW(key_.get(), L"Debug");
    for (int call = 2; call <= 17; ++call)
        EXPECT_TRUE(isDebugEnabled()) << call;
}

TEST_F(DebugSwitch, AValueOfTheWrongTypeReadsAsOffForThatCall) {
    set(1);
    EXPECT_TRUE(isDebugEnabled());
    for (int call = 2; call <= 16; ++call)
        isDebugEnabled();
    ::RegSetValueExW(key_.get(), L"Debug", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1"), 4);
    EXPECT_FALSE(isDebugEnabled()); // call 17 throws inside: off, cache kept
    EXPECT_TRUE(isDebugEnabled());
}

} // namespace
