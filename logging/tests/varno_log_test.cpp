#include "base/exception.h"
#include "base/text.h"
#include "logging/execute_context.h"
#include "logging/log.h"
#include "logging/log_line.h"
#include "logging/varno_log.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using namespace varno::logging;
using logging_test::RoutingGuard;
using logging_test::ScopedConfigValue;
using logging_test::ScopedDebugValue;
using logging_test::TempDirectory;
using logging_test::uniqueText;

namespace {

// The clock of the logs under test: a fixed local time and tick count that each test moves.
VDateTime g_now(2014, 3, 7, 9, 5, 1, 42);
DWORD g_ticks = 1000000;
VDateTime testNow() {
    return g_now;
}
DWORD WINAPI testTicks() {
    return g_ticks;
}
LogClock testClock() {
    LogClock clock;
    clock.now = &testNow;
    clock.ticks = &testTicks;
    return clock;
}

VDateTime dateOf(const std::wstring& text, uint16_t hour = 12) {
    return VDateTime(static_cast<uint16_t>(std::stoi(text.substr(0, 4))),
                     static_cast<uint16_t>(std::stoi(text.substr(4, 2))),
                     static_cast<uint16_t>(std::stoi(text.substr(6, 2))), hour);
}

VDateTime daysFrom(VDateTime date, int days) {
    date += static_cast<int64_t>(days) * 86400;
    return date;
}

std::string utf16(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::string readBytes(const std::wstring& path) {
    base::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read)
        bytes.append(buffer, read);
    return bytes;
}

std::wstring readText(const std::wstring& path) {
    const std::string bytes = readBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    std::copy(bytes.begin(), bytes.begin() + static_cast<long>(text.size() * 2),
              reinterpret_cast<char*>(&text[0]));
    return text;
}

void makeFile(const std::wstring& path, const std::string& bytes) {
    base::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
    DWORD written = 0;
    ASSERT_TRUE(
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

std::vector<std::wstring> filesIn(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    base::ScopedFindHandle find(::FindFirstFileW((directory + L"\\*").c_str(), &data));
    if (find) {
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                names.push_back(data.cFileName);
        } while (::FindNextFileW(find.get(), &data));
    }
    std::sort(names.begin(), names.end());
    return names;
}

size_t count(const std::wstring& text, const std::wstring& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1))
        ++found;
    return found;
}

const std::string kOldContent = "\xFF\xFE" + utf16(L"old\r\n");

class VarnoLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = VDateTime(2014, 3, 7, 9, 5, 1, 42);
        g_ticks = 1000000;
    }
    std::wstring fileName(const std::wstring& date) const {
        return L"varnolog_" + name_ + date + L".log";
    }
    std::wstring pathOf(const std::wstring& date) const {
        return dir_.path() + L"\\" + fileName(date);
    }
    // Old files of this log dated the given number of days before date.
    void makeOldFiles(const VDateTime& date, std::initializer_list<int> daysBefore) {
        for (int days : daysBefore)
            makeFile(pathOf(dateText(daysFrom(date, -days))), kOldContent);
    }
    std::unique_ptr<VarnoLog> makeLog() {
        return std::make_unique<VarnoLog>(name_, 1, dir_.path(), testClock());
    }
    std::wstring setting(const wchar_t* what) const { return L"log_" + name_ + what; }

    TempDirectory dir_;
    std::wstring name_ = L"zt" + uniqueText();
};

} // namespace

TEST_F(VarnoLogTest, NewFileHasTheMarkThenWholeLinesAndReopeningAppends) {
    makeLog()->write(L"Warning: x");
    const std::wstring path = pathOf(L"20140307");
    const std::wstring prefix =
        L"2014/03/07 09:05:01:042 " + processIdText() + L" " + threadIdText() + L" ";
    const std::string first = utf16(prefix + L"Warning: x\r\n");
    EXPECT_EQ("\xFF\xFE" + first, readBytes(path));

    {
        auto log = makeLog();
        log->write(L"y");
        g_now = VDateTime(2014, 3, 7, 23, 59, 59, 999);
        log->write(L"Result: 100% done, args: *****");
    }
    EXPECT_EQ("\xFF\xFE" + first + utf16(prefix + L"y\r\n") +
                  utf16(L"2014/03/07 23:59:59:999 " + processIdText() + L" " + threadIdText() +
                        L" Result: 100% done, args: *****\r\n"),
              readBytes(path));
    EXPECT_EQ(std::vector<std::wstring>{fileName(L"20140307")}, filesIn(dir_.path()));
}

