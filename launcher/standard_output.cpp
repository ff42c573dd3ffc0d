#include "launcher/standard_output.h"

#include "base/exception.h"
#include "base/win32.h"

#include <cstdio>

namespace {

bool g_lineOpen = false;

[[noreturn]] void raiseWriteFailure(DWORD code) {
    raiseRunTimeError(L"Unable to write to standard output", code);
}

} // namespace

void writeStandardOutput(const std::string& bytes) {
    writeStandardOutput(bytes.data(), bytes.size());
}

void writeStandardOutput(const char* data, size_t size) {
    std::fflush(stdout);
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE)
        raiseWriteFailure(::GetLastError());
    if (out == nullptr || size == 0)
        return;
    size_t left = size;
    // A pipe may take fewer bytes than offered; keep going until everything is written.
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = left > 0x10000 ? 0x10000 : static_cast<DWORD>(left);
        if (!::WriteFile(out, data, chunk, &written, nullptr))
            raiseWriteFailure(::GetLastError());
        if (written == 0)
            raiseWriteFailure(ERROR_WRITE_FAULT);
        data += written;
        left -= written;
        g_lineOpen = data[-1] != '\n';
    }
}

bool standardOutputLineOpen() {
    return g_lineOpen;
}

void resetStandardOutputLine() {
    g_lineOpen = false;
}
