// bench_launch: the wall time of starting a do-nothing child through zra-launcher.exe, against a
// parent that only calls CreateProcessW and waits, and against "cmd.exe /c". Each variant is timed
// from this program's CreateProcessW of the parent to the end of the wait for it; the variants run
// in interleaved rounds, every order in turn, against one stand-in service started here.
//
// Then, unless --phase-runs is 0, where the launcher's time goes: a traced build of the launcher
// (bench-launcher-traced.exe, the same code with phase stamps on standard error) is run beside the
// minimal parent, and the median of each phase is printed.
//
// Options: --rounds N (60), --warmup N (3 per variant), --gap-ms N (30), --phase-runs N (15),
//          --pipe NAME (zrapipe; another name is set in the registry for the run and put back),
//          --launcher EXE (another build of the launcher, to compare one),
//          --other EXE (another build of the launcher as a fourth variant of the same rounds, set
//          against the launcher: a build option measured side by side).
#include "base/win32.h"

#include "base/exception.h"
#include "base/text.h"
#include "base/scoped_handle.h"
#include "bench/bench_support.h"

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const wchar_t kCmd[] = L"C:\\windows\\system32\\cmd.exe";

struct Phase {
    const char* stamp; // the stamp that ends it; nullptr: the end of the wait for the process
    const wchar_t* description;
};

// In the order the launcher passes them. The traced build resolves the command and sets up
// logging before the child's start, which otherwise does both itself; the connection reads the
// configuration again.
const Phase kPhases[] = {
    {"image", L"process start, up to the first static initialiser"},
    {"wmain", L"static initialisation and CRT start, up to wmain"},
    {"entry", L"entry: fault report, translator, dispatch, up to the examination"},
    {"configuration", L"configuration reads (pipe name, connect tries)"},
    {"connection", L"service client: configuration again and pipe connect"},
    {"queries", L"queries: password and panel version"},
    {"resolution", L"resolution of the command"},
    {"logging", L"logging set-up for the start record"},
    {"child-start", L"child start (CreateProcessW and the start record)"},
    {"child-run", L"child run and the wait for it"},
    {"teardown", L"return, exit handlers and static teardown"},
    {nullptr, L"process exit, up to the end of the wait"},
};

// Runs a program built with phase stamps once, with its standard error captured; returns its
// stamps and, in start and end, this side's counter before its start and after the wait for it.
std::map<std::string, double> stampedRun(const std::wstring& exe, const std::wstring& commandLine,
                                         const bench::NullHandles& nul, double& start,
                                         double& end) {
    DWORD code = 0;
    const std::string text =
        bench::runCapturingError(exe, commandLine, nul.input(), nul.output(), code, &start, &end);
    if (code != 0)
        throw vexception(format(L"%s exited with %u", exe.c_str(), static_cast<unsigned>(code)));
    return bench::parsePhaseStamps(text);
}

double stamp(const std::map<std::string, double>& stamps, const char* name) {
    const auto found = stamps.find(name);
    if (found == stamps.end())
        throw vexception(L"a traced program gave no stamp " + wstr(name, CP_UTF8));
    return found->second;
}

// Milestones from this side's CreateProcessW, in milliseconds: to wmain, to the dispatch reaching
// the examination (the parent has none: 0), to the child's start and to the end of the wait.
struct Milestones {
    double wmain = 0;
    double dispatch = 0;
    double childStart = 0;
    double exit = 0;
};

Milestones milestones(const std::map<std::string, double>& stamps, double start, double end,
                      bool dispatches) {
    Milestones m;
    m.wmain = (stamp(stamps, "wmain") - start) * 1e3;
    m.dispatch = dispatches ? (stamp(stamps, "entry") - start) * 1e3 : 0;
    m.childStart = (stamp(stamps, "child-start") - start) * 1e3;
    m.exit = (end - start) * 1e3;
    return m;
}

void printMilestone(const wchar_t* what, std::vector<double> launcher, std::vector<double> parent) {
    const double l = bench::median(std::move(launcher));
    if (parent.empty()) {
        bench::print(L"  %-14s %8.1f ms  %8s     %s\n", what, l, L"", L"");
        return;
    }
    const double p = bench::median(std::move(parent));
    bench::print(L"  %-14s %8.1f ms  %8.1f ms  %5.2f\n", what, l, p, p > 0 ? l / p : 0.0);
}

