// Helpers shared by the logging tests: capturing the C runtime's standard output, running a probe
// program with its output on a pipe, and setting the Debug switch for the length of a test.
#pragma once

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/win32.h"
#include "logging/execute_context.h"

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

// Points the C runtime's descriptor 1 at a temporary file opened in text mode, as standard output
// is at program start, and gives back every byte written until finish().
class StdoutCapture {
public:
    StdoutCapture() {
        wchar_t directory[MAX_PATH];
        ::GetTempPathW(MAX_PATH, directory);
        ::GetTempFileNameW(directory, L"zlg", 0, path_);
        std::fflush(stdout);
        saved_ = _dup(1);
        HANDLE file = ::CreateFileW(path_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_TEXT);
        _dup2(fd, 1);
        _close(fd);
    }
    ~StdoutCapture() { finish(); }

    std::string finish() {
        if (saved_ >= 0) {
            std::fflush(stdout);
            _dup2(saved_, 1);
            _close(saved_);
            saved_ = -1;
            base::ScopedFileHandle file(::CreateFileW(path_, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                      nullptr));
            char buffer[4096];
            DWORD read = 0;
            while (file && ::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read)
                bytes_.append(buffer, read);
            file.reset();
            ::DeleteFileW(path_);
        }
        return bytes_;
    }

private:
    wchar_t path_[MAX_PATH] = {};
    int saved_ = -1;
    std::string bytes_;
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

// Sets or removes one value of the configuration key (32-bit view) for the life of the object and
// puts back exactly what was there (type and data, or no value), and removes the keys it had to
// create.
class ScopedConfigValue {
public:
    ScopedConfigValue(const wchar_t* name, std::optional<DWORD> value) : name_(name) {
        open();
        if (value)
            set(REG_DWORD, &*value, sizeof(DWORD));
        else
            ::RegDeleteValueW(key_.get(), name_.c_str());
    }
    // A string value of the given type (REG_SZ, REG_EXPAND_SZ).
    ScopedConfigValue(const wchar_t* name, const std::wstring& text, DWORD type) : name_(name) {
        open();
        set(type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    ~ScopedConfigValue() {
        if (hadValue_)
            set(previousType_, previous_.data(), static_cast<DWORD>(previous_.size()));
        else
            ::RegDeleteValueW(key_.get(), name_.c_str());
        key_.reset();
        for (int i = createdCount_ - 1; i >= 0; --i)
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, created_[i], KEY_WOW64_32KEY, 0);
    }
    ScopedConfigValue(const ScopedConfigValue&) = delete;
    ScopedConfigValue& operator=(const ScopedConfigValue&) = delete;

private:
    void open() {
        const wchar_t* parts[] = {L"SOFTWARE\\Varno", L"SOFTWARE\\Varno\\ZRA Config",
                                  L"SOFTWARE\\Varno\\ZRA Config\\Config"};
        for (int i = 0; i < 3; ++i) {
            HKEY key = nullptr;
            DWORD disposition = 0;
            if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, parts[i], 0, nullptr, 0,
                                  KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key,
                                  &disposition) != ERROR_SUCCESS)
                throw std::runtime_error("cannot create the configuration key");
            if (disposition == REG_CREATED_NEW_KEY)
                created_[createdCount_++] = parts[i];
            if (i == 2)
                key_.reset(key);
            else
                ::RegCloseKey(key);
        }
        DWORD size = 0;
        if (::RegQueryValueExW(key_.get(), name_.c_str(), nullptr, &previousType_, nullptr,
                               &size) == ERROR_SUCCESS) {
            previous_.resize(size);
            hadValue_ = ::RegQueryValueExW(key_.get(), name_.c_str(), nullptr, &previousType_,
                                           previous_.data(), &size) == ERROR_SUCCESS;
            previous_.resize(size);
        }
    }
    void set(DWORD type, const void* data, DWORD size) {
        ::RegSetValueExW(key_.get(), name_.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    }

    std::wstring name_;
    base::ScopedRegKey key_;
    bool hadValue_ = false;
    DWORD previousType_ = REG_NONE;
    std::vector<BYTE> previous_;
    const wchar_t* created_[3] = {};
    int createdCount_ = 0;
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
class ScopedNewKey {
public:
    explicit ScopedNewKey(std::wstring subKey) : subKey_(std::move(subKey)) {
        base::ScopedRegKey key;
        existed_ = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, KEY_READ, key.put()) ==
                   ERROR_SUCCESS;
    }
    ~ScopedNewKey() {
        if (!existed_) {
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey_.c_str());
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, subKey_.c_str());
        }
    }
    ScopedNewKey(const ScopedNewKey&) = delete;
    ScopedNewKey& operator=(const ScopedNewKey&) = delete;
    bool existed() const { return existed_; }
    const std::wstring& subKey() const { return subKey_; }

private:
    std::wstring subKey_;
    bool existed_ = false;
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

// A new directory under the temporary directory, removed with its files at the end.
class TempDirectory {
public:
    TempDirectory() {
        wchar_t base[MAX_PATH];
        ::GetTempPathW(MAX_PATH, base);
        path_ = std::wstring(base) + L"zlog" + uniqueText();
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempDirectory() { removeTree(path_); }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::wstring& path() const { return path_; }

    static void removeTree(const std::wstring& path) {
        WIN32_FIND_DATAW data;
        base::ScopedFindHandle find(::FindFirstFileW((path + L"\\*").c_str(), &data));
        if (find) {
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
            } while (::FindNextFileW(find.get(), &data));
        }
        find.reset();
        ::RemoveDirectoryW(path.c_str());
    }

private:
    std::wstring path_;
};

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
