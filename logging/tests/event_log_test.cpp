#include "base/exception.h"
#include "base/text.h"
#include "logging/event_log.h"
#include "logging/execute_context.h"
#include "logging/log.h"
#include "logging/log_line.h"
#include "logging/varno_log.h"
#include "registry/registry.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace varno::logging;
using logging_test::RoutingGuard;
using logging_test::ScopedConfigValue;
using logging_test::ScopedDebugValue;
using logging_test::ScopedNewKey;
using logging_test::StdoutCapture;
using logging_test::TempDirectory;
using logging_test::uniqueText;

namespace {

// A stand-in for the event-log calls: Wine's event log accepts every report and keeps none, so
// what is reported, and what happens when a report fails, is seen here.
struct Report {
    HANDLE source;
    WORD type;
    WORD category;
    DWORD eventId;
    PSID user;
    DWORD dataSize;
    std::vector<std::wstring> strings;
};

struct StandIn {
    std::vector<std::wstring> registeredNames;
    std::vector<const wchar_t*> servers;
    std::vector<Report> reports;
    std::vector<HANDLE> deregistered;
    std::vector<BOOL> reportResults; // consumed one per report; TRUE when empty
};
StandIn g_standIn;

HANDLE WINAPI standInRegister(LPCWSTR server, LPCWSTR source) {
    g_standIn.registeredNames.push_back(source);
    g_standIn.servers.push_back(server);
    return reinterpret_cast<HANDLE>(
        static_cast<uintptr_t>(0x1000 + g_standIn.registeredNames.size()));
}

BOOL WINAPI standInReport(HANDLE source, WORD type, WORD category, DWORD eventId, PSID user,
                          WORD count, DWORD dataSize, LPCWSTR* strings, LPVOID) {
    Report report{source, type, category, eventId, user, dataSize, {}};
    for (WORD i = 0; i < count; ++i)
        report.strings.push_back(strings[i]);
    g_standIn.reports.push_back(report);
    if (g_standIn.reportResults.empty())
        return TRUE;
    const BOOL result = g_standIn.reportResults.front();
    g_standIn.reportResults.erase(g_standIn.reportResults.begin());
    return result;
}

BOOL WINAPI standInDeregister(HANDLE source) {
    g_standIn.deregistered.push_back(source);
    return TRUE;
}

const EventLogApi kStandIn = {&standInRegister, &standInReport, &standInDeregister};

std::wstring programPath() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring serviceKey(const std::wstring& below) {
    return std::wstring(kEventLogServiceKey) + L"\\" + below;
}

std::optional<DWORD> dwordValue(const std::wstring& subKey, const wchar_t* name) {
    DWORD value = 0;
    if (registry::lookup(HKEY_LOCAL_MACHINE, subKey, name, value, registry::ViewDefault) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

std::optional<std::wstring> textValue(const std::wstring& subKey, const wchar_t* name) {
    std::wstring value;
    if (registry::lookup(HKEY_LOCAL_MACHINE, subKey, name, value, REG_SZ, registry::ViewDefault) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

const wchar_t kMessageFile[] = L"C:\\Panel\\admin\\bin\\management service.exe";

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_standIn = StandIn();
        writeRoutingDefaults(routing_.table(), false);
        routing_.table()[kConsoleUsed] = 0;
    }

    std::wstring logName_ = L"ZraTest" + uniqueText();
    ScopedNewKey logKey_{serviceKey(logName_)};
    ScopedConfigValue service_{L"VarnoService", kMessageFile, REG_SZ};
    ScopedDebugValue debugOff_{std::nullopt};
    RoutingGuard routing_;
};

vexception failureWithTrail() {
    vexception e(L"Unable to write dump", SourceLocation(L"", "CrashDumpInfo::write", 31));
    e.addLocation(SourceLocation(L"Failed to write crash dump", "crash", 88));
    return e;
}

} // namespace

TEST_F(EventLogTest, TheLogKeyIsMadeOnceWithItsSizeAndRetentionAndThenLeftAlone) {
    ensureEventLog(logName_);
    EXPECT_EQ(std::optional<DWORD>(0x800000), dwordValue(serviceKey(logName_), L"MaxSize"));
    EXPECT_EQ(std::optional<DWORD>(0), dwordValue(serviceKey(logName_), L"Retention"));

    // An administrator's changes survive every later start.
    {
        registry::Key key(HKEY_LOCAL_MACHINE, serviceKey(logName_), KEY_ALL_ACCESS, true);
        key.set(L"MaxSize", static_cast<DWORD>(0x100000));
        ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteValueW(key.handle(), L"Retention"));
    }
    ensureEventLog(logName_);
    registerEventSource(logName_, L"zra" + uniqueText() + L".exe", kStandIn);
    EXPECT_EQ(std::optional<DWORD>(0x100000), dwordValue(serviceKey(logName_), L"MaxSize"));
    EXPECT_EQ(std::nullopt, dwordValue(serviceKey(logName_), L"Retention"));
}

TEST_F(EventLogTest, ASourceKnownToTheApplicationLogIsPrefixed) {
    for (bool inApplication : {false, true}) {
        SCOPED_TRACE(inApplication ? "known to the Application log" : "unknown");
        g_standIn = StandIn();
        const std::wstring program = L"zra" + uniqueText() + L".exe";
        ScopedNewKey application(serviceKey(L"Application\\" + program));
        if (inApplication)
            registry::Key(HKEY_LOCAL_MACHINE, application.subKey(), KEY_ALL_ACCESS, false);
        const std::wstring expected = inApplication ? L"Varno:  " + program : program;
        EXPECT_EQ(expected, eventSourceName(program));

        HANDLE source = registerEventSource(logName_, program, kStandIn);
        EXPECT_NE(nullptr, source);
        ASSERT_EQ(1u, g_standIn.registeredNames.size());
        EXPECT_EQ(expected, g_standIn.registeredNames[0]);
        EXPECT_EQ(nullptr, g_standIn.servers[0]); // the local computer
        const std::wstring sourceKey = serviceKey(logName_ + L"\\" + expected);
        EXPECT_EQ(std::optional<DWORD>(7), dwordValue(sourceKey, L"TypesSupported"));
        EXPECT_EQ(std::optional<std::wstring>(kMessageFile),
                  textValue(sourceKey, L"EventMessageFile"));
        EXPECT_FALSE(registry::keyExists(
            HKEY_LOCAL_MACHINE,
            serviceKey(logName_ + L"\\" + (inApplication ? program : L"Varno:  " + program)),
            registry::ViewDefault));
    }
}

TEST_F(EventLogTest, WithoutTheServiceValueNothingIsRegisteredOrReported) {
    ScopedConfigValue noService(L"VarnoService", std::optional<DWORD>());
    const std::wstring program = L"zra" + uniqueText() + L".exe";
    EXPECT_THROW(registerEventSource(logName_, program, kStandIn), VFileNotFoundException);
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, serviceKey(logName_ + L"\\" + program),
                                     registry::ViewDefault));

    LogManager manager(kStandIn, logName_);
    EXPECT_EQ(nullptr, manager.getEventLog());
    EXPECT_FALSE(manager.report(Error, L"x"));
    const vexception e = failureWithTrail();
    StdoutCapture capture;
    manager.logException(Error, e);
    EXPECT_EQ(cstr(e.fullText(), CP_UTF8), capture.finish());
    EXPECT_TRUE(g_standIn.registeredNames.empty());
    EXPECT_TRUE(g_standIn.reports.empty());
}

