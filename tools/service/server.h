// The stand-in management service: message-mode pipe instances, one thread each, answering the
// four-transfer exchange from a Config, with the controls tests need to start, stop, restart and
// starve it deterministically.
#pragma once

#include "base/scoped_handle.h"
#include "tools/service/config.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace standin {

// Lines for stdout and for the request log. Whole lines only, so lines written by the instance
// threads never interleave; written unbuffered so a reader sees each line at once.
class Output {
public:
    Output();
    // "-" logs to stdout; anything else is a file, created anew.
    void openLog(const std::wstring& target);
    void line(const std::wstring& text);
    void error(const std::wstring& text);
    void log(const std::wstring& text);

private:
    void write(HANDLE handle, const std::wstring& text);

    std::mutex lock_;
    HANDLE stdout_;
    HANDLE stderr_;
    base::ScopedFileHandle logFile_;
    bool logToStdout_ = false;
};

struct ServerOptions {
    std::wstring pipeName = L"zrapipe";
    unsigned instances = 4;
    uint64_t maxExchanges = 0; // 0: no limit
    uint64_t restartAfter = 0; // 0: never
    uint32_t downMs = 0;
    unsigned holdCount = 0;
    uint32_t holdMs = 0; // 0: until released
    std::wstring stopEvent;
    std::wstring restartEvent;
};

class Server {
public:
    Server(ServerOptions options, Config config, Output& output);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Serves until stopped; returns the process exit code. Every instance is closed on return.
    int run();

    // Thread-safe controls (standard input, console control handler, instance threads).
    void stop();
    // One line of standard input: stop | restart [MS] | hold [N] | release | set LINE |
    // clear-faults | count. Each is acknowledged on stdout.
    void command(const std::wstring& line);

private:
    enum class Io { Done, MoreData, Broken, Stopped };
    enum class End { Disconnected, Closed, Stopped };
    struct Instance {
        base::ScopedFileHandle pipe;
        base::ScopedHandle event;
        std::thread thread;
    };
    struct Command {
        enum Kind { Stop, Restart, Hold, Release } kind;
        uint32_t number;
        bool acknowledge;
    };

    std::wstring path() const { return L"\\\\.\\pipe\\" + options_.pipeName; }
    base::ScopedFileHandle createPipe(bool first);
    void startInstances(bool first);
    void stopInstances();
    void post(Command command);
    void execute(const Command& command);
    unsigned hold(unsigned count);
    void release();
    void waitListening(int expected);

    void serve(Instance& instance);
    End serveConnection(Instance& instance, bool external);
    Io connect(Instance& instance);
    Io wait(Instance& instance, OVERLAPPED& overlapped, DWORD& count);
    Io readOnce(Instance& instance, char* buffer, DWORD size, DWORD& count);
    Io readMessage(Instance& instance, std::string& message, size_t& total);
    Io writeMessage(Instance& instance, const std::string& message);
    Io replyMalformed(Instance& instance, const std::wstring& reason);
    void countExchange();
    void fail(const std::wstring& message);

    ServerOptions options_;
    std::mutex configLock_;
    Config config_;
    Output& output_;

    base::ScopedHandle shutdown_; // manual reset: set while the instances are being stopped
    base::ScopedHandle commandEvent_;
    base::ScopedHandle stopEvent_;
    base::ScopedHandle restartEvent_;
    std::mutex commandLock_;
    std::deque<Command> commands_;

    std::vector<std::unique_ptr<Instance>> instances_;
    std::vector<base::ScopedFileHandle> holders_;
    std::atomic<int> listening_{0};
    std::atomic<uint64_t> exchanges_{0};
    std::atomic<int> exitCode_{0};
    ULONGLONG holdUntil_ = 0; // main thread only; 0: no timed hold
};

} // namespace standin
