#include "base/win32.h"

#include "service/pipe.h"

#include "base/exception.h"
#include "base/raising_site.h"
#include "base/text.h"
#include "os/cancelation.h"
#include "os/sync.h"
#include "registry/registry.h"

namespace Con {

namespace {

// The raising sites of this file and the lines they record: part of the text users see under the
// Debug switch, so they stay fixed however the file is edited. The overlapped transfers' own sites
// are in their TransferSite records below.
constexpr RaisingSite kOverlappedEventSite = {"Con::Overlapped::Overlapped", 211};
constexpr RaisingSite kOverlappedDuplicateSite = {"Con::Overlapped::Overlapped", 221};
constexpr RaisingSite kOverlappedResetSite = {"Con::Overlapped::resert", 254};
constexpr RaisingSite kPipeDuplicateSite = {"Con::Pipe::Pipe", 39};
constexpr RaisingSite kPipeReadSite = {"Con::Pipe::read", 88};
constexpr RaisingSite kPipeReadShortSite = {"Con::Pipe::read", 92};
constexpr RaisingSite kPipeWriteSite = {"Con::Pipe::write", 110};
constexpr RaisingSite kPipeWriteShortSite = {"Con::Pipe::write", 114};
constexpr RaisingSite kCompleteIdleSite = {"Con::OverlappedPipe::complete", 401};
constexpr RaisingSite kCompleteWaitFailedSite = {"Con::OverlappedPipe::complete", 417};
constexpr RaisingSite kCompleteUnknownStateSite = {"Con::OverlappedPipe::complete", 419};
constexpr RaisingSite kInternalCompleteSite = {"Con::OverlappedPipe::internalComplete", 386};
constexpr RaisingSite kInternalCompleteShortSite = {"Con::OverlappedPipe::internalComplete", 392};
constexpr RaisingSite kConnectSite = {"Con::ClientOverlappedPipe::create", 503};
constexpr RaisingSite kConnectRetriesSite = {"Con::ClientOverlappedPipe::create", 509};
constexpr RaisingSite kSetModeSite = {"Con::ClientOverlappedPipe::create", 513};

bool isEndOfData(DWORD code) {
    return code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA;
}

// Whether a step of a message read stops short of the message's announced size, so that more
// data in the message is expected rather than an overlong message.
bool stopsShortOfTotal(uint32_t before, uint32_t size, uint32_t total) {
    return uint64_t(before) + size < total;
}

// Message reads start with this much room and double it while the message goes on.
const uint32_t kFirstReadStep = 4096;

[[noreturn]] void raiseShort(DWORD count, uint32_t size, const RaisingSite& site) {
    throw vexception(
        format(L"Completed only %d of %d bytes", static_cast<int>(count), static_cast<int>(size)),
        siteLocation(site));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Overlapped

Overlapped::Overlapped() : record_() {
    event_.reset(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    if (!event_)
        raiseOsError(L"Unable to create event", ::GetLastError(),
                     siteLocation(kOverlappedEventSite));
    record_.hEvent = event_.get();
}

Overlapped::Overlapped(const Overlapped& other, DuplicateTag) : record_() {
    record_.Internal = other.record_.Internal;
    record_.InternalHigh = other.record_.InternalHigh;
    record_.Offset = other.record_.Offset;
    record_.OffsetHigh = other.record_.OffsetHigh;
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), other.event_.get(), ::GetCurrentProcess(),
                           &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS))
        raiseOsError(L"Unable to duplicate handle", ::GetLastError(),
                     siteLocation(kOverlappedDuplicateSite));
    event_.reset(duplicate);
    record_.hEvent = event_.get();
}

Overlapped Overlapped::duplicate() const {
    return Overlapped(*this, DuplicateTag());
}

// The site keeps the name the Debug text has always shown.
void Overlapped::reset() {
    if (!::ResetEvent(event_.get()))
        raiseOsError(L"Unable to reset event", ::GetLastError(),
                     siteLocation(kOverlappedResetSite));
}

// ---------------------------------------------------------------------------------------------
// PipeEnd

PipeEnd::PipeEnd(const PipeEnd& other, DuplicateTag)
    : finished_(other.finished_), requested_(other.requested_) {
    if (!other.handle_.valid())
        return;
    HANDLE duplicate = INVALID_HANDLE_VALUE;
    if (!::DuplicateHandle(::GetCurrentProcess(), other.handle_.get(), ::GetCurrentProcess(),
                           &duplicate, 0, TRUE, DUPLICATE_SAME_ACCESS))
        raiseOsError(L"Unable to duplicate handle", ::GetLastError(),
                     siteLocation(kPipeDuplicateSite));
    handle_.reset(duplicate);
}

template <typename ReadPart>
int PipeEnd::readInSteps(uint32_t size, const Reserve& reserve, ReadPart readPart) {
    MessagePart part;
    part.total = size;
    uint32_t capacity = 0;
    while (size != 0) {
        if (capacity == 0)
            capacity = size < kFirstReadStep ? size : kFirstReadStep;
        else
            capacity = capacity > size / 2 ? size : capacity * 2;
        uint8_t* block = reserve(capacity);
        const int count = readPart(block + part.before, capacity - part.before, part);
        if (!part.more)
            return static_cast<int>(part.before) + count;
        part.before += static_cast<uint32_t>(count);
    }
    return 0;
}

DWORD PipeEnd::unreadBytes() const {
    DWORD available = 0;
    if (!handle_.valid() ||
        !::PeekNamedPipe(handle_.get(), nullptr, 0, nullptr, &available, nullptr))
        return 0;
    return available;
}

// ---------------------------------------------------------------------------------------------
// Pipe

int Pipe::read(void* buffer, uint32_t size, bool exact) {
    if (finished_)
        return 0;
    DWORD count = 0;
    if (::ReadFile(handle_.get(), buffer, size, &count, nullptr)) {
        if (exact && count != size)
            raiseShort(count, size, kPipeReadShortSite);
        return static_cast<int>(count);
    }
    const DWORD code = ::GetLastError();
    if (isEndOfData(code)) {
        finished_ = true;
        return 0;
    }
    raiseOsError(L"Unable to read from pipe", code, siteLocation(kPipeReadSite));
}

int Pipe::write(const void* buffer, uint32_t size, bool exact) {
    if (finished_)
        return 0;
    DWORD count = 0;
    if (::WriteFile(handle_.get(), buffer, size, &count, nullptr)) {
        if (exact && count != size)
            raiseShort(count, size, kPipeWriteShortSite);
        return static_cast<int>(count);
    }
    const DWORD code = ::GetLastError();
    if (isEndOfData(code)) {
        finished_ = true;
        return 0;
    }
    raiseOsError(L"Unable to write to pipe", code, siteLocation(kPipeWriteSite));
}

int Pipe::readPart(void* buffer, uint32_t size, MessagePart& part) {
    part.more = false;
    if (finished_)
        return 0;
    DWORD count = 0;
    if (!::ReadFile(handle_.get(), buffer, size, &count, nullptr)) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_MORE_DATA && stopsShortOfTotal(part.before, size, part.total)) {
            part.more = true;
            return static_cast<int>(count);
        }
        if (!isEndOfData(code))
            raiseOsError(L"Unable to read from pipe", code, siteLocation(kPipeReadSite));
        finished_ = true;
        // As with read: a peer gone before the message began is a quiet end.
        if (part.before == 0)
            return 0;
        count = 0;
    }
    if (part.before + count != part.total)
        raiseShort(part.before + count, part.total, kPipeReadShortSite);
    return static_cast<int>(count);
}

