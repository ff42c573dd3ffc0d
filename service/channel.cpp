#include "base/win32.h"

#include "service/channel.h"

#include "base/exception.h"
#include "base/raising_site.h"
#include "base/text.h"
#include "logging/log.h"
#include "registry/registry.h"

#include <cstddef>
#include <cstdint>

namespace vpipechannel {

namespace {

// The raising site of this file and the line it records (part of the Debug text).
constexpr RaisingSite kFinishedSite = {"vpipechannel::client::query", 239};

class Lock {
public:
    explicit Lock(CriticalSection& section) : section_(section) { section_.enter(); }
    ~Lock() { section_.leave(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    CriticalSection& section_;
};

const DWORD kPipeAccess = GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FILE_WRITE_DATA;
const int kDefaultAttempts = 5;

} // namespace

client::client(const std::wstring& keyPath, const std::wstring& pipeName, bool connectNow)
    : keyPath_(keyPath), pipeName_(pipeName) {
    if (connectNow)
        connect(kDefaultAttempts);
}

client::~client() {
    try {
        disconnect();
    } catch (...) {
    }
}

std::wstring client::pipePath() {
    std::wstring name = pipeName_;
    // A missing key or value keeps the built-in name; a value of another type raises.
    registry::lookup(HKEY_LOCAL_MACHINE, keyPath_, pipeName_, name, REG_SZ, registry::View32);
    return L"\\\\.\\pipe\\" + name;
}

void client::connect(int attempts) {
    if (pipe_ && pipe_->isOpen())
        return;
    base::ScopedFileHandle handle =
        Con::ClientOverlappedPipe::create(pipePath(), kPipeAccess, PIPE_READMODE_MESSAGE, attempts);
    // The pipe object owns the handle from the moment its base is built, failures included.
    std::unique_ptr<Con::ClientOverlappedPipe> fresh(
        new Con::ClientOverlappedPipe(handle.release()));
    pipe_ = std::move(fresh);
}

void client::disconnect() {
    pipe_.reset();
}

void client::reconnect() {
    disconnect();
    connect(kDefaultAttempts);
}

void client::ensureNotFinished() {
    if (!pipe_->finished())
        return;
    varno::logging::logMessage(
        varno::logging::Warning,
        L"Connection to Varno Management Service is broken: Pipe is finished");
    throw vexception(L"Pipe is finished", siteLocation(kFinishedSite));
}

// Bytes waiting before a request goes out answer no request of this query: they are what an
// earlier exchange left unread (part of a reply, or one message too many). Reading on would hand
// this query another one's answer, so the query starts afresh on a new connection.
void client::dropOutOfStepConnection() {
    if (pipe_ && pipe_->isOpen() && pipe_->unreadBytes() != 0)
        disconnect();
}

std::unique_ptr<vserializer> client::exchange(const GUID& operation, const vserializer& body) {
    dropOutOfStepConnection();
    connect(kDefaultAttempts);
    ensureNotFinished();

    vserializer request;
    request.writeBlock(sizeof(GUID), &operation);
    request.append(body);

    // The transport reports a peer that went away as a short, silent transfer. A pipe that
    // finishes anywhere in the exchange is a failed exchange, never an empty or zero-filled reply.
    const uint32_t length = request.length();
    pipe_->write(&length, sizeof(length), true);
    pipe_->write(request.data(), length, true);
    ensureNotFinished();

    uint32_t replyLength = 0;
    pipe_->read(&replyLength, sizeof(replyLength), true);
    ensureNotFinished();
    if (replyLength == 0)
        return std::make_unique<vserializer>();

    // No block that large can exist in a 32-bit process, so no service can mean it: what came is
    // not a reply length (a stray message ahead of it, or a faulty service). Saying "out of
    // memory" would send whoever reads it looking at the wrong machine.
    if (replyLength > static_cast<uint32_t>(PTRDIFF_MAX))
        throw vexception(format(L"Invalid Protocol: the service announced a reply of %u bytes, "
                                L"more than any reply can be",
                                replyLength));
    // The length is only the service's claim: the reply's memory grows with the bytes that
    // actually arrive.
    auto reply = std::make_unique<vserializer>();
    pipe_->readAnnounced(replyLength,
                         [&reply](uint32_t capacity) { return reply->reserve(capacity); });
    ensureNotFinished();
    reply->setReceived(replyLength);
    return reply;
}

std::unique_ptr<vserializer> client::query(const GUID& operation, const vserializer& body) {
    Lock lock(lock_);
    try {
        return exchange(operation, body);
    } catch (const vexception& e) {
        varno::logging::logMessage(
            varno::logging::Info,
            format(L"Varno Management service pipe communication error: %s. Trying to reconnect.",
                   e.text().c_str()));
    } catch (...) {
        varno::logging::logMessage(
            varno::logging::Info,
            L"Varno Management service pipe unknown communication error. Trying to reconnect.");
    }
    reconnect();
    try {
        return exchange(operation, body);
    } catch (...) {
        // Whatever the broken exchange left in the pipe must not become the next query's reply.
        disconnect();
        throw;
    }
}

std::wstring client::queryString(const GUID& operation, const vserializer& body) {
    std::unique_ptr<vserializer> reply = query(operation, body);
    return reply->readString();
}

} // namespace vpipechannel
