#include "os/datetime.h"

#include "base/exception.h"
#include "base/raising_site.h"

namespace {

constexpr int64_t kTicksPerSecond = 10000000;

// The raising sites of this file. No two share a line, so a trail names the site it came from.
constexpr RaisingSite kFromFileTimeSite = {"VDateTime::VDateTime", 70};
constexpr RaisingSite kAddToFileTimeSite = {"VDateTime::operator +=", 77};
constexpr RaisingSite kAddOutOfRangeSite = {"VDateTime::operator +=", 82};
constexpr RaisingSite kAddFromFileTimeSite = {"VDateTime::operator +=", 87};

uint64_t ticksOf(const FILETIME& time) {
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    return ticks.QuadPart;
}

FILETIME fileTimeOf(uint64_t ticks) {
    ULARGE_INTEGER value;
    value.QuadPart = ticks;
    FILETIME time;
    time.dwLowDateTime = value.LowPart;
    time.dwHighDateTime = value.HighPart;
    return time;
}

// The system accepts tick counts up to 2^63 - 1; the sum is checked here because a signed
// overflow on the way would be undefined and could wrap into a plausible but wrong date.
bool addSeconds(uint64_t ticks, int64_t seconds, uint64_t& result) {
    int64_t delta = 0;
    int64_t sum = 0;
    if (__builtin_mul_overflow(seconds, kTicksPerSecond, &delta) ||
        __builtin_add_overflow(static_cast<int64_t>(ticks), delta, &sum) || sum < 0)
        return false;
    result = static_cast<uint64_t>(sum);
    return true;
}

int compareField(WORD a, WORD b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

} // namespace

VDateTime VDateTime::now() {
    SYSTEMTIME time;
    ::GetLocalTime(&time);
    return VDateTime(time);
}

VDateTime::VDateTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                     uint16_t second, uint16_t milliseconds) {
    time_.wYear = year;
    time_.wMonth = month;
    time_.wDayOfWeek = 0;
    time_.wDay = day;
    time_.wHour = hour;
    time_.wMinute = minute;
    time_.wSecond = second;
    time_.wMilliseconds = milliseconds;
}

VDateTime::VDateTime(const FILETIME& fileTime) {
    if (!::FileTimeToSystemTime(&fileTime, &time_))
        raiseOsError(L"FileTimeToSystemTime", ::GetLastError(), siteLocation(kFromFileTimeSite));
}

VDateTime& VDateTime::operator+=(int64_t seconds) {
    // Converting to a file time is also what validates the fields: month 13 or day 0 fail here.
    FILETIME fileTime;
    if (!::SystemTimeToFileTime(&time_, &fileTime))
        raiseOsError(L"SystemTimeToFileTime", ::GetLastError(), siteLocation(kAddToFileTimeSite));
    uint64_t ticks = 0;
    if (!addSeconds(ticksOf(fileTime), seconds, ticks)) {
        // Out of the range a file time can hold: the system's own answer for such a time.
        raiseOsError(L"FileTimeToSystemTime", ERROR_INVALID_PARAMETER,
                     siteLocation(kAddOutOfRangeSite));
    }
    fileTime = fileTimeOf(ticks);
    SYSTEMTIME result;
    if (!::FileTimeToSystemTime(&fileTime, &result))
        raiseOsError(L"FileTimeToSystemTime", ::GetLastError(), siteLocation(kAddFromFileTimeSite));
    time_ = result;
    return *this;
}

int VDateTime::compare(const VDateTime& other) const {
    const SYSTEMTIME& a = time_;
    const SYSTEMTIME& b = other.time_;
    const WORD SYSTEMTIME::*const order[] = {
        &SYSTEMTIME::wYear,   &SYSTEMTIME::wMonth,  &SYSTEMTIME::wDay,         &SYSTEMTIME::wHour,
        &SYSTEMTIME::wMinute, &SYSTEMTIME::wSecond, &SYSTEMTIME::wMilliseconds};
    for (const auto field : order) {
        if (const int result = compareField(a.*field, b.*field))
            return result;
    }
    return 0;
}
