// zra-standin-service: a stand-in for the panel's management service, for tests and for running
// the launcher on a machine without the panel.
#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/win32.h"
#include "tools/service/config.h"
#include "tools/service/server.h"

#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t kUsage[] =
    L"usage: zra-standin-service [options]\n"
    L"  --pipe NAME           serve \\\\.\\pipe\\NAME (default zrapipe)\n"
    L"  --config FILE         read the answers from FILE (UTF-8) instead of the embedded default\n"
    L"  --root DIR            what ${ROOT} stands for (default: the directory of this program)\n"
    L"  --set LINE            one more configuration line, after the file (repeatable)\n"
    L"  --fault SPEC          same as --set \"fault SPEC\" (repeatable)\n"
    L"  --instances N         pipe instances (default 4, 1 to 64)\n"
    L"  --log FILE|-          log connections and requests to FILE, or to stdout with -\n"
    L"  --max-exchanges N     stop after N answered exchanges\n"
    L"  --restart-after N     close and recreate every instance after each N answered exchanges\n"
    L"  --down-ms MS          on restart, leave the pipe absent for MS ms\n"
    L"  --hold N              keep N instances connected but unserved from the start (0: all)\n"
    L"  --busy                the same as --hold 0\n"
    L"  --hold-ms MS          end the initial hold after MS ms (default: on 'release')\n"
    L"  --stop-event NAME     stop when the named event is signalled\n"
    L"  --restart-event NAME  restart when the named event is signalled\n"
    L"  --no-stdin            ignore standard input (default: when it is a pipe or a console,\n"
    L"                        read commands from it and stop at its end)\n"
    L"  --dump-config         print the effective configuration and exit\n"
    L"Configuration lines: value NAME=TEXT | secret NAME=TEXT | component NAME SELECTOR=TEXT |\n"
    L"  error NAME=MESSAGE | fault[:COUNT] NAME|* KIND [ARG] | # comment\n"
    L"Fault kinds: error MESSAGE, truncate N, charsize N, narrow, oddbyte, trailing N, "
    L"emptyblock,\n"
    L"  doubleerror, combined, badlength N, lengthbytes N, stray N, raw HEX, delay MS,\n"
    L"  close connect|request|reply|payload\n"
    L"Commands on stdin: stop, restart [MS], hold [N], release, set LINE, clear-faults, count\n";

struct UsageError {
    std::wstring message;
};

uint32_t number(const std::wstring& option, const std::wstring& text, uint32_t low, uint32_t high) {
    wchar_t* end = nullptr;
    const unsigned long long value = std::wcstoull(text.c_str(), &end, 10);
    if (text.empty() || *end != L'\0' || text[0] == L'-' || value < low || value > high)
        throw UsageError{option + L" needs a number from " + std::to_wstring(low) + L" to " +
                         std::to_wstring(high) + L", got '" + text + L"'"};
    return static_cast<uint32_t>(value);
}

std::wstring moduleDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            throw vexception(osErrorMessage(::GetLastError(), nullptr));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring fullPath(const std::wstring& path) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        throw UsageError{L"--root: invalid directory '" + path + L"'"};
    std::wstring result(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, &result[0], nullptr);
    result.resize(length);
    // "C:\x\" and "C:\x" must give the same "${ROOT}\admin"; a drive root keeps its separator.
    while (result.size() > 3 && (result.back() == L'\\' || result.back() == L'/'))
        result.pop_back();
    return result;
}

std::string readFile(const std::wstring& path) {
    base::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const std::wstring context = L"Unable to open configuration file " + path;
        throw vexception(osErrorMessage(::GetLastError(), &context));
    }
    std::string text;
    char buffer[16384];
    for (;;) {
        DWORD count = 0;
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &count, nullptr)) {
            const std::wstring context = L"Unable to read configuration file " + path;
            throw vexception(osErrorMessage(::GetLastError(), &context));
        }
        if (count == 0)
            return text;
        text.append(buffer, count);
    }
}

// The server outlives wmain's scope on purpose: the standard-input thread may sit in a blocking
// ReadFile that nothing can interrupt, and the console control handler runs on a thread of its
// own. Both may call into the server until the process ends; all its handles are closed by run().
standin::Server* g_server = nullptr;

BOOL WINAPI onConsoleControl(DWORD) {
    if (g_server)
        g_server->stop();
    return TRUE;
}

