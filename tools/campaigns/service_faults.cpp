#include "base/win32.h"

#include "tools/campaigns/service_faults.h"

#include "tools/campaigns/campaign.h"
#include "tools/children/child_test_support.h"
#include "tools/testing/registry.h"
#include "tools/testing/temp.h"
#include "tools/runner/run_process.h"

#include <map>

namespace campaign {

namespace {

using childtest::parseReport;
using childtest::writeFile;

const wchar_t kPassword[] = L"Campaign pw\"1";
const wchar_t kPasswordQuoted[] = L"\"Campaign pw\\\"1\"";
const wchar_t kRefusal[] = L"campaign refusal";

// Texts a failed query may end in: the service's own error, the serializer's protocol errors, a
// broken pipe, or what a caller makes of a value it could not use.
const char* const kKnownFailureTexts[] = {
    "campaign refusal",
    "Unexpected end of data when read",
    "Invalid Protocol when read C-string",
    "Unsupported char size when read C-string",
    "Double exception on read from serializer",
    "Pipe is finished",
    // The transport's exact-size check: a message shorter or longer than asked for.
    "Completed only ",
    // A reply length no block can have (a stray message read as the length).
    "Invalid Protocol: the service announced a reply of ",
    "Unable to ",
    "is not installed",
    "is not recognized as an internal or external command",
};

// A product tree with the reporting child as the panel's php.exe and as perl, and two scripts.
class Scene {
public:
    Scene() {
        root = base_ + L"\\product root";
        scripts = base_ + L"\\scripts";
        tools = base_ + L"\\tools";
        work = base_ + L"\\work";
        for (const std::wstring& directory : {root, root + L"\\admin", root + L"\\admin\\bin",
                                              scripts, tools, tools + L"\\bin", work})
            ::CreateDirectoryW(directory.c_str(), nullptr);
        ::CopyFileW(reportChildExe().c_str(), (root + L"\\admin\\bin\\php.exe").c_str(), FALSE);
        ::CopyFileW(reportChildExe().c_str(), (tools + L"\\bin\\perl.exe").c_str(), FALSE);
        writeFile(root + L"\\admin\\php.ini", "");
        writeFile(scripts + L"\\check.php", "<?php echo 1;\n");
        writeFile(scripts + L"\\check.pl", "print 1;\n");
    }
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    std::wstring root;
    std::wstring scripts;
    std::wstring tools;
    std::wstring work;

private:
    zra_testing::TempDirectory directory_{L"zra-campaign-faults"};
    std::wstring base_ = directory_.path();
};

// How one query is put under a fault: the configuration around it, the fault's target name, the
// script and the child command line that the configured values must give.
struct QueryPlan {
    std::vector<std::wstring> lines;
    std::wstring target;
    std::wstring script;
    std::wstring expectedCommandLine;
    std::wstring expectedDirectory;
};

QueryPlan planFor(const std::wstring& query, const Scene& scene) {
    QueryPlan plan;
    const std::wstring php = scene.scripts + L"\\check.php";
    const std::wstring phpLine =
        L"\"" + scene.root + L"\\admin\\bin\\php.exe\" -q \"" + php + L"\" " + kPasswordQuoted;
    plan.lines = {std::wstring(L"secret pwd=") + kPassword, L"value PANEL_VERSION=12",
                  L"value PRODUCT_VERSION=12.0.1", L"component perl 2=" + scene.tools};
    plan.script = php;
    plan.expectedCommandLine = phpLine;
    plan.expectedDirectory = scene.root + L"\\admin";
    plan.target = query;
    if (query == L"PRODUCT_VERSION") {
        // Asked only when the panel version is empty.
        plan.lines[1] = L"value PANEL_VERSION=";
    } else if (query == L"componentInfo") {
        plan.target = L"perl";
        plan.script = scene.scripts + L"\\check.pl";
        plan.expectedCommandLine =
            L"\"" + scene.tools + L"\\bin\\perl.exe\" \"" + plan.script + L"\" " + kPasswordQuoted;
    }
    return plan;
}

} // namespace

Outcome judgeLaunch(const std::string& output, uint32_t exitCode, bool timedOut,
                    const std::wstring& expectedCommandLine,
                    const std::wstring& expectedDirectory) {
    if (timedOut)
        return Outcome::Hang;
    const auto report = parseReport(output);
    if (report.count("cmdline") != 0 || report.count("cwd") != 0) {
        const bool exact = report.count("cmdline") == 1 && report.count("cwd") == 1 &&
                           report.at("cmdline") == utf8(expectedCommandLine) &&
                           report.at("cwd") == utf8(expectedDirectory) && exitCode == 0;
        return exact ? Outcome::ExactChild : Outcome::WrongChild;
    }
    if (exitCode != 1 || output.empty())
        return Outcome::OtherText;
    for (const char* text : kKnownFailureTexts)
        if (output.find(text) != std::string::npos)
            return Outcome::ErrorText;
    return Outcome::OtherText;
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::ExactChild:
        return "exact child";
    case Outcome::ErrorText:
        return "error text";
    case Outcome::WrongChild:
        return "WRONG CHILD";
    case Outcome::OtherText:
        return "OTHER TEXT";
    case Outcome::Hang:
        return "HANG";
    }
    return "?";
}

