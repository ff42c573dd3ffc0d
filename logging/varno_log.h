// A named log written as UTF-16LE files in the panel's log directory, one file per rotation
// period: "varnolog_" + name + "YYYYMMDD.log". Processes and threads writing the same log are
// serialised by a named mutex that bears the log's name; enablement, rotation period and the
// number of older files kept come from the configuration key and are re-read at most once a minute.
#pragma once

#include "base/win32.h"
#include "os/datetime.h"
#include "os/file.h"
#include "os/sync.h"

#include <cstdint>
#include <list>
#include <string>

namespace varno::logging {

// Where a log takes local time (file dates, line stamps) and the tick count that spaces its
// configuration reads. Tests and benchmarks pin them; everything else uses the system's.
struct LogClock {
    VDateTime (*now)() = &VDateTime::now;
    DWORD(WINAPI* ticks)() = &::GetTickCount;
};

class VarnoLog {
public:
    // The directory is the product root's "admin\logs" ("PRODUCT_ROOT_D" must be configured); it is
    // not created. An empty name stands for the running program's file name.
    VarnoLog(const std::wstring& name, int32_t enabled);
    // The same log kept in another directory and read on another clock.
    VarnoLog(const std::wstring& name, int32_t enabled, const std::wstring& directory,
             const LogClock& clock);
    VarnoLog(const VarnoLog&) = delete;
    VarnoLog& operator=(const VarnoLog&) = delete;

    // Appends one line, rotating and pruning first when due. Throws when it cannot.
    void write(const std::wstring& line);

    // Deletes entries of list (oldest first, the current file last) from its beginning until at
    // most history() entries follow. A file that cannot be deleted is reported at Warning.
    void removeOld(const std::list<std::wstring>& list);

    // This log's own files in the directory, oldest first.
    std::list<std::wstring> logFiles() const;

    const std::wstring& name() const { return name_; }
    const std::wstring& directory() const { return directory_; }
    uint32_t rotation() const { return rotation_; }
    uint32_t history() const { return history_; }
    int32_t enabled() const { return enabled_; }
    // Empty while no file is open.
    std::wstring currentFile() const { return file_.isOpen() ? file_.name() : std::wstring(); }

private:
    void writeLocked(const std::wstring& line);
    void readConfiguration();
    void rotateOrOpen(const std::wstring& today, const VDateTime& now);
    void open(const std::wstring& path);
    std::wstring filePath(const std::wstring& date) const;
    void prune(std::list<std::wstring>& list, const std::wstring& current);

    uint32_t rotation_ = 1;
    uint32_t history_ = 3;
    int32_t enabled_;
    DWORD lastConfigTick_ = 0;
    bool configurationRead_ = false;
    std::wstring directory_;
    std::wstring name_;
    VFile file_;
    VMutex mutex_;
    LogClock clock_;
};

// The date "%04d%02d%02d" from which the log file at path gives way to a new one: the date in its
// name plus days, or today when that has passed.
std::wstring getRotationDate(const std::wstring& path, const std::wstring& name, uint32_t days);
std::wstring getRotationDate(const std::wstring& path, const std::wstring& name, uint32_t days,
                             const VDateTime& now);

// "20140307".
std::wstring dateText(const VDateTime& time);

// True for exactly "varnolog_" + name + eight digits + ".log" (letters in any case, as the file
// system compares them). Files of a log whose name merely starts with name are not its own.
bool isOwnLogFile(const std::wstring& fileName, const std::wstring& name);

// The running program's file name, with extension, without directory.
std::wstring moduleName();

namespace hooks {
// How a log appends one whole record to its open file; raises when not all of it went out. Tests
// put one here that stops short, as a full disk does. Null restores the real one; returns the
// previous one.
using RecordWriter = void (*)(VFile& file, const void* data, DWORD size);
RecordWriter setRecordWriter(RecordWriter writer);
} // namespace hooks

} // namespace varno::logging