void Pipe::close(int) {
    if (handle_.valid()) {
        handle_.reset();
        finished_ = true;
    }
}

std::unique_ptr<Pipe> Pipe::clone() const {
    return std::unique_ptr<Pipe>(new Pipe(*this, DuplicateTag()));
}

int Pipe::readAnnounced(uint32_t size, const Reserve& reserve) {
    return readInSteps(size, reserve, [this](void* buffer, uint32_t step, MessagePart& part) {
        return readPart(buffer, step, part);
    });
}

// ---------------------------------------------------------------------------------------------
// OverlappedPipe

OverlappedPipe::OverlappedPipe(HANDLE handle) : PipeEnd(handle) {}

OverlappedPipe::OverlappedPipe(const OverlappedPipe& other, DuplicateTag tag)
    : PipeEnd(other, tag), overlapped_(other.overlapped_.duplicate()), idle_(other.idle_) {}

OverlappedPipe::~OverlappedPipe() {
    if (handle_.valid()) {
        abandonRequest();
        handle_.reset();
        finished_ = true;
        idle_ = true;
    }
}

void OverlappedPipe::close(int) {
    if (handle_.valid()) {
        abandonRequest();
        handle_.reset();
        finished_ = true;
    }
    idle_ = true;
}

std::unique_ptr<OverlappedPipe> OverlappedPipe::clone() const {
    return std::unique_ptr<OverlappedPipe>(new OverlappedPipe(*this, DuplicateTag()));
}

int OverlappedPipe::readAnnounced(uint32_t size, const Reserve& reserve) {
    return readInSteps(size, reserve, [this](void* buffer, uint32_t step, MessagePart& part) {
        return readPart(buffer, step, part);
    });
}

