// The stand-in management service (tools/service) as a child process of a test, a campaign or a
// bench. It prints "ready" each time its pipe instances are in place; the object keeps every line
// it prints and stops it at the end: by closing its standard input or, with a stop event, by
// signalling the event.
#pragma once

#include "base/win32.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zra_testing {

// Windows form of a path from the build (forward slashes turned round).
std::wstring backslashed(std::wstring path);

// One argument quoted so that CommandLineToArgvW and the C runtime read it back unchanged.
std::wstring quoteArgument(const std::wstring& argument);

class StandinService {
public:
    struct Options {
        enum class Stop {
            Input, // close the standard input pipe; send() writes commands to it
            Event, // --no-stdin --stop-event NAME, standard input NUL
        };
        Stop stop = Stop::Input;
        // Standard input NUL even with Stop::Input (the service then ignores its input).
        bool nulInput = false;
        // Standard error to this process's own instead of a pipe of the object.
        bool inheritErrors = false;
        // Wait for the first "ready" in the constructor, up to readyTimeoutMs; without a bound the
        // wait ends only with "ready" or with the service's output (a service that gave up).
        bool waitReady = true;
        DWORD readyTimeoutMs = INFINITE;
        // How long stop() waits for the service to end before it terminates it.
        DWORD stopTimeoutMs = 10000;
    };

    // exe followed by arguments (the stop options are added here).
    StandinService(const std::wstring& exe, const std::vector<std::wstring>& arguments)
        : StandinService(exe, arguments, Options{}) {}
    StandinService(const std::wstring& exe, const std::vector<std::wstring>& arguments,
                   const Options& options);
    ~StandinService();
    StandinService(const StandinService&) = delete;
    StandinService& operator=(const StandinService&) = delete;

    bool started() const { return process_ != nullptr; }
    // Waits until the service has said "ready" (at once after a constructor that waited for it).
    bool ready(DWORD ms = 5000) { return waitFor(L"ready", 1, ms); }
    // Waits until line has been printed occurrence times; false after ms or when output ends.
    bool waitFor(const std::wstring& line, size_t occurrence = 1, DWORD ms = 5000);
    // Everything printed on standard output before the first "ready", "\n" after each line.
    std::string banner();
    // Standard output lines that begin with prefix.
    std::vector<std::wstring> lines(const std::wstring& prefix = std::wstring());
    // Everything printed on standard error; complete up to the end once the service has exited.
    std::wstring errors();

    // One command line on standard input (Stop::Input).
    void send(const std::string& line);
    void closeInput();
    // Asks the service to stop as configured and waits; it is terminated after the bound.
    void stop();
    // The exit code, or STILL_ACTIVE when the service still runs after ms.
    DWORD waitExit(DWORD ms = 5000);
    // False when stop() had to terminate the service.
    bool stoppedCleanly() const { return stoppedCleanly_; }

private:
    void pump(HANDLE handle, bool output);

    Options options_;
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;
    HANDLE stopEvent_ = nullptr;
    std::thread outReader_;
    std::thread errReader_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::wstring> lines_;
    std::wstring errors_;
    bool outputEnded_ = false;
    bool stoppedCleanly_ = true;
};

} // namespace zra_testing