TEST_F(VarnoLogTest, EnabledZeroWritesNothingAndIsReadAtMostOnceAMinute) {
    {
        ScopedConfigValue off(setting(L"_enabled").c_str(), DWORD(0));
        makeLog()->write(L"never");
        EXPECT_TRUE(filesIn(dir_.path()).empty());
        // Even a tick count that says the minute has not passed since 0: the first write reads.
        g_ticks = 5;
        makeLog()->write(L"never");
        EXPECT_TRUE(filesIn(dir_.path()).empty());
    }

    struct Step {
        std::optional<DWORD> enabled; // set before the write
        DWORD ticksLater;             // since the previous configuration read
        bool written;
        bool reread;
    };
    const Step steps[] = {
        {1, 0, true, true},      // first write reads
        {0, 60000, true, false}, // under a minute: the old setting holds
        {0, 60001, false, true}, // read again: nothing written, the file is closed
        {std::nullopt, 30, false, false},
        {1, 60001, true, true}, // enabled again
    };
    auto log = makeLog();
    size_t lines = 0;
    DWORD lastRead = g_ticks;
    int index = 0;
    for (const Step& step : steps) {
        std::unique_ptr<ScopedConfigValue> value;
        if (step.enabled)
            value =
                std::make_unique<ScopedConfigValue>(setting(L"_enabled").c_str(), *step.enabled);
        g_ticks = lastRead + step.ticksLater;
        if (step.reread)
            lastRead = g_ticks;
        log->write(L"step " + std::to_wstring(index));
        if (step.written)
            ++lines;
        EXPECT_EQ(lines, count(readText(pathOf(L"20140307")), L"\r\n")) << index;
        EXPECT_EQ(step.written, !log->currentFile().empty()) << index;
        ++index;
    }
}

TEST_F(VarnoLogTest, ConfigurationValuesAndTheirDefaults) {
    auto log = makeLog();
    log->write(L"a");
    EXPECT_EQ(1u, log->rotation());
    EXPECT_EQ(3u, log->history());
    EXPECT_EQ(1, log->enabled());

    ScopedConfigValue history(setting(L"_history").c_str(), 9);
    ScopedConfigValue rotation(setting(L"_rotation").c_str(), 4);
    g_ticks += 60001;
    log->write(L"b");
    EXPECT_EQ(4u, log->rotation());
    EXPECT_EQ(9u, log->history());
}

TEST_F(VarnoLogTest, AMissingDirectoryDropsTheRecordAndIsNotCreated) {
    const std::wstring missing = dir_.path() + L"\\missing";
    VarnoLog log(name_, 1, missing, testClock());
    EXPECT_ANY_THROW(log.write(L"lost"));
    EXPECT_FALSE(fileExist(missing));
    EXPECT_TRUE(filesIn(dir_.path()).empty());
}

TEST_F(VarnoLogTest, DirectoryComesFromTheProductRoot) {
    {
        ScopedConfigValue root(L"PRODUCT_ROOT_D", L"C:\\Panel Root", REG_SZ);
        VarnoLog log(name_, 1);
        EXPECT_EQ(L"C:\\Panel Root\\admin\\logs", log.directory());
        EXPECT_EQ(name_, log.name());
    }
    {
        ScopedConfigValue root(L"PRODUCT_ROOT_D", std::optional<DWORD>());
        EXPECT_THROW(VarnoLog(name_, 1), VFileNotFoundException);
    }
    // No name: the program's own.
    EXPECT_EQ(L"logging_tests.exe", VarnoLog(L"", 1, dir_.path(), testClock()).name());
    EXPECT_EQ(L"logging_tests.exe", moduleName());
}