void watchStandardInput(HANDLE input, standin::Server* server) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        DWORD count = 0;
        if (!::ReadFile(input, buffer, sizeof buffer, &count, nullptr) || count == 0)
            break;
        pending.append(buffer, count);
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            try {
                server->command(wstr(line, CP_UTF8));
            } catch (...) {
                // A line that cannot even be converted is ignored like an unknown command.
            }
        }
    }
    // End of input is the tests' simplest way to stop the service: closing their end of the pipe.
    server->stop();
}

int runService(int argc, wchar_t** argv) {
    standin::ServerOptions options;
    std::wstring configFile;
    std::wstring root;
    std::wstring logTarget;
    std::vector<std::wstring> extraLines;
    bool watchStdin = true;
    bool dump = false;

    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        auto value = [&]() -> std::wstring {
            if (i + 1 >= argc)
                throw UsageError{option + L" needs a value"};
            return argv[++i];
        };
        if (option == L"--pipe") {
            options.pipeName = value();
            if (options.pipeName.empty() || options.pipeName.find(L'\\') != std::wstring::npos)
                throw UsageError{L"--pipe needs a name without backslashes"};
        } else if (option == L"--config") {
            configFile = value();
        } else if (option == L"--root") {
            root = fullPath(value());
        } else if (option == L"--set") {
            extraLines.push_back(value());
        } else if (option == L"--fault") {
            extraLines.push_back(L"fault " + value());
        } else if (option == L"--instances") {
            options.instances = number(option, value(), 1, 64);
        } else if (option == L"--log") {
            logTarget = value();
        } else if (option == L"--max-exchanges") {
            options.maxExchanges = number(option, value(), 1, 0xFFFFFFFF);
        } else if (option == L"--restart-after") {
            options.restartAfter = number(option, value(), 1, 0xFFFFFFFF);
        } else if (option == L"--down-ms") {
            options.downMs = number(option, value(), 0, 600000);
        } else if (option == L"--hold") {
            const uint32_t count = number(option, value(), 0, 64);
            options.holdCount = count == 0 ? 64 : count;
        } else if (option == L"--busy") {
            options.holdCount = 64;
        } else if (option == L"--hold-ms") {
            options.holdMs = number(option, value(), 1, 600000);
        } else if (option == L"--stop-event") {
            options.stopEvent = value();
        } else if (option == L"--restart-event") {
            options.restartEvent = value();
        } else if (option == L"--no-stdin") {
            watchStdin = false;
        } else if (option == L"--dump-config") {
            dump = true;
        } else if (option == L"--help" || option == L"-h" || option == L"/?") {
            standin::Output().line(kUsage);
            return 0;
        } else {
            throw UsageError{L"unknown option '" + option + L"'"};
        }
    }

    standin::Config config;
    config.setRoot(root.empty() ? moduleDirectory() : root);
    try {
        if (configFile.empty())
            config.parseText(standin::kDefaultConfig, L"(default)");
        else
            config.parseText(readFile(configFile), configFile);
        for (const std::wstring& line : extraLines) {
            try {
                config.parseLine(line);
            } catch (const vexception& e) {
                throw vexception(L"'" + line + L"': " + e.message());
            }
        }
    } catch (const vexception& e) {
        throw UsageError{e.message()};
    }

    standin::Output* output = new standin::Output(); // lives as long as g_server, see there
    if (dump) {
        std::wstring text = config.dump();
        if (!text.empty() && text.back() == L'\n')
            text.pop_back();
        output->line(text);
        return 0;
    }
    if (!logTarget.empty())
        output->openLog(logTarget);

    g_server = new standin::Server(std::move(options), std::move(config), *output);
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
    // Commands come from a pipe (a test holding the other end) or a console. Any other input, such
    // as NUL or a file, is ignored: its immediate end must not stop a service started in the
    // background with its input redirected from NUL.
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD consoleMode = 0;
    if (watchStdin && input != nullptr && input != INVALID_HANDLE_VALUE &&
        (::GetFileType(input) == FILE_TYPE_PIPE || ::GetConsoleMode(input, &consoleMode)))
        std::thread(watchStandardInput, input, g_server).detach();
    return g_server->run();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return runService(argc, argv);
    } catch (const UsageError& e) {
        standin::Output().error(L"zra-standin-service: " + e.message);
        standin::Output().error(L"Try --help.");
        return 2;
    } catch (const vexception& e) {
        standin::Output().error(L"zra-standin-service: " + e.message());
        return 1;
    } catch (const std::exception& e) {
        standin::Output().error(L"zra-standin-service: " + wstr(e.what(), CP_ACP));
        return 1;
    }
}
