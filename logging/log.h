// Log records and their routing. Every part of the program reports diagnostics here; the
// process-wide LogManager sends each record, by level, to the console (UTF-8 on standard output),
// to the event log, and while the Debug switch is on to the "debug" log files.
#pragma once

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/win32.h"

#include <memory>
#include <string>
#include <vector>

namespace varno::logging {

enum Level : int { Info = 0, Warning = 1, Result = 2, Error = 3, Unexpected = 4, Crash = 5 };

// "Info" ... "Crash"; "Unknown level" for any other value. ANSI text.
const char* levelName(int level);

// A receiver of records beside the built-in ones. The manager owns it.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(int level, const vexception& e) = 0;
    virtual void write(int level, const std::wstring& text) = 0;
};

struct EventLogApi;

class LogManager {
public:
    LogManager();
    // Reports into logName through api instead of the system's "Varno" log (tests).
    LogManager(const EventLogApi& api, std::wstring logName);
    // Deregisters the event source, if one is registered.
    ~LogManager();
    LogManager(const LogManager&) = delete;
    LogManager& operator=(const LogManager&) = delete;

    // Routes a text record. Never throws.
    void logText(int level, const std::wstring& text) noexcept;
    // Routes an exception record; only memory exhaustion while composing its text escapes.
    void logException(int level, const vexception& e);

    // The registered event source, or null when the event log is unavailable. Never throws.
    HANDLE getEventLog() noexcept;
    // Reports one record to the event log; false when it was not written, and then the source is
    // forgotten so that the next record registers again. Never throws.
    bool report(int level, const std::wstring& text) noexcept;

    // Empty until the event log is first needed, then the running program's file name.
    const std::wstring& sourceName() const { return sourceName_; }

    void addSink(std::unique_ptr<LogSink> sink);

private:
    const EventLogApi* api_;
    std::wstring logName_;
    HANDLE eventSource_ = nullptr;
    std::wstring sourceName_;
    std::vector<std::unique_ptr<LogSink>> sinks_;
};

// The process-wide manager, created on the first call. Construction also makes sure the shared
// routing table exists.
LogManager& getLogManager();

// Formats with vaformat (%s takes a wide string) and routes the record. Never throws.
void logMessage(Level level, const wchar_t* format, ...);
// Routes the text exactly as given; a '%' in it is not a format directive. Never throws.
void logMessage(Level level, const std::wstring& text);
// Routes an exception record: its fullText goes to the log file and the event log; the console
// shows the bare message unless the event log failed or the Debug switch is on.
void logException(Level level, const vexception& e);

// Writes one record to standard output as UTF-8, preceded by "\n" unless it is the first console
// record of the process. Nothing follows the record. Never throws.
void writeConsole(const std::wstring& text) noexcept;

// Whether a record (or other text marked below) has gone to standard output in this process, so
// that text written there beside the records knows to start a line of its own.
bool consoleRecordWritten() noexcept;
// Marks standard output as used by text written beside the records: the next record starts a line.
void markConsoleUsed() noexcept;

} // namespace varno::logging