TEST_F(VarnoLogTest, HistoryThreeWithFiveOldFilesKeepsFourAfterARotation) {
    for (bool keptOpen : {false, true}) {
        SCOPED_TRACE(keptOpen ? "log kept open" : "new log");
        zra_testing::removeTree(dir_.path());
        ::CreateDirectoryW(dir_.path().c_str(), nullptr);
        const VDateTime today(2014, 3, 7, 8);
        auto log = makeLog();
        if (keptOpen) {
            // Written yesterday and still open; four older files beside it by today.
            makeOldFiles(today, {4, 3, 2});
            g_now = daysFrom(today, -1);
            log->write(L"yesterday");
            makeOldFiles(today, {5});
            EXPECT_EQ(5u, filesIn(dir_.path()).size());
        } else {
            makeOldFiles(today, {5, 4, 3, 2, 1});
        }
        g_now = today;
        log->write(L"today");
        const std::vector<std::wstring> expected = {fileName(L"20140304"), fileName(L"20140305"),
                                                    fileName(L"20140306"), fileName(L"20140307")};
        EXPECT_EQ(expected, filesIn(dir_.path()));
        EXPECT_EQ(pathOf(L"20140307"), log->currentFile());
    }
}

TEST_F(VarnoLogTest, RotationPeriodsAcrossDates) {
    struct Case {
        DWORD rotation;
        const wchar_t* fileDate; // the newest existing file
        const wchar_t* today;
        const wchar_t* expected; // the file the record goes to
    };
    const Case cases[] = {
        {1, L"20140225", L"20140225", L"20140225"}, {1, L"20140225", L"20140226", L"20140226"},
        {1, L"20160228", L"20160229", L"20160229"}, {1, L"20131231", L"20140101", L"20140101"},
        {7, L"20140225", L"20140303", L"20140225"}, {7, L"20140225", L"20140304", L"20140304"},
        {7, L"20140225", L"20140310", L"20140310"}, {0, L"20140225", L"20140225", L"20140225"},
        {3, L"20140225", L"20140227", L"20140225"}, {1, L"20140225", L"20140224", L"20140225"},
    };
    for (const Case& c : cases) {
        for (bool keptOpen : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "rotation " << c.rotation << " file " << cstr(c.fileDate, 0)
                         << " today " << cstr(c.today, 0) << (keptOpen ? " kept open" : ""));
            zra_testing::removeTree(dir_.path());
            ::CreateDirectoryW(dir_.path().c_str(), nullptr);
            ScopedConfigValue rotation(setting(L"_rotation").c_str(), c.rotation);
            auto log = makeLog();
            if (keptOpen) {
                g_now = dateOf(c.fileDate, 23);
                log->write(L"first");
            } else {
                makeFile(pathOf(c.fileDate), kOldContent);
            }
            g_now = dateOf(c.today);
            log->write(L"record");
            EXPECT_EQ(pathOf(c.expected), log->currentFile());
            EXPECT_EQ(1u, count(readText(pathOf(c.expected)), L" record\r\n"));
        }
    }
}

// A stray file named like the newest one but with an impossible date is not the log's: records go
// on to the log's own file.
TEST_F(VarnoLogTest, AStrayFileWithAnImpossibleDateIsLeftAside) {
    const std::wstring stray = pathOf(L"20141399");
    makeFile(stray, kOldContent);
    makeOldFiles(VDateTime(2014, 3, 7), {1});
    for (int i = 0; i < 2; ++i)
        makeLog()->write(L"record");
    EXPECT_EQ(2u, count(readText(pathOf(L"20140307")), L" record\r\n"));
    EXPECT_EQ(kOldContent, readBytes(stray));
}

namespace {

// Writes the first half of the record and fails, as a disk that fills up in the middle does.
void shortWriter(VFile& file, const void* data, DWORD size) {
    file.write(data, size / 2, true);
    throw vexception(L"disk full", SourceLocation(L"", "shortWriter", 1));
}

} // namespace