std::vector<std::wstring> allFaultSpecs() {
    return {std::wstring(L"error ") + kRefusal,
            L"truncate 0",
            L"truncate 3",
            L"charsize 0",
            L"charsize 1",
            L"charsize 255",
            L"narrow",
            L"oddbyte",
            L"trailing 200",
            L"emptyblock",
            L"doubleerror",
            L"combined",
            L"badlength 1",
            L"badlength 100000",
            L"badlength -1",
            L"lengthbytes 1",
            L"lengthbytes 2",
            L"stray 4",
            L"raw 00",
            L"raw FFFFFFFF",
            L"delay 1500",
            L"close connect",
            L"close request",
            L"close reply",
            L"close payload"};
}

std::vector<std::wstring> allQueries() {
    return {L"pwd", L"PANEL_VERSION", L"PRODUCT_VERSION", L"PRODUCT_ROOT_D", L"componentInfo"};
}

FaultsFigures runServiceFaults(const FaultsOptions& options) {
    FaultsFigures figures;
    const std::vector<std::wstring> faults =
        options.faults.empty() ? allFaultSpecs() : options.faults;
    const std::vector<std::wstring> queries =
        options.queries.empty() ? allQueries() : options.queries;
    Scene scene;
    const std::wstring pipe = campaignPipeName(L"zra-campaign-faults");
    const auto pipeName = zra_testing::panelPipeName(pipe);
    const uint64_t start = milliseconds();
    for (const std::wstring& query : queries) {
        const QueryPlan plan = planFor(query, scene);
        for (const std::wstring& fault : faults) {
            // A connection-stage close hits whatever comes first: it is not tied to a query.
            const bool stageFault = fault == L"close connect" || fault == L"close request";
            if (stageFault && query != queries.front())
                continue;
            for (int once = 0; once < 2; ++once) {
                if ((once && !options.once) || (!once && !options.always))
                    continue;
                FaultRun run;
                run.query = query;
                run.fault = std::wstring(once ? L"fault:1 " : L"fault ") +
                            (stageFault ? L"*" : plan.target) + L" " + fault;
                std::vector<std::wstring> arguments = {L"--pipe", pipe, L"--root", scene.root};
                for (const std::wstring& line : plan.lines) {
                    arguments.push_back(L"--set");
                    arguments.push_back(line);
                }
                arguments.push_back(L"--set");
                arguments.push_back(run.fault);
                const uint64_t launched = milliseconds();
                runner::RunResult result;
                {
                    std::string problem;
                    const auto service = startStandin(arguments, problem);
                    runner::RunOptions runOptions;
                    runOptions.timeoutMs = options.launchBoundMs;
                    runOptions.workingDirectory = scene.work;
                    result = runner::runProgram(launcherExe(), {plan.script}, runOptions);
                    if (!service)
                        result.out = "stand-in did not start: " + problem;
                }
                run.elapsedMs = milliseconds() - launched;
                run.outcome = judgeLaunch(result.out, result.exitCode, result.timedOut,
                                          plan.expectedCommandLine, plan.expectedDirectory);
                run.exitCode = result.exitCode;
                run.output = result.out;
                ++figures.counts[static_cast<int>(run.outcome)];
                if (options.progress != nullptr) {
                    std::fprintf(
                        options.progress, "  %-16s %-34s %-12s %5.1f s  %s\n", utf8(query).c_str(),
                        utf8(run.fault).c_str(), outcomeName(run.outcome), run.elapsedMs / 1000.0,
                        run.outcome == Outcome::ExactChild ? "" : run.output.substr(0, 90).c_str());
                    std::fflush(options.progress);
                }
                figures.runs.push_back(std::move(run));
            }
        }
    }
    figures.elapsedMs = milliseconds() - start;
    return figures;
}

void printFaultsFigures(FILE* out, const FaultsFigures& f) {
    std::fprintf(out, "service faults through the launcher: %u runs in %.1f s\n",
                 static_cast<unsigned>(f.runs.size()), f.elapsedMs / 1000.0);
    for (int i = 0; i < 5; ++i)
        std::fprintf(out, "  %-12s %llu\n", outcomeName(static_cast<Outcome>(i)),
                     static_cast<unsigned long long>(f.counts[i]));
    std::map<std::string, unsigned> texts;
    for (const FaultRun& run : f.runs)
        if (run.outcome == Outcome::ErrorText)
            ++texts[run.output.substr(0, run.output.find('\n'))];
    std::fprintf(out, "  failure texts seen:\n");
    for (const auto& text : texts)
        std::fprintf(out, "    %3u x %s\n", text.second, text.first.c_str());
    for (const FaultRun& run : f.runs)
        if (run.outcome != Outcome::ExactChild && run.outcome != Outcome::ErrorText)
            std::fprintf(out, "  ! %s / %s: %s, exit %lu: %s\n", utf8(run.query).c_str(),
                         utf8(run.fault).c_str(), outcomeName(run.outcome),
                         static_cast<unsigned long>(run.exitCode), run.output.c_str());
}

} // namespace campaign
