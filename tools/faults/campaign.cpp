#include "base/win32.h"

#include "tools/faults/campaign.h"

#include "base/scoped_handle.h"
#include "base/text.h"
#include "registry/registry.h"
#include "tools/campaigns/campaign.h"
#include "tools/children/child_test_support.h"
#include "tools/faults/fault_table.h"
#include "tools/runner/run_process.h"
#include "tools/testing/registry.h"
#include "tools/testing/temp.h"

#include <algorithm>
#include <functional>
#include <cstring>
#include <memory>

namespace faults {

namespace {

const char* const kFindings[] = {
    "Another installation is in progress. Please wait for it to complete.",
    "The system is corrupted by a suspended or interrupted installation.",
    "The following services require a system restart:",
};
const char kChildReport[] = "cmdline: ";
const wchar_t kServicingKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending";
const wchar_t kInstallerMutex[] = L"Global\\_MSIExecute";

std::wstring faultLauncherExe() {
    std::wstring path = ZRA_LAUNCHER_FAULTS_EXE;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

using childtest::writeFile;

// A product tree with the reporting child as the panel's php.exe, and the scripts.
struct Scene {
    Scene() {
        root = base + L"\\product root";
        for (const std::wstring& made : {root, root + L"\\admin", root + L"\\admin\\bin",
                                         base + L"\\scripts", base + L"\\work"})
            ::CreateDirectoryW(made.c_str(), nullptr);
        ::CopyFileW(campaign::reportChildExe().c_str(), (root + L"\\admin\\bin\\php.exe").c_str(),
                    FALSE);
        writeFile(root + L"\\admin\\php.ini", "");
        php = base + L"\\scripts\\check.php";
        bat = base + L"\\scripts\\check.bat";
        writeFile(php, "<?php echo 1;\n");
        writeFile(bat, "@echo batch %1\r\n@exit /b 7\r\n");
        work = base + L"\\work";
    }
    zra_testing::TempDirectory directory{L"zra-fault-campaign"};
    std::wstring base = directory.path();
    std::wstring root, php, bat, work;
};

// The bytes of every file in a directory, to see whether a run logged anything.
uint64_t directoryBytes(const std::wstring& path) {
    uint64_t total = 0;
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            total += (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return total;
}

struct Scenario {
    std::string name;
    bool checkSystem = false;
    bool service = true;
    bool debug = false;
    bool restartPending = false;
    bool installerBusy = false;
    std::string panelVersion;
    bool batch = false;
};

std::vector<Scenario> allScenarios() {
    std::vector<Scenario> list;
    Scenario s;
    s.checkSystem = true;
    s.service = false;
    s.name = "check-clear";
    list.push_back(s);
    s.name = "check-restart";
    s.restartPending = true;
    list.push_back(s);
    s.name = "check-busy";
    s.restartPending = false;
    s.installerBusy = true;
    list.push_back(s);
    s = Scenario();
    s.name = "php-18";
    s.panelVersion = "18.0.61";
    list.push_back(s);
    s.name = "php-11";
    s.panelVersion = "11.5.30";
    list.push_back(s);
    s.name = "php-18-debug";
    s.panelVersion = "18.0.61";
    s.debug = true;
    list.push_back(s);
    s.name = "php-11-debug";
    s.panelVersion = "11.5.30";
    list.push_back(s);
    s = Scenario();
    s.name = "bat";
    s.panelVersion = "18.0.61";
    s.batch = true;
    list.push_back(s);
    s.name = "service-down";
    s.batch = false;
    s.service = false;
    list.push_back(s);
    return list;
}

bool validUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t extra = c < 0x80         ? 0
                       : (c >> 5) == 6  ? 1
                       : (c >> 4) == 14 ? 2
                       : (c >> 3) == 30 ? 3
                                        : 9;
        if (extra == 9 || i + extra >= text.size() + (extra == 0 ? 1 : 0))
            return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 2)
                return false;
        i += extra + 1;
    }
    return true;
}

bool isCrashCode(uint32_t code) {
    return code == 3 || (code & 0xC0000000u) == 0xC0000000u || code == 0x80000003u ||
           code == 0x40000015u;
}

} // namespace

const char* outcomeName(Outcome outcome) {
    static const char* const names[] = {"ok",   "clean",   "wrong success", "crash",
                                        "hang", "garbled", "other"};
    return names[static_cast<int>(outcome)];
}

