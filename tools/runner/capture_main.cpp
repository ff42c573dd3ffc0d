// zra-capture [--stdin FILE] [--out FILE] [--err FILE] [--timeout MS] -- PROGRAM ARGS...
//
// Runs PROGRAM and reports what a shell under Wine cannot see: the captured bytes exactly as
// written, and the full 32-bit exit code, printed last on stdout as "exit code: 0x%08X".
// Without --out / --err the captured bytes go to this program's own stdout / stderr.
// The exit status of zra-capture is the program's exit code; 125 means zra-capture itself failed
// (bad usage, file or start failure), in which case no "exit code:" line is printed.
#include "base/scoped_handle.h"
#include "base/win32.h"
#include "tools/runner/run_process.h"

#include <cstdio>
#include <cwchar>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr int kOwnFailure = 125;

bool writeAll(HANDLE handle, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = bytes.size() - done > 0x10000 ? 0x10000 : DWORD(bytes.size() - done);
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

bool readFile(const std::wstring& path, std::string& bytes) {
    base::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    if (!file)
        return false;
    char buffer[0x10000];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr))
            return false;
        if (got == 0)
            return true;
        bytes.append(buffer, got);
    }
}

bool writeFile(const std::wstring& path, const std::string& bytes) {
    base::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && writeAll(file.get(), bytes);
}

int usage(const char* problem) {
    std::fprintf(stderr,
                 "zra-capture: %s\nusage: zra-capture [--stdin FILE] [--out FILE] [--err FILE] "
                 "[--timeout MS] -- PROGRAM ARGS...\n",
                 problem);
    return kOwnFailure;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring stdinPath, outPath, errPath;
    runner::RunOptions options;
    int i = 1;
    for (; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--")
            break;
        if (i + 1 >= argc)
            return usage("option without a value");
        const wchar_t* value = argv[++i];
        if (option == L"--stdin") {
            stdinPath = value;
        } else if (option == L"--out") {
            outPath = value;
        } else if (option == L"--err") {
            errPath = value;
        } else if (option == L"--timeout") {
            wchar_t* end = nullptr;
            const unsigned long ms = std::wcstoul(value, &end, 10);
            if (end == value || *end != L'\0')
                return usage("--timeout takes a number of milliseconds");
            options.timeoutMs = static_cast<DWORD>(ms);
        } else {
            return usage("unknown option");
        }
    }
    if (i + 1 >= argc)
        return usage("no program after --");
    if (!stdinPath.empty() && !readFile(stdinPath, options.input))
        return usage("cannot read the --stdin file");

    // Passed as a command line, so CreateProcessW searches for PROGRAM the usual way.
    const std::vector<std::wstring> command(argv + i + 1, argv + argc);
    runner::RunResult result;
    try {
        result = runner::runProcess(runner::buildCommandLine(command), options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zra-capture: %s\n", e.what());
        return kOwnFailure;
    }

    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    bool ok = outPath.empty() ? writeAll(out, result.out) : writeFile(outPath, result.out);
    ok = (errPath.empty() ? writeAll(err, result.err) : writeFile(errPath, result.err)) && ok;
    if (!ok) {
        std::fprintf(stderr, "zra-capture: cannot write the captured output\n");
        return kOwnFailure;
    }
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%sexit code: 0x%08lX\n",
                                     result.timedOut ? "timed out\n" : "",
                                     static_cast<unsigned long>(result.exitCode));
    writeAll(out, std::string(line, static_cast<size_t>(length)));
    return static_cast<int>(result.exitCode);
}
