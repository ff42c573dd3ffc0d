#include "tools/service/server.h"

#include "base/text.h"

#include <algorithm>
#include <cwchar>

namespace standin {

namespace {

constexpr DWORD kPipeBufferSize = 65536;
// A request is a GUID and a short name; anything near this size is garbage, kept only for the log.
constexpr size_t kMessageLimit = 1 << 20;

[[noreturn]] void throwOsError(const std::wstring& context, DWORD code) {
    throw vexception(osErrorMessage(code, &context));
}

// The ways a pipe reports that the other end has gone.
bool isBroken(DWORD code) {
    return code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA || code == ERROR_PIPE_NOT_CONNECTED ||
           code == ERROR_HANDLE_EOF;
}

bool parseCount(const std::wstring& text, uint32_t& value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    value = static_cast<uint32_t>(std::wcstoul(text.c_str(), nullptr, 10));
    return true;
}

} // namespace

Output::Output()
    : stdout_(::GetStdHandle(STD_OUTPUT_HANDLE)), stderr_(::GetStdHandle(STD_ERROR_HANDLE)) {}

void Output::openLog(const std::wstring& target) {
    if (target == L"-") {
        logToStdout_ = true;
        return;
    }
    // Shared for reading and deleting, so a test can read the log while the service runs.
    logFile_.reset(::CreateFileW(target.c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!logFile_)
        throwOsError(L"Unable to create log file " + target, ::GetLastError());
}

void Output::write(HANDLE handle, const std::wstring& text) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return;
    const std::string bytes = cstr(text + L"\n", CP_UTF8);
    DWORD written = 0;
    ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void Output::line(const std::wstring& text) {
    std::lock_guard<std::mutex> guard(lock_);
    write(stdout_, text);
}

void Output::error(const std::wstring& text) {
    std::lock_guard<std::mutex> guard(lock_);
    write(stderr_, text);
}

void Output::log(const std::wstring& text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (logToStdout_)
        write(stdout_, text);
    else if (logFile_)
        write(logFile_.get(), text);
}

Server::Server(ServerOptions options, Config config, Output& output)
    : options_(std::move(options)), config_(std::move(config)), output_(output) {
    shutdown_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!shutdown_)
        throwOsError(L"Unable to create event", ::GetLastError());
    commandEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!commandEvent_)
        throwOsError(L"Unable to create event", ::GetLastError());
    // Auto-reset: one SetEvent from a test is one stop or one restart.
    if (!options_.stopEvent.empty()) {
        stopEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, options_.stopEvent.c_str()));
        if (!stopEvent_)
            throwOsError(L"Unable to create event " + options_.stopEvent, ::GetLastError());
    }
    if (!options_.restartEvent.empty()) {
        restartEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, options_.restartEvent.c_str()));
        if (!restartEvent_)
            throwOsError(L"Unable to create event " + options_.restartEvent, ::GetLastError());
    }
}

base::ScopedFileHandle Server::createPipe(bool first) {
    // The first instance claims the name: a second service on the same name would otherwise
    // share it silently and answer half of the clients from another configuration.
    // Wine does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE, so the name is probed first as well: a
    // zero-wait WaitNamedPipeW tells a missing pipe (2) from a present one without connecting.
    if (first && (::WaitNamedPipeW(path().c_str(), 1) || ::GetLastError() != ERROR_FILE_NOT_FOUND))
        throw vexception(L"Unable to create pipe " + path() +
                         L": another server already listens on it");
    const DWORD openMode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    base::ScopedFileHandle pipe(::CreateNamedPipeW(
        path().c_str(), openMode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
        PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, nullptr));
    if (!pipe) {
        const DWORD code = ::GetLastError();
        if (first && code == ERROR_ACCESS_DENIED)
            throw vexception(L"Unable to create pipe " + path() +
                             L": another server already listens on it");
        throwOsError(L"Unable to create pipe " + path(), code);
    }
    return pipe;
}