TEST_F(EventLogTest, LevelsMapToEventTypesAndOneRegistrationServesEveryReport) {
    struct Case {
        int level;
        WORD type;
    };
    const Case cases[] = {
        {Info, EVENTLOG_INFORMATION_TYPE}, {Warning, EVENTLOG_WARNING_TYPE},
        {Result, EVENTLOG_SUCCESS},        {Error, EVENTLOG_ERROR_TYPE},
        {Unexpected, EVENTLOG_ERROR_TYPE}, {Crash, EVENTLOG_ERROR_TYPE},
        {6, EVENTLOG_ERROR_TYPE},          {1000, EVENTLOG_ERROR_TYPE},
    };
    {
        LogManager manager(kStandIn, logName_);
        for (const Case& c : cases) {
            const std::wstring text = L"record at level " + std::to_wstring(c.level);
            ASSERT_TRUE(manager.report(c.level, text)) << c.level;
            const Report& report = g_standIn.reports.back();
            EXPECT_EQ(c.type, report.type) << c.level;
            EXPECT_EQ(c.type, eventType(c.level)) << c.level;
            EXPECT_EQ(0, report.category);
            EXPECT_EQ(1u, report.eventId);
            EXPECT_EQ(nullptr, report.user);
            EXPECT_EQ(0u, report.dataSize);
            EXPECT_EQ((std::vector<std::wstring>{text, programPath()}), report.strings);
        }
        EXPECT_EQ(L"logging_tests.exe", manager.sourceName());
        ASSERT_EQ(1u, g_standIn.registeredNames.size());
        EXPECT_TRUE(g_standIn.deregistered.empty());
    }
    // The manager's end deregisters its source.
    EXPECT_EQ(std::vector<HANDLE>{g_standIn.reports.back().source}, g_standIn.deregistered);
}

TEST_F(EventLogTest, AFailedReportDropsTheSourceAndTheNextRecordRegistersAgain) {
    LogManager manager(kStandIn, logName_);
    g_standIn.reportResults = {FALSE};
    EXPECT_FALSE(manager.report(Error, L"lost"));
    ASSERT_EQ(1u, g_standIn.registeredNames.size());
    ASSERT_EQ(1u, g_standIn.deregistered.size());
    HANDLE first = g_standIn.reports[0].source;
    EXPECT_EQ(first, g_standIn.deregistered[0]);

    EXPECT_TRUE(manager.report(Error, L"kept"));
    EXPECT_EQ(2u, g_standIn.registeredNames.size());
    EXPECT_NE(first, g_standIn.reports[1].source);
    EXPECT_EQ(g_standIn.reports[1].source, manager.getEventLog());
    EXPECT_EQ(2u, g_standIn.reports.size()); // the lost record is not retried
}

