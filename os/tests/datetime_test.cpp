#include "failure_text.h"
#include "os/datetime.h"

#include "base/exception.h"
#include "base/scoped_handle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>

namespace {

using os_test::expectOsError;

struct Fields {
    uint16_t year, month, day, hour, minute, second, milliseconds, dayOfWeek;
};

std::ostream& operator<<(std::ostream& os, const Fields& f) {
    return os << f.year << '-' << f.month << '-' << f.day << ' ' << f.hour << ':' << f.minute << ':'
              << f.second << '.' << f.milliseconds << " dow " << f.dayOfWeek;
}

VDateTime make(const Fields& f) {
    return VDateTime(f.year, f.month, f.day, f.hour, f.minute, f.second, f.milliseconds);
}

void expectFields(const Fields& expected, const VDateTime& actual, const std::string& what) {
    const Fields got = {actual.year(),         actual.month(),    actual.day(),
                        actual.hour(),         actual.minute(),   actual.second(),
                        actual.milliseconds(), actual.dayOfWeek()};
    EXPECT_EQ(expected.year, got.year) << what << " gave " << got;
    EXPECT_EQ(expected.month, got.month) << what << " gave " << got;
    EXPECT_EQ(expected.day, got.day) << what << " gave " << got;
    EXPECT_EQ(expected.hour, got.hour) << what << " gave " << got;
    EXPECT_EQ(expected.minute, got.minute) << what << " gave " << got;
    EXPECT_EQ(expected.second, got.second) << what << " gave " << got;
    EXPECT_EQ(expected.milliseconds, got.milliseconds) << what << " gave " << got;
    EXPECT_EQ(expected.dayOfWeek, got.dayOfWeek) << what << " gave " << got;
}

FILETIME fileTime(uint64_t ticks) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

void expectRaisedAt(const vosexception& e, const std::wstring& context, const char* function) {
    EXPECT_EQ(osErrorMessage(e.code(), &context), e.message());
    ASSERT_EQ(1u, e.locations().size());
    EXPECT_EQ(L"", e.locations()[0].message);
    EXPECT_EQ(function, e.locations()[0].function);
}

TEST(VDateTimeTest, FieldConstructorKeepsWhatItIsGiven) {
    // No validation and no day of week: month 0 and day 40 are stored as they are.
    expectFields({2014, 2, 28, 23, 59, 58, 999, 0}, VDateTime(2014, 2, 28, 23, 59, 58, 999), "");
    expectFields({2014, 0, 40, 0, 0, 0, 0, 0}, VDateTime(2014, 0, 40), "");
}

TEST(VDateTimeTest, AddingSecondsMovesAcrossDaysMonthsAndYears) {
    struct Case {
        Fields from;
        int64_t seconds;
        Fields to;
    };
    // Days of week: 2014-02-28 was a Friday (5), 2014-03-01 a Saturday (6), 2016-02-29 a Monday,
    // 2016-01-01 a Friday, 1601-01-01 a Monday.
    const Case cases[] = {
        {{2014, 2, 28, 0, 0, 0, 0, 0}, 86400, {2014, 3, 1, 0, 0, 0, 0, 6}},
        {{2014, 3, 1, 0, 0, 0, 0, 0}, -86400, {2014, 2, 28, 0, 0, 0, 0, 5}},
        {{2016, 2, 28, 12, 0, 0, 0, 0}, 86400, {2016, 2, 29, 12, 0, 0, 0, 1}},
        {{2015, 12, 31, 23, 59, 59, 500, 0}, 1, {2016, 1, 1, 0, 0, 0, 500, 5}},
        {{2014, 3, 1, 0, 0, 0, 0, 0}, 0, {2014, 3, 1, 0, 0, 0, 0, 6}},
        {{2014, 3, 1, 0, 0, 0, 0, 0}, -30LL * 86400, {2014, 1, 30, 0, 0, 0, 0, 4}},
        {{1601, 1, 1, 0, 0, 1, 0, 0}, -1, {1601, 1, 1, 0, 0, 0, 0, 1}},
        // Four centuries hold exactly 146,097 days, so the weekday repeats.
        {{2014, 3, 1, 0, 0, 0, 0, 0}, 146097LL * 86400, {2414, 3, 1, 0, 0, 0, 0, 6}},
    };
    for (const Case& c : cases) {
        VDateTime value = make(c.from);
        value += c.seconds;
        std::ostringstream what;
        what << c.from << " + " << c.seconds;
        expectFields(c.to, value, what.str());
    }
}

TEST(VDateTimeTest, AdditionCarriesFromTheLowIntoTheHighWord) {
    // A whole millisecond whose low word is 5 ms short of wrapping: one second later it has
    // wrapped. Without the carry the result would be 2^32 ticks (about seven minutes) early.
    const uint64_t wrap = static_cast<uint64_t>(0x01D0F001) << 32;
    const uint64_t start = wrap - wrap % 10000 - 50000;
    ASSERT_EQ(0x01D0F000u, static_cast<uint32_t>(start >> 32));
    VDateTime value{fileTime(start)};
    value += 1;
    const VDateTime expected{fileTime(start + 10000000ull)};
    EXPECT_EQ(0, value.compare(expected));
    EXPECT_EQ(expected.dayOfWeek(), value.dayOfWeek());
}

TEST(VDateTimeTest, InvalidFieldsFailOnTheFirstAdditionOnly) {
    const Fields invalid[] = {
        {2014, 0, 1, 0, 0, 0, 0, 0},  {2014, 13, 1, 0, 0, 0, 0, 0},   {2014, 2, 0, 0, 0, 0, 0, 0},
        {2014, 4, 31, 0, 0, 0, 0, 0}, {2014, 1, 1, 24, 0, 0, 0, 0},   {2014, 1, 1, 0, 60, 0, 0, 0},
        {2014, 1, 1, 0, 0, 60, 0, 0}, {2014, 1, 1, 0, 0, 0, 1000, 0},
    };
    for (const Fields& f : invalid) {
        VDateTime value = make(f); // construction accepts anything
        const vosexception e = expectOsError([&] { value += 0; });
        expectRaisedAt(e, L"SystemTimeToFileTime", "VDateTime::operator +=");
        EXPECT_NE(0u, e.code());
        // A failed addition leaves the value as it was.
        std::ostringstream what;
        what << f;
        expectFields(f, value, what.str());
    }
}

TEST(VDateTimeTest, ResultsOutsideTheFileTimeRangeFailOnTheWayBack) {
    struct Case {
        Fields from;
        int64_t seconds;
    };
    const Case cases[] = {
        {{1601, 1, 1, 0, 0, 0, 0, 0}, -1},
        {{2014, 3, 1, 0, 0, 0, 0, 0}, -20000000000LL},
        // Large enough that seconds times ticks per second would not fit in 64 bits.
        {{2014, 3, 1, 0, 0, 0, 0, 0}, std::numeric_limits<int64_t>::max()},
        {{2014, 3, 1, 0, 0, 0, 0, 0}, std::numeric_limits<int64_t>::min()},
        // Fits the multiplication, wraps past 2^63 in the sum.
        {{2014, 3, 1, 0, 0, 0, 0, 0}, 922337203685LL},
    };
    for (const Case& c : cases) {
        VDateTime value = make(c.from);
        const vosexception e = expectOsError([&] { value += c.seconds; });
        expectRaisedAt(e, L"FileTimeToSystemTime", "VDateTime::operator +=");
        expectFields(c.from, value, "unchanged");
    }
}

TEST(VDateTimeTest, ComparesFieldByFieldIgnoringTheDayOfWeek) {
    const VDateTime base(2014, 3, 1, 12, 30, 30, 500);
    SYSTEMTIME otherWeekday = base.systemTime();
    otherWeekday.wDayOfWeek = 4;
    EXPECT_EQ(0, base.compare(VDateTime(otherWeekday)));
    EXPECT_FALSE(base < VDateTime(otherWeekday));
    EXPECT_FALSE(VDateTime(otherWeekday) < base);

    // Each later value differs from base in one field only; an earlier field outweighs all later.
    const VDateTime later[] = {
        VDateTime(2015, 1, 1, 0, 0, 0, 0),      VDateTime(2014, 4, 1, 0, 0, 0, 0),
        VDateTime(2014, 3, 2, 0, 0, 0, 0),      VDateTime(2014, 3, 1, 13, 0, 0, 0),
        VDateTime(2014, 3, 1, 12, 31, 0, 0),    VDateTime(2014, 3, 1, 12, 30, 31, 0),
        VDateTime(2014, 3, 1, 12, 30, 30, 501),
    };
    for (size_t i = 0; i < sizeof(later) / sizeof(later[0]); ++i) {
        EXPECT_EQ(-1, base.compare(later[i])) << i;
        EXPECT_EQ(1, later[i].compare(base)) << i;
        EXPECT_TRUE(base < later[i]) << i;
        EXPECT_FALSE(later[i] < base) << i;
    }
    // Fields compare as unsigned numbers.
    EXPECT_EQ(1, VDateTime(40000, 1, 1).compare(VDateTime(30000, 1, 1)));
}

TEST(VDateTimeTest, FromFileTimes) {
    expectFields({1601, 1, 1, 0, 0, 0, 0, 1}, VDateTime(fileTime(0)), "epoch");
    // 2014-03-01 00:00:00 UTC, plus 1.2345 ms of which the sub-millisecond part is dropped.
    expectFields({2014, 3, 1, 0, 0, 0, 1, 6}, VDateTime(fileTime(130381056000000000ull + 12345)),
                 "2014-03-01");

    const vosexception e = expectOsError([] { VDateTime value(fileTime(0x8000000000000000ull)); });
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), e.code());
    expectRaisedAt(e, L"FileTimeToSystemTime", "VDateTime::VDateTime");
}