void Server::startInstances(bool first) {
    for (unsigned i = 0; i < options_.instances; ++i) {
        auto instance = std::make_unique<Instance>();
        instance->pipe = createPipe(first && i == 0);
        instance->event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!instance->event)
            throwOsError(L"Unable to create event", ::GetLastError());
        instances_.push_back(std::move(instance));
    }
    for (auto& instance : instances_) {
        Instance* p = instance.get();
        instance->thread = std::thread([this, p] { serve(*p); });
    }
}

void Server::stopInstances() {
    ::SetEvent(shutdown_.get());
    for (auto& instance : instances_)
        if (instance->thread.joinable())
            instance->thread.join();
    holders_.clear();
    // Only CloseHandle, never DisconnectNamedPipe here: a reply the client has not read yet stays
    // readable after the server end is closed, whereas a disconnect would discard it.
    instances_.clear();
    listening_ = 0;
    holdUntil_ = 0;
    ::ResetEvent(shutdown_.get());
}

int Server::run() {
    try {
        startInstances(true);
        if (options_.holdCount > 0) {
            hold(options_.holdCount);
            if (options_.holdMs > 0)
                holdUntil_ = ::GetTickCount64() + options_.holdMs;
        }
        output_.line(L"ready");
        for (bool stopping = false; !stopping;) {
            HANDLE handles[3] = {commandEvent_.get()};
            DWORD count = 1;
            if (stopEvent_)
                handles[count++] = stopEvent_.get();
            if (restartEvent_)
                handles[count++] = restartEvent_.get();
            DWORD timeout = INFINITE;
            if (holdUntil_ != 0) {
                const ULONGLONG now = ::GetTickCount64();
                timeout = holdUntil_ > now ? static_cast<DWORD>(holdUntil_ - now) : 0;
            }
            const DWORD result = ::WaitForMultipleObjects(count, handles, FALSE, timeout);
            if (result == WAIT_TIMEOUT) {
                holdUntil_ = 0;
                release();
                output_.line(L"released");
                continue;
            }
            if (result >= WAIT_OBJECT_0 + count)
                throwOsError(L"Unable to wait for a control event", ::GetLastError());
            const HANDLE signalled = handles[result - WAIT_OBJECT_0];
            if (signalled == stopEvent_.get())
                break;
            if (signalled == restartEvent_.get()) {
                execute(Command{Command::Restart, options_.downMs, false});
                continue;
            }
            for (;;) {
                Command command;
                {
                    std::lock_guard<std::mutex> guard(commandLock_);
                    if (commands_.empty())
                        break;
                    command = commands_.front();
                    commands_.pop_front();
                }
                if (command.kind == Command::Stop) {
                    stopping = true;
                    break;
                }
                execute(command);
            }
        }
    } catch (const vexception& e) {
        output_.error(e.message());
        exitCode_ = 1;
    } catch (const std::exception& e) {
        output_.error(wstr(e.what(), CP_ACP));
        exitCode_ = 1;
    }
    stopInstances();
    return exitCode_;
}

void Server::execute(const Command& command) {
    switch (command.kind) {
    case Command::Restart:
        stopInstances();
        // Every instance is closed now: a test can watch for this line and find the pipe absent.
        output_.line(L"down");
        if (command.number > 0)
            ::Sleep(command.number);
        startInstances(false);
        output_.line(L"ready");
        break;
    case Command::Hold: {
        const unsigned held = hold(command.number);
        if (command.acknowledge)
            output_.line(format(L"ok hold %u", held));
        break;
    }
    case Command::Release:
        release();
        if (command.acknowledge)
            output_.line(L"ok release");
        break;
    case Command::Stop:
        break;
    }
}

void Server::post(Command command) {
    std::lock_guard<std::mutex> guard(commandLock_);
    commands_.push_back(command);
    ::SetEvent(commandEvent_.get());
}

void Server::stop() {
    post(Command{Command::Stop, 0, false});
}

