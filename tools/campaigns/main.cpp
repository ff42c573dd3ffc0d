// zra-campaign: field-readiness campaigns against the service client and the built launcher.
// Prints its figures and exits 0 when every criterion held, 1 when one failed, 2 on bad usage.
#include "base/win32.h"

#include "tools/campaigns/campaign.h"
#include "tools/campaigns/malformed_replies.h"
#include "tools/campaigns/service_faults.h"
#include "tools/campaigns/stability.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const char kUsage[] =
    "usage: zra-campaign replies [--count N] [--seed S] [--seconds T] [--bound-ms MS]\n"
    "       zra-campaign faults [--fault SPEC]... [--query NAME]... [--once-only|--always-only]\n"
    "       zra-campaign stability [--count N] [--restart-after N] [--warm-up N] [--sample-every "
    "N]\n";

bool numberArgument(int& i, int argc, wchar_t** argv, uint64_t& value) {
    if (i + 1 >= argc)
        return false;
    wchar_t* end = nullptr;
    value = std::wcstoull(argv[++i], &end, 0);
    return *argv[i] != L'\0' && *end == L'\0';
}

int replies(int argc, wchar_t** argv) {
    campaign::RepliesOptions options;
    options.seed = campaign::freshSeed();
    options.progress = stdout;
    uint64_t seconds = 0;
    for (int i = 2; i < argc; ++i) {
        const std::wstring option = argv[i];
        uint64_t value = 0;
        if (!numberArgument(i, argc, argv, value))
            return 2;
        if (option == L"--count")
            options.count = value;
        else if (option == L"--seed")
            options.seed = value;
        else if (option == L"--seconds")
            seconds = value;
        else if (option == L"--bound-ms")
            options.queryBoundMs = static_cast<DWORD>(value);
        else
            return 2;
    }
    options.timeLimitMs = seconds * 1000;
    std::printf("malformed replies: seed %llu (replay with --seed %llu)\n",
                static_cast<unsigned long long>(options.seed),
                static_cast<unsigned long long>(options.seed));
    std::fflush(stdout);
    const campaign::RepliesFigures f = campaign::runMalformedReplies(options);
    campaign::printRepliesFigures(stdout, options, f);
    const uint64_t bound = 2 * f.largestReplySent + 8192;
    const bool bounded = f.largestAllocation <= bound;
    std::printf("  allocation bound (2 x largest reply sent + 8 KiB = %llu B): %s\n",
                static_cast<unsigned long long>(bound), bounded ? "held" : "EXCEEDED");
    return f.unexpected == 0 && f.hangs == 0 && f.crossAnswers == 0 && f.intactWrong == 0 && bounded
               ? 0
               : 1;
}

int faults(int argc, wchar_t** argv) {
    campaign::FaultsOptions options;
    options.progress = stdout;
    for (int i = 2; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--once-only") {
            options.always = false;
        } else if (option == L"--always-only") {
            options.once = false;
        } else if ((option == L"--fault" || option == L"--query") && i + 1 < argc) {
            (option == L"--fault" ? options.faults : options.queries).push_back(argv[++i]);
        } else {
            return 2;
        }
    }
    const campaign::FaultsFigures f = campaign::runServiceFaults(options);
    campaign::printFaultsFigures(stdout, f);
    return f.counts[static_cast<int>(campaign::Outcome::WrongChild)] == 0 &&
                   f.counts[static_cast<int>(campaign::Outcome::OtherText)] == 0 &&
                   f.counts[static_cast<int>(campaign::Outcome::Hang)] == 0
               ? 0
               : 1;
}

int stability(int argc, wchar_t** argv) {
    campaign::StabilityOptions options;
    options.progress = stdout;
    for (int i = 2; i < argc; ++i) {
        const std::wstring option = argv[i];
        uint64_t value = 0;
        if (!numberArgument(i, argc, argv, value) || value == 0 || value > 100000000)
            return 2;
        if (option == L"--count")
            options.count = static_cast<uint32_t>(value);
        else if (option == L"--restart-after")
            options.restartAfter = static_cast<uint32_t>(value);
        else if (option == L"--sample-every")
            options.sampleEvery = static_cast<uint32_t>(value);
        else if (option == L"--warm-up")
            options.warmUp = static_cast<uint32_t>(value);
        else
            return 2;
    }
    const campaign::StabilityFigures f = campaign::runStability(options);
    campaign::printStabilityFigures(stdout, options, f);
    return f.serviceStarted && f.failed == 0 && f.wrong == 0 ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    int result = 2;
    if (command == L"replies")
        result = replies(argc, argv);
    else if (command == L"faults")
        result = faults(argc, argv);
    else if (command == L"stability")
        result = stability(argc, argv);
    if (result == 2)
        std::fputs(kUsage, stderr);
    std::fflush(stdout);
    return result;
}
