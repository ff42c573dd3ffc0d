// Byte transport over Windows pipe handles: blocking reads and writes on Con::Pipe, overlapped ones
// with an explicit begin/complete protocol on Con::OverlappedPipe, and the client end of a named
// pipe that retries while every server instance is busy.
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Con {

// The OVERLAPPED record and its manual-reset event (created signalled). Neither copyable nor
// movable: the system holds the record's address while a request is outstanding.
class Overlapped {
public:
    Overlapped();
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    ~Overlapped() = default;

    // A record holding the same four words, on a duplicate of the event in this process (same
    // access, not inheritable).
    Overlapped duplicate() const;

    void reset();
    OVERLAPPED* record() { return &record_; }
    HANDLE event() const { return event_.get(); }

private:
    struct DuplicateTag {};
    Overlapped(const Overlapped& source, DuplicateTag);

    OVERLAPPED record_;
    base::ScopedHandle event_;
};

// What every pipe end holds: the handle, and the state of the transfers on it. Pipe ends are not
// copied; clone() makes a second object on a duplicate of the handle where one is wanted.
class PipeEnd {
public:
    PipeEnd(const PipeEnd&) = delete;
    PipeEnd& operator=(const PipeEnd&) = delete;

    // Storage for readAnnounced: reserve(capacity) returns a block of at least capacity bytes
    // holding the bytes received so far.
    using Reserve = std::function<uint8_t*(uint32_t capacity)>;

    // Bytes waiting in the pipe that no read has taken yet; 0 when closed or broken.
    DWORD unreadBytes() const;

    HANDLE handle() const { return handle_.get(); }
    bool isOpen() const { return handle_.valid(); }
    bool finished() const { return finished_; }
    uint32_t requested() const { return requested_; }

protected:
    // Takes ownership of the handle.
    explicit PipeEnd(HANDLE handle) : handle_(handle) {}
    struct DuplicateTag {};
    // Duplicates a valid handle (same access, inheritable); copies the state.
    PipeEnd(const PipeEnd& source, DuplicateTag);
    ~PipeEnd() = default;

    // One step of readAnnounced.
    struct MessagePart {
        uint32_t before = 0; // bytes of the message taken by earlier steps
        uint32_t total = 0;  // the size the whole message must have
        bool more = false;   // set when the message goes on beyond this step
    };
    // The steps of readAnnounced, each through readPart(buffer, size, part).
    template <typename ReadPart>
    int readInSteps(uint32_t size, const Reserve& reserve, ReadPart readPart);

    base::ScopedFileHandle handle_;
    bool finished_ = false;
    uint32_t requested_ = 0;
};

// A pipe end for blocking transfers.
class Pipe final : public PipeEnd {
public:
    explicit Pipe(HANDLE handle) : PipeEnd(handle) {}

    // Return the byte count, 0 once the other end has gone away. With exact set, a completed
    // transfer of any other size raises.
    int read(void* buffer, uint32_t size, bool exact);
    int write(const void* buffer, uint32_t size, bool exact);
    void close(int unused = 0);
    std::unique_ptr<Pipe> clone() const;

    // Reads one message whose size the peer announced, with the results and failures of
    // read(buffer, size, true), but into storage that grows with what arrives. So a peer that
    // announces more than it sends costs only what it sent. A size of 0 reads nothing.
    int readAnnounced(uint32_t size, const Reserve& reserve);

private:
    Pipe(const Pipe& source, DuplicateTag tag) : PipeEnd(source, tag) {}
    // Reads the next size bytes of the message. A message that goes on beyond them sets more
    // instead of failing, unless this step reaches the total: then it is longer than announced.
    // A message that ends before the total raises the short-transfer error with the counts of
    // the whole message.
    int readPart(void* buffer, uint32_t size, MessagePart& part);
};

// A pipe end for overlapped transfers. Not movable either: its OVERLAPPED record is in use while
// a request is outstanding.
class OverlappedPipe : public PipeEnd {
public:
    // The handle must have been opened with FILE_FLAG_OVERLAPPED.
    explicit OverlappedPipe(HANDLE handle);
    ~OverlappedPipe();

    // Blocking from the caller's view: begin, then complete without limit when still pending.
    int read(void* buffer, uint32_t size, bool exact);
    int write(const void* buffer, uint32_t size, bool exact);
    void close(int unused = 0);
    std::unique_ptr<OverlappedPipe> clone() const;
    // As Pipe::readAnnounced, with overlapped reads.
    int readAnnounced(uint32_t size, const Reserve& reserve);

    // The byte count when the transfer completed at once, else 0 (pending, or finished).
    // The buffer must stay alive until the request is collected by complete.
    int beginRead(void* buffer, uint32_t size, bool exact);
    int beginWrite(const void* buffer, uint32_t size, bool exact);
    // Waits for the outstanding request, for the cancel handle (may be null) or for the time-out
    // (INFINITE allowed). Returns the byte count, or 0 when cancelled or timed out; in that case
    // the request has been cancelled and the pipe can start a new one.
    int complete(HANDLE cancel, DWORD timeout, bool exact);
    int internalComplete(bool exact);

    bool idle() const { return idle_; }

private:
    OverlappedPipe(const OverlappedPipe& source, DuplicateTag tag);

    // Where a read or a write reports its failures.
    struct TransferSite {
        const wchar_t* failure;
        const char* function;
        int32_t busyLine;
        int32_t failureLine;
    };
    // Checks that no request is outstanding; false when the pipe is finished and nothing may start.
    bool prepareTransfer(const TransferSite& site, uint32_t size);
    // Takes the result of ReadFile or WriteFile: completed at once, pending, end of data or error.
    int transferStarted(const TransferSite& site, BOOL completed, bool exact);
    // Cancels an outstanding request and waits until the system has let go of the OVERLAPPED
    // record and the caller's buffer. Never raises.
    void abandonRequest() noexcept;
    // As Pipe's, with an overlapped read.
    int readPart(void* buffer, uint32_t size, MessagePart& part);

    Overlapped overlapped_;
    bool idle_ = true;
    // The step of readAnnounced in progress, if any.
    MessagePart* part_ = nullptr;
};

// The client end of a named pipe: an overlapped pipe whose handle create opened. Its clone is an
// OverlappedPipe.
class ClientOverlappedPipe final : public OverlappedPipe {
public:
    explicit ClientOverlappedPipe(HANDLE handle) : OverlappedPipe(handle) {}

    // Connects to the named pipe, retrying while all instances are busy ("PipeConnectTryCount"
    // attempts, defaultAttempts when that is absent, 0 or negative), and sets the read mode.
    static base::ScopedFileHandle create(const std::wstring& path, DWORD access, DWORD readMode,
                                         int defaultAttempts);
};

// The "PipeConnectTryCount" setting: re-read on the 1st, 17th, 33rd ... call; a value of the wrong
// type stops all further reads for the process. Returns the setting when positive, else the
// default.
int connectTryCount(int defaultAttempts);

// Sleeps for ms milliseconds, letting completion routines run without ending the sleep early.
void alertableSleep(DWORD ms);

// The flags ClientOverlappedPipe::create opens the pipe with. The server may identify the caller
// but not act as it: whoever creates the pipe name while the service is down cannot borrow the
// launcher's account.
const DWORD kClientOpenFlags =
    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

namespace test_hooks {
// The function create opens the pipe with (CreateFileW unless replaced); returns the previous one.
using OpenFunction = HANDLE(WINAPI*)(LPCWSTR path, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                                     DWORD flags, HANDLE templateFile);
OpenFunction setOpenFunction(OpenFunction open);

// Points the "PipeConnectTryCount" lookup at another key under HKEY_LOCAL_MACHINE (32-bit view)
// and forgets the cached count, the call counter and a disabled state.
void setConnectTryCountKey(const std::wstring& subKey);
// Restores the configuration key and forgets the cache.
void resetConnectTryCount();
} // namespace test_hooks

} // namespace Con