void Server::command(const std::wstring& line) {
    std::wstring rest = line;
    while (!rest.empty() && (rest.back() == L'\r' || rest.back() == L' '))
        rest.pop_back();
    const size_t space = rest.find(L' ');
    const std::wstring word = rest.substr(0, space);
    const std::wstring argument = space == std::wstring::npos ? L"" : rest.substr(space + 1);
    uint32_t number = 0;
    const bool hasNumber = parseCount(argument, number);
    if (!argument.empty() && !hasNumber && word != L"set") {
        output_.line(L"error bad argument '" + argument + L"'");
        return;
    }
    if (word == L"stop") {
        post(Command{Command::Stop, 0, true});
    } else if (word == L"restart") {
        post(Command{Command::Restart, hasNumber ? number : options_.downMs, true});
    } else if (word == L"hold") {
        post(Command{Command::Hold, number, true});
    } else if (word == L"release") {
        post(Command{Command::Release, 0, true});
    } else if (word == L"set") {
        try {
            std::lock_guard<std::mutex> guard(configLock_);
            config_.parseLine(argument);
        } catch (const vexception& e) {
            output_.line(L"error " + e.message());
            return;
        }
        output_.line(L"ok set");
    } else if (word == L"clear-faults") {
        {
            std::lock_guard<std::mutex> guard(configLock_);
            config_.clearFaults();
        }
        output_.line(L"ok clear-faults");
    } else if (word == L"count") {
        output_.line(L"exchanges " + std::to_wstring(exchanges_.load()));
    } else if (!word.empty()) {
        output_.line(L"error unknown command '" + word + L"'");
    }
}

unsigned Server::hold(unsigned count) {
    const size_t target = count == 0 ? options_.instances : std::min(count, options_.instances);
    // The service connects to its own instances as a client that never writes: the instances
    // are then connected but unserved, and every outside client sees ERROR_PIPE_BUSY.
    while (holders_.size() < target) {
        base::ScopedFileHandle holder(::CreateFileW(path().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                    nullptr, OPEN_EXISTING, 0, nullptr));
        if (holder) {
            holders_.push_back(std::move(holder));
            continue;
        }
        if (::GetLastError() != ERROR_PIPE_BUSY || !::WaitNamedPipeW(path().c_str(), 500))
            break;
    }
    return static_cast<unsigned>(holders_.size());
}

void Server::release() {
    const int expected = listening_ + static_cast<int>(holders_.size());
    holders_.clear();
    waitListening(expected);
}

void Server::waitListening(int expected) {
    // Released instances listen again only once their threads have noticed the holder going away
    // and called ConnectNamedPipe; the acknowledgement waits for that so tests need not guess.
    const ULONGLONG deadline = ::GetTickCount64() + 2000;
    while (listening_ < expected && ::GetTickCount64() < deadline)
        ::Sleep(5);
}

void Server::serve(Instance& instance) {
    try {
        while (::WaitForSingleObject(shutdown_.get(), 0) == WAIT_TIMEOUT) {
            ++listening_;
            const Io connected = connect(instance);
            --listening_;
            if (connected == Io::Stopped)
                return;
            if (connected == Io::Broken) {
                ::DisconnectNamedPipe(instance.pipe.get());
                continue;
            }
            ULONG pid = 0;
            const bool external = !::GetNamedPipeClientProcessId(instance.pipe.get(), &pid) ||
                                  pid != ::GetCurrentProcessId();
            if (external)
                output_.log(L"connect");
            bool closeNow = false;
            if (external) {
                std::lock_guard<std::mutex> guard(configLock_);
                closeNow = config_.takeStageFault(Stage::Connect);
            }
            End end = End::Closed;
            if (closeNow)
                output_.log(L"close connect");
            else
                end = serveConnection(instance, external);
            if (end == End::Stopped)
                return;
            if (end == End::Closed) {
                // The replacement is created before the old instance is closed, so the pipe name
                // never vanishes: a close fault must look like a broken connection, not like a
                // service that went away.
                instance.pipe = createPipe(false);
            } else {
                if (external)
                    output_.log(L"disconnect");
                ::DisconnectNamedPipe(instance.pipe.get());
            }
        }
    } catch (const vexception& e) {
        fail(e.message());
    } catch (const std::exception& e) {
        fail(wstr(e.what(), CP_ACP));
    }
}

