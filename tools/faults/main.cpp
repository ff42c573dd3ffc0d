// zra-fault-campaign: every injectable import of the launcher failed in turn on each scenario.
// Prints the outcome table and each run that was neither unchanged nor a clean failure; exits 1
// when any run was a wrong success, a crash, a hang or a garbled text, 2 on bad usage.
#include "base/text.h"
#include "tools/faults/campaign.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const char kUsage[] =
    "usage: zra-fault-campaign [--function NAME]... [--scenario NAME]... [--error CODE]\n"
    "                          [--max-calls K] [--bound-ms MS] [--quiet]\n";

} // namespace

int wmain(int argc, wchar_t** argv) {
    faults::Options options;
    options.progress = stdout;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--quiet") {
            options.progress = nullptr;
            continue;
        }
        if (i + 1 >= argc) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        const std::wstring value = argv[++i];
        if (option == L"--function")
            options.functions.push_back(cstr(value, 65001));
        else if (option == L"--scenario")
            options.scenarios.push_back(cstr(value, 65001));
        else if (option == L"--error")
            options.error = static_cast<uint32_t>(std::wcstoul(value.c_str(), nullptr, 10));
        else if (option == L"--max-calls")
            options.maxCalls = static_cast<uint32_t>(std::wcstoul(value.c_str(), nullptr, 10));
        else if (option == L"--bound-ms")
            options.boundMs = static_cast<uint32_t>(std::wcstoul(value.c_str(), nullptr, 10));
        else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    std::string known;
    for (const std::string& name : faults::scenarioNames())
        known += " " + name;
    for (const std::string& name : options.scenarios)
        if (known.find(" " + name) == std::string::npos) {
            std::fprintf(stderr, "unknown scenario %s; known:%s\n", name.c_str(), known.c_str());
            return 2;
        }
    const faults::Figures figures = faults::runCampaign(options);
    faults::printFigures(stdout, figures);
    const std::vector<uint64_t>& total = figures.counts.at("");
    const bool bad = total[static_cast<int>(faults::Outcome::WrongSuccess)] != 0 ||
                     total[static_cast<int>(faults::Outcome::Crash)] != 0 ||
                     total[static_cast<int>(faults::Outcome::Hang)] != 0 ||
                     total[static_cast<int>(faults::Outcome::Garbled)] != 0 ||
                     !figures.problems.empty();
    return bad ? 1 : 0;
}
