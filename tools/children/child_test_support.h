// For test programs that start the reporting child: scratch directories, files, environment and
// current-directory changes that undo themselves, and the reading of the child's report.
// The including program defines ZRA_CHILD_REPORT_EXE (the built zra-child-report.exe).
#pragma once

#include "base/text.h"
#include "base/win32.h"
#include "tools/testing/temp.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

namespace childtest {

inline std::wstring reportChildExe() {
    std::wstring path = ZRA_CHILD_REPORT_EXE;
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

inline std::string utf8(const std::wstring& text) {
    return cstr(text, 65001);
}

using zra_testing::removeTree;
// A fresh directory under the temporary directory, removed with everything in it.
using TempDir = zra_testing::TempDirectory;

inline void makeDirectory(const std::wstring& path) {
    ::CreateDirectoryW(path.c_str(), nullptr);
}

inline void writeFile(const std::wstring& path, const std::string& bytes) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << utf8(path);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

inline std::string readFile(const std::wstring& path) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (file != INVALID_HANDLE_VALUE &&
           ::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    if (file != INVALID_HANDLE_VALUE)
        ::CloseHandle(file);
    return bytes;
}

inline bool fileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The reporting child copied under another name (php.exe, perl.exe ...).
inline void copyChild(const std::wstring& to) {
    ASSERT_TRUE(::CopyFileW(reportChildExe().c_str(), to.c_str(), FALSE)) << utf8(to);
}

class ScopedEnvironment {
public:
    ScopedEnvironment(std::wstring name, const std::wstring& value) : name_(std::move(name)) {
        wchar_t buffer[32767];
        const DWORD length = ::GetEnvironmentVariableW(name_.c_str(), buffer, 32767);
        had_ = length > 0;
        if (had_)
            old_.assign(buffer, length);
        ::SetEnvironmentVariableW(name_.c_str(), value.c_str());
    }
    ~ScopedEnvironment() {
        ::SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::wstring name_;
    std::wstring old_;
    bool had_ = false;
};

class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const std::wstring& directory) {
        wchar_t buffer[MAX_PATH * 2];
        old_.assign(buffer, ::GetCurrentDirectoryW(MAX_PATH * 2, buffer));
        ::SetCurrentDirectoryW(directory.c_str());
    }
    ~ScopedCurrentDirectory() { ::SetCurrentDirectoryW(old_.c_str()); }
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

private:
    std::wstring old_;
};

// The child's report lines "name: value" ("cmdline", "cwd", "stdin"), first of each name.
inline std::map<std::string, std::string> parseReport(const std::string& output) {
    std::map<std::string, std::string> report;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        const std::string line = output.substr(start, end - start);
        const size_t colon = line.find(": ");
        if (colon != std::string::npos)
            report.emplace(line.substr(0, colon), line.substr(colon + 2));
        start = end + 1;
    }
    return report;
}

// Everything the other end writes until it closes, from a pipe opened for overlapped I/O.
inline std::string readToEnd(HANDLE pipe, OVERLAPPED& overlapped) {
    std::string bytes;
    char buffer[4096];
    for (;;) {
        overlapped.Offset = overlapped.OffsetHigh = 0;
        DWORD read = 0;
        if (!::ReadFile(pipe, buffer, sizeof(buffer), nullptr, &overlapped) &&
            ::GetLastError() != ERROR_IO_PENDING)
            break;
        if (!::GetOverlappedResult(pipe, &overlapped, &read, TRUE))
            break;
        bytes.append(buffer, read);
    }
    return bytes;
}

} // namespace childtest
