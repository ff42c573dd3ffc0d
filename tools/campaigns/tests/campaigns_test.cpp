// Small, fast forms of the field-readiness campaigns, and the judging they rest on.
#include "base/win32.h"

#include "tools/campaigns/campaign.h"
#include "tools/campaigns/malformed_replies.h"
#include "tools/campaigns/service_faults.h"
#include "tools/campaigns/stability.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace campaign;

TEST(CampaignRandom, ASeedReplaysEachCaseAndCasesDiffer) {
    Random a = caseRandom(42, 7, 0);
    Random b = caseRandom(42, 7, 0);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(a.next(), b.next());
    EXPECT_NE(caseRandom(42, 7, 0).next(), caseRandom(42, 8, 0).next());
    EXPECT_NE(caseRandom(42, 7, 0).next(), caseRandom(42, 7, 1).next());
    EXPECT_NE(caseRandom(42, 7, 0).next(), caseRandom(43, 7, 0).next());
    Random r(1);
    EXPECT_EQ(r.below(0), 0u);
    for (int i = 0; i < 1000; ++i)
        ASSERT_LT(r.below(3), 3u);
}

TEST(CampaignWatchdog, OnlyAStepPastTheBoundIsCountedAndFreed) {
    base::ScopedHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> expiries{0};
    Watchdog watchdog(300, [&] {
        ++expiries;
        ::SetEvent(release.get());
    });
    watchdog.arm();
    EXPECT_FALSE(watchdog.disarm());
    // A step that would wait forever is let go by the expiry.
    watchdog.arm();
    EXPECT_EQ(::WaitForSingleObject(release.get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(watchdog.disarm());
    EXPECT_EQ(expiries, 1);
    // The next step starts clean.
    watchdog.arm();
    EXPECT_FALSE(watchdog.disarm());
    EXPECT_EQ(expiries, 1);
}

TEST(MalformedReplies, NoQueryCrashesHangsOrTakesAnotherQuerysAnswer) {
    RepliesOptions options;
    options.count = 1000;
    options.seed = 20261208;
    const RepliesFigures f = runMalformedReplies(options);
    EXPECT_EQ(f.queries, options.count);
    EXPECT_EQ(f.unexpected, 0u);
    EXPECT_EQ(f.hangs, 0u);
    // A service that sends a whole second reply can still have it arrive after the next query
    // checked the pipe; no other way to a cross answer may remain.
    EXPECT_EQ(f.crossAnswers - f.lateExtraReplies, 0u);
    EXPECT_GT(f.intact, 0u);
    EXPECT_EQ(f.intactWrong, 0u);
    EXPECT_GT(f.failed, 0u);
    EXPECT_GT(f.retried, 0u);
    for (unsigned k = 0; mutationName(k) != nullptr; ++k)
        EXPECT_GT(f.kinds[k], 0u) << mutationName(k);
    // Lengths of gigabytes were claimed; memory followed the bytes that came.
    EXPECT_GE(f.largestAnnounced, 0x7FFFFFFFu);
    EXPECT_LE(f.largestAllocation, 2 * f.largestReplySent + 8192);
}

TEST(MalformedReplies, TheSameSeedSendsTheSameReplies) {
    // The first reply to each query follows from the seed alone; whether a connection is found
    // out of step (and so what is retried) also depends on timing, and now and then a query whose
    // both attempts fail before the server reads them has no first reply at all.
    RepliesOptions options;
    options.count = 150;
    options.seed = 77;
    const RepliesFigures a = runMalformedReplies(options);
    const RepliesFigures b = runMalformedReplies(options);
    options.seed = 78;
    const RepliesFigures c = runMalformedReplies(options);
    bool differs = false;
    for (unsigned k = 0; mutationName(k) != nullptr; ++k) {
        EXPECT_NEAR(double(a.kinds[k]), double(b.kinds[k]), 2) << mutationName(k);
        differs = differs || a.kinds[k] != c.kinds[k];
    }
    EXPECT_TRUE(differs);
    EXPECT_EQ(a.queries, b.queries);
}

TEST(ServiceFaults, LaunchesAreJudgedByTheChildsExactLineOrAKnownText) {
    const std::wstring line = L"\"C:\\p\\php.exe\" -q \"C:\\s.php\" pw";
    const std::string report = "cmdline: \"C:\\p\\php.exe\" -q \"C:\\s.php\" pw\ncwd: C:\\p\n";
    const struct {
        std::string output;
        uint32_t exitCode;
        bool timedOut;
        Outcome expected;
    } cases[] = {
        {report, 0, false, Outcome::ExactChild},
        // The child's exit code is the launcher's: a child that ran but failed is no clean run.
        {report, 3, false, Outcome::WrongChild},
        {"cmdline: \"C:\\p\\php.exe\" -q \"C:\\s.php\" p\ncwd: C:\\p\n", 0, false,
         Outcome::WrongChild},
        {"cmdline: \"C:\\p\\php.exe\" -q \"C:\\s.php\" pw\ncwd: C:\\q\n", 0, false,
         Outcome::WrongChild},
        // A child whose report was cut still ran.
        {"cwd: C:\\p\n", 0, false, Outcome::WrongChild},
        {"Unexpected end of data when read from serializer.", 1, false, Outcome::ErrorText},
        {"campaign refusal", 1, false, Outcome::ErrorText},
        {"Pipe is finished", 1, false, Outcome::ErrorText},
        {"Completed only 31 of 32 bytes", 1, false, Outcome::ErrorText},
        {"Unexpected end of data when read from serializer.", 0, false, Outcome::OtherText},
        {"", 1, false, Outcome::OtherText},
        {"something else", 1, false, Outcome::OtherText},
        {report, 0, true, Outcome::Hang},
    };
    for (const auto& c : cases)
        EXPECT_EQ(judgeLaunch(c.output, c.exitCode, c.timedOut, line, L"C:\\p"), c.expected)
            << c.output << " / " << c.exitCode;
}

TEST(ServiceFaults, TheLauncherRetriesOrReportsAndNeverStartsAWrongChild) {
    FaultsOptions options;
    options.queries = {L"pwd", L"componentInfo"};
    options.faults = {L"close reply", L"stray 4", L"truncate 3", L"badlength 100000"};
    options.always = false;
    FaultsFigures f = runServiceFaults(options);
    options.faults = {L"error campaign refusal"};
    options.queries = {L"PRODUCT_ROOT_D"};
    options.once = false;
    options.always = true;
    const FaultsFigures refused = runServiceFaults(options);
    f.runs.insert(f.runs.end(), refused.runs.begin(), refused.runs.end());
    ASSERT_EQ(f.runs.size(), 9u);
    for (const FaultRun& run : f.runs) {
        const bool transport = run.fault.find(L"close") != std::wstring::npos ||
                               run.fault.find(L"stray") != std::wstring::npos;
        // Applied once, a broken transfer is retried on a fresh connection and the launch goes on.
        if (transport)
            EXPECT_EQ(run.outcome, Outcome::ExactChild) << utf8(run.fault) << run.output;
        else
            EXPECT_TRUE(run.outcome == Outcome::ExactChild || run.outcome == Outcome::ErrorText)
                << utf8(run.fault) << run.output;
    }
    EXPECT_EQ(f.runs.back().outcome, Outcome::ErrorText) << f.runs.back().output;
    EXPECT_NE(f.runs.back().output.find("campaign refusal"), std::string::npos);
}

TEST(Stability, RestartsOfTheServiceLeakNoHandlesAndNoMemory) {
    StabilityOptions options;
    options.count = 600;
    options.restartAfter = 25;
    options.warmUp = 200;
    options.sampleEvery = 100;
    const StabilityFigures f = runStability(options);
    ASSERT_TRUE(f.serviceStarted);
    EXPECT_EQ(f.answered + f.failed, options.count);
    EXPECT_EQ(f.wrong, 0u);
    // How many queries a restart costs, and how many restarts are logged as reconnects, are races
    // whose odds follow the machine's speed and load: only what holds either way is asserted. A
    // query fails only while the service recreates its pipe (it finds none, or the instance it
    // reached is closed under it: a transfer of 0 bytes), so failures come in stretches, at most
    // one for each restart, and the client recovers after each.
    // The service restarts after every so many exchanges it answered; besides the queries answered
    // here, it may have answered an attempt whose reply was lost (retried, so a reconnect) or the
    // last attempt of a failed query.
    const uint32_t restarts = (f.answered + f.reconnects + f.failed) / options.restartAfter;
    EXPECT_LE(f.failureRuns, restarts + 1) << f.failed << " failed";
    for (const std::string& failure : f.failures)
        EXPECT_TRUE(failure.find("Unable to connect to pipe") != std::string::npos ||
                    failure.find("Pipe is finished") != std::string::npos ||
                    failure.find("Completed only 0 of") != std::string::npos)
            << failure;
    // Sixteen restarts after the warm-up, each a new connection whether or not a query saw it
    // break: one handle lost on each would show.
    EXPECT_LE(f.after.nextHandle, f.before.nextHandle + 4 * 4);
    EXPECT_LE(f.after.handles, f.before.handles + 4);
    // Allows the one-time load of message tables by a first failure; a per-query loss would not
    // fit.
    EXPECT_LE(f.after.pagefile, f.before.pagefile + 3 * 1024 * 1024);
    EXPECT_LE(f.after.privateBytes, f.before.privateBytes + 3 * 1024 * 1024);
}
