// The panel's configuration values and scratch directories a test needs, both put back as they were
// when the test ends. Values are written in the 32-bit view, where the program reads them.
#pragma once

#include "base/win32.h"
#include "tools/testing/registry.h"
#include "tools/testing/temp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zra_test {

// One value of the configuration key, set (or removed) for a scope.
class ScopedConfigValue : public zra_testing::ScopedValue {
public:
    static ScopedConfigValue dword(const wchar_t* name, DWORD value) {
        return {name, zra_testing::RegistryValue::dword(value)};
    }
    static ScopedConfigValue text(const wchar_t* name, const std::wstring& value,
                                  DWORD type = REG_SZ) {
        return {name, zra_testing::RegistryValue::text(value, type)};
    }
    static ScopedConfigValue absent(const wchar_t* name) {
        return {name, zra_testing::RegistryValue::absent()};
    }

private:
    ScopedConfigValue(const wchar_t* name, const zra_testing::RegistryValue& value)
        : ScopedValue(HKEY_LOCAL_MACHINE, zra_testing::kPanelConfigKey, name, value,
                      KEY_WOW64_32KEY) {}
};

// The four dump values at once; anything not given is removed for the scope.
struct DumpConfig {
    std::vector<ScopedConfigValue> values;
    DumpConfig() {
        for (const wchar_t* name : {L"CrashDumpsEnabled", L"PRODUCT_ROOT_D", L"CrashDumpsLocation",
                                    L"CrashDumpsMaxCount"})
            values.push_back(ScopedConfigValue::absent(name));
    }
    DumpConfig(const DumpConfig&) = delete;
    DumpConfig& operator=(const DumpConfig&) = delete;
    // A name given again is held twice: the later holder must put back its value first, so that
    // the first one, which saw what the machine had, restores last.
    ~DumpConfig() {
        while (!values.empty())
            values.pop_back();
    }
    DumpConfig& set(ScopedConfigValue value) {
        values.push_back(std::move(value));
        return *this;
    }
};

using zra_testing::TempDirectory;

// Names of the entries of a directory, "." and ".." left out, in search order.
inline std::vector<std::wstring> listNames(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((L"\\\\?\\" + directory + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return names;
}

inline bool directoryExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW((L"\\\\?\\" + path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// An empty file with the given last-write time (seconds after 2020-01-01 00:00:00).
inline void makeFile(const std::wstring& path, int secondsAfter2020 = 0) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    SYSTEMTIME base = {2020, 1, 3, 1, 0, 0, 0, 0};
    FILETIME time;
    ::SystemTimeToFileTime(&base, &time);
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    ticks.QuadPart += static_cast<ULONGLONG>(secondsAfter2020) * 10000000u;
    time.dwLowDateTime = ticks.LowPart;
    time.dwHighDateTime = ticks.HighPart;
    ::SetFileTime(file, nullptr, nullptr, &time);
    ::CloseHandle(file);
}

} // namespace zra_test
