// The panel's configuration values and scratch directories a test needs, both put back as they were
// when the test ends. Values are written in the 32-bit view, where the program reads them.
#pragma once

#include "base/win32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zra_test {

constexpr wchar_t kPanelConfigKey[] = L"SOFTWARE\\Varno\\ZRA Config\\Config";

// One value of the configuration key, set (or removed) for a scope. The key itself is left in
// place: the program creates it at every start anyway.
class ScopedConfigValue {
public:
    static ScopedConfigValue dword(const wchar_t* name, DWORD value) {
        return ScopedConfigValue(name, REG_DWORD, &value, sizeof value);
    }
    static ScopedConfigValue text(const wchar_t* name, const std::wstring& value,
                                  DWORD type = REG_SZ) {
        return ScopedConfigValue(name, type, value.c_str(),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    static ScopedConfigValue absent(const wchar_t* name) {
        return ScopedConfigValue(name, REG_NONE, nullptr, 0);
    }

    ScopedConfigValue(ScopedConfigValue&& other) noexcept
        : name_(std::move(other.name_)), hadValue_(other.hadValue_), oldType_(other.oldType_),
          oldData_(std::move(other.oldData_)), owns_(other.owns_) {
        other.owns_ = false;
    }
    ScopedConfigValue& operator=(ScopedConfigValue&&) = delete;
    ~ScopedConfigValue() {
        if (!owns_)
            return;
        HKEY key = open();
        if (!key)
            return;
        if (hadValue_)
            ::RegSetValueExW(key, name_.c_str(), 0, oldType_, oldData_.data(),
                             static_cast<DWORD>(oldData_.size()));
        else
            ::RegDeleteValueW(key, name_.c_str());
        ::RegCloseKey(key);
    }

private:
    ScopedConfigValue(const wchar_t* name, DWORD type, const void* data, DWORD size) : name_(name) {
        HKEY key = open();
        if (!key)
            return;
        owns_ = true;
        DWORD oldSize = 0;
        if (::RegQueryValueExW(key, name, nullptr, &oldType_, nullptr, &oldSize) == ERROR_SUCCESS) {
            hadValue_ = true;
            oldData_.resize(oldSize);
            ::RegQueryValueExW(key, name, nullptr, &oldType_, oldData_.data(), &oldSize);
        }
        if (type == REG_NONE)
            ::RegDeleteValueW(key, name);
        else
            EXPECT_EQ(ERROR_SUCCESS,
                      ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
        ::RegCloseKey(key);
    }

    static HKEY open() {
        HKEY key = nullptr;
        const LONG code =
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPanelConfigKey, 0, nullptr, 0,
                              KEY_READ | KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
        EXPECT_EQ(ERROR_SUCCESS, code);
        return code == ERROR_SUCCESS ? key : nullptr;
    }

    std::wstring name_;
    bool hadValue_ = false;
    DWORD oldType_ = REG_NONE;
    std::vector<BYTE> oldData_;
    bool owns_ = false;
};

// The four dump values at once; anything not given is removed for the scope.
struct DumpConfig {
    std::vector<ScopedConfigValue> values;
    DumpConfig() {
        for (const wchar_t* name : {L"CrashDumpsEnabled", L"PRODUCT_ROOT_D", L"CrashDumpsLocation",
                                    L"CrashDumpsMaxCount"})
            values.push_back(ScopedConfigValue::absent(name));
    }
    DumpConfig& set(ScopedConfigValue value) {
        values.push_back(std::move(value));
        return *this;
    }
};

// A fresh directory under the temporary directory, removed with everything in it at the end.
class TempDirectory {
public:
    TempDirectory() {
        wchar_t base[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, base);
        static int counter = 0;
        path_ = std::wstring(base) + L"zra-crash-" + std::to_wstring(::GetCurrentProcessId()) +
                L"-" + std::to_wstring(++counter);
        EXPECT_TRUE(::CreateDirectoryW(path_.c_str(), nullptr));
    }
    ~TempDirectory() { removeTree(L"\\\\?\\" + path_); }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::wstring& path() const { return path_; }

    static void removeTree(const std::wstring& path) {
        WIN32_FIND_DATAW data;
        HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                const std::wstring child = path + L"\\" + name;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    removeTree(child);
                } else {
                    ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                    ::DeleteFileW(child.c_str());
                }
            } while (::FindNextFileW(find, &data));
            ::FindClose(find);
        }
        ::RemoveDirectoryW(path.c_str());
    }

private:
    std::wstring path_;
};

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
