#include "logging/varno_log.h"

#include "base/exception.h"
#include "base/text.h"
#include "base/raising_site.h"
#include "base/se_translator.h"
#include "logging/log.h"
#include "logging/log_line.h"
#include "os/directories.h"
#include "os/path.h"
#include "registry/registry.h"

#include <cwchar>
#include <cwctype>

namespace varno::logging {

namespace {

// The raising sites of this file and the lines they record: part of the text users see under the
// Debug switch, so they stay fixed however the file is edited. The lock failure has no given line
// and has one of its own.
constexpr RaisingSite kModuleNameSite = {"moduleName", 182};
constexpr RaisingSite kRotationDateSite = {"varno::logging::getRotationDate", 59};
constexpr RaisingSite kWriteLockSite = {"varno::logging::VarnoLog::write", 213};
constexpr RaisingSite kRemoveOldBoundary = {"varno::logging::VarnoLog::removeOld", 127};

const wchar_t kFilePrefix[] = L"varnolog_";
const wchar_t kFileExtension[] = L".log";
const wchar_t kLogSubdirectory[] = L"admin\\logs";
constexpr DWORD kConfigurationInterval = 60001;
constexpr size_t kDateLength = 8;

// Set while this thread reports a file that cleanup could not delete. The report reaches the log
// files again (the mutex is recursive for its owner), and a file that stays undeletable would make
// that write fail the same way and report again without end; such writes do not prune.
thread_local int g_reportingCleanupFailure = 0;

struct CleanupReport {
    CleanupReport() { ++g_reportingCleanupFailure; }
    ~CleanupReport() { --g_reportingCleanupFailure; }
    CleanupReport(const CleanupReport&) = delete;
    CleanupReport& operator=(const CleanupReport&) = delete;
};

std::wstring logDirectory() {
    const std::wstring root = registry::getstr(HKEY_LOCAL_MACHINE, registry::kConfigKey,
                                               L"PRODUCT_ROOT_D", registry::View32);
    return VFileName::combine(root, kLogSubdirectory);
}

std::wstring nameOrProgram(const std::wstring& name) {
    return name.empty() ? moduleName() : name;
}

bool sameFile(const std::wstring& a, const std::wstring& b) {
    return compareNoCase(VFileName::fileName(a), VFileName::fileName(b));
}

// The last date a file name's eight digits can hold: a rotation due later never comes.
const VDateTime kLatestRotation(9999, 12, 31);

bool isCalendarDate(const wchar_t* digits) {
    int year = 0;
    int month = 0;
    int day = 0;
    if (std::swscanf(digits, L"%04d%02d%02d", &year, &month, &day) != 3)
        return false;
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    FILETIME unused;
    return ::SystemTimeToFileTime(&time, &unused) != FALSE;
}

void writeWholeRecord(VFile& file, const void* data, DWORD size) {
    file.write(data, size, true);
}

hooks::RecordWriter g_recordWriter = &writeWholeRecord;

} // namespace

std::wstring moduleName() {
    // The buffer is the fixed 261 characters this name has always been read with.
    const DirectoryQuery program = queryModulePathIn(MAX_PATH + 1);
    if (!program.ok())
        raiseOsError(L"GetModuleFileName", program.error, siteLocation(kModuleNameSite));
    return VFileName::fileName(program.path);
}

std::wstring dateText(const VDateTime& time) {
    return format(L"%04d%02d%02d", time.year(), time.month(), time.day());
}

bool isOwnLogFile(const std::wstring& fileName, const std::wstring& name) {
    const std::wstring prefix = kFilePrefix + name;
    const size_t extension = sizeof kFileExtension / sizeof(wchar_t) - 1;
    if (fileName.size() != prefix.size() + kDateLength + extension)
        return false;
    if (!compareNoCase(fileName.substr(0, prefix.size()), prefix))
        return false;
    for (size_t i = prefix.size(); i < prefix.size() + kDateLength; ++i)
        if (fileName[i] < L'0' || fileName[i] > L'9')
            return false;
    if (!compareNoCase(fileName.substr(prefix.size() + kDateLength), kFileExtension))
        return false;
    // A stray file whose digits are no date (month 13) would be taken for the newest file, and
    // its rotation date could never be worked out: every record would be dropped.
    return isCalendarDate(fileName.c_str() + prefix.size());
}

std::wstring getRotationDate(const std::wstring& path, const std::wstring& name, uint32_t days) {
    return getRotationDate(path, name, days, VDateTime::now());
}

std::wstring getRotationDate(const std::wstring& path, const std::wstring& name, uint32_t days,
                             const VDateTime& now) {
    const std::wstring fileName = VFileName::fileName(path);
    const std::wstring prefix = kFilePrefix + name;
    if (fileName.size() < prefix.size())
        throw vexception(L"Failed to parse name", siteLocation(kRotationDateSite));
    int year = 0;
    int month = 0;
    int day = 0;
    std::swscanf(fileName.c_str() + prefix.size(), L"%04d%02d%02d", &year, &month, &day);
    VDateTime rotation(static_cast<uint16_t>(year), static_cast<uint16_t>(month),
                       static_cast<uint16_t>(day));
    rotation += 0; // an impossible date raises here
    // A period that reaches past the last date a file name can hold (0xFFFFFFFF days, say) means
    // that the file is never rotated; it must not make the date arithmetic fail at every record.
    try {
        rotation += static_cast<int64_t>(days) * 86400;
    } catch (const vexception&) {
        rotation = kLatestRotation;
    }
    if (kLatestRotation < rotation)
        rotation = kLatestRotation;
    if (rotation < now)
        rotation = now;
    return dateText(rotation);
}

VarnoLog::VarnoLog(const std::wstring& name, int32_t enabled)
    : enabled_(enabled), directory_(logDirectory()), name_(nameOrProgram(name)),
      mutex_(false, name_.c_str()) {}

VarnoLog::VarnoLog(const std::wstring& name, int32_t enabled, const std::wstring& directory,
                   const LogClock& clock)
    : enabled_(enabled), directory_(directory), name_(nameOrProgram(name)),
      mutex_(false, name_.c_str()), clock_(clock) {}

void VarnoLog::write(const std::wstring& line) {
    if (!mutex_.lock(INFINITE))
        raiseOsError(L"Lock log " + name_, WAIT_TIMEOUT, siteLocation(kWriteLockSite));
    try {
        writeLocked(line);
    } catch (...) {
        try {
            mutex_.unlock();
        } catch (...) {
        }
        throw;
    }
    mutex_.unlock();
}

void VarnoLog::writeLocked(const std::wstring& line) {
    // The first write of a log object always reads the configuration: the tick count alone would
    // skip it during the first minute after boot, when the count is still near zero.
    const DWORD tick = clock_.ticks();
    const DWORD elapsed = tick >= lastConfigTick_ ? tick - lastConfigTick_ : lastConfigTick_ - tick;
    if (!configurationRead_ || elapsed >= kConfigurationInterval) {
        readConfiguration();
        lastConfigTick_ = tick;
        configurationRead_ = true;
    }
    if (enabled_ == 0) {
        file_.close();
        return;
    }

    // One clock reading for the file's date and the line's stamp, so a line is never stamped with
    // a day other than its file's.
    const VDateTime now = clock_.now();
    rotateOrOpen(dateText(now), now);

    LONG high = 0;
    const DWORD low = file_.seek(0, &high, FILE_END);
    // The whole record goes out in one call: a record can then never be torn or half written,
    // whatever the other writers do, and it costs one system call instead of eight.
    std::wstring record;
    if (low == 0 && high == 0)
        record += static_cast<wchar_t>(0xFEFF); // FF FE in little-endian order
    record += formatLogTime(now.systemTime());
    record += L' ';
    record += processIdText();
    record += L' ';
    record += threadIdText();
    record += L' ';
    record += line;
    record += L"\r\n";
    try {
        g_recordWriter(file_, record.data(), static_cast<DWORD>(record.size() * sizeof(wchar_t)));
    } catch (...) {
        // A write cut short (a full disk) would leave a torn record without its line end, and the
        // next record would run into it: the file goes back to where this record began.
        try {
            LONG cutHigh = high;
            file_.seek(static_cast<LONG>(low), &cutHigh, FILE_BEGIN);
            ::SetEndOfFile(file_.handle());
        } catch (...) {
        }
        throw;
    }
}

void VarnoLog::readConfiguration() {
    DWORD value = 0;
    const std::wstring prefix = L"log_" + name_;
    if (registry::lookup(HKEY_LOCAL_MACHINE, registry::kConfigKey, prefix + L"_enabled", value,
                         registry::View32) == ERROR_SUCCESS)
        enabled_ = static_cast<int32_t>(value);
    if (registry::lookup(HKEY_LOCAL_MACHINE, registry::kConfigKey, prefix + L"_history", value,
                         registry::View32) == ERROR_SUCCESS)
        history_ = value;
    if (registry::lookup(HKEY_LOCAL_MACHINE, registry::kConfigKey, prefix + L"_rotation", value,
                         registry::View32) == ERROR_SUCCESS)
        rotation_ = value;
}

void VarnoLog::rotateOrOpen(const std::wstring& today, const VDateTime& now) {
    if (file_.isOpen()) {
        const std::wstring rotationDate = getRotationDate(file_.name(), name_, rotation_, now);
        if (today >= rotationDate) {
            std::list<std::wstring> list = logFiles();
            file_.close();
            const std::wstring path = filePath(rotationDate);
            open(path);
            prune(list, path);
        }
    }
    if (file_.isOpen())
        return;

    std::list<std::wstring> list = logFiles();
    if (list.empty()) {
        open(filePath(today));
        return;
    }
    const std::wstring last = list.back();
    const std::wstring rotationDate = getRotationDate(last, name_, rotation_, now);
    if (today < rotationDate) {
        open(last);
        prune(list, last);
    } else {
        const std::wstring path = filePath(rotationDate);
        open(path);
        prune(list, path);
    }
}

// The current file ends the list exactly once. It may be listed already (another process made
// it, or a rotation period of 0 reopens today's file); counted twice it would cost one older file
// too many, and with a history of 0 make cleanup try to delete the file being written.
void VarnoLog::prune(std::list<std::wstring>& list, const std::wstring& current) {
    if (list.empty() || !sameFile(list.back(), current))
        list.push_back(current);
    if (g_reportingCleanupFailure == 0)
        removeOld(list);
}

void VarnoLog::open(const std::wstring& path) {
    file_.open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS,
               FILE_ATTRIBUTE_NORMAL);
}