Server::End Server::serveConnection(Instance& instance, bool external) {
    auto ended = [](Io io) { return io == Io::Stopped ? End::Stopped : End::Disconnected; };
    for (;;) {
        std::string lengthMessage;
        size_t total = 0;
        Io io = readMessage(instance, lengthMessage, total);
        if (io != Io::Done)
            return ended(io);
        if (external) {
            bool closeNow = false;
            {
                std::lock_guard<std::mutex> guard(configLock_);
                closeNow = config_.takeStageFault(Stage::Request);
            }
            if (closeNow) {
                output_.log(L"close request");
                return End::Closed;
            }
        }
        // The client writes the length and the payload with separate writes, so each must be a
        // message of its own; anything else is the client's fault and is answered as such.
        if (total != 4) {
            io = replyMalformed(instance, format(L"request length message of %u bytes, expected 4",
                                                 static_cast<unsigned>(total)));
            if (io != Io::Done)
                return ended(io);
            continue;
        }
        const uint32_t announced =
            static_cast<uint8_t>(lengthMessage[0]) | static_cast<uint8_t>(lengthMessage[1]) << 8 |
            static_cast<uint8_t>(lengthMessage[2]) << 16 |
            static_cast<uint32_t>(static_cast<uint8_t>(lengthMessage[3])) << 24;
        std::string payload;
        io = readMessage(instance, payload, total);
        if (io != Io::Done)
            return ended(io);
        Request request;
        std::wstring problem;
        if (total != announced) {
            problem = format(L"request payload message of %u bytes, announced %u",
                             static_cast<unsigned>(total), static_cast<unsigned>(announced));
        } else {
            try {
                request = decodeRequest(payload);
            } catch (const ProtocolError& e) {
                problem = e.message();
            }
        }
        if (!problem.empty()) {
            io = replyMalformed(instance, problem);
            if (io != Io::Done)
                return ended(io);
            continue;
        }

        if (request.operation == Operation::ComponentInfo)
            output_.log(format(L"request componentInfo %s %u", request.name.c_str(),
                               static_cast<unsigned>(request.selector)));
        else if (request.operation == Operation::Unknown)
            output_.log(L"request unknown " + guidText(request.id));
        else
            output_.log(std::wstring(L"request ") + operationName(request.operation) + L" " +
                        request.name);

        ReplyPlan plan;
        {
            std::lock_guard<std::mutex> guard(configLock_);
            plan = config_.plan(request);
        }
        if (plan.delayMs > 0 &&
            ::WaitForSingleObject(shutdown_.get(), plan.delayMs) == WAIT_OBJECT_0)
            return End::Stopped;
        if (plan.closeBeforeReply) {
            output_.log(L"close reply");
            return End::Closed;
        }
        for (const std::string& message : plan.messages) {
            io = writeMessage(instance, message);
            if (io != Io::Done)
                return ended(io);
        }
        if (plan.closeAfterMessages) {
            output_.log(L"close payload");
            return End::Closed;
        }
        countExchange();
    }
}

Server::Io Server::replyMalformed(Instance& instance, const std::wstring& reason) {
    output_.log(L"malformed " + reason);
    output_.error(L"malformed request: " + reason);
    WireWriter reply;
    reply.errorMarker(L"Malformed request: " + reason);
    Io io = writeMessage(instance, le32(static_cast<uint32_t>(reply.data().size())));
    if (io == Io::Done)
        io = writeMessage(instance, reply.data());
    if (io == Io::Done)
        countExchange();
    return io;
}

void Server::countExchange() {
    const uint64_t count = ++exchanges_;
    if (options_.maxExchanges != 0 && count == options_.maxExchanges)
        post(Command{Command::Stop, 0, false});
    if (options_.restartAfter != 0 && count % options_.restartAfter == 0)
        post(Command{Command::Restart, options_.downMs, false});
}

void Server::fail(const std::wstring& message) {
    output_.error(message);
    exitCode_ = 1;
    stop();
}

