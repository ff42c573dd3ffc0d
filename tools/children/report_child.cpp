// A test child that tells its parent how it was started: its command line exactly as the system
// gave it and its current directory, as UTF-8 lines on standard output. What else it does is
// steered by environment variables, which reach it through any launcher or interpreter chain:
//   ZRA_CHILD_STDIN=1          read standard input to its end and report it
//   ZRA_CHILD_STDERR=text      write text to standard error
//   ZRA_CHILD_SLEEP_MS=n       sleep n milliseconds before ending
//   ZRA_CHILD_DONE_FILE=path   create this file just before ending (proof that it ran to the end)
//   ZRA_CHILD_CRASH=1          end through an access violation instead of exiting
//   ZRA_CHILD_EXIT=n           exit code, decimal or 0x hexadecimal (default 0)
//   ZRA_CHILD_MARK_DIR=path    create "ran-NAME-PID.txt" there at start, NAME being the name it was
//                              started under: copies named after other programs (calc.exe,
//                              whoami.exe) then show which of them an injected command started
#include "base/win32.h"

#include <cstdlib>
#include <string>

namespace {

std::wstring environment(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD length = ::GetEnvironmentVariableW(name, buffer, 4096);
    if (length == 0 || length >= 4096)
        return std::wstring();
    return std::wstring(buffer, length);
}

std::string utf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                          nullptr, nullptr);
    return result;
}

void write(DWORD stdHandle, const std::string& bytes) {
    const HANDLE handle = ::GetStdHandle(stdHandle);
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                         &written, nullptr) ||
            written == 0) {
            return;
        }
        done += written;
    }
}

std::string readStandardInput() {
    std::string input;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) &&
           read > 0) {
        input.append(buffer, read);
    }
    return input;
}

__attribute__((noinline)) void crash() {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

// The file name of this exe without directory and extension, as it was copied.
std::wstring ownName() {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring name(path, length);
    const size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        name.erase(0, slash + 1);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos)
        name.erase(dot);
    return name;
}

void leaveMark(const std::wstring& directory) {
    const std::wstring path = directory + L"\\ran-" + ownName() + L"-" +
                              std::to_wstring(::GetCurrentProcessId()) + L".txt";
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string line = utf8(::GetCommandLineW());
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
}

} // namespace

int main() {
    const std::wstring markDirectory = environment(L"ZRA_CHILD_MARK_DIR");
    if (!markDirectory.empty())
        leaveMark(markDirectory);
    wchar_t directory[MAX_PATH * 4];
    const DWORD length = ::GetCurrentDirectoryW(MAX_PATH * 4, directory);
    write(STD_OUTPUT_HANDLE, "cmdline: " + utf8(::GetCommandLineW()) + "\n");
    write(STD_OUTPUT_HANDLE, "cwd: " + utf8(std::wstring(directory, length)) + "\n");
    if (environment(L"ZRA_CHILD_STDIN") == L"1")
        write(STD_OUTPUT_HANDLE, "stdin: " + readStandardInput() + "\n");
    const std::wstring errorText = environment(L"ZRA_CHILD_STDERR");
    if (!errorText.empty())
        write(STD_ERROR_HANDLE, utf8(errorText));

    const std::wstring sleep = environment(L"ZRA_CHILD_SLEEP_MS");
    if (!sleep.empty())
        ::Sleep(static_cast<DWORD>(std::wcstoul(sleep.c_str(), nullptr, 10)));
    const std::wstring doneFile = environment(L"ZRA_CHILD_DONE_FILE");
    if (!doneFile.empty()) {
        const HANDLE file = ::CreateFileW(doneFile.c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            ::CloseHandle(file);
    }
    if (environment(L"ZRA_CHILD_CRASH") == L"1")
        crash();
    const std::wstring exitCode = environment(L"ZRA_CHILD_EXIT");
    ::ExitProcess(
        static_cast<UINT>(exitCode.empty() ? 0 : std::wcstoul(exitCode.c_str(), nullptr, 0)));
}