// A record cut short leaves nothing behind: the file goes back to where the record began, so the
// next record starts its own line (and a new file still gets its mark).
TEST_F(VarnoLogTest, AShortWriteIsCutBackToWhereTheRecordBegan) {
    for (const bool fresh : {true, false}) {
        SCOPED_TRACE(fresh ? "new file" : "file with a record");
        zra_testing::removeTree(dir_.path());
        ::CreateDirectoryW(dir_.path().c_str(), nullptr);
        auto log = makeLog();
        if (!fresh)
            log->write(L"before");
        const std::string kept = readBytes(pathOf(L"20140307"));
        const hooks::RecordWriter previous = hooks::setRecordWriter(&shortWriter);
        EXPECT_THROW(log->write(L"torn record"), vexception);
        hooks::setRecordWriter(previous);
        EXPECT_EQ(kept, readBytes(pathOf(L"20140307")));
        log->write(L"after");
        const std::string prefix =
            utf16(L"2014/03/07 09:05:01:042 " + processIdText() + L" " + threadIdText() + L" ");
        EXPECT_EQ("\xFF\xFE" + (fresh ? std::string() : prefix + utf16(L"before\r\n")) + prefix +
                      utf16(L"after\r\n"),
                  readBytes(pathOf(L"20140307")));
    }
}

// A period that reaches past the last date a file name can hold never rotates the file; it must
// not make every record fail.
TEST_F(VarnoLogTest, PeriodsBeyondTheCalendarKeepTheFile) {
    struct Case {
        DWORD rotation;
        const wchar_t* today;
    } cases[] = {{0xFFFFFFFF, L"20140226"}, {11000000, L"20500101"}, {0x80000000, L"99991230"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rotation);
        zra_testing::removeTree(dir_.path());
        ::CreateDirectoryW(dir_.path().c_str(), nullptr);
        ScopedConfigValue rotation(setting(L"_rotation").c_str(), c.rotation);
        makeFile(pathOf(L"20140225"), kOldContent);
        g_now = dateOf(c.today);
        auto log = makeLog();
        log->write(L"record");
        EXPECT_EQ(pathOf(L"20140225"), log->currentFile());
        EXPECT_EQ(1u, count(readText(pathOf(L"20140225")), L" record\r\n"));
    }
}

TEST_F(VarnoLogTest, RotationZeroReopensTodaysFileWithoutCountingItTwice) {
    ScopedConfigValue rotation(setting(L"_rotation").c_str(), DWORD(0));
    ScopedConfigValue history(setting(L"_history").c_str(), 1);
    makeOldFiles(VDateTime(2014, 3, 7), {2, 1, 0});
    auto log = makeLog();
    log->write(L"a");
    log->write(L"b");
    const std::vector<std::wstring> expected = {fileName(L"20140306"), fileName(L"20140307")};
    EXPECT_EQ(expected, filesIn(dir_.path()));
    const std::wstring text = readText(pathOf(L"20140307"));
    EXPECT_EQ(1u, count(text, L" a\r\n"));
    EXPECT_EQ(1u, count(text, L" b\r\n"));
}

TEST_F(VarnoLogTest, FilesOfOtherLogsAreNeitherCountedNorDeleted) {
    // Names that start with this log's prefix but belong to other logs or to nobody; the first
    // sorts after every dated file of this log.
    const std::vector<std::wstring> foreign = {
        L"varnolog_" + name_ + L"_x20200101.log", L"varnolog_" + name_ + L"x20200101.log",
        L"varnolog_" + name_ + L".log",           L"varnolog_" + name_ + L"2014030.log",
        L"varnolog_" + name_ + L"2014o301.log",   L"varnolog_" + name_ + L"201403011.log",
    };
    for (const std::wstring& name : foreign)
        makeFile(dir_.path() + L"\\" + name, kOldContent);
    makeOldFiles(VDateTime(2014, 3, 7), {4, 3, 2, 1});

    auto log = makeLog();
    log->write(L"mine");
    std::vector<std::wstring> expected = foreign;
    for (const wchar_t* date : {L"20140304", L"20140305", L"20140306", L"20140307"})
        expected.push_back(fileName(date));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, filesIn(dir_.path()));
    for (const std::wstring& name : foreign)
        EXPECT_EQ(kOldContent, readBytes(dir_.path() + L"\\" + name));
    const std::list<std::wstring> own = log->logFiles();
    ASSERT_EQ(4u, own.size());
    EXPECT_EQ(pathOf(L"20140304"), own.front());
    EXPECT_EQ(pathOf(L"20140307"), own.back());
}

