// The query channel to the management service: one operation identifier plus serialized arguments
// out, one reply payload back, over a message-mode named pipe that is re-established on demand.
#pragma once

#include "base/win32.h"
#include "service/pipe.h"
#include "service/serializer.h"

#include <memory>
#include <string>

namespace vpipechannel {

// A critical section owned for the lifetime of its holder.
class CriticalSection {
public:
    CriticalSection() { ::InitializeCriticalSection(&section_); }
    ~CriticalSection() { ::DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void enter() { ::EnterCriticalSection(&section_); }
    void leave() { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

class client {
public:
    // keyPath: the key under HKEY_LOCAL_MACHINE (32-bit view) whose REG_SZ value named pipeName
    // may rename the pipe. With connectNow the pipe is connected here (5 attempts by default).
    client(const std::wstring& keyPath, const std::wstring& pipeName, bool connectNow);
    client(const client&) = delete;
    client& operator=(const client&) = delete;
    virtual ~client();

    // "\\.\pipe\" followed by the configured (or overridden) pipe name.
    std::wstring pipePath();
    void connect(int attempts);
    void disconnect();
    void reconnect();

    // One exchange under the channel's lock; on a failure the pipe is re-established and the
    // exchange tried once more. A query never writes on a connection that holds unread bytes, and
    // one that fails for good leaves the channel disconnected, so no query reads another's reply.
    // The reply's reading position is 0.
    std::unique_ptr<vserializer> query(const GUID& operation, const vserializer& body);
    // query, then one string read from the reply; bytes after it are ignored.
    std::wstring queryString(const GUID& operation, const vserializer& body);

    // The transport in use, null when disconnected.
    Con::ClientOverlappedPipe* pipe() const { return pipe_.get(); }

private:
    std::unique_ptr<vserializer> exchange(const GUID& operation, const vserializer& body);
    void ensureNotFinished();
    void dropOutOfStepConnection();

    std::unique_ptr<Con::ClientOverlappedPipe> pipe_;
    std::wstring keyPath_;
    std::wstring pipeName_;
    CriticalSection lock_;
};

} // namespace vpipechannel