void measurePhases(uint32_t runs, uint32_t gapMs, const std::wstring& traced,
                   const std::wstring& child, const std::wstring& tracedChild,
                   const std::wstring& tracedParent, const bench::NullHandles& nul) {
    const std::wstring commandLine = bench::quoted(traced) + L" " + bench::quoted(child);
    const std::wstring parentLine = bench::quoted(tracedParent) + L" " + bench::quoted(child);
    std::vector<std::vector<double>> lengths(std::size(kPhases));
    std::vector<double> totals;
    std::vector<double> minimalStarts;
    std::vector<double> minimalExits;
    // Launcher and parent milestones, one vector each.
    std::vector<double> lWmain, lDispatch, lChild, lExit, pWmain, pChild, pExit;
    for (uint32_t run = 0; run < runs + 1; ++run) {
        ::Sleep(gapMs);
        double minimalStart = 0;
        double minimalEnd = 0;
        const std::map<std::string, double> stamps =
            stampedRun(tracedChild, bench::quoted(tracedChild), nul, minimalStart, minimalEnd);
        ::Sleep(gapMs);
        double start = 0;
        double end = 0;
        const std::map<std::string, double> launcherStamps =
            stampedRun(traced, commandLine, nul, start, end);
        const Milestones l = milestones(launcherStamps, start, end, true);
        std::vector<double> one;
        double previous = start;
        for (const Phase& phase : kPhases) {
            const double at = phase.stamp != nullptr ? stamp(launcherStamps, phase.stamp) : end;
            one.push_back((at - previous) * 1e3);
            previous = at;
        }
        ::Sleep(gapMs);
        const std::map<std::string, double> parentStamps =
            stampedRun(tracedParent, parentLine, nul, start, end);
        const Milestones p = milestones(parentStamps, start, end, false);
        if (run == 0)
            continue; // a warm-up
        double total = 0;
        for (size_t i = 0; i < one.size(); ++i) {
            lengths[i].push_back(one[i]);
            total += one[i];
        }
        totals.push_back(total);
        lWmain.push_back(l.wmain);
        lDispatch.push_back(l.dispatch);
        lChild.push_back(l.childStart);
        lExit.push_back(l.exit);
        pWmain.push_back(p.wmain);
        pChild.push_back(p.childStart);
        pExit.push_back(p.exit);
        minimalStarts.push_back((stamp(stamps, "image") - minimalStart) * 1e3);
        minimalExits.push_back((minimalEnd - stamp(stamps, "teardown")) * 1e3);
    }
    bench::print(L"where the launcher's time goes (traced build, %u runs, median per phase):\n",
                 runs);
    for (size_t i = 0; i < std::size(kPhases); ++i)
        bench::print(L"  %8.1f ms  %s\n", bench::median(lengths[i]), kPhases[i].description);
    bench::print(L"  %8.1f ms  total of the traced launcher; the traced minimal parent beside it: "
                 L"%.1f ms\n",
                 bench::median(totals), bench::median(pExit));
    bench::print(L"from process creation (median), traced launcher against the traced minimal "
                 L"parent:\n  %-14s %11s  %11s  %5s\n",
                 L"", L"launcher", L"parent", L"ratio");
    printMilestone(L"to wmain", lWmain, pWmain);
    printMilestone(L"to dispatch", lDispatch, {});
    printMilestone(L"to child start", lChild, pChild);
    printMilestone(L"to exit", lExit, pExit);
    bench::print(L"a minimal program beside it (bench-child-traced): process start %.1f ms, "
                 L"process exit %.1f ms\n",
                 bench::median(minimalStarts), bench::median(minimalExits));
}

// The launcher with the Debug switch on (every record also goes to the rotated debug log in the
// product root) against the same launcher with it off, in alternating rounds.
void measureDebugSwitch(uint32_t rounds, uint32_t gapMs, const bench::Program& launcher,
                        const std::wstring& root, const bench::NullHandles& nul) {
    ::CreateDirectoryW((root + L"\\admin\\logs").c_str(), nullptr);
    const auto productRoot =
        zra_testing::panelValue(L"PRODUCT_ROOT_D", zra_testing::RegistryValue::text(root));
    auto debug = zra_testing::panelValue(L"Debug", zra_testing::RegistryValue::dword(0));
    std::vector<double> ratios, onTimes, offTimes;
    for (uint32_t round = 0; round <= rounds; ++round) {
        double times[2] = {};
        for (int i = 0; i < 2; ++i) {
            // Alternate which variant goes first, so neither always follows the other.
            const bool debugOn = (i == 0) == (round % 2 == 0);
            debug.set(zra_testing::RegistryValue::dword(debugOn ? 1 : 0));
            ::Sleep(gapMs);
            const double start = bench::now();
            bench::runProcess(launcher.application, launcher.commandLine, nul.input(), nul.output(),
                              nul.output());
            times[debugOn ? 0 : 1] = (bench::now() - start) * 1e3;
        }
        if (round == 0)
            continue; // a warm-up
        onTimes.push_back(times[0]);
        offTimes.push_back(times[1]);
        ratios.push_back(times[0] / times[1]);
    }
    bench::print(L"launcher with Debug on: median %.1f ms, with Debug off: median %.1f ms "
                 L"(%u rounds)\n",
                 bench::median(onTimes), bench::median(offTimes), rounds);
    bench::print(L"ratio launcher Debug on/off (median of per-round ratios): %.2f\n",
                 bench::median(ratios));
}

