#include "base/win32.h"

#include "tools/campaigns/stability.h"

#include "base/exception.h"
#include "service/client.h"
#include "service/tests/test_support.h"
#include "tools/campaigns/campaign.h"
#include "tools/testing/registry.h"

#include <string>

namespace campaign {

namespace {

StabilitySample sample(uint32_t queries) {
    const ProcessFigures figures = processFigures();
    return {queries, figures.handles, figures.nextHandle, figures.privateBytes, figures.pagefile};
}

uint32_t countReconnects() {
    uint32_t count = 0;
    for (const servicetest::LogRecord& record : servicetest::takeLog())
        if (record.text.find(L"Trying to reconnect") != std::wstring::npos)
            ++count;
    return count;
}

} // namespace

StabilityFigures runStability(const StabilityOptions& options) {
    StabilityFigures figures;
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"zra-campaign-root";
    const std::wstring pipe = campaignPipeName(L"zra-campaign-stability");
    const auto pipeName = zra_testing::panelPipeName(pipe);
    std::string problem;
    const auto service =
        startStandin({L"--pipe", pipe, L"--root", root, L"--restart-after",
                      std::to_wstring(options.restartAfter), L"--set", L"secret pwd=stable pw",
                      L"--set", L"value PANEL_VERSION=12.3.4"},
                     problem);
    figures.serviceStarted = service != nullptr;
    if (!figures.serviceStarted)
        return figures;
    servicetest::installLogRecorder();
    servicetest::takeLog();

    struct Query {
        int kind;
        const wchar_t* name;
        std::wstring expected;
    };
    const Query queries[] = {
        {0, L"pwd", L"stable pw"},           {1, L"PANEL_VERSION", L"12.3.4"},
        {1, L"PRODUCT_VERSION", L"18.0.61"}, {1, L"PRODUCT_ROOT_D", root},
        {2, L"perl", root + L"\\perl"},
    };
    figures.start = sample(0);
    const uint64_t begin = milliseconds();
    uint32_t lastFailed = 0;
    for (uint32_t i = 0; i < options.count; ++i) {
        if (i == options.warmUp)
            figures.before = sample(i);
        const Query& query = queries[i % 5];
        try {
            VarnoSrvClient& client = VarnoSrvClient::getInstance();
            const std::wstring answer = query.kind == 0   ? client.getPassword(query.name)
                                        : query.kind == 1 ? client.getString(query.name)
                                                          : client.componentInfo(query.name, 2);
            ++figures.answered;
            if (answer != query.expected)
                ++figures.wrong;
        } catch (const vexception& e) {
            if (figures.failed == 0 || lastFailed + 1 != i)
                ++figures.failureRuns;
            lastFailed = i;
            ++figures.failed;
            if (figures.failures.size() < 10)
                figures.failures.push_back("query " + std::to_string(i) + ": " + utf8(e.message()));
        }
        ++figures.queries;
        if ((i + 1) % options.sampleEvery == 0) {
            figures.reconnects += countReconnects();
            figures.samples.push_back(sample(i + 1));
            if (options.progress != nullptr) {
                std::fprintf(options.progress,
                             "  %5u queries: handles %lu, next handle 0x%x, private bytes %s, "
                             "pagefile %s, failed %u, reconnects %u\n",
                             i + 1, figures.samples.back().handles,
                             static_cast<unsigned>(figures.samples.back().nextHandle),
                             formatBytes(figures.samples.back().privateBytes).c_str(),
                             formatBytes(figures.samples.back().pagefile).c_str(), figures.failed,
                             figures.reconnects);
                std::fflush(options.progress);
            }
        }
    }
    figures.reconnects += countReconnects();
    figures.elapsedMs = milliseconds() - begin;
    figures.after = sample(figures.queries);
    if (options.warmUp >= options.count)
        figures.before = figures.start;
    return figures;
}

void printStabilityFigures(FILE* out, const StabilityOptions& options, const StabilityFigures& f) {
    std::fprintf(out,
                 "stability: %u queries, stand-in restarted every %u exchanges, %.1f s (%.0f/s)\n",
                 f.queries, options.restartAfter, f.elapsedMs / 1000.0,
                 f.elapsedMs ? f.queries * 1000.0 / f.elapsedMs : 0.0);
    if (!f.serviceStarted) {
        std::fprintf(out, "  the stand-in service did not start\n");
        return;
    }
    std::fprintf(out, "  answered %u (wrong %u), failed %u in %u stretches, reconnects %u\n",
                 f.answered, f.wrong, f.failed, f.failureRuns, f.reconnects);
    std::fprintf(out, "  handles: %lu at start, %lu after %u warm-up queries, %lu at the end\n",
                 f.start.handles, f.before.handles, options.warmUp, f.after.handles);
    std::fprintf(out, "  next handle value: 0x%x at start, 0x%x after warm-up, 0x%x at the end\n",
                 static_cast<unsigned>(f.start.nextHandle),
                 static_cast<unsigned>(f.before.nextHandle),
                 static_cast<unsigned>(f.after.nextHandle));
    std::fprintf(out, "  private bytes: %s at start, %s after warm-up, %s at the end\n",
                 formatBytes(f.start.privateBytes).c_str(),
                 formatBytes(f.before.privateBytes).c_str(),
                 formatBytes(f.after.privateBytes).c_str());
    std::fprintf(out, "  pagefile usage: %s at start, %s after warm-up, %s at the end\n",
                 formatBytes(f.start.pagefile).c_str(), formatBytes(f.before.pagefile).c_str(),
                 formatBytes(f.after.pagefile).c_str());
    std::fprintf(out, "  change after warm-up: %+ld handles, %+lld private bytes, %+lld pagefile\n",
                 static_cast<long>(f.after.handles) - static_cast<long>(f.before.handles),
                 static_cast<long long>(f.after.privateBytes) -
                     static_cast<long long>(f.before.privateBytes),
                 static_cast<long long>(f.after.pagefile) -
                     static_cast<long long>(f.before.pagefile));
    for (const std::string& failure : f.failures)
        std::fprintf(out, "  ! %s\n", failure.c_str());
}

} // namespace campaign