Outcome judge(const ScenarioTraits& traits, const Observation& baseline, const Observation& run,
              std::string& why) {
    if (run.timedOut) {
        why = "past the bound";
        return Outcome::Hang;
    }
    if (isCrashCode(run.exitCode) && !isCrashCode(baseline.exitCode)) {
        why = "exit code " + std::to_string(run.exitCode);
        return Outcome::Crash;
    }
    if (run.out.find('\0') != std::string::npos || !validUtf8(run.out)) {
        why = "NUL or invalid UTF-8 in the output";
        return Outcome::Garbled;
    }
    for (char c : run.out)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\r' && c != '\t') {
            why = "control character in the output";
            return Outcome::Garbled;
        }
    // Every injected error is one the system has a text for.
    if (run.out.find("Unknown error") != std::string::npos &&
        baseline.out.find("Unknown error") == std::string::npos) {
        why = "\"Unknown error\" for a known code";
        return Outcome::Garbled;
    }
    const bool same = run.exitCode == baseline.exitCode && run.out == baseline.out;
    if (traits.checkSystem) {
        if (run.exitCode == 0 &&
            (baseline.exitCode != 0 || (run.fired && traits.probe && !traits.notFoundError))) {
            why = baseline.exitCode != 0 ? "ready where the system is not"
                                         : "ready although the fault stopped a check";
            return Outcome::WrongSuccess;
        }
        if (same)
            return Outcome::Ok;
        if (run.exitCode != 1) {
            why = "exit code " + std::to_string(run.exitCode);
            return Outcome::Other;
        }
        // A failure text must begin a line of its own, not continue a finding.
        for (const char* finding : kFindings) {
            const size_t at = run.out.find(finding);
            if (at == std::string::npos)
                continue;
            const size_t after = at + std::strlen(finding);
            if (after < run.out.size() && run.out[after] != '\n' &&
                run.out.compare(after, std::strlen(kFindings[2]), kFindings[2]) != 0) {
                why = "a failure text runs on from a finding";
                return Outcome::Garbled;
            }
        }
        if (run.out.empty()) {
            why = "not ready without a word";
            return Outcome::Other;
        }
        return Outcome::Clean;
    }
    if (same) {
        if (baseline.logged && !run.logged) {
            why = "the Debug log record was lost";
            return Outcome::Other;
        }
        return Outcome::Ok;
    }
    const bool childRan = run.out.find(kChildReport) != std::string::npos ||
                          run.out.find("batch ") != std::string::npos;
    if (run.exitCode != 1 ||
        (baseline.exitCode == 1 && run.exitCode == 1 && childRan && baseline.out != run.out)) {
        if (run.exitCode != 1 || baseline.exitCode != 1) {
            why = "a result other than the fault-free run's, exit " + std::to_string(run.exitCode);
            return Outcome::WrongSuccess;
        }
    }
    if (childRan) {
        why = "exit 1 though the child ran";
        return Outcome::Other;
    }
    if (run.out.empty()) {
        why = "exit 1 without a text";
        return Outcome::Other;
    }
    if (run.out.find("Is not a known application") != std::string::npos ||
        run.out.find("unknown: ") != std::string::npos) {
        why = "a misleading text";
        return Outcome::Other;
    }
    return Outcome::Clean;
}

std::vector<std::string> scenarioNames() {
    std::vector<std::string> names;
    for (const Scenario& s : allScenarios())
        names.push_back(s.name);
    return names;
}

std::vector<std::pair<std::string, uint32_t>> parseCounts(const std::string& text) {
    std::vector<std::pair<std::string, uint32_t>> counts;
    const std::string prefix = "zra-fault: count ";
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at + prefix.size(), end - at - prefix.size());
        const size_t space = line.find(' ');
        if (space == std::string::npos || line.find('*') == std::string::npos)
            continue;
        counts.emplace_back(line.substr(0, space), static_cast<uint32_t>(std::strtoul(
                                                       line.c_str() + space + 1, nullptr, 10)));
    }
    return counts;
}

struct Session::State {
    Scenario scenario;
    uint32_t boundMs = 0;
    std::string problem;
    Scene scene;
    std::wstring pipe = campaign::campaignPipeName(L"zra-fault-campaign");
    zra_testing::ScopedValue pipeName = zra_testing::panelPipeName(pipe);
    std::unique_ptr<zra_testing::ScopedKey> restart;
    base::ScopedHandle mutex;
    std::unique_ptr<zra_testing::ScopedValue> debug;
    std::unique_ptr<zra_testing::ScopedValue> logRoot;
    std::wstring logs;
    std::unique_ptr<zra_testing::StandinService> service;
    std::vector<std::wstring> arguments;
};

