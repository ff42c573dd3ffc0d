// What both benchmarks share: a clock, medians, the stand-in management service as a child
// process, and the pipe-name override in the panel's configuration key.
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"
#include "tools/testing/registry.h"
#include "tools/testing/standin_service.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// Seconds from an arbitrary origin, at the resolution of the performance counter.
double now();

double median(std::vector<double> values);

// printf-like to stdout, flushed at once so a run that is killed still shows what it measured.
void print(const wchar_t* format, ...);

// One ratio line: "ratio NAME: R (goal <= G) met" or "... NOT MET".
void printGoal(const wchar_t* name, double ratio, double goal);

// The exit code of a benchmark run with "--guard" that missed a goal of its own.
constexpr int kGoalMissedExitCode = 2;

// Runs a benchmark's body; a failure is printed with the program's name and gives exit code 1.
// With the switch "--guard" among the arguments (taken out before the body sees them), a body
// that ends normally but missed one of its goals gives kGoalMissedExitCode instead of 0.
int runMain(const wchar_t* program, int (*body)(int, wchar_t**), int argc, wchar_t** argv);

// The directory of this program, without a trailing separator.
std::wstring programDirectory();

// The argument in double quotes when it holds a blank or a quote (for paths on command lines).
std::wstring quoted(const std::wstring& argument);

// Command-line options of the form "--name value"; throws vexception for an unknown or bad one.
class Options {
public:
    Options(int argc, wchar_t** argv);
    uint32_t number(const wchar_t* name, uint32_t fallback, uint32_t low, uint32_t high) const;
    std::wstring text(const wchar_t* name, const std::wstring& fallback) const;

private:
    std::vector<std::pair<std::wstring, std::wstring>> values_;
};

// The stand-in management service as a child process on pipeName, serving until this object goes
// away, when its stop event is set. Its standard error is this program's, so its complaints are
// seen; throws when it does not get ready.
class StandinService : public zra_testing::StandinService {
public:
    StandinService(const std::wstring& exe, const std::wstring& pipeName,
                   const std::vector<std::wstring>& extraArguments);
    ~StandinService();
};

// Points the service client at another pipe through the panel's configuration key ("zrapipe",
// 32-bit view), and puts back exactly what was there. Does nothing for the default name.
class PipeNameOverride {
public:
    explicit PipeNameOverride(const std::wstring& pipeName);

private:
    std::optional<zra_testing::ScopedValue> value_;
};

// Standard handles for measured programs: NUL for input and for output, inheritable.
class NullHandles {
public:
    NullHandles();
    HANDLE input() const { return input_.get(); }
    HANDLE output() const { return output_.get(); }

private:
    base::ScopedFileHandle input_;
    base::ScopedFileHandle output_;
};

// Starts a program with the given standard handles (inherited), waits, returns its exit code.
DWORD runProcess(const std::wstring& application, const std::wstring& commandLine, HANDLE input,
                 HANDLE output, HANDLE error);

// Runs a program once with its standard output and error captured together (up to 64 KiB, read
// after the exit) and returns what it wrote.
std::string runCaptured(const std::wstring& application, const std::wstring& commandLine,
                        HANDLE input, DWORD& exitCode);

// Runs a program once with the given input and output and its standard error captured; returns
// what it wrote there. started and ended, when given, get now() just before the start and just
// after the wait.
std::string runCapturingError(const std::wstring& application, const std::wstring& commandLine,
                              HANDLE input, HANDLE output, DWORD& exitCode,
                              double* started = nullptr, double* ended = nullptr);

// A program measured whole, from its start to the end of the wait for it, in milliseconds.
struct Program {
    const wchar_t* name;
    std::wstring application;
    std::wstring commandLine;
    DWORD expectedExitCode;
    std::vector<double> times; // one per round
};

// One captured run of each program, printed, to show what it does; throws when a program's exit
// code is not the expected one, as its times would then measure something else.
void preflight(const std::vector<Program>& programs, const NullHandles& nul);

// Times the programs in interleaved rounds, each once per round, every order in turn, gapMs
// apart, after warmup untimed rounds. Throws when a program's exit code is not the expected one.
void runRounds(std::vector<Program>& programs, uint32_t rounds, uint32_t warmup, uint32_t gapMs,
               const NullHandles& nul);

// The median, minimum and maximum of each program's times, one line each.
void printTimes(const std::vector<Program>& programs);

// The median over rounds of a's time divided by b's in the same round.
double medianRatio(const Program& a, const Program& b);

// The stamps a traced program wrote, one "phase NAME COUNTER" line each: name to the counter in
// seconds (a name given twice keeps the later one). Throws vexception for anything else.
std::map<std::string, double> parsePhaseStamps(const std::string& text);

// The pipe name the service client uses unless the registry says otherwise.
extern const wchar_t kDefaultPipeName[];

} // namespace bench
