// Names and scratch directories no other test or process uses.
#pragma once

#include "base/win32.h"

#include <string>

namespace zra_testing {

// prefix, the process id, the tick count and a counter: for pipes, keys, mutexes and files.
std::wstring uniqueName(const wchar_t* prefix);

// The temporary directory with its trailing backslash.
std::wstring tempPath();

// Removes a directory with everything in it, read-only files included.
void removeTree(const std::wstring& path);

// A new, empty directory under the temporary directory, removed with everything in it at the end.
class TempDirectory {
public:
    explicit TempDirectory(const wchar_t* prefix = L"zra-test");
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::wstring& path() const { return path_; }
    // path() + L"\\" + leaf
    std::wstring operator/(const std::wstring& leaf) const { return path_ + L"\\" + leaf; }

private:
    std::wstring path_;
};

} // namespace zra_testing
