// The small fast form of the fault-injection campaign: the injector itself, the judging of runs,
// and the faults the campaign found, each run once against its mended behaviour.
#include "tools/faults/campaign.h"
#include "tools/faults/fault_table.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using faults::Observation;
using faults::Outcome;

Observation seen(uint32_t exitCode, const std::string& out, bool fired = true) {
    Observation o;
    o.exitCode = exitCode;
    o.out = out;
    o.fired = fired;
    return o;
}

const char kBusy[] = "Another installation is in progress. Please wait for it to complete.";

TEST(FaultJudge, OutcomesAgainstTheRunWithoutAFault) {
    struct Row {
        const char* name;
        bool check;
        bool notFound;
        bool probe;
        Observation baseline;
        Observation run;
        Outcome expected;
    };
    Observation hang = seen(0xFFFFFFFE, "");
    hang.timedOut = true;
    const Observation child = seen(7, "cmdline: php.exe x\ncwd: c\n", false);
    const Row rows[] = {
        {"unchanged check", true, false, true, seen(0, "", false), seen(0, "", false), Outcome::Ok},
        {"ready after a fault stopped a check", true, false, true, seen(0, "", false), seen(0, ""),
         Outcome::WrongSuccess},
        {"ready after a not-found fault", true, true, true, seen(0, "", false), seen(0, ""),
         Outcome::Ok},
        {"ready after a fault the checks do not depend on", true, false, false, seen(0, "", false),
         seen(0, ""), Outcome::Ok},
        {"ready where the system is busy", true, false, true, seen(1, kBusy, false), seen(0, ""),
         Outcome::WrongSuccess},
        {"failure text on its own line", true, false, true, seen(1, kBusy, false),
         seen(1, std::string(kBusy) + "\nstd::bad_alloc"), Outcome::Clean},
        {"failure text run on", true, false, true, seen(1, kBusy, false),
         seen(1, std::string(kBusy) + "std::bad_alloc"), Outcome::Garbled},
        {"restart report after the busy line", true, false, true, seen(1, kBusy, false),
         seen(1, std::string(kBusy) + "The following services require a system restart:\n"),
         Outcome::Clean},
        {"NUL bytes", false, false, true, child, seen(1, std::string(4, '\0')), Outcome::Garbled},
        {"unknown error for a known code", false, false, true, child,
         seen(1, "Unknown error (Error code 5)"), Outcome::Garbled},
        {"abort", false, false, true, child, seen(3, ""), Outcome::Crash},
        {"access violation", false, false, true, child, seen(0xC0000005, ""), Outcome::Crash},
        {"hang", false, false, true, child, hang, Outcome::Hang},
        {"child without its output", false, false, true, child, seen(7, ""), Outcome::WrongSuccess},
        {"child on another road", false, false, true, child, seen(7, "cmdline: php.exe -c ini x\n"),
         Outcome::WrongSuccess},
        {"exit 1 while the child ran", false, false, true, child,
         seen(1, "cmdline: php.exe x\ncwd: c\nUnable to wait"), Outcome::Other},
        {"exit 1 without a word", false, false, true, child, seen(1, ""), Outcome::Other},
        {"clean failure", false, false, true, child,
         seen(1, "Unable to start (x): (5) Access denied."), Outcome::Clean},
        {"clean failure of a failing scenario", false, false, true,
         seen(1, "Unable to connect", false), seen(1, "Out of memory."), Outcome::Clean},
        {"success where the scenario fails", false, false, true,
         seen(1, "Unable to connect", false), seen(0, ""), Outcome::WrongSuccess},
    };
    for (const Row& row : rows) {
        faults::ScenarioTraits traits;
        traits.checkSystem = row.check;
        traits.notFoundError = row.notFound;
        traits.probe = row.probe;
        std::string why;
        EXPECT_EQ(faults::outcomeName(faults::judge(traits, row.baseline, row.run, why)),
                  std::string(faults::outcomeName(row.expected)))
            << row.name;
    }
}

TEST(FaultTable, EveryRuleIsUsableByTheInjector) {
    unsigned count = 0;
    const faults::Rule* rules = faults::rules(count);
    ASSERT_GT(count, 100u);
    for (unsigned i = 0; i < count; ++i) {
        EXPECT_EQ(faults::findRule(rules[i].name), &rules[i]) << rules[i].name << " twice";
        EXPECT_EQ(rules[i].argBytes % 4, 0) << rules[i].name;
        if (rules[i].failure == faults::Failure::Status)
            EXPECT_NE(faults::failureValue(rules[i], rules[i].error), 0u) << rules[i].name;
    }
    EXPECT_EQ(faults::failureValue(*faults::findRule("CreateFileW"), 5), 0xFFFFFFFFu);
    EXPECT_EQ(faults::failureValue(*faults::findRule("RegOpenKeyExW"), 5), 5u);
    EXPECT_EQ(faults::failureValue(*faults::findRule("CoCreateGuid"), 8), 0x80070008u);
    EXPECT_EQ(faults::findRule("GetLastError"), nullptr);
}

