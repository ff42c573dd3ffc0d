// The library's calendar time: a broken-down value with the layout of SYSTEMTIME. Log files use it
// for line stamps and rotation dates, the crash-dump cleanup for the age of dumps. It carries no
// time zone: now() is local time, a value made from a file time is in that file time's zone.
#pragma once

#include "base/win32.h"

#include <cstdint>

class VDateTime {
public:
    // Local time.
    static VDateTime now();

    // No validation here: an impossible date fails on the first arithmetic. Day of week is 0.
    VDateTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour = 0, uint16_t minute = 0,
              uint16_t second = 0, uint16_t milliseconds = 0);
    // 100-ns ticks since 1601-01-01, low word first as in FILETIME.
    explicit VDateTime(const FILETIME& fileTime);
    explicit VDateTime(const SYSTEMTIME& time) : time_(time) {}

    // Adds a signed number of seconds; the day of week is recomputed.
    VDateTime& operator+=(int64_t seconds);

    // -1, 0 or 1; the day of week takes no part.
    int compare(const VDateTime& other) const;
    bool operator<(const VDateTime& other) const { return compare(other) < 0; }

    const SYSTEMTIME& systemTime() const { return time_; }
    uint16_t year() const { return time_.wYear; }
    uint16_t month() const { return time_.wMonth; }
    uint16_t dayOfWeek() const { return time_.wDayOfWeek; }
    uint16_t day() const { return time_.wDay; }
    uint16_t hour() const { return time_.wHour; }
    uint16_t minute() const { return time_.wMinute; }
    uint16_t second() const { return time_.wSecond; }
    uint16_t milliseconds() const { return time_.wMilliseconds; }

private:
    SYSTEMTIME time_{};
};
