#include "logging/log_line.h"

#include "base/exception.h"
#include "base/text.h"
#include "logging/log.h"

namespace varno::logging {

std::wstring formatLogTime(const SYSTEMTIME& t) {
    return format(L"%04d/%02d/%02d %02d:%02d:%02d:%03d", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
}

const std::wstring& processIdText() {
    static const std::wstring text = toDecimal(static_cast<int32_t>(::GetCurrentProcessId()));
    return text;
}

std::wstring threadIdText() {
    return toDecimal(static_cast<int32_t>(::GetCurrentThreadId()));
}

std::wstring recordText(int level, const std::wstring& text) {
    return wstr(levelName(level), 0) + L": " + text;
}

std::array<std::wstring, 8> lineParts(const SYSTEMTIME& localTime, const std::wstring& processId,
                                      const std::wstring& threadId, const std::wstring& record) {
    return {formatLogTime(localTime), L" ", processId, L" ", threadId, L" ", record, L"\r\n"};
}

void writeDebugLog(const std::wstring& /*record*/) {
    // The rotated log file set is not part of this build yet. The record is undeliverable and the
    // caller drops it, exactly as when the log directory is missing.
    throw vexception(L"Log files are not available");
}

} // namespace varno::logging
