// Helpers shared by the logging tests: capturing the C runtime's standard output, running a probe
// program with its output on a pipe, and setting the Debug switch for the length of a test, on
// top of the shared ones (tools/testing).
#pragma once

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/win32.h"
#include "logging/execute_context.h"
#include "tools/testing/registry.h"
#include "tools/testing/stdout_capture.h"
#include "tools/testing/temp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <cwchar>

namespace logging_test {

inline std::wstring windowsPath(const char* path) {
    std::wstring result;
    for (const char* p = path; *p; ++p)
        result += *p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return result;
}

// The C runtime's descriptor 1 in text mode, as standard output is at program start.
class StdoutCapture : public zra_testing::StdoutCapture {
public:
    StdoutCapture() : zra_testing::StdoutCapture(Options{true, true}) {}
};

struct ChildResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

// Runs a program with standard output and error on one pipe and collects everything it writes.
inline ChildResult runChild(const std::wstring& program, const std::wstring& arguments) {
    ChildResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readRaw = nullptr;
    HANDLE writeRaw = nullptr;
    if (!::CreatePipe(&readRaw, &writeRaw, &inherit, 0))
        return result;
    base::ScopedHandle readEnd(readRaw);
    base::ScopedHandle writeEnd(writeRaw);
    ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                          nullptr, &startup, &process))
        return result;
    base::ScopedHandle processHandle(process.hProcess);
    base::ScopedHandle threadHandle(process.hThread);
    writeEnd.reset();

    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(readEnd.get(), buffer, sizeof buffer, &read, nullptr) && read)
        result.output.append(buffer, read);
    ::WaitForSingleObject(processHandle.get(), INFINITE);
    ::GetExitCodeProcess(processHandle.get(), &result.exitCode);
    return result;
}

// Sets or removes one value of the configuration key (32-bit view) for the life of the object.
class ScopedConfigValue : public zra_testing::ScopedValue {
public:
    ScopedConfigValue(const wchar_t* name, std::optional<DWORD> value)
        : ScopedValue(HKEY_LOCAL_MACHINE, zra_testing::kPanelConfigKey, name,
                      value ? zra_testing::RegistryValue::dword(*value)
                            : zra_testing::RegistryValue::absent(),
                      KEY_WOW64_32KEY) {}
    // A string value of the given type (REG_SZ, REG_EXPAND_SZ).
    ScopedConfigValue(const wchar_t* name, const std::wstring& text, DWORD type)
        : ScopedValue(HKEY_LOCAL_MACHINE, zra_testing::kPanelConfigKey, name,
                      zra_testing::RegistryValue::text(text, type), KEY_WOW64_32KEY) {}
};

// The "Debug" value for the life of the object; the cached switch is reset both ways.
class ScopedDebugValue {
public:
    explicit ScopedDebugValue(std::optional<DWORD> value)
        : value_(std::make_unique<ScopedConfigValue>(L"Debug", value)) {
        resetDebugSwitchCache();
    }
    ~ScopedDebugValue() {
        value_.reset();
        resetDebugSwitchCache();
    }
    ScopedDebugValue(const ScopedDebugValue&) = delete;
    ScopedDebugValue& operator=(const ScopedDebugValue&) = delete;

private:
    std::unique_ptr<ScopedConfigValue> value_;
};

// A key under HKEY_LOCAL_MACHINE that the test may make: removed with everything below it at the
// end unless it was there before.
class ScopedNewKey : public zra_testing::ScopedKey {
public:
    explicit ScopedNewKey(std::wstring subKey)
        : ScopedKey(HKEY_LOCAL_MACHINE, subKey, KEY_WOW64_32KEY, false),
          subKey_(std::move(subKey)) {}
    const std::wstring& subKey() const { return subKey_; }

private:
    std::wstring subKey_;
};

// Text unlikely to be used by anything else on the machine: for log, mutex and key names.
inline std::wstring uniqueText() {
    static LONG counter = 0;
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    wchar_t text[64];
    std::swprintf(text, 64, L"%lx%lx%lx", ::GetCurrentProcessId(),
                  static_cast<unsigned long>(now.LowPart), ::InterlockedIncrement(&counter));
    return text;
}

using zra_testing::TempDirectory;

// Keeps the shared routing table as the test found it.
class RoutingGuard {
public:
    RoutingGuard() : table_(varno::logging::routingTable()) {
        std::memcpy(saved_, table_, varno::logging::kRoutingSize);
    }
    ~RoutingGuard() { std::memcpy(table_, saved_, varno::logging::kRoutingSize); }
    uint8_t* table() const { return table_; }

private:
    uint8_t* table_;
    uint8_t saved_[varno::logging::kRoutingSize];
};

} // namespace logging_test
