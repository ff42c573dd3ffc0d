// zra-runner-probe: a child for the runner's own tests. Actions run in the order given:
//   --out N        write N bytes of a known pattern to stdout
//   --err N        write N bytes of the pattern to stderr
//   --echo         copy stdin to stdout until stdin ends
//   --sleep MS     sleep
//   --spawn-sleep MS   start another probe that inherits stdout and sleeps MS, do not wait for it
//   --exit HEX     exit with that code (default 0)
#include "base/win32.h"

#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

void writeAll(HANDLE handle, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data() + done, DWORD(bytes.size() - done), &written,
                         nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    unsigned long exitCode = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring action = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : L"0";
        if (action == L"--out") {
            writeAll(::GetStdHandle(STD_OUTPUT_HANDLE), pattern(std::wcstoul(value, nullptr, 10)));
            ++i;
        } else if (action == L"--err") {
            writeAll(::GetStdHandle(STD_ERROR_HANDLE), pattern(std::wcstoul(value, nullptr, 10)));
            ++i;
        } else if (action == L"--echo") {
            char buffer[4096];
            DWORD got = 0;
            while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got,
                              nullptr) &&
                   got > 0)
                writeAll(::GetStdHandle(STD_OUTPUT_HANDLE), std::string(buffer, got));
        } else if (action == L"--sleep") {
            ::Sleep(std::wcstoul(value, nullptr, 10));
            ++i;
        } else if (action == L"--spawn-sleep") {
            wchar_t self[MAX_PATH];
            ::GetModuleFileNameW(nullptr, self, MAX_PATH);
            std::wstring line = L"\"" + std::wstring(self) + L"\" --sleep " + value;
            STARTUPINFOW startup = STARTUPINFOW();
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
            startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
            startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
            PROCESS_INFORMATION info;
            // Standard handles are inheritable here, as the runner made them for this process.
            if (::CreateProcessW(self, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &info)) {
                ::CloseHandle(info.hThread);
                ::CloseHandle(info.hProcess);
            }
            ++i;
        } else if (action == L"--exit") {
            exitCode = std::wcstoul(value, nullptr, 16);
            ++i;
        }
    }
    return static_cast<int>(exitCode);
}
