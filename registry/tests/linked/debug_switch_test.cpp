// A program that links the registry library but calls none of it still gets the panel's Debug
// switch: nothing here refers to registry code, so only the library's own start-up can install
// the reader.
#include "base/win32.h"

#include "base/exception.h"

#include "tools/testing/registry.h"

#include <gtest/gtest.h>

#include <memory>

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

// Sets the panel's Debug switch for one test and puts back what was there.
class DebugSwitch : public ::testing::Test {
protected:
    void SetUp() override { resetDebugSwitchCache(); }
    void TearDown() override {
        debug_.reset();
        resetDebugSwitchCache();
    }
    void set(DWORD value) { set(zra_testing::RegistryValue::dword(value)); }
    void set(const zra_testing::RegistryValue& value) {
        if (debug_)
            debug_->set(value);
        else
            debug_ = std::make_unique<zra_testing::ScopedValue>(
                zra_testing::panelValue(L"Debug", value));
    }
    std::unique_ptr<zra_testing::ScopedValue> debug_;
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
    set(zra_testing::RegistryValue::absent());
    for (int call = 2; call <= 17; ++call)
        EXPECT_TRUE(isDebugEnabled()) << call;
}

TEST_F(DebugSwitch, AValueOfTheWrongTypeReadsAsOffForThatCall) {
    set(1);
    EXPECT_TRUE(isDebugEnabled());
    for (int call = 2; call <= 16; ++call)
        isDebugEnabled();
    set(zra_testing::RegistryValue::raw(REG_SZ, L"1", 4));
    EXPECT_FALSE(isDebugEnabled()); // call 17 throws inside: off, cache kept
    EXPECT_TRUE(isDebugEnabled());
}

} // namespace