int run(int argc, wchar_t** argv) {
    const bench::Options options(argc, argv);
    const uint32_t rounds = options.number(L"rounds", 60, 1, 100000);
    const uint32_t warmup = options.number(L"warmup", 3, 0, 1000);
    // Under Wine a process that has been waited for is still being torn down for a few ms and
    // competes with the next start for the two cores; a pause lets every start begin on a quiet
    // machine instead of charging one variant for the previous one's exit.
    const uint32_t gapMs = options.number(L"gap-ms", 30, 0, 10000);
    const uint32_t phaseRuns = options.number(L"phase-runs", 15, 0, 100000);
    const uint32_t debugRounds = options.number(L"debug-rounds", 20, 0, 100000);
    const std::wstring pipeName = options.text(L"pipe", bench::kDefaultPipeName);
    const std::wstring directory = bench::programDirectory();
    const std::wstring child = directory + L"\\bench-child.exe";
    const std::wstring parent = directory + L"\\bench-parent.exe";
    const std::wstring traced = directory + L"\\bench-launcher-traced.exe";
    const std::wstring launcher = options.text(L"launcher", ZRA_LAUNCHER_EXE);
    const std::wstring standinExe = options.text(L"standin", ZRA_STANDIN_SERVICE_EXE);

    // The launcher starts an examination in the product root's "admin" directory.
    const std::wstring root = directory + L"\\bench-root";
    ::CreateDirectoryW(root.c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\admin").c_str(), nullptr);

    bench::PipeNameOverride override(pipeName);
    // From panel version 11.6.0 on, the launcher runs an .exe examination directly.
    bench::StandinService service(standinExe, pipeName,
                                  {L"--root", root, L"--set", L"value PANEL_VERSION=18.0.61"});

    std::vector<bench::Program> programs = {
        {L"launcher", launcher, bench::quoted(launcher) + L" " + bench::quoted(child), 0, {}},
        {L"parent", parent, bench::quoted(parent) + L" " + bench::quoted(child), 0, {}},
        {L"cmd /c", kCmd, bench::quoted(kCmd) + L" /c " + bench::quoted(child), 0, {}},
    };
    const std::wstring other = options.text(L"other", L"");
    if (!other.empty())
        programs.push_back(
            {L"other launcher", other, bench::quoted(other) + L" " + bench::quoted(child), 0, {}});

    bench::NullHandles nul;
    bench::print(L"bench_launch: %u rounds, each variant once per round, all orders in turn, "
                 L"%u ms apart\n",
                 rounds, gapMs);
    bench::preflight(programs, nul);
    bench::runRounds(programs, rounds, warmup, gapMs, nul);
    bench::printTimes(programs);
    const double launcherMedian = bench::median(programs[0].times);
    bench::print(L"ratio of medians launcher/parent: %.2f, launcher/cmd: %.2f\n",
                 launcherMedian / bench::median(programs[1].times),
                 launcherMedian / bench::median(programs[2].times));
    bench::printGoal(L"launcher/parent", bench::medianRatio(programs[0], programs[1]), 1.05);
    bench::printGoal(L"launcher/cmd", bench::medianRatio(programs[0], programs[2]), 1.0);
    if (!other.empty())
        bench::print(L"ratio other launcher/launcher (median of per-round ratios): %.3f\n",
                     bench::medianRatio(programs[3], programs[0]));

    if (debugRounds > 0)
        measureDebugSwitch(debugRounds, gapMs, programs[0], root, nul);
    if (phaseRuns > 0)
        measurePhases(phaseRuns, gapMs, traced, child, directory + L"\\bench-child-traced.exe",
                      directory + L"\\bench-parent-traced.exe", nul);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    return bench::runMain(L"bench_launch", &run, argc, argv);
}