TEST(FaultInjector, CountsCallsAndFailsTheNamedOne) {
    faults::Session session("check-clear");
    ASSERT_EQ(session.problem(), "");
    std::string counts;
    const Observation plain = session.run("count", &counts);
    EXPECT_EQ(plain.exitCode, 0u) << plain.out;
    bool sawMutex = false;
    for (const auto& entry : faults::parseCounts(counts))
        if (entry.first == "OpenMutexW")
            sawMutex = entry.second == 1;
    EXPECT_TRUE(sawMutex) << counts;

    std::string error;
    const Observation failed = session.run("OpenMutexW:1:5", &error);
    EXPECT_TRUE(failed.fired) << error;
    // Denied: the mutex exists under an account this one cannot open it as.
    EXPECT_EQ(failed.exitCode, 1u);
    EXPECT_EQ(failed.out, kBusy);

    // A call past the count is never made; a malformed setting stops the program at once.
    const Observation beyond = session.run("OpenMutexW:2:5", &error);
    EXPECT_FALSE(beyond.fired);
    EXPECT_EQ(beyond.exitCode, 0u);
    EXPECT_EQ(session.run("OpenMutexW", &error).exitCode, 99u);
    EXPECT_EQ(session.run("GetLastError:1:5", &error).exitCode, 98u);
}

// Each fault the campaign found, with the text or result now given.
TEST(FaultCampaign, FoundFaultsEndInTheMendedResult) {
    struct Row {
        const char* scenario;
        const char* fault;
        uint32_t exitCode;
        const char* text; // a piece of the output; "" for none at all
    };
    const Row rows[] = {
        {"check-clear", "OpenMutexW:1:6", 1,
         "Unable to check whether another installation is in progress: (6) "},
        {"check-clear", "OpenMutexW:1:2", 0, ""},
        {"check-clear", "RegOpenKeyExW:2:5", 1,
         "Unable to check for a restart pending from Component-Based Servicing: (5) "},
        {"check-clear", "RegOpenKeyExW:3:2", 0, ""},
        {"check-busy", "WriteFile:1:112", 1, "Unable to write to standard output: (112) "},
        {"php-18", "GetStdHandle:2:6", 1, "Unable to get standard handle: (6) "},
        // The wait is made again; the child's own code and output come through.
        {"php-18", "WaitForSingleObjectEx:1:6", 7, "cmdline: "},
        // The failure text could not be written: the boundary's own words follow.
        {"service-down", "WriteFile:1:112", 1, "Failed to launch an examination."},
        // php.exe that could not be examined for want of memory is no unknown application.
        {"php-11", "GetBinaryTypeW:1:8", 1, "php.exe): (8) "},
        // The system text is looked up again, not given as unknown.
        {"service-down", "FormatMessageW:1:8", 1, "(Error code 2) at Unable to connect to pipe"},
        // The UTF-8 conversion of the failure text failed: its ASCII form, not NULs.
        {"service-down", "WideCharToMultiByte:2:122", 1, "Unable to connect to pipe"},
    };
    for (const Row& row : rows) {
        faults::Session session(row.scenario);
        ASSERT_EQ(session.problem(), "");
        std::string error;
        const Observation run = session.run(row.fault, &error);
        EXPECT_TRUE(run.fired) << row.fault << ": " << error;
        EXPECT_EQ(run.exitCode, row.exitCode) << row.fault << ": " << run.out;
        if (*row.text)
            EXPECT_NE(run.out.find(row.text), std::string::npos) << row.fault << ": " << run.out;
        else
            EXPECT_EQ(run.out, "") << row.fault;
    }
}

// A few whole rows of the campaign: no run may end worse than a clean failure.
TEST(FaultCampaign, SmallFormHasNoBadOutcome) {
    faults::Options options;
    options.scenarios = {"check-busy", "php-18"};
    options.functions = {"OpenMutexW",     "RegOpenKeyExW", "WideCharToMultiByte",
                         "FormatMessageW", "GetStdHandle",  "WaitForSingleObjectEx"};
    options.maxCalls = 4;
    const faults::Figures figures = faults::runCampaign(options);
    EXPECT_TRUE(figures.problems.empty());
    EXPECT_GT(figures.runs, 6u);
    for (const faults::Case& item : figures.cases)
        ADD_FAILURE() << item.scenario << " " << item.function << ":" << item.call << ":"
                      << item.error << " " << faults::outcomeName(item.outcome) << " (" << item.why
                      << "): " << item.observation.out;
}

} // namespace
