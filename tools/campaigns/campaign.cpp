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

StandinService::StandinService(const std::wstring& exe,
                               const std::vector<std::wstring>& arguments) {
    std::vector<std::wstring> argv = {exe};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::wstring commandLine = runner::buildCommandLine(argv);
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE inRead = nullptr;
    HANDLE inWrite = nullptr;
    HANDLE outRead = nullptr;
    HANDLE outWrite = nullptr;
    if (!::CreatePipe(&inRead, &inWrite, &inheritable, 0))
        return;
    base::ScopedHandle childIn(inRead);
    input_.reset(inWrite);
    if (!::CreatePipe(&outRead, &outWrite, &inheritable, 0))
        return;
    base::ScopedHandle childOut(outWrite);
    output_.reset(outRead);
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    PROCESS_INFORMATION information{};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &information))
        return;
    process_.reset(information.hProcess);
    ::CloseHandle(information.hThread);
    childIn.reset();
    childOut.reset();
    // Serving starts with the line "ready".
    char c = 0;
    DWORD read = 0;
    while (banner_.find("ready") == std::string::npos &&
           ::ReadFile(output_.get(), &c, 1, &read, nullptr) && read == 1)
        banner_ += c;
    ready_ = banner_.find("ready") != std::string::npos;
    drain_ = std::thread([this] {
        char buffer[512];
        DWORD n = 0;
        while (::ReadFile(output_.get(), buffer, sizeof(buffer), &n, nullptr) && n > 0) {
        }
    });
}

StandinService::~StandinService() {
    input_.reset();
    if (process_.valid() && ::WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0)
        ::TerminateProcess(process_.get(), 1);
    if (drain_.joinable())
        drain_.join();
}

// ---------------------------------------------------------------------------------------------

namespace {
const wchar_t kConfigKey[] = L"SOFTWARE\\Varno\\ZRA Config\\Config";
}

ScopedPanelPipeName::ScopedPanelPipeName(const std::wstring& name) {
    const std::wstring full = kConfigKey;
    for (size_t at = 0;;) {
        at = full.find(L'\\', at + 1);
        const std::wstring level = full.substr(0, at);
        base::ScopedRegKey probe;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, level.c_str(), 0, KEY_READ | KEY_WOW64_32KEY,
                            probe.put()) != ERROR_SUCCESS)
            created_.push_back(level);
        if (at == std::wstring::npos)
            break;
    }
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, 0,
                      KEY_READ | KEY_WRITE | KEY_WOW64_32KEY, nullptr, key_.put(), nullptr);
    wchar_t old[512];
    DWORD size = sizeof(old);
    DWORD type = 0;
    had_ = ::RegQueryValueExW(key_.get(), L"zrapipe", nullptr, &type, reinterpret_cast<BYTE*>(old),
                              &size) == ERROR_SUCCESS &&
           type == REG_SZ;
    if (had_)
        old_.assign(old, size / sizeof(wchar_t));
    ::RegSetValueExW(key_.get(), L"zrapipe", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                     static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
}

ScopedPanelPipeName::~ScopedPanelPipeName() {
    if (had_)
        ::RegSetValueExW(key_.get(), L"zrapipe", 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(old_.data()),
                         static_cast<DWORD>(old_.size() * sizeof(wchar_t)));
    else
        ::RegDeleteValueW(key_.get(), L"zrapipe");
    key_.reset();
    for (auto level = created_.rbegin(); level != created_.rend(); ++level)
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, level->c_str(), KEY_WOW64_32KEY, 0);
}

std::wstring campaignPipeName(const wchar_t* prefix) {
    static std::atomic<unsigned> counter{0};
    return std::wstring(prefix) + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

namespace {
std::wstring backslashed(std::wstring path) {
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}
} // namespace

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
