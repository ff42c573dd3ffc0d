#include "base/win32.h"

#include "tools/campaigns/campaign.h"

#include "base/text.h"
#include "tools/runner/run_process.h"

#include <psapi.h>

#include <atomic>
#include <cstdio>

namespace campaign {

uint64_t Random::next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t Random::below(uint32_t bound) {
    return bound == 0 ? 0 : static_cast<uint32_t>(next() % bound);
}

Random caseRandom(uint64_t seed, uint64_t index, uint64_t attempt) {
    Random mixer(seed ^ (index * 0xD1B54A32D192ED03ull) ^ (attempt * 0x8CB92BA72F3D8DD7ull));
    return Random(mixer.next());
}

uint64_t freshSeed() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    Random mixer((uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime) ^
                 ::GetCurrentProcessId());
    return mixer.next() & 0xFFFFFFFFFFFFull;
}

ProcessFigures processFigures(HANDLE process) {
    ProcessFigures figures;
    ::GetProcessHandleCount(process, &figures.handles);
    if (process == ::GetCurrentProcess()) {
        base::ScopedHandle probe(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        figures.nextHandle = reinterpret_cast<uintptr_t>(probe.get());
    }
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof(counters))) {
        figures.privateBytes = counters.PrivateUsage;
        figures.peakPagefile = counters.PeakPagefileUsage;
        figures.workingSet = counters.WorkingSetSize;
        figures.pagefile = counters.PagefileUsage;
    }
    return figures;
}

uint64_t milliseconds() {
    return ::GetTickCount64();
}

// ---------------------------------------------------------------------------------------------

Watchdog::~Watchdog() {
    ::SetEvent(stop_.get());
    thread_.join();
}

void Watchdog::arm() {
    ::InterlockedExchange(&expired_, 0);
    ::SetEvent(armed_.get());
}

bool Watchdog::disarm() {
    ::SetEvent(disarmed_.get());
    // A deadline that passes just as the step returns is still counted: the watchdog thread
    // reports back only after it has settled the step one way or the other.
    ::WaitForSingleObject(settled_.get(), INFINITE);
    return ::InterlockedCompareExchange(&expired_, 0, 0) != 0;
}

void Watchdog::run() {
    for (;;) {
        HANDLE start[2] = {stop_.get(), armed_.get()};
        if (::WaitForMultipleObjects(2, start, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            return;
        HANDLE end[2] = {stop_.get(), disarmed_.get()};
        const DWORD result = ::WaitForMultipleObjects(2, end, FALSE, boundMs_);
        if (result == WAIT_OBJECT_0)
            return;
        if (result == WAIT_TIMEOUT) {
            ::InterlockedExchange(&expired_, 1);
            onExpiry_();
            // Wait for the step to come back before the next one can be armed.
            if (::WaitForMultipleObjects(2, end, FALSE, INFINITE) == WAIT_OBJECT_0)
                return;
        }
        ::SetEvent(settled_.get());
    }
}

// ---------------------------------------------------------------------------------------------

std::unique_ptr<zra_testing::StandinService>
startStandin(const std::vector<std::wstring>& arguments, std::string& problem) {
    try {
        return std::make_unique<zra_testing::StandinService>(standinExe(), arguments);
    } catch (const std::exception& e) {
        problem = e.what();
        return nullptr;
    }
}

// ---------------------------------------------------------------------------------------------

std::wstring campaignPipeName(const wchar_t* prefix) {
    static std::atomic<unsigned> counter{0};
    return std::wstring(prefix) + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

using zra_testing::backslashed;

std::wstring launcherExe() {
    return backslashed(ZRA_LAUNCHER_EXE);
}
std::wstring standinExe() {
    return backslashed(ZRA_STANDIN_EXE);
}
std::wstring reportChildExe() {
    return backslashed(ZRA_CHILD_REPORT_EXE);
}

std::string utf8(const std::wstring& text) {
    return cstr(text, 65001);
}

std::string formatBytes(uint64_t bytes) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%llu B (%.1f MiB)",
                  static_cast<unsigned long long>(bytes), bytes / 1048576.0);
    return buffer;
}

} // namespace campaign
