// What the field-readiness campaigns share: a seeded generator, process figures, a bound on each
// step and the stand-in service for a step (the panel's pipe-name override is
// zra_testing::panelPipeName).
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"
#include "tools/testing/standin_service.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace campaign {

// splitmix64: small, fast and the same on every machine, so a seed replays a run exactly.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next();
    // Uniform in [0, bound); 0 when bound is 0.
    uint32_t below(uint32_t bound);
    bool chance(uint32_t percent) { return below(100) < percent; }

private:
    uint64_t state_;
};

// A generator for one case of a run: the same (seed, index, attempt) always gives the same stream.
Random caseRandom(uint64_t seed, uint64_t index, uint64_t attempt = 0);

// A seed from the clock, for runs that are not given one.
uint64_t freshSeed();

struct ProcessFigures {
    DWORD handles = 0; // GetProcessHandleCount; Wine 8 reports 0
    // The value a new handle gets. Handle tables hand out the lowest free slot, so handles that
    // leak push it up: a proxy for the count where the count is not reported.
    uintptr_t nextHandle = 0;
    uint64_t privateBytes = 0;
    uint64_t peakPagefile = 0;
    uint64_t workingSet = 0;
    uint64_t pagefile = 0; // the commit charge; Windows counts private bytes the same way
};
ProcessFigures processFigures(HANDLE process = ::GetCurrentProcess());

uint64_t milliseconds();

// Arms a deadline for each step and calls onExpiry (from its own thread) when a step outlives it;
// the step's owner then finds expired() set. onExpiry must make the stuck step return.
class Watchdog {
public:
    template <class F> Watchdog(DWORD boundMs, F onExpiry);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void arm();
    // True when the step armed last ran past the bound.
    bool disarm();

private:
    void run();

    DWORD boundMs_;
    std::function<void()> onExpiry_;
    base::ScopedHandle armed_;
    base::ScopedHandle disarmed_;
    base::ScopedHandle stop_;
    base::ScopedHandle settled_;
    volatile LONG expired_ = 0;
    std::thread thread_;
};

template <class F>
Watchdog::Watchdog(DWORD boundMs, F onExpiry)
    : boundMs_(boundMs), onExpiry_(std::move(onExpiry)),
      armed_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      disarmed_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      settled_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    thread_ = std::thread([this] { run(); });
}

// The stand-in management service for a campaign step (standinExe() with arguments), or none
// with why in problem: a service that does not come up is a finding of the run, not an error of
// the campaign. It stops when the object goes.
std::unique_ptr<zra_testing::StandinService>
startStandin(const std::vector<std::wstring>& arguments, std::string& problem);

// A unique pipe name for this process.
std::wstring campaignPipeName(const wchar_t* prefix);

// Windows paths of the programs built beside the campaigns (forward slashes turned around).
std::wstring launcherExe();
std::wstring standinExe();
std::wstring reportChildExe();

std::string utf8(const std::wstring& text);
std::string formatBytes(uint64_t bytes);

} // namespace campaign