// Closing the handle alone does not say when the system is done with the OVERLAPPED record and
// the buffer of a pending transfer; freeing either before that lets a late completion write into
// freed memory. Cancel, then wait for the request to settle.
void OverlappedPipe::abandonRequest() noexcept {
    if (idle_ || !handle_.valid())
        return;
    ::CancelIo(handle_.get());
    DWORD count = 0;
    ::GetOverlappedResult(handle_.get(), overlapped_.record(), &count, TRUE);
    idle_ = true;
    requested_ = 0;
}

bool OverlappedPipe::prepareTransfer(const TransferSite& site, uint32_t size) {
    if (!idle_)
        throw vexception(L"Previous request has not completed!",
                         SourceLocation(L"", site.function, site.busyLine));
    if (finished_)
        return false;
    idle_ = true;
    requested_ = size;
    return true;
}

int OverlappedPipe::transferStarted(const TransferSite& site, BOOL completed, bool exact) {
    const DWORD code = completed ? ERROR_SUCCESS : ::GetLastError();
    if (completed)
        return internalComplete(exact);
    if (isEndOfData(code))
        finished_ = true;
    else if (code == ERROR_MORE_DATA && part_ != nullptr &&
             stopsShortOfTotal(part_->before, requested_, part_->total))
        // Completed at once with more of the message to come: collect the count.
        return internalComplete(exact);
    else if (code == ERROR_IO_PENDING)
        idle_ = false;
    else
        raiseOsError(site.failure, code, SourceLocation(L"", site.function, site.failureLine));
    return 0;
}

// ReadFile and WriteFile reset the OVERLAPPED event themselves as the transfer starts; resetting
// it first would cost one more kernel call per transfer for nothing.
int OverlappedPipe::beginRead(void* buffer, uint32_t size, bool exact) {
    static const TransferSite site{L"Unable to read from pipe", "Con::OverlappedPipe::beginRead",
                                   293, 314};
    if (!prepareTransfer(site, size))
        return 0;
    return transferStarted(
        site, ::ReadFile(handle_.get(), buffer, size, nullptr, overlapped_.record()), exact);
}

int OverlappedPipe::beginWrite(const void* buffer, uint32_t size, bool exact) {
    static const TransferSite site{L"Unable to write to pipe", "Con::OverlappedPipe::beginWrite",
                                   337, 358};
    if (!prepareTransfer(site, size))
        return 0;
    return transferStarted(
        site, ::WriteFile(handle_.get(), buffer, size, nullptr, overlapped_.record()), exact);
}

int OverlappedPipe::complete(HANDLE cancel, DWORD timeout, bool exact) {
    if (idle_)
        throw vexception(L"Previous request has completed!", siteLocation(kCompleteIdleSite));
    HANDLE handles[2] = {overlapped_.event(), cancel};
    const DWORD count = cancel != nullptr ? 2 : 1;
    const DWORD result = waitForMultipleObjects(count, handles, FALSE, timeout);
    switch (result) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED_0:
        return internalComplete(exact);
    case WAIT_OBJECT_0 + 1:
    case WAIT_ABANDONED_0 + 1:
    case WAIT_TIMEOUT:
        // The request may still be settling after CancelIo: wait for it before the record and
        // the buffer are reused. What completed anyway is lost to the caller, as asked.
        abandonRequest();
        return 0;
    case WAIT_FAILED: {
        const DWORD code = ::GetLastError();
        abandonRequest();
        raiseOsError(L"Unable to complete pipe operation", code,
                     siteLocation(kCompleteWaitFailedSite));
    }
    default:
        abandonRequest();
        throw vexception(format(L"Unable to complete pipe operation: Unknown state %X", result),
                         siteLocation(kCompleteUnknownStateSite));
    }
}

int OverlappedPipe::internalComplete(bool exact) {
    const uint32_t requested = requested_;
    DWORD count = 0;
    if (!::GetOverlappedResult(handle_.get(), overlapped_.record(), &count, TRUE)) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE) {
            finished_ = true;
        } else if (code == ERROR_MORE_DATA && part_ != nullptr &&
                   stopsShortOfTotal(part_->before, requested, part_->total)) {
            part_->more = true;
        } else {
            // The request is over either way; the pipe must be able to start another.
            idle_ = true;
            requested_ = 0;
            raiseOsError(L"Unable to complete pipe operation", code,
                         siteLocation(kInternalCompleteSite));
        }
    }
    idle_ = true;
    requested_ = 0;
    if (part_ != nullptr) {
        if (exact && !part_->more && part_->before + count != part_->total)
            raiseShort(part_->before + count, part_->total, kInternalCompleteShortSite);
    } else if (exact && count != requested) {
        raiseShort(count, requested, kInternalCompleteShortSite);
    }
    return static_cast<int>(count);
}

