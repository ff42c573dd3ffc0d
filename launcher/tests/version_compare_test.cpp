#include "launcher/version_compare.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const wchar_t* first;
    const wchar_t* second;
    int expected;
};

void checkBothWays(const Case& c) {
    EXPECT_EQ(c.expected, compareVersions(c.first, c.second))
        << "\"" << std::string(c.first, c.first + wcslen(c.first)) << "\" vs \""
        << std::string(c.second, c.second + wcslen(c.second)) << "\"";
    // The order is antisymmetric for every input.
    EXPECT_EQ(-c.expected, compareVersions(c.second, c.first));
}

TEST(CompareVersions, ContractTable) {
    const Case cases[] = {
        {L"11.6.0", L"11.6.0", 0},
        {L"11.6.0", L"12", -1},
        {L"11.6.0", L"11.5.30", 1},
        {L"11.6.0", L"11.6", 1},
        {L"11.6", L"11.6.0", -1},
        {L"11.6.0", L"", 1},
        {L"11.6.0", L"11.6.0.1", -1},
        {L"11.06", L"11.6", 0},
        {L"11.6.0-beta", L"11.6.0", 0},
        {L"1..2", L"1.0.2", 0},
        {L"99999999999", L"2147483647", 0},
        {L" 11.6", L"11.6", 0},
        {L"-1", L"0", -1},
    };
    for (const Case& c : cases)
        checkBothWays(c);
}

TEST(CompareVersions, FieldsAreNumbersNotText) {
    const Case cases[] = {
        {L"11.10.0", L"11.9.9", 1}, // text order would say otherwise
        {L"2", L"10", -1},
        {L"11.6.0 build 7", L"11.6.0", 0}, // anything but a dot ends the string
        {L"11.6.0x.9", L"11.6.0", 0},
        {L"1.", L"1.0", 0}, // a dot with nothing after it is one more zero field
        {L"1.", L"1", 1},
        {L"abc", L"", 0}, // non-numeric reads as the single field 0
        {L"abc", L"0", 0},
        {L"abc", L"0.0", -1},
        {L"+11.6.0", L"11.6.0", 0},
        {L"-99999999999", L"-2147483648", 0}, // clamped at the bottom as well
        {L"11.-1", L"11.0", -1},
        {L"11.6.0", L"11.6.0.0.0", -1},
        {L"\t\n11.\t6", L"11.6", 0},
    };
    for (const Case& c : cases)
        checkBothWays(c);
}

TEST(CompareVersions, ThresholdDecidesLikeTheExaminationRoad) {
    // The threshold is the first operand: a positive result means the panel is older.
    EXPECT_GT(compareVersions(L"11.6.0", std::wstring(L"11.5.30")), 0);
    EXPECT_GT(compareVersions(L"11.6.0", std::wstring(L"11.6")), 0);
    EXPECT_GT(compareVersions(L"11.6.0", std::wstring()), 0);
    EXPECT_EQ(0, compareVersions(L"11.6.0", std::wstring(L"11.6.0")));
    EXPECT_LT(compareVersions(L"11.6.0", std::wstring(L"17.8.11")), 0);
}

TEST(CompareVersions, NullReadsAsEmpty) {
    EXPECT_EQ(0, compareVersions(nullptr, L""));
    EXPECT_EQ(-1, compareVersions(nullptr, L"0.1"));
    EXPECT_EQ(1, compareVersions(L"1", nullptr));
}

} // namespace
