#include "logging/log.h"

#include "base/text.h"
#include "logging/execute_context.h"
#include "logging/log_line.h"
#include "os/path.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

namespace varno::logging {

namespace {

// Routing flags exist for the six defined levels only; any other value would index the flags of
// another level or run past the table, so such records reach neither console nor event log.
bool routed(int level) {
    return level >= 0 && level < kRoutedLevels;
}

bool consoleEnabled(int level) {
    return routed(level) && routingTable()[kConsoleFlag + level] != 0;
}

bool eventLogEnabled(int level) {
    return routed(level) && routingTable()[kEventLogFlag + level] != 0;
}

void toDebugLog(int level, const std::wstring& text) noexcept {
    try {
        if (isDebugEnabled())
            writeDebugLog(recordText(level, text));
    } catch (...) {
        // A record the log files cannot take (no configuration, no directory...) is dropped.
    }
}

WORD eventType(int level) {
    switch (level) {
    case Info:
        return EVENTLOG_INFORMATION_TYPE;
    case Warning:
        return EVENTLOG_WARNING_TYPE;
    case Result:
        return EVENTLOG_SUCCESS;
    default:
        return EVENTLOG_ERROR_TYPE;
    }
}

std::wstring programPath() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : MAX_PATH);
}

// The manager lives on the heap so that a record logged after it was destroyed at exit (by a
// destructor that runs later) finds a fresh one instead of a dead object.
LogManager* g_manager = nullptr;
bool g_managerDestroyed = false;

void destroyManager() {
    LogManager* manager = g_manager;
    g_manager = nullptr;
    g_managerDestroyed = true;
    delete manager;
}

} // namespace

const char* levelName(int level) {
    switch (level) {
    case Info:
        return "Info";
    case Warning:
        return "Warning";
    case Result:
        return "Result";
    case Error:
        return "Error";
    case Unexpected:
        return "Unexpected";
    case Crash:
        return "Crash";
    default:
        return "Unknown level";
    }
}

LogManager::LogManager() {
    routingTable();
}

LogManager::~LogManager() = default;

void LogManager::addSink(std::unique_ptr<LogSink> sink) {
    if (sink)
        sinks_.push_back(std::move(sink));
}

HANDLE LogManager::getEventLog() noexcept {
    if (eventSource_)
        return eventSource_.get();
    try {
        if (sourceName_.empty())
            sourceName_ = VFileName::fileName(programPath());
    } catch (...) {
    }
    // No event source can be registered by this build: the event log is unavailable, which every
    // caller already handles as a failed report.
    return nullptr;
}

bool LogManager::report(int level, const std::wstring& text) noexcept {
    try {
        HANDLE source = getEventLog();
        if (!source)
            return false;
        const std::wstring path = programPath();
        const wchar_t* strings[2] = {text.c_str(), path.c_str()};
        if (::ReportEventW(source, eventType(level), 0, 1, nullptr, 2, 0, strings, nullptr))
            return true;
        // Register again with the next record.
        eventSource_.reset();
    } catch (...) {
    }
    return false;
}

void LogManager::logText(int level, const std::wstring& text) noexcept {
    toDebugLog(level, text);
    try {
        if (eventLogEnabled(level))
            report(level, text);
    } catch (...) {
    }
    try {
        if (consoleEnabled(level))
            writeConsole(text);
    } catch (...) {
    }
    for (const std::unique_ptr<LogSink>& sink : sinks_) {
        try {
            sink->write(level, text);
        } catch (...) {
        }
    }
}

void LogManager::logException(int level, const vexception& e) {
    const std::wstring fullText = e.fullText();
    toDebugLog(level, fullText);
    bool reportFailed = false;
    try {
        if (eventLogEnabled(level))
            reportFailed = !report(level, fullText);
    } catch (...) {
    }
    try {
        // Without the event log the console is the only place left for the locations.
        if (consoleEnabled(level))
            writeConsole(reportFailed || isDebugEnabled() ? fullText : e.message());
    } catch (...) {
    }
    for (const std::unique_ptr<LogSink>& sink : sinks_) {
        try {
            sink->write(level, e);
        } catch (...) {
        }
    }
}

LogManager& getLogManager() {
    if (!g_manager) {
        g_manager = new LogManager();
        // Exit handlers are already running once it was destroyed; a late one is left to the OS.
        if (!g_managerDestroyed)
            std::atexit(&destroyManager);
    }
    return *g_manager;
}

void logMessage(Level level, const wchar_t* format, ...) {
    if (!format)
        return;
    try {
        va_list args;
        va_start(args, format);
        std::wstring text;
        try {
            text = vaformat(format, args);
        } catch (...) {
            va_end(args);
            throw;
        }
        va_end(args);
        getLogManager().logText(level, text);
    } catch (...) {
    }
}

void logMessage(Level level, const std::wstring& text) {
    try {
        getLogManager().logText(level, text);
    } catch (...) {
    }
}

void logException(Level level, const vexception& e) {
    getLogManager().logException(level, e);
}

void writeConsole(const std::wstring& text) noexcept {
    try {
        uint8_t* routing = routingTable();
        const std::string bytes = cstr(text, CP_UTF8);
        // The C runtime opens standard output in text mode, which would turn every "\n" into
        // "\r\n"; records go out byte for byte and the mode is put back for other writers.
        std::fflush(stdout);
        const int fd = _fileno(stdout);
        const int previousMode = fd >= 0 ? _setmode(fd, _O_BINARY) : -1;
        if (routing[kConsoleUsed])
            std::printf("\n");
        std::printf("%s", bytes.c_str());
        // Children started by the program share this handle; the record must be out before they
        // write.
        std::fflush(stdout);
        if (previousMode != -1)
            _setmode(fd, previousMode);
        routing[kConsoleUsed] = 1;
    } catch (...) {
    }
}

} // namespace varno::logging
