// bench_launch: the wall time of starting a do-nothing child through zra-launcher.exe, against a
// parent that only calls CreateProcessW and waits, and against "cmd.exe /c". Each variant is timed
// from this program's CreateProcessW of the parent to the end of the wait for it; the variants run
// in interleaved rounds, every order in turn, against one stand-in service started here.
//
// Options: --rounds N (60), --warmup N (3 per variant), --gap-ms N (30), --pipe NAME (zrapipe;
//          another name is set in the registry for the run and put back), --launcher EXE (another
//          build of the launcher, to compare one).
#include "base/win32.h"

#include "base/exception.h"
#include "base/text.h"
#include "bench/bench_support.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

const wchar_t kCmd[] = L"C:\\windows\\system32\\cmd.exe";

struct Variant {
    const wchar_t* name;
    std::wstring application;
    std::wstring commandLine;
    std::vector<double> times; // milliseconds
};

class NullHandles {
public:
    NullHandles() {
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        input_.reset(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr));
        output_.reset(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inheritable, OPEN_EXISTING, 0, nullptr));
        if (!input_ || !output_)
            throw vexception(L"Unable to open NUL");
    }
    HANDLE input() const { return input_.get(); }
    HANDLE output() const { return output_.get(); }

private:
    base::ScopedFileHandle input_;
    base::ScopedFileHandle output_;
};

// Starts the command with the given standard handles, waits, returns the exit code.
DWORD runOnce(const std::wstring& application, const std::wstring& commandLine, HANDLE input,
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
                          nullptr, &startup, &info)) {
        const std::wstring context = L"Unable to start " + commandLine;
        throw vexception(osErrorMessage(::GetLastError(), &context));
    }
    ::CloseHandle(info.hThread);
    base::ScopedHandle process(info.hProcess);
    ::WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    return code;
}

// One run with the output captured, to show what a variant does and that it succeeds.
void preflight(const Variant& variant, const NullHandles& nul) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 1 << 16))
        throw vexception(L"CreatePipe failed");
    base::ScopedHandle reader(readEnd);
    base::ScopedHandle writer(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    // The pipe is large enough for what these programs print; it is read after the exit.
    const DWORD code =
        runOnce(variant.application, variant.commandLine, nul.input(), writer.get(), writer.get());
    writer.reset();
    std::string text;
    char buffer[4096];
    DWORD count = 0;
    while (::ReadFile(reader.get(), buffer, sizeof buffer, &count, nullptr) && count > 0)
        text.append(buffer, count);
    std::wstring shown = wstr(text, CP_UTF8);
    while (!shown.empty() && (shown.back() == L'\n' || shown.back() == L'\r'))
        shown.pop_back();
    bench::print(L"  %-8s %s\n", variant.name, variant.commandLine.c_str());
    if (!shown.empty())
        bench::print(L"           output: %s\n", shown.c_str());
    if (code != 0)
        throw vexception(format(L"%s exited with %u instead of the child's 0; not measured",
                                variant.name, static_cast<unsigned>(code)));
}

int run(int argc, wchar_t** argv) {
    const bench::Options options(argc, argv);
    const uint32_t rounds = options.number(L"rounds", 60, 1, 100000);
    const uint32_t warmup = options.number(L"warmup", 3, 0, 1000);
    // Under Wine a process that has been waited for is still being torn down for a few ms and
    // competes with the next start for the two cores; a pause lets every start begin on a quiet
    // machine instead of charging one variant for the previous one's exit.
    const uint32_t gapMs = options.number(L"gap-ms", 30, 0, 10000);
    const std::wstring pipeName = options.text(L"pipe", bench::kDefaultPipeName);
    const std::wstring directory = bench::programDirectory();
    const std::wstring child = directory + L"\\bench-child.exe";
    const std::wstring parent = directory + L"\\bench-parent.exe";
    const std::wstring launcher = options.text(L"launcher", ZRA_LAUNCHER_EXE);
    const std::wstring standinExe = options.text(L"standin", ZRA_STANDIN_SERVICE_EXE);

    // The launcher starts an examination in the product root's "admin" directory.
    const std::wstring root = directory + L"\\bench-root";
    ::CreateDirectoryW(root.c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\admin").c_str(), nullptr);

    bench::PipeNameOverride override(pipeName);
    // From panel version 11.6.0 on, the launcher runs an .exe examination directly.
    bench::StandinService service(standinExe, pipeName,
                                  L"--root " + bench::quoted(root) +
                                      L" --set \"value PANEL_VERSION=18.0.61\"");

    std::vector<Variant> variants = {
        {L"launcher", launcher, bench::quoted(launcher) + L" " + bench::quoted(child), {}},
        {L"parent", parent, bench::quoted(parent) + L" " + bench::quoted(child), {}},
        {L"cmd /c", kCmd, bench::quoted(kCmd) + L" /c " + bench::quoted(child), {}},
    };

    NullHandles nul;
    bench::print(L"bench_launch: %u rounds, each variant once per round, all orders in turn, "
                 L"%u ms apart\n",
                 rounds, gapMs);
    for (const Variant& variant : variants)
        preflight(variant, nul);
    for (uint32_t i = 0; i < warmup; ++i)
        for (const Variant& variant : variants)
            runOnce(variant.application, variant.commandLine, nul.input(), nul.output(),
                    nul.output());

    std::vector<size_t> order = {0, 1, 2};
    std::vector<double> toParent;
    std::vector<double> toCmd;
    for (uint32_t round = 0; round < rounds; ++round) {
        double times[3] = {};
        for (size_t index : order) {
            Variant& variant = variants[index];
            ::Sleep(gapMs);
            const double start = bench::now();
            const DWORD code = runOnce(variant.application, variant.commandLine, nul.input(),
                                       nul.output(), nul.output());
            times[index] = (bench::now() - start) * 1e3;
            if (code != 0)
                throw vexception(format(L"%s exited with %u in round %u", variant.name,
                                        static_cast<unsigned>(code), round));
            variant.times.push_back(times[index]);
        }
        toParent.push_back(times[0] / times[1]);
        toCmd.push_back(times[0] / times[2]);
        // All six orders in turn, so no variant always follows the same one.
        std::next_permutation(order.begin(), order.end());
    }

    for (const Variant& variant : variants) {
        std::vector<double> sorted = variant.times;
        std::sort(sorted.begin(), sorted.end());
        bench::print(L"%-8s median %7.1f ms  (min %7.1f, max %7.1f)\n", variant.name,
                     bench::median(variant.times), sorted.front(), sorted.back());
    }
    const double launcherMedian = bench::median(variants[0].times);
    bench::print(L"ratio of medians launcher/parent: %.2f, launcher/cmd: %.2f\n",
                 launcherMedian / bench::median(variants[1].times),
                 launcherMedian / bench::median(variants[2].times));
    const double parentRatio = bench::median(toParent);
    const double cmdRatio = bench::median(toCmd);
    bench::printGoal(L"launcher/parent", parentRatio, 1.15);
    bench::printGoal(L"launcher/cmd", cmdRatio, 1.0);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    return bench::runMain(L"bench_launch", &run, argc, argv);
}
