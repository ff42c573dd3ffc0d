#include "base/win32.h"

#include "service/tests/test_support.h"

#include "logging/log.h"

namespace servicetest {

Bytes u32(uint32_t value) {
    return Bytes{uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes wideField(const std::wstring& text) {
    Bytes out = u32(static_cast<uint32_t>(1 + text.size() * 2));
    out.push_back(2);
    for (wchar_t c : text) {
        out.push_back(uint8_t(c));
        out.push_back(uint8_t(c >> 8));
    }
    return out;
}

Bytes narrowField(const std::string& text) {
    Bytes out = u32(static_cast<uint32_t>(1 + text.size()));
    out.push_back(1);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

Bytes errorField(const std::wstring& message) {
    return concat({u32(0xFFFFFFFFu), wideField(message)});
}

namespace {

std::mutex g_logMutex;
std::vector<LogRecord> g_log;

class RecordingSink : public varno::logging::LogSink {
public:
    void write(int level, const vexception& e) override { add(level, e.message()); }
    void write(int level, const std::wstring& text) override { add(level, text); }

private:
    static void add(int level, const std::wstring& text) {
        std::lock_guard<std::mutex> guard(g_logMutex);
        g_log.push_back({level, text});
    }
};

} // namespace

void installLogRecorder() {
    static bool installed = false;
    if (!installed) {
        varno::logging::getLogManager().addSink(std::make_unique<RecordingSink>());
        installed = true;
    }
}

std::vector<LogRecord> takeLog() {
    std::lock_guard<std::mutex> guard(g_logMutex);
    std::vector<LogRecord> out;
    out.swap(g_log);
    return out;
}

// ---------------------------------------------------------------------------------------------

namespace {

enum class Io { Done, Failed, Stopped };

// Waits for an overlapped operation started on pipe, or for the stop event.
Io settle(HANDLE pipe, OVERLAPPED& overlapped, HANDLE stop, DWORD& count) {
    HANDLE handles[2] = {overlapped.hEvent, stop};
    const DWORD result = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (result != WAIT_OBJECT_0) {
        ::CancelIo(pipe);
        ::GetOverlappedResult(pipe, &overlapped, &count, TRUE);
        return Io::Stopped;
    }
    return ::GetOverlappedResult(pipe, &overlapped, &count, FALSE) ? Io::Done : Io::Failed;
}

Io readMessage(HANDLE pipe, HANDLE stop, Bytes& out) {
    base::ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    out.assign(65536, 0);
    DWORD count = 0;
    if (!::ReadFile(pipe, out.data(), static_cast<DWORD>(out.size()), nullptr, &overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING)
        return Io::Failed;
    const Io io = settle(pipe, overlapped, stop, count);
    out.resize(io == Io::Done ? count : 0);
    return io;
}

Io writeMessage(HANDLE pipe, HANDLE stop, const Bytes& bytes) {
    base::ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    DWORD count = 0;
    if (!::WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING)
        return Io::Failed;
    return settle(pipe, overlapped, stop, count);
}

} // namespace

TestPipeServer::TestPipeServer(const std::wstring& name, Handler handler)
    : name_(name), handler_(std::move(handler)),
      stopEvent_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      readyEvent_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    thread_ = std::thread([this] { run(); });
    ::WaitForSingleObject(readyEvent_.get(), 10000);
}

TestPipeServer::~TestPipeServer() {
    stop();
}

void TestPipeServer::stop() {
    if (!thread_.joinable())
        return;
    ::SetEvent(stopEvent_.get());
    thread_.join();
}

std::vector<ServerRequest> TestPipeServer::requests() {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
}

HANDLE TestPipeServer::createInstance() {
    return ::CreateNamedPipeW(path().c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                              PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr);
}

void TestPipeServer::run() {
    base::ScopedFileHandle listening(createInstance());
    ::SetEvent(readyEvent_.get());
    while (listening) {
        base::ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event.get();
        if (!::ConnectNamedPipe(listening.get(), &overlapped)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_IO_PENDING) {
                DWORD count = 0;
                const Io io = settle(listening.get(), overlapped, stopEvent_.get(), count);
                if (io == Io::Stopped)
                    return;
            } else if (error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA) {
                return;
            }
        }
        ++connections_;
        base::ScopedFileHandle active(listening.release());
        // The next client (a reconnect) must find an instance at once.
        listening.reset(createInstance());
        serve(active.get());
        if (::WaitForSingleObject(stopEvent_.get(), 0) == WAIT_OBJECT_0)
            return;
    }
}

void TestPipeServer::serve(HANDLE pipe) {
    for (;;) {
        ServerRequest request;
        if (readMessage(pipe, stopEvent_.get(), request.lengthMessage) != Io::Done)
            return;
        if (readMessage(pipe, stopEvent_.get(), request.payload) != Io::Done)
            return;
        size_t index = 0;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            requests_.push_back(request);
            index = requests_.size() - 1;
        }
        const ServerReply reply = handler_(request, index);
        for (const Bytes& message : reply.messages)
            if (writeMessage(pipe, stopEvent_.get(), message) != Io::Done)
                return;
        if (reply.disconnect)
            return;
    }
}

} // namespace servicetest
