// The layout of one line in the log files, and the hand-over of records to the "debug" log file
// set that is written while the Debug switch is on.
#pragma once

#include "base/win32.h"

#include <array>
#include <string>

namespace varno::logging {

// An empty log file starts with this UTF-16LE byte-order mark.
constexpr unsigned char kByteOrderMark[2] = {0xFF, 0xFE};

// "2014/03/07 09:05:01:042" for the given local time.
std::wstring formatLogTime(const SYSTEMTIME& localTime);
// The process identifier in decimal, taken once per process.
const std::wstring& processIdText();
std::wstring threadIdText();
// The text of a record routed to a log file: level name, ": ", text. An Info record never spans
// lines: each CR and LF in its text is written as the two characters \r or \n.
std::wstring recordText(int level, const std::wstring& text);

// The parts of one line in the order they are written, each written separately: time, " ",
// process id, " ", thread id, " ", record text, "\r\n".
std::array<std::wstring, 8> lineParts(const SYSTEMTIME& localTime, const std::wstring& processId,
                                      const std::wstring& threadId, const std::wstring& record);

// Appends one record text to the "debug" log file set. Throws when it cannot be delivered.
void writeDebugLog(const std::wstring& record);
// The file sink: while the Debug switch is on, the record's level name, ": " and text go to the
// "debug" log file set. A record that cannot be delivered is dropped. Never throws.
void writeFileSink(int level, const std::wstring& text) noexcept;

} // namespace varno::logging