// The eight digits must also be a date of the calendar (no month 13, no 30 February).
TEST(LogFileNameTest, OnlyThePrefixEightDigitsAndTheExtension) {
    struct Case {
        const wchar_t* file;
        bool own;
    };
    const Case cases[] = {
        {L"varnolog_debug20140307.log", true},    {L"VARNOLOG_Debug20140307.LOG", true},
        {L"varnolog_debug_x20200101.log", false}, {L"varnolog_debugger20200101.log", false},
        {L"varnolog_debug.log", false},           {L"varnolog_debug2014030.log", false},
        {L"varnolog_debug201403071.log", false},  {L"varnolog_debug2014-3-7.log", false},
        {L"varnolog_debug20140307.txt", false},   {L"varnolog_debug20140307.log.log", false},
        {L"varnolog_debu20140307.log", false},    {L"", false},
        {L"varnolog_debug20261399.log", false},   {L"varnolog_debug20140230.log", false},
        {L"varnolog_debug00000000.log", false},   {L"varnolog_debug20140007.log", false},
        {L"varnolog_debug20160229.log", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.own, isOwnLogFile(c.file, L"debug")) << cstr(c.file, 0);
}

TEST(RotationDateTest, DatePlusPeriodOrToday) {
    struct Case {
        const wchar_t* path;
        uint32_t days;
        VDateTime now;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"C:\\logs\\varnolog_debug20140307.log", 1, VDateTime(2014, 3, 7, 12), L"20140308"},
        {L"varnolog_debug20140307.log", 7, VDateTime(2014, 3, 7, 12), L"20140314"},
        {L"varnolog_debug20140228.log", 1, VDateTime(2014, 2, 28), L"20140301"},
        {L"varnolog_debug20121231.log", 1, VDateTime(2012, 1, 1), L"20130101"},
        {L"varnolog_debug20140307.log", 0, VDateTime(2014, 3, 7, 0, 0, 0, 1), L"20140307"},
        {L"varnolog_debug20140301.log", 3, VDateTime(2014, 3, 9, 1), L"20140309"},
        {L"d:\\x\\varnolog_debug20140307.log", 1, VDateTime(2015, 1, 2), L"20150102"},
        {L"varnolog_debug20140307.log", 0xFFFFFFFF, VDateTime(2014, 3, 7), L"99991231"},
        {L"varnolog_debug20140307.log", 2930000, VDateTime(2014, 3, 7), L"99991231"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, getRotationDate(c.path, L"debug", c.days, c.now))
            << cstr(c.path, 0) << " +" << c.days;
}

TEST(RotationDateTest, NamesThatCannotBeParsedRaise) {
    const VDateTime now(2014, 3, 7);
    try {
        getRotationDate(L"C:\\logs\\varnolog_.log", L"debug", 1, now);
        ADD_FAILURE() << "no exception";
    } catch (const vexception& e) {
        EXPECT_EQ(L"Failed to parse name", e.message());
        ASSERT_EQ(1u, e.locations().size());
        EXPECT_EQ("varno::logging::getRotationDate", e.locations()[0].function);
        EXPECT_EQ(59, e.locations()[0].line);
    }
    // Long enough, but no date: its fields read as 0 and the date arithmetic refuses them.
    for (const wchar_t* path : {L"varnolog_debug.log", L"varnolog_debugxxxxxxxx.log"})
        EXPECT_ANY_THROW(getRotationDate(path, L"debug", 1, now)) << cstr(path, 0);
}

namespace {

// The "debug" log set of the file sink, in a product root of its own with the Debug switch on.
class FileSinkTest : public ::testing::Test {
protected:
    FileSinkTest() {
        writeRoutingDefaults(routing_.table(), false);
        ::CreateDirectoryW((root_.path() + L"\\admin").c_str(), nullptr);
        ::CreateDirectoryW(logs().c_str(), nullptr);
    }
    std::wstring logs() const { return root_.path() + L"\\admin\\logs"; }
    std::wstring pathOf(const VDateTime& date) const {
        return logs() + L"\\varnolog_debug" + dateText(date) + L".log";
    }

    TempDirectory root_;
    ScopedConfigValue productRoot_{L"PRODUCT_ROOT_D", root_.path(), REG_SZ};
    ScopedConfigValue enabled_{L"log_debug_enabled", std::optional<DWORD>()};
    ScopedConfigValue history_{L"log_debug_history", std::optional<DWORD>()};
    ScopedConfigValue rotation_{L"log_debug_rotation", std::optional<DWORD>()};
    ScopedDebugValue debug_{1};
    RoutingGuard routing_;
};

} // namespace

TEST_F(FileSinkTest, RecordsGoToTheDebugLogOnlyWhileDebugIsOn) {
    writeFileSink(Warning, L"x");
    const VDateTime today = VDateTime::now();
    const std::wstring text = readText(pathOf(today));
    ASSERT_GE(text.size(), 1u);
    EXPECT_EQ(L'\xFEFF', text[0]);
    const std::wstring ending = L" " + processIdText() + L" " + threadIdText() + L" Warning: x\r\n";
    ASSERT_GE(text.size(), ending.size());
    EXPECT_EQ(ending, text.substr(text.size() - ending.size()));

    {
        ScopedDebugValue off(std::nullopt);
        writeFileSink(Error, L"not written");
    }
    EXPECT_EQ(text, readText(pathOf(VDateTime::now())));
}

TEST_F(FileSinkTest, AnUndeletableOldFileIsReportedOncePerRecordWithoutEndlessReentry) {
    const VDateTime today = VDateTime::now();
    for (int days : {4, 3, 2, 1})
        makeFile(pathOf(daysFrom(today, -days)), kOldContent);
    // Open without delete sharing: every attempt to delete it fails.
    base::ScopedFileHandle held(::CreateFileW(pathOf(daysFrom(today, -4)).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());

    const std::wstring failure =
        L"Failed to remove log file(varno::logging::VarnoLog::removeOld line 127)";
    writeFileSink(Info, L"first");
    std::wstring text = readText(pathOf(VDateTime::now()));
    EXPECT_EQ(1u, count(text, L"Info: first\r\n"));
    EXPECT_EQ(1u, count(text, L" Warning: "));
    EXPECT_EQ(1u, count(text, failure));

    writeFileSink(Info, L"second");
    text = readText(pathOf(VDateTime::now()));
    EXPECT_EQ(2u, count(text, failure));
    EXPECT_EQ(1u, count(text, L"Info: second\r\n"));
    EXPECT_TRUE(fileExist(pathOf(daysFrom(today, -4))));
    EXPECT_EQ(5u, filesIn(logs()).size());

    // Once it can go, it goes, and nothing more is reported.
    held.reset();
    writeFileSink(Info, L"third");
    text = readText(pathOf(VDateTime::now()));
    EXPECT_EQ(2u, count(text, failure));
    EXPECT_FALSE(fileExist(pathOf(daysFrom(today, -4))));
}

TEST_F(FileSinkTest, WithoutAProductRootTheRecordIsDropped) {
    ScopedConfigValue noRoot(L"PRODUCT_ROOT_D", std::optional<DWORD>());
    writeFileSink(Error, L"dropped");
    EXPECT_TRUE(filesIn(logs()).empty());
}

// Also the log campaign (scripts/campaign-logs.sh), which asks for more writers and records
// through the environment. Rotation 0 makes every write rotate and prune, so old files are
// deleted while the others write.
int campaignSetting(const wchar_t* name, int fallback) {
    wchar_t text[32] = {};
    if (!::GetEnvironmentVariableW(name, text, 32))
        return fallback;
    return static_cast<int>(std::wcstol(text, nullptr, 10));
}

TEST_F(VarnoLogTest, ProcessesWritingOneLogWhileItPrunesLoseAndTearNothing) {
    const int processes = campaignSetting(L"ZRA_LOG_CAMPAIGN_WRITERS", 8);
    const int records = campaignSetting(L"ZRA_LOG_CAMPAIGN_RECORDS", 250);
    const std::wstring rotationName = setting(L"_rotation");
    const std::wstring historyName = setting(L"_history");
    ScopedConfigValue everyWriteRotates(rotationName.c_str(), DWORD(0));
    ScopedConfigValue history(historyName.c_str(), DWORD(3));
    makeOldFiles(VDateTime(2014, 3, 7), {1, 2, 3, 4, 5, 6});
    const DWORD started = ::GetTickCount();
    const std::wstring eventName = L"zlog-start-" + uniqueText();
    base::ScopedHandle start(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(start.valid());
    const std::wstring probe = logging_test::windowsPath(ZRA_WRITER_PROBE);
    std::vector<base::ScopedHandle> children;
    for (int i = 0; i < processes; ++i) {
        std::wstring commandLine = L"\"" + probe + L"\" \"" + dir_.path() + L"\" " + name_ + L" " +
                                   std::to_wstring(i) + L" " + std::to_wstring(records) + L" " +
                                   eventName;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(::CreateProcessW(probe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                                     nullptr, nullptr, &startup, &process));
        ::CloseHandle(process.hThread);
        children.emplace_back(process.hProcess);
    }
    ASSERT_TRUE(::SetEvent(start.get()));
    for (base::ScopedHandle& child : children) {
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(child.get(), 300000));
        DWORD code = 1;
        ::GetExitCodeProcess(child.get(), &code);
        EXPECT_EQ(0u, code);
    }

    const DWORD elapsed = ::GetTickCount() - started;
    // The three newest old files stay beside the current one; the rest were pruned.
    ASSERT_EQ((std::vector<std::wstring>{fileName(L"20140304"), fileName(L"20140305"),
                                         fileName(L"20140306"), fileName(L"20140307")}),
              filesIn(dir_.path()));
    const std::string bytes = readBytes(pathOf(L"20140307"));
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ("\xFF\xFE", bytes.substr(0, 2));
    EXPECT_EQ(std::string::npos, bytes.find('\xFF', 2)); // one mark: the text is plain ASCII
    const std::wstring text = readText(pathOf(L"20140307")).substr(1);

    std::vector<int> next(processes, 0);
    std::vector<std::wstring> pids(processes);
    size_t lines = 0;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find(L"\r\n", at);
        ASSERT_NE(std::wstring::npos, end) << "an unterminated last line";
        const std::wstring line = text.substr(at, end - at);
        at = end + 2;
        ++lines;
        // "2014/03/07 hh:mm:ss:mmm <pid> <tid> record <tag> <n>"
        wchar_t date[16] = {}, time[16] = {}, pid[16] = {}, tid[16] = {}, word[16] = {};
        int tag = -1;
        int n = -1;
        wchar_t rest[4] = {};
        const int fields = std::swscanf(line.c_str(), L"%15ls %15ls %15ls %15ls %15ls %d %d%3ls",
                                        date, time, pid, tid, word, &tag, &n, rest);
        ASSERT_EQ(7, fields) << cstr(line, 0);
        ASSERT_EQ(L"2014/03/07", std::wstring(date));
        ASSERT_EQ(L"record", std::wstring(word));
        ASSERT_TRUE(tag >= 0 && tag < processes) << cstr(line, 0);
        ASSERT_EQ(next[tag], n) << "records of one writer out of order or lost: " << cstr(line, 0);
        ++next[tag];
        if (pids[tag].empty())
            pids[tag] = pid;
        ASSERT_EQ(pids[tag], std::wstring(pid));
    }
    EXPECT_EQ(static_cast<size_t>(processes * records), lines);
    for (int i = 0; i < processes; ++i)
        EXPECT_EQ(records, next[i]) << i;
    EXPECT_EQ(processes, static_cast<int>(std::set<std::wstring>(pids.begin(), pids.end()).size()));
    std::printf("log campaign: %d writers x %d records, %u lines found, %u torn or lost, "
                "%u byte-order marks, %u of 6 old files pruned, %lu ms\n",
                processes, records, static_cast<unsigned>(lines),
                static_cast<unsigned>(processes * records - static_cast<int>(lines)),
                static_cast<unsigned>(bytes.compare(0, 2, "\xFF\xFE") == 0 ? 1 : 0),
                static_cast<unsigned>(6 + 1 - filesIn(dir_.path()).size()),
                static_cast<unsigned long>(elapsed));
}
