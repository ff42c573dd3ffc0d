#include "base/win32.h"

#include "bench/bench_support.h"

#include "base/exception.h"
#include "base/text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <sstream>
#include <vector>

namespace bench {

const wchar_t kDefaultPipeName[] = L"zrapipe";

namespace {

[[noreturn]] void fail(const std::wstring& context, DWORD code) {
    throw vexception(osErrorMessage(code, &context));
}

} // namespace

double now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void print(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::wstring text = vaformat(format, args);
    va_end(args);
    const std::string bytes = cstr(text, CP_UTF8);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

namespace {
bool g_goalMissed = false;
} // namespace

void printGoal(const wchar_t* name, double ratio, double goal) {
    // A ratio that is not a number (nothing was measured) meets no goal.
    const bool met = ratio <= goal;
    if (!met)
        g_goalMissed = true;
    print(L"ratio %s: %.2f (goal <= %.2f) %s\n", name, ratio, goal, met ? L"met" : L"NOT MET");
}

int runMain(const wchar_t* program, int (*body)(int, wchar_t**), int argc, wchar_t** argv) {
    try {
        // "--guard" is the runner's own switch; the body sees the other arguments only.
        std::vector<wchar_t*> rest;
        bool guard = false;
        for (int i = 0; i < argc; ++i) {
            if (i > 0 && std::wcscmp(argv[i], L"--guard") == 0)
                guard = true;
            else
                rest.push_back(argv[i]);
        }
        g_goalMissed = false;
        const int result = body(static_cast<int>(rest.size()), rest.data());
        if (result == 0 && guard && g_goalMissed) {
            print(L"%s: a goal was not met (exit code %d)\n", program, kGoalMissedExitCode);
            return kGoalMissedExitCode;
        }
        return result;
    } catch (const vexception& e) {
        print(L"%s: %s\n", program, e.fullText().c_str());
    } catch (const std::exception& e) {
        print(L"%s: %s\n", program, wstr(e.what(), CP_ACP).c_str());
    }
    return 1;
}

std::wstring programDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            fail(L"GetModuleFileNameW", ::GetLastError());
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring result = L"\"";
    for (wchar_t c : argument) {
        if (c == L'"')
            result += L'\\';
        result += c;
    }
    return result + L"\"";
}

Options::Options(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        if (name.compare(0, 2, L"--") != 0 || i + 1 >= argc)
            throw vexception(L"usage: options are --name value pairs; bad '" + name + L"'");
        values_.emplace_back(name.substr(2), argv[++i]);
    }
}

uint32_t Options::number(const wchar_t* name, uint32_t fallback, uint32_t low,
                         uint32_t high) const {
    const std::wstring value = text(name, L"");
    if (value.empty())
        return fallback;
    wchar_t* end = nullptr;
    const unsigned long number = std::wcstoul(value.c_str(), &end, 10);
    if (*end != L'\0' || number < low || number > high)
        throw vexception(format(L"--%s needs a number from %u to %u", name, low, high));
    return static_cast<uint32_t>(number);
}

std::wstring Options::text(const wchar_t* name, const std::wstring& fallback) const {
    for (const auto& value : values_)
        if (value.first == name)
            return value.second;
    return fallback;
}

// ---------------------------------------------------------------------------------------------

NullHandles::NullHandles() {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    input_.reset(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr));
    output_.reset(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inheritable, OPEN_EXISTING, 0, nullptr));
    if (!input_ || !output_)
        fail(L"Unable to open NUL", ::GetLastError());
}

DWORD runProcess(const std::wstring& application, const std::wstring& commandLine, HANDLE input,
                 HANDLE output, HANDLE error) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
    std::wstring line = commandLine;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(application.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                          nullptr, &startup, &info))
        fail(L"Unable to start " + commandLine, ::GetLastError());
    ::CloseHandle(info.hThread);
    base::ScopedHandle process(info.hProcess);
    ::WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    return code;
}

namespace {

// The program's standard error, and its output too when output is null, through one pipe that is
// large enough for what the measured programs write; it is read after the exit.
std::string runWithCapture(const std::wstring& application, const std::wstring& commandLine,
                           HANDLE input, HANDLE output, DWORD& exitCode, double* started,
                           double* ended) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 1 << 16))
        fail(L"CreatePipe", ::GetLastError());
    base::ScopedHandle reader(readEnd);
    base::ScopedHandle writer(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    if (started)
        *started = now();
    exitCode =
        runProcess(application, commandLine, input, output ? output : writer.get(), writer.get());
    if (ended)
        *ended = now();
    writer.reset();
    std::string text;
    char buffer[4096];
    DWORD count = 0;
    while (::ReadFile(reader.get(), buffer, sizeof buffer, &count, nullptr) && count > 0)
        text.append(buffer, count);
    return text;
}

} // namespace

