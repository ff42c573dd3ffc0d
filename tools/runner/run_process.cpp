#include "tools/runner/run_process.h"

#include "base/scoped_handle.h"
#include "base/win32.h"
#include "tools/testing/standin_service.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace runner {
namespace {

[[noreturn]] void fail(const char* what) {
    const DWORD code = ::GetLastError();
    char text[160];
    std::snprintf(text, sizeof text, "%s failed with error %lu", what,
                  static_cast<unsigned long>(code));
    throw std::runtime_error(text);
}

// Inheritable handles made for one child must not leak into a child that another thread starts
// at the same moment, or that child would keep the first one's pipes open.
std::mutex& inheritanceLock() {
    static std::mutex lock;
    return lock;
}

// The parent's end is an overlapped named pipe so that one thread can wait on stdin, stdout,
// stderr, the process and a deadline together; the child gets an ordinary blocking handle.
struct PipePair {
    base::ScopedFileHandle parent;
    base::ScopedFileHandle child;
};

PipePair makePipe(bool parentReads) {
    static std::atomic<unsigned> counter{0};
    wchar_t name[96];
    std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\zra-runner-%lu-%lu-%u",
                  static_cast<unsigned long>(::GetCurrentProcessId()),
                  static_cast<unsigned long>(::GetTickCount()), counter.fetch_add(1));
    PipePair pair;
    const DWORD direction = parentReads ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND;
    pair.parent.reset(::CreateNamedPipeW(
        name, direction | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0x10000, 0x10000, 0, nullptr));
    if (!pair.parent)
        fail("CreateNamedPipeW");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    pair.child.reset(::CreateFileW(name, parentReads ? GENERIC_WRITE : GENERIC_READ, 0, &inherit,
                                   OPEN_EXISTING, 0, nullptr));
    if (!pair.child)
        fail("CreateFileW on the pipe");
    return pair;
}

// One overlapped transfer at a time on one pipe end.
class Channel {
public:
    explicit Channel(base::ScopedFileHandle pipe) : pipe_(std::move(pipe)) {
        event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event_)
            fail("CreateEventW");
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    // The system still writes into overlapped_ and the buffer while a transfer is pending.
    ~Channel() { close(); }

    bool open() const { return pipe_.valid(); }
    bool pending() const { return pending_; }
    HANDLE event() const { return event_.get(); }

    void close() {
        if (pending_) {
            ::CancelIo(pipe_.get());
            DWORD ignored = 0;
            ::GetOverlappedResult(pipe_.get(), &overlapped_, &ignored, TRUE);
            pending_ = false;
        }
        pipe_.reset();
    }

    // Starts a read into the channel's buffer; false when the pipe has ended.
    bool startRead() {
        return start(::ReadFile(pipe_.get(), buffer_, sizeof buffer_, nullptr, resetOverlapped()));
    }
    bool startWrite(const char* data, DWORD size) {
        return start(::WriteFile(pipe_.get(), data, size, nullptr, resetOverlapped()));
    }
    // After the event fired: the bytes moved, or false when the pipe has ended.
    bool finish(DWORD& transferred) {
        pending_ = false;
        transferred = 0;
        return ::GetOverlappedResult(pipe_.get(), &overlapped_, &transferred, FALSE) != FALSE;
    }
    const char* data() const { return buffer_; }

private:
    OVERLAPPED* resetOverlapped() {
        overlapped_ = OVERLAPPED();
        overlapped_.hEvent = event_.get();
        return &overlapped_;
    }
    bool start(BOOL done) {
        // Completed at once or queued: either way the event fires and finish() collects it.
        if (done || ::GetLastError() == ERROR_IO_PENDING) {
            pending_ = true;
            return true;
        }
        return false;
    }

    base::ScopedFileHandle pipe_;
    base::ScopedHandle event_;
    OVERLAPPED overlapped_ = OVERLAPPED();
    bool pending_ = false;
    char buffer_[0x10000];
};

void readOn(Channel& channel, std::string& sink) {
    DWORD got = 0;
    if (channel.finish(got))
        sink.append(channel.data(), got);
    else
        channel.close();
    if (channel.open() && !channel.startRead())
        channel.close();
}

} // namespace

std::wstring quoteForCommandLine(const std::wstring& argument) {
    return zra_testing::quoteArgument(argument);
}

std::wstring buildCommandLine(const std::vector<std::wstring>& argv) {
    std::wstring line;
    for (const std::wstring& argument : argv) {
        if (!line.empty())
            line += L' ';
        line += quoteForCommandLine(argument);
    }
    return line;
}

