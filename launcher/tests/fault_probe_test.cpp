// The launcher's entry in a process of its own around work that faults: what the installer sees
// (standard output, exit code) and what is left in the dump directory.
#include "crash/tests/config_test_support.h"
#include "crash/tests/dump_test_support.h"
#include "tools/runner/run_process.h"
#include "tools/testing/fault_codes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

using zra_test::DumpConfig;
using zra_test::ScopedConfigValue;
using zra_test::TempDirectory;

const char kFaultText[] = "C structured exception: 0xc0000005";

std::wstring probePath() {
    std::wstring path = ZRA_FAULT_PROBE_EXE;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

struct ProbeRun {
    runner::RunResult result;
    DWORD faultingThread = 0;
};

ProbeRun runProbe(const wchar_t* writer, const wchar_t* road, DWORD timeoutMs = 60000) {
    runner::RunOptions options;
    options.timeoutMs = timeoutMs;
    ProbeRun run;
    run.result = runner::runProgram(probePath(), {L"--writer", writer, road}, options);
    EXPECT_FALSE(run.result.timedOut);
    const size_t at = run.result.err.find("thread ");
    if (at != std::string::npos)
        run.faultingThread = std::stoul(run.result.err.substr(at + 7));
    return run;
}

// "crash-fault-probe" followed by "YYYYMMDD_HHMMSS.dmp".
bool isDumpName(const std::wstring& name) {
    const std::wstring base = L"crash-fault-probe";
    if (name.size() != base.size() + 19 || name.compare(0, base.size(), base) != 0)
        return false;
    const std::wstring stamp = name.substr(base.size());
    for (size_t i = 0; i < 15; ++i)
        if (i == 8 ? stamp[i] != L'_' : !std::iswdigit(stamp[i]))
            return false;
    return stamp.substr(15) == L".dmp";
}

// A fault inside system code cannot be unwound into an exception; it ends the process from the
// last-chance filter with the same dump, text and exit code as a translated one.
TEST(FaultProbe, FaultLeavesOneNamedDumpAndTheSameOutputAsWithoutDumps) {
    struct Case {
        const char* what;
        const wchar_t* road;
        bool dumpsOn;
    } cases[] = {{"own code, dumps on", L"fault", true},
                 {"own code, dumps off", L"fault", false},
                 {"system code, dumps on", L"system", true},
                 {"system code, dumps off", L"system", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDirectory temp;
        const std::wstring dumps = temp.path() + L"\\etc\\crashdumps";
        DumpConfig config;
        config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()));
        if (!c.dumpsOn)
            config.set(ScopedConfigValue::dword(L"CrashDumpsEnabled", 0));

        const ProbeRun run = runProbe(L"fake", c.road);
        EXPECT_EQ(kFaultText, zra_test::withFaultCode(run.result.out, 0xC0000005u));
        EXPECT_EQ(1u, run.result.exitCode);
        const std::vector<std::wstring> names = zra_test::listNames(dumps);
        if (!c.dumpsOn) {
            EXPECT_TRUE(names.empty());
            continue;
        }
        ASSERT_EQ(1u, names.size());
        EXPECT_TRUE(isDumpName(names[0]));
        const zra_test::FakeDump dump = zra_test::readFakeDump(dumps + L"\\" + names[0]);
        ASSERT_TRUE(dump.valid);
        EXPECT_EQ(run.faultingThread, dump.faultingThread);
        EXPECT_NE(run.faultingThread, dump.writerThread);
        EXPECT_PRED2(zra_test::isReportedFault, 0xC0000005u, dump.code);
        EXPECT_EQ(7u, dump.type);
    }
}

// The failure text starts its own line after a console record.
TEST(FaultProbe, FailureTextFollowsAConsoleRecordOnALineOfItsOwn) {
    TempDirectory temp;
    DumpConfig config;
    config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()));
    const ProbeRun run = runProbe(L"fake", L"record");
    EXPECT_EQ(std::string("a console record\n") + kFaultText,
              zra_test::withFaultCode(run.result.out, 0xC0000005u));
    EXPECT_EQ(1u, run.result.exitCode);
}

TEST(FaultProbe, DumpDirectoryIsMadeAtStartWithoutAnyFault) {
    TempDirectory temp;
    DumpConfig config;
    config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()));
    const ProbeRun run = runProbe(L"fake", L"none");
    EXPECT_EQ(0u, run.result.exitCode);
    EXPECT_EQ("", run.result.out);
    EXPECT_TRUE(zra_test::directoryExists(temp.path() + L"\\etc\\crashdumps"));
}

