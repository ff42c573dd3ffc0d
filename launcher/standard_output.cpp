#include "launcher/standard_output.h"

#include "base/win32.h"

#include <cstdio>

void writeStandardOutput(const std::string& bytes) {
    std::fflush(stdout);
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return;
    const char* data = bytes.data();
    size_t left = bytes.size();
    // A pipe may take fewer bytes than offered; keep going until everything is written.
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = left > 0x10000 ? 0x10000 : static_cast<DWORD>(left);
        if (!::WriteFile(out, data, chunk, &written, nullptr) || written == 0)
            return;
        data += written;
        left -= written;
    }
}
