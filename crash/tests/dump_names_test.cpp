#include "crash/dump_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(DumpNames, BaseNameAndArchivesFollowTheShellsExtensionRule) {
    struct Case {
        const wchar_t* name;
        const wchar_t* base;
        bool archive;
    } cases[] = {
        {L"zra-launcher.exe", L"zra-launcher", false},
        {L"tool", L"tool", false},
        {L"a.b.exe", L"a.b", false},
        {L".exe", L"", false},
        {L"name. x", L"name. x", false}, // a dot followed by a space starts no extension
        {L"old.dmp", L"old", false},
        {L"old.zip", L"old", true},
        {L"OLD.ZiP", L"OLD", true},
        {L"old.dmp.zip", L"old.dmp", true},
        {L"old.zip.dmp", L"old.zip", false},
        {L"old.zipx", L"old", false},
        {L"zip", L"zip", false},
        {L".zip", L"", true},
        {L"", L"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "name #" << (&c - cases));
        EXPECT_EQ(c.base, crash::withoutExtension(c.name));
        EXPECT_EQ(c.archive, crash::isArchiveName(c.name));
    }
}

// The fixed buffers with guards on both sides, to see that nothing is written outside them.
struct Buffers {
    wchar_t before[4];
    wchar_t suffix[20];
    wchar_t between[4];
    wchar_t path[261];
    wchar_t after[4];
};

bool guardsIntact(const Buffers& b) {
    for (int i = 0; i < 4; ++i)
        if (b.before[i] != 0x7777 || b.between[i] != 0x7777 || b.after[i] != 0x7777)
            return false;
    return true;
}

TEST(DumpNames, PathIsComposedOnlyWhenItFitsItsBuffers) {
    const SYSTEMTIME march7 = {2014, 3, 5, 7, 9, 15, 0, 0};
    const SYSTEMTIME newYear = {2026, 12, 4, 31, 23, 59, 59, 999};
    const SYSTEMTIME year30827 = {30827, 12, 0, 31, 23, 59, 59, 999};
    const std::wstring dir = L"C:\\root\\etc\\crashdumps";
    // location + "\" + "tool" + 19 suffix characters: 236 characters of location make 260.
    const std::wstring fits(236, L'x');
    const std::wstring tooLong(237, L'x');
    struct Case {
        std::wstring location;
        SYSTEMTIME time;
        const wchar_t* expected; // null: refused
    } cases[] = {
        {dir, march7, L"C:\\root\\etc\\crashdumps\\tool20140307_091500.dmp"},
        {dir, newYear, L"C:\\root\\etc\\crashdumps\\tool20261231_235959.dmp"},
        {L"", march7, L"\\tool20140307_091500.dmp"},
        {fits, march7, nullptr},    // filled in below: exactly 260 characters
        {tooLong, march7, nullptr}, // 261 characters would leave no room for the terminator
        {std::wstring(300, L'y'), march7, nullptr},
        {dir, year30827, nullptr}, // a five-digit year does not fit the suffix buffer
    };
    const std::wstring exactly260 = fits + L"\\tool20140307_091500.dmp";
    ASSERT_EQ(260u, exactly260.size());
    cases[3].expected = exactly260.c_str();

    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "location of " << c.location.size()
                                        << " characters, year " << c.time.wYear);
        Buffers b;
        std::memset(&b, 0x77, sizeof b);
        const bool composed = crash::composeDumpPath(c.location, L"tool", c.time, b.suffix, b.path);
        EXPECT_TRUE(guardsIntact(b));
        if (c.expected) {
            ASSERT_TRUE(composed);
            EXPECT_EQ(std::wstring(c.expected), b.path);
            EXPECT_EQ(std::wstring(c.expected).substr(std::wcslen(c.expected) - 19), b.suffix);
        } else {
            EXPECT_FALSE(composed);
            EXPECT_EQ(L'\0', b.path[0]);
            EXPECT_EQ(L'\0', b.suffix[0]);
        }
    }
}

} // namespace