std::string runCaptured(const std::wstring& application, const std::wstring& commandLine,
                        HANDLE input, DWORD& exitCode) {
    return runWithCapture(application, commandLine, input, nullptr, exitCode, nullptr, nullptr);
}

std::string runCapturingError(const std::wstring& application, const std::wstring& commandLine,
                              HANDLE input, HANDLE output, DWORD& exitCode, double* started,
                              double* ended) {
    return runWithCapture(application, commandLine, input, output, exitCode, started, ended);
}

void preflight(const std::vector<Program>& programs, const NullHandles& nul) {
    for (const Program& program : programs) {
        DWORD code = 0;
        std::wstring shown =
            wstr(runCaptured(program.application, program.commandLine, nul.input(), code), CP_UTF8);
        while (!shown.empty() && (shown.back() == L'\n' || shown.back() == L'\r'))
            shown.pop_back();
        print(L"  %-10s %s\n", program.name, program.commandLine.c_str());
        if (!shown.empty())
            print(L"             output: %s\n", shown.c_str());
        if (code != program.expectedExitCode)
            throw vexception(format(L"%s exited with %u instead of %u; not measured", program.name,
                                    static_cast<unsigned>(code),
                                    static_cast<unsigned>(program.expectedExitCode)));
    }
}

void runRounds(std::vector<Program>& programs, uint32_t rounds, uint32_t warmup, uint32_t gapMs,
               const NullHandles& nul) {
    std::vector<size_t> order(programs.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    for (uint32_t round = 0; round < warmup + rounds; ++round) {
        for (size_t index : order) {
            Program& program = programs[index];
            ::Sleep(gapMs);
            const double start = now();
            const DWORD code = runProcess(program.application, program.commandLine, nul.input(),
                                          nul.output(), nul.output());
            const double elapsed = (now() - start) * 1e3;
            if (code != program.expectedExitCode)
                throw vexception(format(L"%s exited with %u in round %u", program.name,
                                        static_cast<unsigned>(code), round));
            if (round >= warmup)
                program.times.push_back(elapsed);
        }
        // Every order in turn, so that no program always follows the same one.
        std::next_permutation(order.begin(), order.end());
    }
}

void printTimes(const std::vector<Program>& programs) {
    for (const Program& program : programs) {
        if (program.times.empty())
            continue;
        std::vector<double> sorted = program.times;
        std::sort(sorted.begin(), sorted.end());
        print(L"%-10s median %7.1f ms  (min %7.1f, max %7.1f)\n", program.name,
              median(program.times), sorted.front(), sorted.back());
    }
}

double medianRatio(const Program& a, const Program& b) {
    std::vector<double> ratios;
    for (size_t i = 0; i < a.times.size() && i < b.times.size(); ++i)
        ratios.push_back(a.times[i] / b.times[i]);
    return median(ratios);
}

std::map<std::string, double> parsePhaseStamps(const std::string& text) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    std::map<std::string, double> stamps;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream fields(line);
        std::string word;
        std::string name;
        long long counter = -1;
        std::string extra;
        if (!(fields >> word >> name >> counter) || word != "phase" || counter < 0 ||
            (fields >> extra))
            throw vexception(L"not a phase stamp: '" + wstr(line, CP_UTF8) + L"'");
        stamps[name] = static_cast<double>(counter) / static_cast<double>(frequency.QuadPart);
    }
    return stamps;
}

// ---------------------------------------------------------------------------------------------

namespace {
zra_testing::StandinService::Options standinOptions() {
    // The stop event rather than the end of standard input: the service then needs no input
    // pipe, and a bench that dies leaves a service that at least is not fed garbage.
    zra_testing::StandinService::Options options;
    options.stop = zra_testing::StandinService::Options::Stop::Event;
    options.inheritErrors = true;
    return options;
}

std::vector<std::wstring> standinArguments(const std::wstring& pipeName,
                                           const std::vector<std::wstring>& extra) {
    std::vector<std::wstring> arguments = {L"--pipe", pipeName};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
}
} // namespace

StandinService::StandinService(const std::wstring& exe, const std::wstring& pipeName,
                               const std::vector<std::wstring>& extraArguments)
    : zra_testing::StandinService(exe, standinArguments(pipeName, extraArguments),
                                  standinOptions()) {}

StandinService::~StandinService() {
    stop();
    if (!stoppedCleanly())
        print(L"warning: the stand-in service did not stop; it was terminated\n");
}

// ---------------------------------------------------------------------------------------------

PipeNameOverride::PipeNameOverride(const std::wstring& pipeName) {
    if (pipeName != kDefaultPipeName)
        value_.emplace(zra_testing::panelPipeName(pipeName));
}

} // namespace bench