TEST_F(EventLogTest, ConsoleTextOfAnExceptionFollowsTheReport) {
    struct Case {
        BOOL reported;
        bool fullText;
    };
    const vexception e = failureWithTrail();
    for (const Case& c : {Case{TRUE, false}, Case{FALSE, true}}) {
        routing_.table()[kConsoleUsed] = 0;
        LogManager manager(kStandIn, logName_);
        g_standIn.reportResults = {c.reported};
        StdoutCapture capture;
        manager.logException(Error, e);
        EXPECT_EQ(cstr(c.fullText ? e.fullText() : e.message(), CP_UTF8), capture.finish());
        EXPECT_EQ(e.fullText(), g_standIn.reports.back().strings[0]);
    }
}

TEST_F(EventLogTest, TheRedactedStartRecordStaysRedactedInTheEventLogAndTheLogFile) {
    TempDirectory root;
    ::CreateDirectoryW((root.path() + L"\\admin").c_str(), nullptr);
    ::CreateDirectoryW((root.path() + L"\\admin\\logs").c_str(), nullptr);
    ScopedConfigValue productRoot(L"PRODUCT_ROOT_D", root.path(), REG_SZ);
    ScopedConfigValue history(L"log_debug_history", std::optional<DWORD>());
    ScopedConfigValue rotation(L"log_debug_rotation", std::optional<DWORD>());
    ScopedConfigValue enabled(L"log_debug_enabled", std::optional<DWORD>());
    ScopedDebugValue debugOn(1);
    writeRoutingDefaults(routing_.table(), true);

    const std::wstring record = L"path: C:\\scripts\\check.php, args: -v *****, cmdLine "
                                L"\"C:\\scripts\\check.php\" -v *****";
    LogManager manager(kStandIn, logName_);
    manager.logText(Info, record);

    ASSERT_EQ(1u, g_standIn.reports.size());
    EXPECT_EQ(record, g_standIn.reports[0].strings[0]);
    EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, g_standIn.reports[0].type);
    const std::wstring file =
        root.path() + L"\\admin\\logs\\varnolog_debug" + dateText(VDateTime::now()) + L".log";
    base::ScopedFileHandle handle(::CreateFileW(file.c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(handle.valid());
    wchar_t buffer[1024] = {};
    DWORD read = 0;
    ASSERT_TRUE(::ReadFile(handle.get(), buffer, sizeof buffer - 2, &read, nullptr));
    const std::wstring text(buffer, read / 2);
    const std::wstring ending = L" Info: " + record + L"\r\n";
    ASSERT_GT(text.size(), ending.size());
    EXPECT_EQ(ending, text.substr(text.size() - ending.size()));
}

TEST_F(EventLogTest, TheSystemsOwnCallsRegisterAndReportIntoVarno) {
    // Wine hands out a source handle and accepts reports without storing them; the registry side
    // is real.
    const std::wstring program = L"zra" + uniqueText() + L".exe";
    HANDLE source = registerEventSource(logName_, program, systemEventLogApi());
    ASSERT_NE(nullptr, source);
    EXPECT_TRUE(::DeregisterEventSource(source));

    ScopedNewKey varno(serviceKey(kEventLogName));
    ScopedNewKey sourceKey(serviceKey(std::wstring(kEventLogName) + L"\\logging_tests.exe"));
    ScopedNewKey prefixedKey(
        serviceKey(std::wstring(kEventLogName) + L"\\Varno:  logging_tests.exe"));
    {
        LogManager manager;
        EXPECT_TRUE(manager.report(Error, L"to the panel's own log"));
        if (!varno.existed()) {
            EXPECT_EQ(std::optional<DWORD>(0x800000), dwordValue(varno.subKey(), L"MaxSize"));
            EXPECT_EQ(std::optional<DWORD>(0), dwordValue(varno.subKey(), L"Retention"));
        }
        const std::wstring registered =
            registry::keyExists(HKEY_LOCAL_MACHINE, serviceKey(L"Application\\logging_tests.exe"),
                                registry::ViewDefault)
                ? prefixedKey.subKey()
                : sourceKey.subKey();
        EXPECT_EQ(std::optional<std::wstring>(kMessageFile),
                  textValue(registered, L"EventMessageFile"));

        // The source is kept: a second record does not register (and rewrite the key) again.
        ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, registered.c_str()));
        EXPECT_TRUE(manager.report(Warning, L"again"));
        EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, registered, registry::ViewDefault));
    }
}