namespace {

RunResult run(const wchar_t* application, std::wstring commandLine, const RunOptions& options) {
    RunResult result;
    base::ScopedHandle process;
    Channel* outChannel = nullptr;
    std::unique_ptr<Channel> in, out, err;
    {
        std::lock_guard<std::mutex> lock(inheritanceLock());
        PipePair inPipe = makePipe(false);
        PipePair outPipe = makePipe(true);
        PipePair errPipe = makePipe(true);

        STARTUPINFOW startup = STARTUPINFOW();
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inPipe.child.get();
        startup.hStdOutput = outPipe.child.get();
        startup.hStdError = errPipe.child.get();
        PROCESS_INFORMATION info = PROCESS_INFORMATION();
        const wchar_t* directory =
            options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();
        if (!::CreateProcessW(application, &commandLine[0], nullptr, nullptr, TRUE,
                              CREATE_UNICODE_ENVIRONMENT, nullptr, directory, &startup, &info))
            fail("CreateProcessW");
        ::CloseHandle(info.hThread);
        process.reset(info.hProcess);
        // The child ends close here, with the lock held; only the child keeps them open now, so
        // its exit ends the pipes.
        in = std::make_unique<Channel>(std::move(inPipe.parent));
        out = std::make_unique<Channel>(std::move(outPipe.parent));
        err = std::make_unique<Channel>(std::move(errPipe.parent));
    }
    outChannel = out.get();
    // Whatever goes wrong below, the child does not outlive the run.
    bool finished = false;
    base::ScopeExit killOnError([&] {
        if (!finished)
            ::TerminateProcess(process.get(), kTimeoutExitCode);
    });

    if (!out->startRead())
        out->close();
    if (!err->startRead())
        err->close();
    size_t written = 0;
    auto writeMore = [&] {
        const size_t left = options.input.size() - written;
        if (left == 0) {
            in->close(); // end of input for the child
            return;
        }
        const DWORD chunk = left > 0x10000 ? 0x10000 : static_cast<DWORD>(left);
        if (!in->startWrite(options.input.data() + written, chunk))
            in->close();
    };
    writeMore();

    const ULONGLONG start = ::GetTickCount64();
    bool exited = false;
    ULONGLONG drainStart = 0;
    for (;;) {
        HANDLE handles[4];
        Channel* owners[4] = {};
        DWORD count = 0;
        for (Channel* channel : {in.get(), out.get(), err.get()}) {
            if (channel->pending()) {
                owners[count] = channel;
                handles[count++] = channel->event();
            }
        }
        if (!exited)
            handles[count++] = process.get();
        else if (count == 0)
            break;

        DWORD wait = INFINITE;
        const ULONGLONG now = ::GetTickCount64();
        if (!exited && options.timeoutMs != INFINITE && !result.timedOut) {
            const ULONGLONG end = start + options.timeoutMs;
            wait = now >= end ? 0 : static_cast<DWORD>(end - now);
        } else if (exited) {
            const ULONGLONG end = drainStart + options.drainMs;
            wait = now >= end ? 0 : static_cast<DWORD>(end - now);
        }
        const DWORD signalled = ::WaitForMultipleObjects(count, handles, FALSE, wait);
        if (signalled == WAIT_TIMEOUT) {
            if (!exited) {
                result.timedOut = true;
                ::TerminateProcess(process.get(), kTimeoutExitCode);
                continue;
            }
            break; // a descendant still holds the pipes; keep what arrived
        }
        if (signalled >= WAIT_OBJECT_0 + count)
            fail("WaitForMultipleObjects");
        const DWORD index = signalled - WAIT_OBJECT_0;
        if (owners[index] == nullptr) {
            exited = true;
            drainStart = ::GetTickCount64();
        } else if (owners[index] == in.get()) {
            DWORD sent = 0;
            if (in->finish(sent)) {
                written += sent;
                writeMore();
            } else {
                in->close(); // the child stopped reading
            }
        } else {
            readOn(*owners[index], owners[index] == outChannel ? result.out : result.err);
        }
    }
    in->close();
    out->close();
    err->close();
    DWORD code = 0;
    if (!::GetExitCodeProcess(process.get(), &code))
        fail("GetExitCodeProcess");
    result.exitCode = code;
    finished = true;
    return result;
}

} // namespace

RunResult runProcess(const std::wstring& commandLine, const RunOptions& options) {
    return run(nullptr, commandLine, options);
}

RunResult runProgram(const std::wstring& program, const std::vector<std::wstring>& args,
                     const RunOptions& options) {
    std::vector<std::wstring> argv;
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return run(program.c_str(), buildCommandLine(argv), options);
}

} // namespace runner