std::wstring VarnoLog::filePath(const std::wstring& date) const {
    return VFileName::combine(directory_, kFilePrefix + name_ + date + kFileExtension);
}

std::list<std::wstring> VarnoLog::logFiles() const {
    std::list<std::wstring> files;
    listFiles(directory_, kFilePrefix + name_ + L"*" + kFileExtension, files, kListDirectoryOnly);
    files.remove_if([this](const std::wstring& path) {
        return !isOwnLogFile(VFileName::fileName(path), name_);
    });
    files.sort();
    return files;
}

void VarnoLog::removeOld(const std::list<std::wstring>& list) {
    size_t following = list.size();
    for (const std::wstring& path : list) {
        --following;
        if (following <= history_)
            break;
        try {
            ScopedSeTranslator translator;
            removeFile(path, RemoveFileOptions().takingOwnership());
        } catch (...) {
            const vexception failure = catchLadder(
                L"Failed to remove log file", kRemoveOldBoundary.function, kRemoveOldBoundary.line);
            CleanupReport reporting;
            logException(Warning, failure);
        }
    }
}

namespace hooks {

RecordWriter setRecordWriter(RecordWriter writer) {
    const RecordWriter previous = g_recordWriter;
    g_recordWriter = writer ? writer : &writeWholeRecord;
    return previous;
}

} // namespace hooks

} // namespace varno::logging
