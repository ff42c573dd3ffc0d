#include "base/exception.h"
#include "base/text.h"
#include "logging/execute_context.h"
#include "logging/log.h"
#include "logging/log_line.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

using namespace varno::logging;
using logging_test::RoutingGuard;
using logging_test::ScopedDebugValue;
using logging_test::StdoutCapture;

namespace {

// Every routing test starts from the defaults of a machine without the Debug switch and a console
// on which nothing has been written yet.
class RoutingTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeRoutingDefaults(guard_.table(), false);
        guard_.table()[kConsoleUsed] = 0;
    }
    uint8_t* table() { return guard_.table(); }

    ScopedDebugValue debugOff_{std::nullopt};
    RoutingGuard guard_;
    // Records for the event log make sure the panel's log exists; without "VarnoService" no
    // source is registered, so the event log stays unavailable.
    logging_test::ScopedNewKey eventLog_{L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Varno"};
    logging_test::ScopedConfigValue noService_{L"VarnoService", std::optional<DWORD>()};
};

vexception failureWithTrail() {
    vexception e(L"Unable to open thing", SourceLocation(L"", "Thing::open", 42));
    e.addLocation(SourceLocation(L"Failed to do work.", "worker", 7));
    return e;
}

struct Record {
    int level;
    std::wstring text;
    bool exception;
};

class RecordingSink : public LogSink {
public:
    RecordingSink(std::vector<Record>& records, bool& deleted)
        : records_(records), deleted_(deleted) {}
    ~RecordingSink() override { deleted_ = true; }
    void write(int level, const vexception& e) override {
        records_.push_back({level, e.fullText(), true});
    }
    void write(int level, const std::wstring& text) override {
        records_.push_back({level, text, false});
    }

private:
    std::vector<Record>& records_;
    bool& deleted_;
};

class ThrowingSink : public LogSink {
public:
    void write(int, const vexception&) override { throw std::runtime_error("sink down"); }
    void write(int, const std::wstring&) override { throw vexception(L"sink down"); }
};

} // namespace

TEST(LevelTest, NamesOfTheSixLevelsAndAnyOther) {
    EXPECT_STREQ("Info", levelName(Info));
    EXPECT_STREQ("Warning", levelName(Warning));
    EXPECT_STREQ("Result", levelName(Result));
    EXPECT_STREQ("Error", levelName(Error));
    EXPECT_STREQ("Unexpected", levelName(Unexpected));
    EXPECT_STREQ("Crash", levelName(Crash));
    for (int other : {-1, 6, 12, 0x7FFFFFFF})
        EXPECT_STREQ("Unknown level", levelName(other)) << other;
}

TEST(RoutingDefaultsTest, DebugDecidesTheEventLogForTheLowerLevelsOnly) {
    // Only the twelve level flags are defaults; the console-used flag keeps whatever it holds.
    uint8_t table[kRoutingSize];
    std::memset(table, 0xAA, sizeof table);
    writeRoutingDefaults(table, false);
    const uint8_t expectedOff[kRoutingSize] = {0, 0, 1, 1, 1, 1, 0, 0, 0, 1, 1, 1, 0xAA};
    EXPECT_EQ(0, std::memcmp(expectedOff, table, kRoutingSize));

    writeRoutingDefaults(table, true);
    const uint8_t expectedOn[kRoutingSize] = {0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0xAA};
    EXPECT_EQ(0, std::memcmp(expectedOn, table, kRoutingSize));
}

TEST(LogLineTest, LayoutOfOneFileLine) {
    SYSTEMTIME t = {};
    t.wYear = 2014;
    t.wMonth = 3;
    t.wDay = 7;
    t.wHour = 9;
    t.wMinute = 5;
    t.wSecond = 1;
    t.wMilliseconds = 42;
    EXPECT_EQ(L"2014/03/07 09:05:01:042", formatLogTime(t));

    const auto parts = lineParts(t, L"1234", L"56", recordText(Warning, L"x"));
    std::wstring line;
    for (const std::wstring& part : parts)
        line += part;
    EXPECT_EQ(L"2014/03/07 09:05:01:042 1234 56 Warning: x\r\n", line);
    EXPECT_EQ(L"\r\n", parts.back());

    EXPECT_EQ(L"Unknown level: y", recordText(9, L"y"));
    EXPECT_EQ(std::to_wstring(::GetCurrentProcessId()), processIdText());
    EXPECT_EQ(std::to_wstring(::GetCurrentThreadId()), threadIdText());
    EXPECT_EQ(0xFF, kByteOrderMark[0]);
    EXPECT_EQ(0xFE, kByteOrderMark[1]);
}