// The run's own use of the security helpers (log cleanup takes files over) must not leave pruning
// at exit with helpers already destroyed: read-only dumps need them.
TEST(FaultProbe, ExitPrunesToTheConfiguredCount) {
    struct Case {
        DWORD maxCount;
        size_t dumpsLeft;
        const wchar_t* road;
    } cases[] = {{10, 10, L"none"}, {0, 0, L"none"}, {0, 0, L"cleanup"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "CrashDumpsMaxCount " << c.maxCount << " road "
                                        << std::string(c.road, c.road + std::wcslen(c.road)));
        TempDirectory temp;
        const std::wstring dumps = temp.path() + L"\\etc\\crashdumps";
        ASSERT_TRUE(::CreateDirectoryW((temp.path() + L"\\etc").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(dumps.c_str(), nullptr));
        std::vector<std::wstring> newest;
        for (int i = 0; i < 12; ++i) {
            const std::wstring name = L"crash-fault-probe2020010" + std::to_wstring(i % 9) +
                                      L"_0000" + std::to_wstring(10 + i) + L".dmp";
            zra_test::makeFile(dumps + L"\\" + name, i * 3600);
            // Read-only dumps go as well: their removal takes the file over first.
            if (i % 3 == 0)
                ::SetFileAttributesW((dumps + L"\\" + name).c_str(), FILE_ATTRIBUTE_READONLY);
            if (i >= 12 - static_cast<int>(c.dumpsLeft))
                newest.push_back(name);
        }
        zra_test::makeFile(dumps + L"\\dumps.zip", -1);
        DumpConfig config;
        config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()))
            .set(ScopedConfigValue::dword(L"CrashDumpsMaxCount", c.maxCount));

        EXPECT_EQ(0u, runProbe(L"fake", c.road).result.exitCode);
        newest.push_back(L"dumps.zip");
        std::vector<std::wstring> left = zra_test::listNames(dumps);
        std::sort(newest.begin(), newest.end());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(newest, left);
    }
}

TEST(FaultProbe, BrokenOrUnusableConfigurationStillTranslatesTheFault) {
    TempDirectory temp;
    std::wstring longLocation = temp.path();
    while (longLocation.size() < 300)
        longLocation += L"\\abcdefghijklmnopqrstuvwxyz";
    struct Case {
        const char* what;
        ScopedConfigValue (*value)(const std::wstring& longLocation);
        std::wstring dumps;
    } cases[] = {
        {"switch of the wrong type",
         [](const std::wstring&) { return ScopedConfigValue::text(L"CrashDumpsEnabled", L"1"); },
         temp.path() + L"\\etc\\crashdumps"},
        {"300-character location",
         [](const std::wstring& location) {
             return ScopedConfigValue::text(L"CrashDumpsLocation", location);
         },
         longLocation},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DumpConfig config;
        config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()))
            .set(c.value(longLocation));
        const ProbeRun run = runProbe(L"fake", L"fault");
        EXPECT_EQ(1u, run.result.exitCode);
        // A refused location is logged before the failure text; the text itself is unchanged.
        const std::string out = zra_test::withFaultCode(run.result.out, 0xC0000005u);
        ASSERT_GE(out.size(), sizeof kFaultText - 1);
        EXPECT_EQ(kFaultText, out.substr(out.size() - (sizeof kFaultText - 1)));
        EXPECT_TRUE(zra_test::listNames(c.dumps).empty());
    }
}

// The one dump the run left in dumps, read as a minidump and checked against the fault.
void expectOneRealDump(const std::wstring& dumps, const ProbeRun& run, uint32_t code) {
    const std::vector<std::wstring> names = zra_test::listNames(dumps);
    ASSERT_EQ(1u, names.size());
    EXPECT_TRUE(isDumpName(names[0]));
    const zra_test::MiniDumpSummary dump = zra_test::readMiniDump(dumps + L"\\" + names[0]);
    EXPECT_TRUE(dump.signature);
    ASSERT_TRUE(dump.hasException);
    EXPECT_EQ(run.faultingThread, dump.faultingThread);
    EXPECT_TRUE(dump.faultingThreadListed);
    EXPECT_PRED2(zra_test::isReportedFault, code, dump.code);
}

// A stack overflow leaves the faulting thread no stack to write a dump or to throw on: the dump
// thread writes the dump and the failure text and ends the process with 1, dumps on or off. The
// real writer is asked for a small dump here; the full one is shown below.
TEST(FaultProbe, StackOverflowInGuardedWorkLeavesADumpAndTheProcessEnds) {
    for (const bool dumpsOn : {true, false}) {
        SCOPED_TRACE(dumpsOn ? "dumps on" : "dumps off");
        TempDirectory temp;
        DumpConfig config;
        config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()));
        if (!dumpsOn)
            config.set(ScopedConfigValue::dword(L"CrashDumpsEnabled", 0));
        const ProbeRun run = runProbe(L"normal", L"overflow", 300000);
        EXPECT_EQ("C structured exception: 0xc00000fd",
                  zra_test::withFaultCode(run.result.out, 0xC00000FDu));
        EXPECT_EQ(1u, run.result.exitCode);
        if (dumpsOn)
            expectOneRealDump(temp.path() + L"\\etc\\crashdumps", run, 0xC00000FDu);
        else
            EXPECT_TRUE(zra_test::listNames(temp.path() + L"\\etc\\crashdumps").empty());
    }
}

// The one full-memory dump of the suite: it takes seconds and tens of megabytes.
TEST(FaultProbe, RealFullDumpHoldsTheFaultAndItsThread) {
    TempDirectory temp;
    DumpConfig config;
    config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()));
    const ProbeRun run = runProbe(L"real", L"fault", 400000);
    EXPECT_EQ(kFaultText, zra_test::withFaultCode(run.result.out, 0xC0000005u));
    EXPECT_EQ(1u, run.result.exitCode);
    expectOneRealDump(temp.path() + L"\\etc\\crashdumps", run, 0xC0000005u);
}

} // namespace
