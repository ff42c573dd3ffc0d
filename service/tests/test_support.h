// Test fixtures shared by the service tests: an in-process message-mode pipe server that speaks
// the four-transfer exchange and byte helpers; the temporary key and output capture are the shared
// ones (tools/testing).
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"
#include "tools/testing/registry.h"
#include "tools/testing/stdout_capture.h"
#include "tools/testing/temp.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace servicetest {

using Bytes = std::vector<uint8_t>;

Bytes u32(uint32_t value);
Bytes concat(std::initializer_list<Bytes> parts);
// A string field with character size 2 (or 1 for narrow text).
Bytes wideField(const std::wstring& text);
Bytes narrowField(const std::string& text);
Bytes errorField(const std::wstring& message);

// Records every log record routed in the process, whatever the routing table says about the
// console. Installed once; takeLog returns and forgets what was recorded so far.
struct LogRecord {
    int level;
    std::wstring text;
};
void installLogRecorder();
std::vector<LogRecord> takeLog();

using zra_testing::uniqueName;

struct ServerReply {
    // Each element is written as one message.
    std::vector<Bytes> messages;
    // Close the connection after writing the messages (or at once when there are none).
    bool disconnect = false;
};

// A request as the server saw it: the first message (the length) and the second (the payload).
struct ServerRequest {
    Bytes lengthMessage;
    Bytes payload;
};

// Serves the four-transfer exchange on "\\.\pipe\<name>" from its own thread. A listening instance
// is always present while the server runs, so a client reconnecting right after a failure finds it.
class TestPipeServer {
public:
    using Handler = std::function<ServerReply(const ServerRequest& request, size_t index)>;

    TestPipeServer(const std::wstring& name, Handler handler);
    ~TestPipeServer();
    TestPipeServer(const TestPipeServer&) = delete;
    TestPipeServer& operator=(const TestPipeServer&) = delete;

    // Closes every instance (the connected client sees a broken pipe) and ends the thread.
    void stop();

    std::vector<ServerRequest> requests();
    size_t connections() const { return connections_; }
    std::wstring path() const { return L"\\\\.\\pipe\\" + name_; }

private:
    void run();
    HANDLE createInstance();
    // Waits for the overlapped operation; false when the server is stopping or the I/O failed.
    bool finish(HANDLE pipe, OVERLAPPED& overlapped, DWORD& count, DWORD& error);
    void serve(HANDLE pipe);

    std::wstring name_;
    Handler handler_;
    base::ScopedHandle stopEvent_;
    base::ScopedHandle readyEvent_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<ServerRequest> requests_;
    std::atomic<size_t> connections_{0};
};

// A key under HKEY_LOCAL_MACHINE "SOFTWARE\ZraTest\<unique>" in the 32-bit view, removed at the
// end.
using TempLocalMachineKey = zra_testing::TempKey;
// The C runtime's standard output and the process's standard output handle, in binary.
using zra_testing::StdoutCapture;

} // namespace servicetest