Server::Io Server::connect(Instance& instance) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = instance.event.get();
    ::ResetEvent(overlapped.hEvent);
    if (::ConnectNamedPipe(instance.pipe.get(), &overlapped))
        return Io::Done;
    const DWORD code = ::GetLastError();
    // A client that arrived before ConnectNamedPipe is connected already.
    if (code == ERROR_PIPE_CONNECTED)
        return Io::Done;
    if (code == ERROR_NO_DATA)
        return Io::Broken;
    if (code != ERROR_IO_PENDING)
        throwOsError(L"Unable to wait for a client on pipe " + path(), code);
    DWORD count = 0;
    return wait(instance, overlapped, count);
}

Server::Io Server::wait(Instance& instance, OVERLAPPED& overlapped, DWORD& count) {
    const HANDLE handles[2] = {overlapped.hEvent, shutdown_.get()};
    const DWORD result = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (result == WAIT_OBJECT_0 + 1) {
        // The OVERLAPPED and the buffer live on the caller's stack: the cancelled request must
        // be finished before they go away.
        ::CancelIo(instance.pipe.get());
        ::GetOverlappedResult(instance.pipe.get(), &overlapped, &count, TRUE);
        return Io::Stopped;
    }
    if (result != WAIT_OBJECT_0)
        throwOsError(L"Unable to wait for pipe I/O", ::GetLastError());
    if (::GetOverlappedResult(instance.pipe.get(), &overlapped, &count, FALSE))
        return Io::Done;
    const DWORD code = ::GetLastError();
    if (code == ERROR_MORE_DATA)
        return Io::MoreData;
    if (isBroken(code))
        return Io::Broken;
    throwOsError(L"Unable to complete I/O on pipe " + path(), code);
}

Server::Io Server::readOnce(Instance& instance, char* buffer, DWORD size, DWORD& count) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = instance.event.get();
    ::ResetEvent(overlapped.hEvent);
    count = 0;
    if (::ReadFile(instance.pipe.get(), buffer, size, nullptr, &overlapped)) {
        ::GetOverlappedResult(instance.pipe.get(), &overlapped, &count, FALSE);
        return Io::Done;
    }
    const DWORD code = ::GetLastError();
    if (code == ERROR_IO_PENDING)
        return wait(instance, overlapped, count);
    if (code == ERROR_MORE_DATA) {
        ::GetOverlappedResult(instance.pipe.get(), &overlapped, &count, FALSE);
        return Io::MoreData;
    }
    if (isBroken(code))
        return Io::Broken;
    throwOsError(L"Unable to read from pipe " + path(), code);
}

Server::Io Server::readMessage(Instance& instance, std::string& message, size_t& total) {
    message.clear();
    total = 0;
    char buffer[4096];
    for (;;) {
        DWORD count = 0;
        const Io io = readOnce(instance, buffer, sizeof buffer, count);
        if (io == Io::Broken || io == Io::Stopped)
            return io;
        total += count;
        if (message.size() < kMessageLimit)
            message.append(buffer, std::min<size_t>(count, kMessageLimit - message.size()));
        if (io == Io::Done)
            return Io::Done;
    }
}

Server::Io Server::writeMessage(Instance& instance, const std::string& message) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = instance.event.get();
    ::ResetEvent(overlapped.hEvent);
    DWORD count = 0;
    const DWORD size = static_cast<DWORD>(message.size());
    if (::WriteFile(instance.pipe.get(), message.data(), size, nullptr, &overlapped)) {
        ::GetOverlappedResult(instance.pipe.get(), &overlapped, &count, FALSE);
    } else {
        const DWORD code = ::GetLastError();
        if (isBroken(code))
            return Io::Broken;
        if (code != ERROR_IO_PENDING)
            throwOsError(L"Unable to write to pipe " + path(), code);
        const Io io = wait(instance, overlapped, count);
        if (io != Io::Done)
            return io;
    }
    if (count != size)
        throw vexception(format(L"Wrote only %u of %u bytes to pipe %s",
                                static_cast<unsigned>(count), static_cast<unsigned>(size),
                                path().c_str()));
    return Io::Done;
}

} // namespace standin
