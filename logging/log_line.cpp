#include "logging/log_line.h"

#include "base/exception.h"
#include "base/text.h"
#include "logging/log.h"
#include "logging/varno_log.h"

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
    const std::wstring head = wstr(levelName(level), 0) + L": ";
    if (level != Info || text.find_first_of(L"\r\n") == std::wstring::npos)
        return head + text;
    // Info records carry what others supplied (arguments, a service's message): a line break in
    // them would start what reads as a record of its own. They stay on their line.
    std::wstring flat = head;
    for (const wchar_t c : text) {
        if (c == L'\r')
            flat += L"\\r";
        else if (c == L'\n')
            flat += L"\\n";
        else
            flat += c;
    }
    return flat;
}

std::array<std::wstring, 8> lineParts(const SYSTEMTIME& localTime, const std::wstring& processId,
                                      const std::wstring& threadId, const std::wstring& record) {
    return {formatLogTime(localTime), L" ", processId, L" ", threadId, L" ", record, L"\r\n"};
}

void writeDebugLog(const std::wstring& record) {
    // Opened for one record and closed again: every record sees the current configuration, the
    // rotation decision and the cleanup, and no file stays open between records.
    VarnoLog log(L"debug", 1);
    log.write(record);
}

void writeFileSink(int level, const std::wstring& text) noexcept {
    try {
        if (isDebugEnabled())
            writeDebugLog(recordText(level, text));
    } catch (...) {
        // A record the log files cannot take (no configuration, no directory...) is dropped.
    }
}

} // namespace varno::logging
