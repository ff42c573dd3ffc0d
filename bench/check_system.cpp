// bench_check_system: the wall time of "zra-launcher.exe --check-system" against bench-check-floor,
// a program that makes the same four system calls and nothing else, and against an empty program.
// All run with output to NUL in interleaved rounds, every order in turn; the goal is the median
// of the per-round ratios launcher/floor.
//
// Options: --rounds N (60), --warmup N (3 per program), --gap-ms N (30),
//          --launcher EXE (another build of the launcher, to compare one).
#include "base/win32.h"

#include "base/exception.h"
#include "base/text.h"
#include "bench/bench_support.h"

#include <string>
#include <vector>

namespace {

int run(int argc, wchar_t** argv) {
    const bench::Options options(argc, argv);
    const uint32_t rounds = options.number(L"rounds", 60, 1, 100000);
    const uint32_t warmup = options.number(L"warmup", 3, 0, 1000);
    // See bench_launch: a pause lets each start begin after the previous process is torn down.
    const uint32_t gapMs = options.number(L"gap-ms", 30, 0, 10000);
    const std::wstring directory = bench::programDirectory();
    const std::wstring floor = directory + L"\\bench-check-floor.exe";
    const std::wstring empty = directory + L"\\bench-child.exe";
    const std::wstring launcher = options.text(L"launcher", ZRA_LAUNCHER_EXE);

    bench::NullHandles nul;
    // The floor's exit code is what the launcher must give on this machine: 1 while an
    // installation runs or a restart is pending, else 0.
    const DWORD expected =
        bench::runProcess(floor, bench::quoted(floor), nul.input(), nul.output(), nul.output());
    std::vector<bench::Program> programs = {
        {L"check", launcher, bench::quoted(launcher) + L" --check-system", expected, {}},
        {L"floor", floor, bench::quoted(floor), expected, {}},
        {L"empty", empty, bench::quoted(empty), 0, {}},
    };

    bench::print(L"bench_check_system: %u rounds, each program once per round, all orders in "
                 L"turn, %u ms apart\n",
                 rounds, gapMs);
    bench::preflight(programs, nul);
    bench::runRounds(programs, rounds, warmup, gapMs, nul);
    bench::printTimes(programs);
    bench::print(L"ratio floor/empty: %.2f (what the four calls cost a minimal program)\n",
                 bench::medianRatio(programs[1], programs[2]));
    bench::print(L"ratio check/empty: %.2f\n", bench::medianRatio(programs[0], programs[2]));
    bench::printGoal(L"check/floor", bench::medianRatio(programs[0], programs[1]), 1.05);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    return bench::runMain(L"bench_check_system", &run, argc, argv);
}
