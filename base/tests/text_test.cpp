#include "base/text.h"

#include "base/exception.h"
#include "base/win32.h"

#include <gtest/gtest.h>

namespace {

TEST(Format, UsesTheWidePrintfConventions) {
    EXPECT_EQ(L"abc 42 -7 0007 0000BEEF ff x",
              format(L"%s %u %d %04d %08X %x %c", L"abc", 42u, -7, 7, 0xBEEFu, 255u, L'x'));
    EXPECT_EQ(L"(Error code 4294967295)", format(L" (Error code %lu)", 0xFFFFFFFFul).substr(1));
}

TEST(Format, ResultsAroundEachCapacityStepComeOutWhole) {
    // 99 characters fit the first buffer with their terminator; 100 need the second attempt.
    for (size_t length : {0u, 1u, 99u, 100u, 101u, 199u, 200u, 201u, 6553599u}) {
        const std::wstring text(length, L'q');
        EXPECT_EQ(text, format(L"%s", text.c_str())) << length;
    }
}

TEST(Format, OutputBeyondTheLimitGivesTheFixedText) {
    const std::wstring longer(6553600, L'z');
    EXPECT_EQ(L"Error on try call vaformat", format(L"%s", longer.c_str()));
    const std::wstring huge(7000000, L'z');
    EXPECT_EQ(L"Error on try call vaformat", format(L"a%sb", huge.c_str()));
}

TEST(Format, ANulCharacterEndsTheResult) {
    EXPECT_EQ(L"ab", format(L"ab%ccd", L'\0'));
}

TEST(Numbers, DecimalAndHex) {
    EXPECT_EQ(L"-5", toDecimal(-5));
    EXPECT_EQ(L"2147483647", toDecimal(2147483647));
    EXPECT_EQ(L"-2147483648", toDecimal(-2147483647 - 1));
    EXPECT_EQ(L"0x0", toHex(0));
    EXPECT_EQ(L"0xc00000fd", toHex(0xC00000FDu));
    EXPECT_EQ(L"0xffffffff", toHex(0xFFFFFFFFu));
}

TEST(CodePages, Utf8RoundTripKeepsEveryCharacterAndEmbeddedNuls) {
    const std::wstring text(L"Gr\u00fc\u00dfe \u041f\u0440\u0438\u0432\u0435\u0442 \U0001F600\0x",
                            17);
    const std::string utf8 = cstr(text, CP_UTF8);
    EXPECT_EQ(std::string("Gr\xC3\xBC\xC3\x9F"
                          "e \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 "
                          "\xF0\x9F\x98\x80\0x",
                          27),
              utf8);
    EXPECT_EQ(text, wstr(utf8, CP_UTF8));
}

TEST(CodePages, AnsiReplacesWhatItCannotHoldWithTheDefaultCharacter) {
    // Tests run with LANG=C, where the ANSI code page is 1252.
    ASSERT_EQ(1252u, ::GetACP());
    EXPECT_EQ("caf\xE9 ?", cstr(L"caf\u00e9 \u0416", 0));
    EXPECT_EQ(L"caf\u00e9", wstr("caf\xE9", 0));
}

TEST(CodePages, EmptyTextNeverReachesTheSystem) {
    EXPECT_EQ("", cstr(L"", 12345));
    EXPECT_EQ(L"", wstr("", 12345));
}

TEST(CodePages, AnInvalidCodePageRaisesWithTheFixedMessages) {
    try {
        cstr(L"x", 12345);
        FAIL() << "cstr accepted an invalid code page";
    } catch (const vexception& e) {
        EXPECT_EQ(L"Maps a wide-character (Unicode) string to a character stringz", e.message());
        ASSERT_EQ(1u, e.locations().size());
        EXPECT_EQ("cstr", e.locations()[0].function);
        EXPECT_EQ(15, e.locations()[0].line);
    }
    try {
        wstr("x", 12345);
        FAIL() << "wstr accepted an invalid code page";
    } catch (const vexception& e) {
        EXPECT_EQ(L"Maps a character string to a wide-character (Unicode) string failed",
                  e.message());
        ASSERT_EQ(1u, e.locations().size());
        EXPECT_EQ("wstr", e.locations()[0].function);
        EXPECT_EQ(35, e.locations()[0].line);
    }
}

} // namespace
