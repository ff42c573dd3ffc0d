// The benchmarks' own arithmetic and process handling, and that their yardsticks stay faithful:
// a wrong median or a floor program that decides differently from the launcher would make every
// printed ratio meaningless without anything failing.
#include "base/win32.h"

#include "base/exception.h"
#include "bench/bench_support.h"
#include "tools/testing/registry.h"

#include "tools/testing/standin_service.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace {

const auto windowsPath = zra_testing::backslashed;

double counterFrequency() {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart);
}

bench::Program program(const wchar_t* name, const std::vector<double>& times) {
    return {name, L"", L"", 0, times};
}

TEST(MedianRatio, IsTheMedianOfPerRoundRatiosNotTheRatioOfMedians) {
    struct Case {
        std::vector<double> a;
        std::vector<double> b;
        double expected;
    };
    const Case cases[] = {
        // Ratios 1, 2, 10: median 2, while the medians 20 / 10 would also give 2 but...
        {{10, 20, 100}, {10, 10, 10}, 2.0},
        // ...here the medians give 30 / 30 = 1 and the rounds say otherwise: 3, 3, 0.1.
        {{30, 90, 10}, {10, 30, 100}, 3.0},
        // An even count averages the middle two: ratios 1, 2, 3, 4.
        {{1, 4, 9, 16}, {1, 2, 3, 4}, 2.5},
        // Rounds beyond the shorter side are not paired with anything.
        {{2, 2, 1000}, {1, 1}, 2.0},
        {{}, {}, 0.0},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(c.expected, bench::medianRatio(program(L"a", c.a), program(L"b", c.b)));
}

TEST(PhaseStamps, ReadsEveryStampAndRejectsAnythingElse) {
    const double frequency = counterFrequency();
    const auto stamps =
        bench::parsePhaseStamps("phase image 100\r\nphase entry 250\nphase entry 300\n");
    ASSERT_EQ(2u, stamps.size());
    EXPECT_DOUBLE_EQ(100 / frequency, stamps.at("image"));
    EXPECT_DOUBLE_EQ(300 / frequency, stamps.at("entry")); // the later one of a repeated name
    EXPECT_TRUE(bench::parsePhaseStamps("").empty());

    const char* const bad[] = {
        "phase image\n",          // no counter
        "phase image -5\n",       // a counter is never negative
        "phase image 12 extra\n", // trailing text
        "stage image 12\n",       // another kind of line
        "phase image 12\n\n",     // an empty line is not a stamp
        "phase image 12x\n",
        "err:module:something went wrong\n", // what a noisy run might put on standard error
    };
    for (const char* text : bad)
        EXPECT_THROW(bench::parsePhaseStamps(text), vexception) << text;
}

TEST(Options, TakesNamedNumbersWithinTheirRangeOnly) {
    const wchar_t* good[] = {L"bench", L"--rounds", L"7", L"--pipe", L"other"};
    const bench::Options options(5, const_cast<wchar_t**>(good));
    EXPECT_EQ(7u, options.number(L"rounds", 60, 1, 100));
    EXPECT_EQ(60u, options.number(L"gap-ms", 60, 0, 100));
    EXPECT_EQ(L"other", options.text(L"pipe", L"zrapipe"));

    const std::vector<std::vector<const wchar_t*>> bad = {
        {L"bench", L"--rounds", L"0"},   // below the range
        {L"bench", L"--rounds", L"101"}, // above it
        {L"bench", L"--rounds", L"5x"},
        {L"bench", L"--rounds", L"-1"},
    };
    for (const auto& arguments : bad) {
        const bench::Options parsed(static_cast<int>(arguments.size()),
                                    const_cast<wchar_t**>(arguments.data()));
        EXPECT_THROW(parsed.number(L"rounds", 60, 1, 100), vexception) << arguments[2];
    }
    const wchar_t* dangling[] = {L"bench", L"--rounds"};
    EXPECT_THROW(bench::Options(2, const_cast<wchar_t**>(dangling)), vexception);
    const wchar_t* bare[] = {L"bench", L"rounds", L"5"};
    EXPECT_THROW(bench::Options(3, const_cast<wchar_t**>(bare)), vexception);
}

TEST(RunRounds, TimesEveryProgramOncePerRoundAfterTheWarmUp) {
    const std::wstring child = windowsPath(BENCH_CHILD_EXE);
    std::vector<bench::Program> programs = {
        {L"one", child, bench::quoted(child), 0, {}},
        {L"two", child, bench::quoted(child), 0, {}},
    };
    const bench::NullHandles nul;
    bench::runRounds(programs, 3, 1, 0, nul);
    for (const bench::Program& p : programs) {
        ASSERT_EQ(3u, p.times.size());
        for (double t : p.times)
            EXPECT_GT(t, 0.0);
    }
}

TEST(RunRounds, StopsWhenAProgramGivesAnotherExitCode) {
    // The times of a program that failed would measure its failure, not its work.
    const std::wstring child = windowsPath(BENCH_CHILD_EXE);
    std::vector<bench::Program> programs = {{L"wrong", child, bench::quoted(child), 1, {}}};
    const bench::NullHandles nul;
    try {
        bench::runRounds(programs, 2, 0, 0, nul);
        FAIL() << "no exception";
    } catch (const vexception& e) {
        EXPECT_NE(std::wstring::npos, e.message().find(L"wrong exited with 0")) << e.message();
    }
    EXPECT_THROW(bench::preflight(programs, nul), vexception);
}

namespace {

double g_ratio = 0;
std::vector<std::wstring> g_seen;

int goalBody(int argc, wchar_t** argv) {
    g_seen.assign(argv + 1, argv + argc);
    bench::printGoal(L"test/goal", 0.5, 1.0);
    bench::printGoal(L"test/ratio", g_ratio, 1.0);
    return g_seen.empty() || g_seen[0] != L"fail" ? 0 : 1;
}

} // namespace

TEST(RunMain, AGuardedRunThatMissesAGoalSaysSoInItsExitCode) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double ratio;
        std::vector<const wchar_t*> args;
        int exitCode;
    } cases[] = {
        {2.0, {}, 0}, // unguarded: the ratios are only printed
        {2.0, {L"--guard"}, bench::kGoalMissedExitCode},
        {1.0, {L"--guard"}, 0},                          // a goal met exactly is met
        {nan, {L"--guard"}, bench::kGoalMissedExitCode}, // nothing measured meets no goal
        {2.0, {L"fail", L"--guard"}, 1},                 // a run that failed stays a failure
        {0.1, {L"--rounds", L"3", L"--guard"}, 0},
    };
    for (const auto& c : cases) {
        g_ratio = c.ratio;
        std::vector<wchar_t*> argv = {const_cast<wchar_t*>(L"bench")};
        for (const wchar_t* arg : c.args)
            argv.push_back(const_cast<wchar_t*>(arg));
        EXPECT_EQ(c.exitCode, bench::runMain(L"bench_test", &goalBody,
                                             static_cast<int>(argv.size()), argv.data()))
            << c.ratio;
        // The body never sees the runner's own switch.
        for (const std::wstring& arg : g_seen)
            EXPECT_NE(L"--guard", arg);
    }
}

