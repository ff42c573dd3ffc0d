// The one place the process's current directory, the path of a loaded module and the system and
// Windows directories are read. Each query gives the text or the error of the call that failed;
// every caller raises with its own text and location, which differ between them.
#pragma once

#include "base/win32.h"

#include <string>

struct DirectoryQuery {
    bool succeeded = false;
    std::wstring path;           // empty when the call failed
    DWORD error = ERROR_SUCCESS; // the last error the failed call left, whatever it is
    bool ok() const { return succeeded; }
};

// GetCurrentDirectoryW, the buffer grown until the directory fits (another thread may change it
// to a longer one between two calls). Separators are left as the system gives them.
DirectoryQuery queryCurrentDirectory();
// GetModuleFileNameW of the module (null: the program's own file), grown until the path fits.
DirectoryQuery queryModulePath(HMODULE module = nullptr);
// The same into a buffer of exactly capacity characters, for readers whose buffer is fixed: a
// longer path comes back as the system cut it, capacity characters at most. Only a result of 0
// is a failure.
DirectoryQuery queryModulePathIn(DWORD capacity, HMODULE module = nullptr);
// GetSystemDirectoryW and GetWindowsDirectoryW, grown until the directory fits.
DirectoryQuery querySystemDirectory();
DirectoryQuery queryWindowsDirectory();