int OverlappedPipe::readPart(void* buffer, uint32_t size, MessagePart& part) {
    part.more = false;
    struct Forget {
        MessagePart*& part;
        ~Forget() { part = nullptr; }
    } forget{part_};
    part_ = &part;
    const int count = read(buffer, size, true);
    // The peer went away in the middle of the message: what arrived is not all of it.
    if (count == 0 && finished_ && part.before != 0)
        raiseShort(part.before, part.total, kInternalCompleteShortSite);
    return count;
}

int OverlappedPipe::read(void* buffer, uint32_t size, bool exact) {
    const int count = beginRead(buffer, size, exact);
    if (finished_ || idle_)
        return count;
    return complete(nullptr, INFINITE, exact);
}

int OverlappedPipe::write(const void* buffer, uint32_t size, bool exact) {
    const int count = beginWrite(buffer, size, exact);
    if (finished_ || idle_)
        return count;
    return complete(nullptr, INFINITE, exact);
}

// ---------------------------------------------------------------------------------------------
// Connection and its settings

namespace {

test_hooks::OpenFunction g_open = ::CreateFileW;

struct ConnectTryCountState {
    int cached = 0;
    uint32_t calls = 0;
    bool reading = true;
    bool useTestKey = false;
    std::wstring testKey;
};

ConnectTryCountState& connectState() {
    static ConnectTryCountState state;
    return state;
}

} // namespace

int connectTryCount(int defaultAttempts) {
    ConnectTryCountState& state = connectState();
    if (state.reading) {
        const uint32_t call = state.calls++;
        if (call % 16 == 0) {
            const std::wstring key =
                state.useTestKey ? state.testKey : std::wstring(registry::kConfigKey);
            try {
                DWORD value = 0;
                if (registry::lookup(HKEY_LOCAL_MACHINE, key, L"PipeConnectTryCount", value,
                                     registry::View32) == ERROR_SUCCESS)
                    state.cached = static_cast<int>(value);
            } catch (...) {
                state.reading = false;
            }
        }
    }
    // A count that reads as negative (0xFFFFFFFF, 0x80000000) is no count at all: taken as it
    // is it would make no attempt, not even on a free instance.
    return state.cached > 0 ? state.cached : defaultAttempts;
}

void alertableSleep(DWORD ms) {
    ThreadCancelation::CancelationPoint point;
    const DWORD start = ::GetTickCount();
    DWORD remaining = ms;
    while (::SleepEx(remaining, TRUE) == WAIT_IO_COMPLETION) {
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= ms)
            break;
        remaining = ms - elapsed;
    }
}

base::ScopedFileHandle ClientOverlappedPipe::create(const std::wstring& path, DWORD access,
                                                    DWORD readMode, int defaultAttempts) {
    const int attempts = connectTryCount(defaultAttempts);
    base::ScopedFileHandle handle;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        ThreadCancelation::CancelationPoint point;
        handle.reset(
            g_open(path.c_str(), access, 0, nullptr, OPEN_EXISTING, kClientOpenFlags, nullptr));
        if (handle)
            break;
        const DWORD code = ::GetLastError();
        if (code != ERROR_PIPE_BUSY)
            raiseOsError(L"Unable to connect to pipe " + path, code, siteLocation(kConnectSite));
        if (!::WaitNamedPipeW(path.c_str(), 1000))
            alertableSleep(50);
    }
    if (!handle)
        throw vexception(L"Unable to connect to pipe " + path, siteLocation(kConnectRetriesSite));
    DWORD mode = readMode;
    if (!::SetNamedPipeHandleState(handle.get(), &mode, nullptr, nullptr)) {
        const DWORD code = ::GetLastError();
        handle.reset();
        raiseOsError(L"Unable to set mode of pipe " + path, code, siteLocation(kSetModeSite));
    }
    return handle;
}

namespace test_hooks {

OpenFunction setOpenFunction(OpenFunction open) {
    const OpenFunction previous = g_open;
    g_open = open != nullptr ? open : ::CreateFileW;
    return previous;
}

void setConnectTryCountKey(const std::wstring& subKey) {
    ConnectTryCountState& state = connectState();
    state = ConnectTryCountState();
    state.testKey = subKey;
    state.useTestKey = true;
}

void resetConnectTryCount() {
    connectState() = ConnectTryCountState();
}

} // namespace test_hooks

} // namespace Con
