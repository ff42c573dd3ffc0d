// Runs a program the way end-to-end tests need it: given bytes on its stdin, its stdout and stderr
// captured separately and completely, and its full 32-bit exit code (the Linux exit status of a
// program run under Wine has only the low 8 bits).
#pragma once

#include "base/win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace runner {

// The exit code a program is terminated with when it runs past its timeout.
constexpr uint32_t kTimeoutExitCode = 0xFFFFFFFEu;

struct RunOptions {
    std::string input;             // fed to stdin; stdin is closed after the last byte
    DWORD timeoutMs = INFINITE;    // past this the program is terminated and timedOut is set
    std::wstring workingDirectory; // empty: the caller's own
    // How long to keep reading after the program has ended. Only matters when a program it started
    // still holds the inherited output pipes; what arrived by then is returned.
    DWORD drainMs = 5000;
};

struct RunResult {
    std::string out;
    std::string err;
    uint32_t exitCode = 0;
    bool timedOut = false;
};

// One argument quoted so that CommandLineToArgvW and the C runtime read it back unchanged.
std::wstring quoteForCommandLine(const std::wstring& argument);
// argv[0] is the program; every element is quoted as needed and joined with single spaces.
std::wstring buildCommandLine(const std::vector<std::wstring>& argv);

// Starts commandLine (CreateProcessW parses the program out of it) and waits for it. Throws
// std::runtime_error when the program cannot be started or a pipe cannot be made.
RunResult runProcess(const std::wstring& commandLine, const RunOptions& options = RunOptions());
// Runs program with args (each quoted as needed); the program path is also passed to
// CreateProcessW as the application name, so no search takes place.
RunResult runProgram(const std::wstring& program, const std::vector<std::wstring>& args,
                     const RunOptions& options = RunOptions());

} // namespace runner
