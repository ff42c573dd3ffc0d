// The stand-in management service as the launcher's tests run it: on a pipe of the test's own,
// which the configuration key's "zrapipe" value points the launcher at for the test's duration.
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"
#include "tools/runner/run_process.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace launchertest {

inline const wchar_t kConfigKey[] = L"SOFTWARE\\Varno\\ZRA Config\\Config";

inline std::wstring backslashed(std::wstring path) {
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

inline std::wstring launcherExe() {
    return backslashed(ZRA_LAUNCHER_EXE);
}
inline std::wstring serviceExe() {
    return backslashed(ZRA_EXAMINATION_SERVICE_EXE);
}

// Points the launcher at a pipe of the test's own through the configuration key's "zrapipe"
// value (32-bit view); the value and the key levels made here are put back as they were.
class ScopedPipeName {
public:
    explicit ScopedPipeName(const std::wstring& name) {
        for (size_t at = 0;;) {
            at = std::wstring(kConfigKey).find(L'\\', at + 1);
            const std::wstring level = std::wstring(kConfigKey).substr(0, at);
            HKEY probe = nullptr;
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, level.c_str(), 0, KEY_READ | KEY_WOW64_32KEY,
                                &probe) == ERROR_SUCCESS) {
                ::RegCloseKey(probe);
            } else {
                created_.push_back(level);
            }
            if (at == std::wstring::npos)
                break;
        }
        EXPECT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, 0,
                                    KEY_READ | KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key_,
                                    nullptr),
                  ERROR_SUCCESS);
        wchar_t old[512];
        DWORD size = sizeof(old);
        DWORD type = 0;
        had_ = ::RegQueryValueExW(key_, L"zrapipe", nullptr, &type, reinterpret_cast<BYTE*>(old),
                                  &size) == ERROR_SUCCESS;
        if (had_)
            old_.assign(old, size / sizeof(wchar_t));
        ::RegSetValueExW(key_, L"zrapipe", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                         static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    }
    ~ScopedPipeName() {
        if (had_) {
            ::RegSetValueExW(key_, L"zrapipe", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(old_.data()),
                             static_cast<DWORD>(old_.size() * sizeof(wchar_t)));
        } else {
            ::RegDeleteValueW(key_, L"zrapipe");
        }
        ::RegCloseKey(key_);
        for (auto level = created_.rbegin(); level != created_.rend(); ++level)
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, level->c_str(), KEY_WOW64_32KEY, 0);
    }
    ScopedPipeName(const ScopedPipeName&) = delete;
    ScopedPipeName& operator=(const ScopedPipeName&) = delete;

private:
    HKEY key_ = nullptr;
    bool had_ = false;
    std::wstring old_;
    std::vector<std::wstring> created_;
};

// The stand-in management service on its own pipe, answering from the given configuration lines
// on top of its defaults; it stops when its standard input closes.
class StandinService {
public:
    // options: further switches of the service (--busy, --instances N ...).
    StandinService(const std::wstring& pipe, const std::wstring& root,
                   const std::vector<std::wstring>& lines,
                   const std::vector<std::wstring>& options = {}) {
        std::vector<std::wstring> argv = {serviceExe(), L"--pipe", pipe, L"--root", root};
        for (const std::wstring& line : lines) {
            argv.push_back(L"--set");
            argv.push_back(line);
        }
        argv.insert(argv.end(), options.begin(), options.end());
        std::wstring commandLine = runner::buildCommandLine(argv);
        SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
        HANDLE inRead = nullptr;
        HANDLE inWrite = nullptr;
        HANDLE outRead = nullptr;
        HANDLE outWrite = nullptr;
        ::CreatePipe(&inRead, &inWrite, &inheritable, 0);
        ::CreatePipe(&outRead, &outWrite, &inheritable, 0);
        base::ScopedHandle childIn(inRead);
        base::ScopedHandle childOut(outWrite);
        input_.reset(inWrite);
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
        EXPECT_TRUE(::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                     nullptr, &startup, &information));
        process_.reset(information.hProcess);
        ::CloseHandle(information.hThread);
        childIn.reset();
        childOut.reset();
        // Serving starts with the line "ready"; everything after it is drained in the background.
        std::string text;
        char c = 0;
        DWORD read = 0;
        while (text.find("ready") == std::string::npos &&
               ::ReadFile(output_.get(), &c, 1, &read, nullptr) && read == 1) {
            text += c;
        }
        EXPECT_NE(text.find("ready"), std::string::npos) << text;
        drain_ = std::thread([this] {
            char buffer[512];
            DWORD n = 0;
            while (::ReadFile(output_.get(), buffer, sizeof(buffer), &n, nullptr) && n > 0) {
            }
        });
    }
    ~StandinService() {
        input_.reset();
        if (::WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0)
            ::TerminateProcess(process_.get(), 1);
        drain_.join();
    }
    StandinService(const StandinService&) = delete;
    StandinService& operator=(const StandinService&) = delete;

private:
    base::ScopedHandle process_;
    base::ScopedHandle input_;
    base::ScopedHandle output_;
    std::thread drain_;
};

} // namespace launchertest