TEST(LogLineTest, AnInfoRecordStaysOnItsLine) {
    const struct {
        int level;
        const wchar_t* text;
        const wchar_t* record;
    } cases[] = {
        // An argument that looks like the start of another record is written as text.
        {Info, L"args: a\r\n2014/03/07 09:05:01:042 1 1 Error: forged",
         L"Info: args: a\\r\\n2014/03/07 09:05:01:042 1 1 Error: forged"},
        {Info, L"x\ny\rz\n", L"Info: x\\ny\\rz\\n"},
        {Info, L"plain \\n", L"Info: plain \\n"},
        // Failures keep their trail of locations on lines of their own.
        {Error, L"failed\n   at (f line 1)", L"Error: failed\n   at (f line 1)"},
        {Warning, L"a\r\nb", L"Warning: a\r\nb"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.record, recordText(c.level, c.text)) << c.level;
}

TEST_F(RoutingTest, RecordsAreSeparatedNotTerminated) {
    StdoutCapture capture;
    writeConsole(L"first");
    writeConsole(L"second");
    const std::string bytes = capture.finish();
    EXPECT_EQ("first\nsecond", bytes);
    EXPECT_EQ(1, table()[kConsoleUsed]);

    // Once a record is out, even the next capture's first record is preceded by the separator.
    StdoutCapture again;
    writeConsole(L"third");
    EXPECT_EQ("\nthird", again.finish());
}

TEST_F(RoutingTest, ConsoleLeavesTheTextModeOfStandardOutputAlone) {
    StdoutCapture capture;
    writeConsole(L"record\nwith a break");
    std::printf("\nplain\n");
    EXPECT_EQ("record\nwith a break\r\nplain\r\n", capture.finish());
}

TEST_F(RoutingTest, DefaultsWithoutDebugSendOnlyResultAndAboveToTheConsole) {
    StdoutCapture capture;
    logMessage(Info, L"info");
    logMessage(Warning, L"warning");
    logMessage(Result, L"result");
    logMessage(Error, L"error");
    logMessage(Unexpected, L"unexpected");
    logMessage(Crash, L"crash");
    EXPECT_EQ("result\nerror\nunexpected\ncrash", capture.finish());
}

TEST_F(RoutingTest, FormatAndVerbatimOverloads) {
    StdoutCapture capture;
    logMessage(Error, L"path: %s, args: %s, cmdLine %s", L"C:\\a b\\x.exe", L"-q", L"\"x\" -q");
    logMessage(Error, std::wstring(L"100% %s %d done"));
    logMessage(Error, static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ("path: C:\\a b\\x.exe, args: -q, cmdLine \"x\" -q\n100% %s %d done",
              capture.finish());
}

TEST_F(RoutingTest, LevelsOutsideTheTableReachNeitherConsoleNorEventLog) {
    // Flags of other levels sit where a level of 7 or 13 would index; none of them may be taken.
    std::memset(table(), 1, kRoutingSize);
    LogManager manager;
    std::vector<Record> records;
    bool deleted = false;
    manager.addSink(std::make_unique<RecordingSink>(records, deleted));
    StdoutCapture capture;
    for (int level : {-1, 6, 7, 12, 13, 1000})
        manager.logText(level, L"stray");
    EXPECT_EQ("", capture.finish());
    EXPECT_TRUE(manager.sourceName().empty()); // the event log was never consulted
    ASSERT_EQ(6u, records.size());             // sinks still receive everything
    EXPECT_EQ(1000, records.back().level);
}

TEST_F(RoutingTest, ExceptionWithoutEventLogShowsItsFullTextEvenWithDebugOff) {
    const vexception e = failureWithTrail();
    StdoutCapture capture;
    logException(Error, e);
    EXPECT_EQ(e.fullText(), std::wstring(L"Unable to open thing\n   at (Thing::open line 42)\n"
                                         L"   at Failed to do work.(worker line 7)"));
    EXPECT_EQ(cstr(e.fullText(), CP_UTF8), capture.finish());
}

TEST_F(RoutingTest, ExceptionNotSentToTheEventLogShowsTheBareMessage) {
    // Result goes to the console but, without Debug, not to the event log: nothing failed.
    StdoutCapture capture;
    logException(Result, failureWithTrail());
    EXPECT_EQ("Unable to open thing", capture.finish());
}

TEST_F(RoutingTest, ExceptionConsoleTextFollowsEventLogFailureAndDebug) {
    table()[kEventLogFlag + Result] = 1;
    {
        StdoutCapture capture;
        logException(Result, failureWithTrail());
        EXPECT_EQ(cstr(failureWithTrail().fullText(), CP_UTF8), capture.finish());
    }
    table()[kEventLogFlag + Result] = 0;
    table()[kConsoleUsed] = 0;
    ScopedDebugValue debugOn(1);
    StdoutCapture capture;
    logException(Result, failureWithTrail());
    EXPECT_EQ(cstr(failureWithTrail().fullText(), CP_UTF8), capture.finish());
}

TEST_F(RoutingTest, EventLogIsConsultedOnlyForRoutedLevels) {
    // The source name is settled the first time the event log is needed.
    LogManager manager;
    StdoutCapture capture;
    manager.logText(Info, L"not for the event log");
    EXPECT_TRUE(manager.sourceName().empty());
    manager.logText(Error, L"for the event log");
    capture.finish();
    EXPECT_EQ(L"logging_tests.exe", manager.sourceName());
    EXPECT_EQ(nullptr, manager.getEventLog());
    EXPECT_FALSE(manager.report(Error, L"x"));
}

TEST_F(RoutingTest, SinksReceiveRecordsInOrderAndAreGuardedAndOwned) {
    std::vector<Record> records;
    bool deleted = false;
    {
        LogManager manager;
        manager.addSink(std::make_unique<ThrowingSink>());
        manager.addSink(std::make_unique<RecordingSink>(records, deleted));
        StdoutCapture capture;
        manager.logText(Info, L"note");
        EXPECT_NO_THROW(manager.logException(Crash, failureWithTrail()));
        capture.finish();
        EXPECT_FALSE(deleted);
    }
    EXPECT_TRUE(deleted);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(Info, records[0].level);
    EXPECT_EQ(L"note", records[0].text);
    EXPECT_FALSE(records[0].exception);
    EXPECT_EQ(Crash, records[1].level);
    EXPECT_EQ(failureWithTrail().fullText(), records[1].text);
    EXPECT_TRUE(records[1].exception);
}