// The floor program stands for "--check-system" only while both decide alike: the same keys, in
// the same registry view, give the same exit code.
TEST(CheckFloor, DecidesLikeTheLauncherOnEveryServicingKey) {
    const std::wstring floor = windowsPath(BENCH_CHECK_FLOOR_EXE);
    const std::wstring launcher = windowsPath(ZRA_LAUNCHER_EXE);
    const std::wstring base = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\";
    struct Case {
        const wchar_t* key; // none: nullptr
        REGSAM view;
        DWORD expected;
    };
    const Case cases[] = {
        {nullptr, 0, 0},
        {L"Installer\\InProgress", KEY_WOW64_64KEY, 1},
        {L"Component Based Servicing\\RebootPending", KEY_WOW64_64KEY, 1},
        {L"WindowsUpdate\\Auto Update\\RebootRequired", KEY_WOW64_64KEY, 1},
        // Redirected to Wow6432Node, where Windows never writes it: not looked at.
        {L"WindowsUpdate\\Auto Update\\RebootRequired", KEY_WOW64_32KEY, 0},
    };
    const bench::NullHandles nul;
    for (const Case& c : cases) {
        std::unique_ptr<zra_testing::ScopedKey> key;
        if (c.key != nullptr)
            key.reset(new zra_testing::ScopedKey(HKEY_LOCAL_MACHINE, base + c.key, c.view));
        const std::wstring name = c.key != nullptr ? c.key : L"(none)";
        DWORD launcherCode = 0;
        bench::runCaptured(launcher, bench::quoted(launcher) + L" --check-system", nul.input(),
                           launcherCode);
        EXPECT_EQ(c.expected, launcherCode) << name;
        EXPECT_EQ(c.expected, bench::runProcess(floor, bench::quoted(floor), nul.input(),
                                                nul.output(), nul.output()))
            << name;
    }
}

// The product carries no stamps; the traced build of the same code does, from its first static
// initialiser on, in the order the process passes them.
TEST(PhaseStamps, OnlyTheTracedBuildOfTheLauncherWritesThem) {
    const std::wstring product = windowsPath(ZRA_LAUNCHER_EXE);
    const std::wstring traced = windowsPath(BENCH_LAUNCHER_TRACED_EXE);
    // A script that does not exist: the examination fails after its entry, whether or not a
    // service answers.
    const std::wstring arguments = L" Z:\\no\\such\\examination-script.exe";
    const bench::NullHandles nul;

    auto standardError = [&](const std::wstring& exe, DWORD& code) {
        return bench::runCapturingError(exe, bench::quoted(exe) + arguments, nul.input(),
                                        nul.output(), code);
    };

    DWORD productCode = 0;
    EXPECT_EQ("", standardError(product, productCode));
    DWORD tracedCode = 0;
    const auto stamps = bench::parsePhaseStamps(standardError(traced, tracedCode));
    EXPECT_EQ(productCode, tracedCode);
    EXPECT_EQ(1u, tracedCode);
    ASSERT_EQ(1u, stamps.count("image"));
    ASSERT_EQ(1u, stamps.count("wmain"));
    ASSERT_EQ(1u, stamps.count("entry"));
    ASSERT_EQ(1u, stamps.count("teardown"));
    EXPECT_LT(stamps.at("image"), stamps.at("wmain"));
    EXPECT_LT(stamps.at("wmain"), stamps.at("entry"));
    EXPECT_LT(stamps.at("entry"), stamps.at("teardown"));
}

} // namespace
