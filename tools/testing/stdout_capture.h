// What this process writes to its standard output while a scope runs, kept in a temporary file.
#pragma once

#include "base/win32.h"

#include <string>

namespace zra_testing {

class StdoutCapture {
public:
    struct Options {
        // The process's standard output handle (GetStdHandle, WriteFile) is always taken; this
        // takes the C runtime's descriptor 1 (printf, std::cout) too. The runtime cannot have the
        // descriptor alone: pointing it elsewhere moves the handle along.
        bool runtime = true;
        // Descriptor 1 in text mode, as a program's standard output is at its start; otherwise
        // binary, so that the bytes are seen as written.
        bool textMode = false;
    };

    StdoutCapture() : StdoutCapture(Options{}) {}
    explicit StdoutCapture(const Options& options);
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Everything written so far.
    std::string text();
    // Puts standard output back and returns everything written meanwhile.
    const std::string& finish();

private:
    std::wstring file_;
    int savedDescriptor_ = -1;
    HANDLE savedHandle_ = nullptr;
    HANDLE ownHandle_ = nullptr;
    bool active_ = false;
    std::string bytes_;
};

} // namespace zra_testing