TEST(VDateTimeTest, LastWriteTimeOfARealFile) {
    wchar_t directory[MAX_PATH];
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, directory));
    wchar_t path[MAX_PATH];
    ASSERT_NE(0u, ::GetTempFileNameW(directory, L"zdt", 0, path));

    SYSTEMTIME utc;
    ::GetSystemTime(&utc);
    VDateTime before(utc);
    before += -5; // file systems keep times at coarser steps than the clock
    {
        base::ScopedFileHandle file(::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.get(), "x", 1, &written, nullptr));
        ASSERT_TRUE(::FlushFileBuffers(file.get()));
    }
    ::GetSystemTime(&utc);
    VDateTime after(utc);
    after += 5;

    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(::GetFileAttributesExW(path, GetFileExInfoStandard, &data));
    ::DeleteFileW(path);
    const VDateTime written(data.ftLastWriteTime);
    EXPECT_TRUE(before < written);
    EXPECT_TRUE(written < after);
    EXPECT_GE(written.year(), 2014);
}

TEST(VDateTimeTest, NowIsLocalTime) {
    SYSTEMTIME local;
    ::GetLocalTime(&local);
    VDateTime before(local);
    before += -1;
    const VDateTime now = VDateTime::now();
    ::GetLocalTime(&local);
    VDateTime after(local);
    after += 1;
    EXPECT_TRUE(before < now);
    EXPECT_TRUE(now < after);
    // now() keeps the system's day of week; a copy made by adding nothing recomputes the same.
    VDateTime same = now;
    same += 0;
    EXPECT_EQ(same.dayOfWeek(), now.dayOfWeek());
}

} // namespace