Session::Session(const std::string& name, uint32_t boundMs) : state_(new State) {
    State& s = *state_;
    s.boundMs = boundMs;
    bool known = false;
    for (const Scenario& scenario : allScenarios())
        if (scenario.name == name) {
            s.scenario = scenario;
            known = true;
        }
    if (!known) {
        s.problem = "no scenario " + name;
        return;
    }
    const Scenario& scenario = s.scenario;
    if (scenario.restartPending)
        s.restart.reset(
            new zra_testing::ScopedKey(HKEY_LOCAL_MACHINE, kServicingKey, KEY_WOW64_64KEY));
    if (scenario.installerBusy)
        s.mutex.reset(::CreateMutexW(nullptr, FALSE, kInstallerMutex));
    if (scenario.debug) {
        s.debug = std::make_unique<zra_testing::ScopedValue>(
            zra_testing::panelValue(L"Debug", zra_testing::RegistryValue::dword(1)));
        // The Debug log goes under the product root the configuration key names.
        s.logRoot = std::make_unique<zra_testing::ScopedValue>(zra_testing::panelValue(
            L"PRODUCT_ROOT_D", zra_testing::RegistryValue::text(s.scene.root)));
        s.logs = s.scene.root + L"\\admin\\logs";
        ::CreateDirectoryW(s.logs.c_str(), nullptr);
    }
    if (scenario.service) {
        std::vector<std::wstring> arguments = {L"--pipe", s.pipe, L"--root", s.scene.root};
        const std::vector<std::string> lines = {"secret pwd=Fault pw",
                                                "value PANEL_VERSION=" + scenario.panelVersion,
                                                "value PRODUCT_VERSION=11.5.30"};
        for (const std::string& line : lines) {
            arguments.push_back(L"--set");
            arguments.push_back(wstr(line, 65001));
        }
        std::string problem;
        s.service = campaign::startStandin(arguments, problem);
        if (!s.service)
            s.problem = name + ": the stand-in did not start: " + problem;
    }
    if (scenario.checkSystem)
        s.arguments = {L"--check-system"};
    else
        s.arguments = {scenario.batch ? s.scene.bat : s.scene.php, L"first arg"};
}

Session::~Session() {
    delete state_;
}

const std::string& Session::problem() const {
    return state_->problem;
}

bool Session::checkSystem() const {
    return state_->scenario.checkSystem;
}

Observation Session::run(const std::string& fault, std::string* errorText) const {
    const State& s = *state_;
    ::SetEnvironmentVariableW(L"ZRA_FAULT", fault.empty() ? nullptr : wstr(fault, 65001).c_str());
    // The child's own exit code, told apart from the launcher's 1.
    ::SetEnvironmentVariableW(L"ZRA_CHILD_EXIT", L"7");
    runner::RunOptions options;
    options.timeoutMs = s.boundMs;
    options.workingDirectory = s.scene.work;
    options.drainMs = 3000;
    const uint64_t logged = s.logs.empty() ? 0 : directoryBytes(s.logs);
    const runner::RunResult result = runner::runProgram(faultLauncherExe(), s.arguments, options);
    ::SetEnvironmentVariableW(L"ZRA_FAULT", nullptr);
    ::SetEnvironmentVariableW(L"ZRA_CHILD_EXIT", nullptr);
    Observation observation;
    observation.exitCode = result.exitCode;
    observation.out = result.out;
    observation.timedOut = result.timedOut;
    const size_t fired = result.err.find("zra-fault: fired ");
    observation.fired = fired != std::string::npos;
    const size_t from = result.err.find(" from ", fired);
    if (observation.fired && from != std::string::npos)
        observation.caller = result.err.substr(from + 6, 10);
    observation.logged = !s.logs.empty() && directoryBytes(s.logs) > logged;
    if (errorText)
        *errorText = result.err;
    return observation;
}

