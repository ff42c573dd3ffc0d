#include "logging/log.h"

#include "base/raising_site.h"
#include "base/text.h"
#include "logging/event_log.h"
#include "logging/execute_context.h"
#include "logging/log_line.h"
#include "os/directories.h"
#include "os/path.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

namespace varno::logging {

namespace {

// The raising site of this file and the line it records (part of the Debug text).
constexpr RaisingSite kEventSourceSite = {"LogManager::getEventLog", 484};

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

// Into a buffer of MAX_PATH characters, as the event log's readers have it; a failure gives an
// empty path.
std::wstring programPath() {
    return queryModulePathIn(MAX_PATH).path;
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

LogManager::LogManager() : LogManager(systemEventLogApi(), kEventLogName) {}

LogManager::LogManager(const EventLogApi& api, std::wstring logName)
    : api_(&api), logName_(std::move(logName)) {
    routingTable();
}

LogManager::~LogManager() {
    if (eventSource_)
        api_->deregister(eventSource_);
}

void LogManager::addSink(std::unique_ptr<LogSink> sink) {
    if (sink)
        sinks_.push_back(std::move(sink));
}

HANDLE LogManager::getEventLog() noexcept {
    if (eventSource_)
        return eventSource_;
    try {
        if (sourceName_.empty())
            sourceName_ = VFileName::fileName(programPath());
        HANDLE source = registerEventSource(logName_, sourceName_, *api_);
        if (!source) {
            const DWORD code = ::GetLastError();
            raiseOsError(L"RegisterEventSource", code, siteLocation(kEventSourceSite));
        }
        eventSource_ = source;
    } catch (...) {
        // No event log: every caller handles that as a failed report.
    }
    return eventSource_;
}

bool LogManager::report(int level, const std::wstring& text) noexcept {
    try {
        HANDLE source = getEventLog();
        if (!source)
            return false;
        const std::wstring path = programPath();
        const wchar_t* strings[2] = {text.c_str(), path.c_str()};
        if (api_->report(source, eventType(level), 0, 1, nullptr, 2, 0, strings, nullptr))
            return true;
        // The handle may have gone bad: the next record registers again.
        eventSource_ = nullptr;
        api_->deregister(source);
    } catch (...) {
    }
    return false;
}

void LogManager::logText(int level, const std::wstring& text) noexcept {
    writeFileSink(level, text);
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
    writeFileSink(level, fullText);
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

bool consoleRecordWritten() noexcept {
    try {
        return routingTable()[kConsoleUsed] != 0;
    } catch (...) {
        return false;
    }
}

void markConsoleUsed() noexcept {
    try {
        routingTable()[kConsoleUsed] = 1;
    } catch (...) {
    }
}

} // namespace varno::logging