Figures runCampaign(const Options& options) {
    Figures figures;
    const uint64_t start = campaign::milliseconds();
    std::vector<uint64_t>& total = figures.counts[""];
    total.assign(static_cast<int>(Outcome::Count), 0);
    for (const std::string& name : scenarioNames()) {
        if (!options.scenarios.empty() &&
            std::find(options.scenarios.begin(), options.scenarios.end(), name) ==
                options.scenarios.end())
            continue;
        Session session(name, options.boundMs);
        if (!session.problem().empty()) {
            figures.problems.push_back(session.problem());
            continue;
        }
        std::string counted;
        const Observation baseline = session.run("count", &counted);
        if (baseline.timedOut) {
            figures.problems.push_back(name + ": the run without a fault did not end");
            continue;
        }
        if (options.progress) {
            std::fprintf(options.progress, "== %s: without a fault exit %u, %u bytes out\n",
                         name.c_str(), baseline.exitCode,
                         static_cast<unsigned>(baseline.out.size()));
            std::fflush(options.progress);
        }
        std::vector<uint64_t>& counts = figures.counts[name];
        counts.assign(static_cast<int>(Outcome::Count), 0);
        for (const auto& counted_function : parseCounts(counted)) {
            const std::string& function = counted_function.first;
            if (!options.functions.empty() &&
                std::find(options.functions.begin(), options.functions.end(), function) ==
                    options.functions.end())
                continue;
            const Rule* rule = findRule(function.c_str());
            if (rule == nullptr)
                continue;
            const uint32_t error = options.error != 0 ? options.error : rule->error;
            uint32_t calls = counted_function.second;
            if (options.maxCalls != 0)
                calls = std::min(calls, options.maxCalls);
            for (uint32_t k = 1; k <= calls; ++k) {
                const std::string fault =
                    function + ":" + std::to_string(k) + ":" + std::to_string(error);
                const Observation run = session.run(fault);
                ScenarioTraits traits;
                traits.checkSystem = session.checkSystem();
                traits.notFoundError = error == 2 || error == 3;
                traits.probe = function == "OpenMutexW" || function == "RegOpenKeyExW";
                Case item;
                item.outcome = judge(traits, baseline, run, item.why);
                ++figures.runs;
                ++counts[static_cast<int>(item.outcome)];
                ++total[static_cast<int>(item.outcome)];
                if (item.outcome == Outcome::Ok || item.outcome == Outcome::Clean)
                    continue;
                item.scenario = name;
                item.function = function;
                item.call = k;
                item.error = error;
                item.observation = run;
                if (options.progress) {
                    std::fprintf(options.progress, "  ! %s %s %s (%s)\n", name.c_str(),
                                 fault.c_str(), outcomeName(item.outcome), item.why.c_str());
                    std::fflush(options.progress);
                }
                figures.cases.push_back(std::move(item));
            }
        }
    }
    figures.elapsedMs = campaign::milliseconds() - start;
    return figures;
}

void printFigures(FILE* out, const Figures& figures) {
    std::fprintf(out, "fault injection: %llu runs in %.1f s\n",
                 static_cast<unsigned long long>(figures.runs), figures.elapsedMs / 1000.0);
    std::fprintf(out, "%-14s", "scenario");
    for (int i = 0; i < static_cast<int>(Outcome::Count); ++i)
        std::fprintf(out, " %13s", outcomeName(static_cast<Outcome>(i)));
    std::fprintf(out, "\n");
    auto row = [&](const std::string& name, const std::vector<uint64_t>& counts) {
        std::fprintf(out, "%-14s", name.empty() ? "total" : name.c_str());
        for (uint64_t n : counts)
            std::fprintf(out, " %13llu", static_cast<unsigned long long>(n));
        std::fprintf(out, "\n");
    };
    for (const std::string& name : scenarioNames())
        if (figures.counts.count(name))
            row(name, figures.counts.at(name));
    row("", figures.counts.at(""));
    for (const Case& item : figures.cases) {
        std::string text = item.observation.out.substr(0, 160);
        for (char& c : text)
            if (c == '\n' || c == '\r')
                c = '|';
            else if (c == '\0')
                c = '@';
        std::fprintf(out, "  %-13s %s:%u:%u (caller %s)  %s: %s; exit %u: %s\n",
                     item.scenario.c_str(), item.function.c_str(), item.call, item.error,
                     item.observation.caller.c_str(), outcomeName(item.outcome), item.why.c_str(),
                     item.observation.exitCode, text.c_str());
    }
    for (const std::string& problem : figures.problems)
        std::fprintf(out, "  problem: %s\n", problem.c_str());
}

} // namespace faults
