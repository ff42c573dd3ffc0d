#include "base/win32.h"

#include "service/pipe.h"
#include "service/serializer.h"
#include "service/tests/test_support.h"

#include "base/exception.h"
#include "base/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <type_traits>
#include <utility>

using servicetest::Bytes;
using servicetest::TempLocalMachineKey;
using servicetest::uniqueName;

namespace {

const DWORD kAccess = GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FILE_WRITE_DATA;

std::wstring pipePath(const std::wstring& name) {
    return L"\\\\.\\pipe\\" + name;
}

// A server instance owned by the test thread; clients may connect before ConnectNamedPipe.
base::ScopedFileHandle serverInstance(const std::wstring& path, DWORD maxInstances = 4) {
    return base::ScopedFileHandle(::CreateNamedPipeW(
        path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
        maxInstances, 4096, 4096, 0, nullptr));
}

void acceptClient(HANDLE server) {
    if (!::ConnectNamedPipe(server, nullptr)) {
        ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));
    }
}

void serverWrite(HANDLE server, const void* bytes, DWORD size) {
    DWORD count = 0;
    ASSERT_TRUE(::WriteFile(server, bytes, size, &count, nullptr));
    ASSERT_EQ(count, size);
}

// A connected pair: the client end is an overlapped client pipe, the server end blocking.
struct Connection {
    std::wstring path = pipePath(uniqueName(L"zra.transport"));
    base::ScopedFileHandle server = serverInstance(path);
    std::unique_ptr<Con::ClientOverlappedPipe> client;

    Connection() {
        client = std::make_unique<Con::ClientOverlappedPipe>(
            Con::ClientOverlappedPipe::create(path, kAccess, PIPE_READMODE_MESSAGE, 5).release());
        acceptClient(server.get());
    }
};

template <typename F> vexception caught(F&& f) {
    try {
        f();
    } catch (const vexception& e) {
        return e;
    }
    return vexception(L"<no exception>");
}

void expectLocation(const vexception& e, const char* function, int32_t line) {
    ASSERT_EQ(e.locations().size(), 1u) << std::string(function);
    EXPECT_EQ(e.locations()[0].message, L"");
    EXPECT_EQ(e.locations()[0].function, function);
    EXPECT_EQ(e.locations()[0].line, line);
}

// A pipe whose one instance is taken by another client.
struct BusyPipe {
    explicit BusyPipe(const wchar_t* prefix)
        : path(pipePath(uniqueName(prefix))), server(serverInstance(path, 1)),
          occupant(::CreateFileW(path.c_str(), kAccess, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr)) {}
    std::wstring path;
    base::ScopedFileHandle server;
    base::ScopedFileHandle occupant;
};

// Every test here that reads "PipeConnectTryCount" reads it from its own key.
class ConnectTryCount : public ::testing::Test {
protected:
    void SetUp() override { Con::test_hooks::setConnectTryCountKey(key.path()); }
    void TearDown() override { Con::test_hooks::resetConnectTryCount(); }
    TempLocalMachineKey key;
};

} // namespace

TEST(OverlappedPipe, MessagesTravelBothWays) {
    Connection c;
    const uint32_t length = 31;
    EXPECT_EQ(c.client->write(&length, 4, true), 4);
    uint32_t received = 0;
    DWORD count = 0;
    ASSERT_TRUE(::ReadFile(c.server.get(), &received, 4, &count, nullptr));
    EXPECT_EQ(received, 31u);

    serverWrite(c.server.get(), "abcd", 4);
    char buffer[4] = {};
    EXPECT_EQ(c.client->read(buffer, 4, true), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_TRUE(c.client->idle());
    EXPECT_FALSE(c.client->finished());
}

TEST(OverlappedPipe, PeerGoneBeforeAReadIsAQuietEnd) {
    Connection c;
    c.server.reset();
    uint32_t value = 0;
    EXPECT_EQ(c.client->read(&value, 4, true), 0);
    EXPECT_TRUE(c.client->finished());
    // Finished for good: writes return at once too.
    EXPECT_EQ(c.client->write(&value, 4, true), 0);
}

TEST(OverlappedPipe, PeerGoneWhileAReadIsOutstanding) {
    Connection c;
    uint32_t value = 0;
    EXPECT_EQ(c.client->beginRead(&value, 4, true), 0);
    ASSERT_FALSE(c.client->idle());
    c.server.reset();
    const vexception e = caught([&] { c.client->complete(nullptr, INFINITE, true); });
    EXPECT_EQ(e.message(), L"Completed only 0 of 4 bytes");
    expectLocation(e, "Con::OverlappedPipe::internalComplete", 392);
    EXPECT_TRUE(c.client->finished());
    EXPECT_TRUE(c.client->idle());
}

TEST(OverlappedPipe, WriteToAPipeWhoseServerWentAwayFinishesIt) {
    Connection c;
    c.server.reset();
    const uint32_t value = 1;
    EXPECT_EQ(c.client->write(&value, 4, true), 0);
    EXPECT_TRUE(c.client->finished());
}

TEST(OverlappedPipe, MessageLongerThanTheReadIsAnError) {
    Connection c;
    serverWrite(c.server.get(), "12345678", 8);
    uint32_t value = 0;
    try {
        c.client->read(&value, 4, true);
        FAIL() << "no exception";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), static_cast<uint32_t>(ERROR_MORE_DATA));
        ASSERT_EQ(e.locations().size(), 1u);
        const std::string function = e.locations()[0].function;
        EXPECT_TRUE(function == "Con::OverlappedPipe::beginRead" ||
                    function == "Con::OverlappedPipe::internalComplete")
            << function;
    }
    EXPECT_FALSE(c.client->finished());
}

TEST(OverlappedPipe, BeginAndCompleteMustAlternate) {
    Connection c;
    const vexception idle = caught([&] { c.client->complete(nullptr, 0, true); });
    EXPECT_EQ(idle.message(), L"Previous request has completed!");
    expectLocation(idle, "Con::OverlappedPipe::complete", 401);

    uint32_t value = 0;
    c.client->beginRead(&value, 4, true);
    ASSERT_FALSE(c.client->idle());
    const vexception twice = caught([&] { c.client->beginRead(&value, 4, true); });
    EXPECT_EQ(twice.message(), L"Previous request has not completed!");
    expectLocation(twice, "Con::OverlappedPipe::beginRead", 293);
    const vexception writeTwice = caught([&] { c.client->beginWrite(&value, 4, true); });
    expectLocation(writeTwice, "Con::OverlappedPipe::beginWrite", 337);

    serverWrite(c.server.get(), "wxyz", 4);
    EXPECT_EQ(c.client->complete(nullptr, INFINITE, true), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&value), 4), "wxyz");
}

TEST(OverlappedPipe, CancelAndTimeOutLeaveThePipeReusable) {
    Connection c;
    base::ScopedHandle cancel(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    char buffer[4] = {};

    // Time-out: nothing arrives.
    c.client->beginRead(buffer, 4, true);
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(c.client->complete(cancel.get(), 100, true), 0);
    EXPECT_GE(::GetTickCount() - start, 90u);
    EXPECT_TRUE(c.client->idle());

    // Cancel handle signalled while pending.
    c.client->beginRead(buffer, 4, true);
    ::SetEvent(cancel.get());
    EXPECT_EQ(c.client->complete(cancel.get(), INFINITE, true), 0);
    EXPECT_TRUE(c.client->idle());

    // Both signalled: the transfer wins and is collected.
    ::ResetEvent(cancel.get());
    ASSERT_EQ(c.client->beginRead(buffer, 4, true), 0);
    serverWrite(c.server.get(), "done", 4);
    ::SetEvent(cancel.get());
    EXPECT_EQ(c.client->complete(cancel.get(), INFINITE, true), 4);
    EXPECT_EQ(std::string(buffer, 4), "done");
    EXPECT_FALSE(c.client->finished());
}

// Two objects on one handle would close it twice: a second object is made only by clone, on a
// duplicate of the handle.
static_assert(!std::is_copy_constructible<Con::Pipe>::value &&
                  !std::is_copy_assignable<Con::Pipe>::value,
              "blocking pipes are cloned, not copied");
static_assert(!std::is_copy_constructible<Con::OverlappedPipe>::value &&
                  !std::is_move_constructible<Con::OverlappedPipe>::value &&
                  !std::is_copy_assignable<Con::OverlappedPipe>::value &&
                  !std::is_move_assignable<Con::OverlappedPipe>::value,
              "the system holds the address of an overlapped pipe's record");
static_assert(!std::is_copy_constructible<Con::Overlapped>::value &&
                  !std::is_move_constructible<Con::Overlapped>::value,
              "the system holds the address of the record");
static_assert(std::is_same<decltype(std::declval<Con::ClientOverlappedPipe&>().clone()),
                           std::unique_ptr<Con::OverlappedPipe>>::value,
              "a client pipe clones to an overlapped pipe");

TEST(OverlappedPipe, CloseFinishesAndClonesAreOverlappedPipes) {
    Connection c;
    std::unique_ptr<Con::OverlappedPipe> copy = c.client->clone();
    ASSERT_TRUE(copy->isOpen());
    EXPECT_TRUE(copy->idle());
    EXPECT_NE(copy->handle(), c.client->handle());

    // The duplicate reaches the same server end.
    serverWrite(c.server.get(), "dupe", 4);
    char buffer[4] = {};
    EXPECT_EQ(copy->read(buffer, 4, true), 4);

    c.client->close();
    EXPECT_FALSE(c.client->isOpen());
    EXPECT_TRUE(c.client->finished());
    EXPECT_EQ(c.client->read(buffer, 4, true), 0);
    EXPECT_TRUE(copy->isOpen());
}

TEST(BlockingPipe, ExactReadsWritesAndEndOfData) {
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    Con::Pipe reader(readEnd);
    Con::Pipe writer(writeEnd);

    EXPECT_EQ(writer.write("abc", 3, true), 3);
    char buffer[4] = {};
    const vexception shortRead = caught([&] { reader.read(buffer, 4, true); });
    EXPECT_EQ(shortRead.message(), L"Completed only 3 of 4 bytes");
    expectLocation(shortRead, "Con::Pipe::read", 92);

    EXPECT_EQ(writer.write("xy", 2, false), 2);
    EXPECT_EQ(reader.read(buffer, 4, false), 2);

    std::unique_ptr<Con::Pipe> copy = writer.clone();
    EXPECT_NE(copy->handle(), writer.handle());
    writer.close();
    EXPECT_TRUE(writer.finished());
    copy.reset();
    EXPECT_EQ(reader.read(buffer, 4, true), 0);
    EXPECT_TRUE(reader.finished());

    // Writing into a pipe nobody reads any more.
    HANDLE r2 = nullptr;
    HANDLE w2 = nullptr;
    ASSERT_TRUE(::CreatePipe(&r2, &w2, nullptr, 0));
    ::CloseHandle(r2);
    Con::Pipe orphan(w2);
    EXPECT_EQ(orphan.write("abc", 3, true), 0);
    EXPECT_TRUE(orphan.finished());
}

TEST(ClientOverlappedPipeCreate, NoServerFailsAtOnceWithCode2) {
    Con::test_hooks::resetConnectTryCount();
    const std::wstring path = pipePath(uniqueName(L"zra.absent"));
    const DWORD start = ::GetTickCount();
    try {
        Con::ClientOverlappedPipe::create(path, kAccess, PIPE_READMODE_MESSAGE, 5);
        FAIL() << "no exception";
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(e.code(), 2u);
        const std::wstring context = L"Unable to connect to pipe " + path;
        EXPECT_EQ(e.message(), osErrorMessage(2, &context));
        expectLocation(e, "Con::ClientOverlappedPipe::create", 503);
    }
    EXPECT_LT(::GetTickCount() - start, 500u);
}

TEST(ClientOverlappedPipeCreate, SetsMessageReadMode) {
    Connection c;
    DWORD state = 0;
    ASSERT_TRUE(::GetNamedPipeHandleStateW(c.client->handle(), &state, nullptr, nullptr, nullptr,
                                           nullptr, 0));
    EXPECT_TRUE(state & PIPE_READMODE_MESSAGE);
}

TEST_F(ConnectTryCount, CachedAndReReadEverySixteenCalls) {
    EXPECT_EQ(Con::connectTryCount(5), 5); // absent: the default
    key.setDword(L"PipeConnectTryCount", 3);
    for (int call = 2; call <= 16; ++call)
        EXPECT_EQ(Con::connectTryCount(5), 5) << call;
    EXPECT_EQ(Con::connectTryCount(5), 3); // the 17th call reads again
    key.remove(L"PipeConnectTryCount");
    for (int call = 18; call <= 32; ++call)
        EXPECT_EQ(Con::connectTryCount(5), 3) << call;
    EXPECT_EQ(Con::connectTryCount(5), 3); // a missing value leaves the cache as it was
    key.setDword(L"PipeConnectTryCount", 0);
    for (int call = 34; call <= 48; ++call)
        EXPECT_EQ(Con::connectTryCount(5), 3) << call;
    EXPECT_EQ(Con::connectTryCount(7), 7); // 0 means the caller's default
}

TEST_F(ConnectTryCount, WrongTypeStopsReadingForGood) {
    key.setString(L"PipeConnectTryCount", L"3");
    EXPECT_EQ(Con::connectTryCount(5), 5);
    key.setDword(L"PipeConnectTryCount", 2);
    for (int call = 0; call < 40; ++call)
        EXPECT_EQ(Con::connectTryCount(5), 5);
}

// A count whose signed reading is negative would make no attempt at all, not even on a free
// instance: such a count is absurd and the caller's default applies.
TEST_F(ConnectTryCount, NegativeCountFallsBackToTheDefault) {
    for (const DWORD count : {0xFFFFFFFFu, 0x80000000u}) {
        SCOPED_TRACE(count);
        Con::test_hooks::setConnectTryCountKey(key.path());
        key.setDword(L"PipeConnectTryCount", count);
        EXPECT_EQ(Con::connectTryCount(5), 5);
        const std::wstring path = pipePath(uniqueName(L"zra.free"));
        base::ScopedFileHandle server = serverInstance(path, 1);
        base::ScopedFileHandle client =
            Con::ClientOverlappedPipe::create(path, kAccess, PIPE_READMODE_MESSAGE, 5);
        EXPECT_TRUE(client);
    }
}

TEST_F(ConnectTryCount, BusyServerIsTriedTheConfiguredNumberOfTimes) {
    const BusyPipe busy(L"zra.busy");
    ASSERT_TRUE(busy.occupant);
    const std::wstring& path = busy.path;

    auto attemptFor = [&](int defaultAttempts) {
        const DWORD start = ::GetTickCount();
        const vexception e = caught([&] {
            Con::ClientOverlappedPipe::create(path, kAccess, PIPE_READMODE_MESSAGE,
                                              defaultAttempts);
        });
        EXPECT_EQ(e.message(), L"Unable to connect to pipe " + path);
        expectLocation(e, "Con::ClientOverlappedPipe::create", 509);
        return ::GetTickCount() - start;
    };

    // Absent: the default of 2. Each attempt waits about a second for a free instance.
    const DWORD twoAttempts = attemptFor(2);
    EXPECT_GE(twoAttempts, 1800u);
    EXPECT_LT(twoAttempts, 2900u);

    // Re-read on the 17th call: 3 attempts from then on.
    key.setDword(L"PipeConnectTryCount", 3);
    for (int call = 2; call <= 16; ++call)
        Con::connectTryCount(1);
    const DWORD threeAttempts = attemptFor(2);
    EXPECT_GE(threeAttempts, 2800u);
    EXPECT_LT(threeAttempts, 3900u);
}

TEST_F(ConnectTryCount, BusyServerThatFreesUpIsJoined) {
    const std::wstring path = pipePath(uniqueName(L"zra.frees"));
    base::ScopedFileHandle first = serverInstance(path, 2);
    base::ScopedFileHandle occupant(::CreateFileW(path.c_str(), kAccess, 0, nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_TRUE(occupant);
    base::ScopedFileHandle second;
    std::thread release([&] {
        ::Sleep(300);
        second = serverInstance(path, 2);
    });
    const DWORD start = ::GetTickCount();
    base::ScopedFileHandle handle;
    EXPECT_NO_THROW(handle =
                        Con::ClientOverlappedPipe::create(path, kAccess, PIPE_READMODE_MESSAGE, 5));
    release.join();
    EXPECT_TRUE(handle);
    EXPECT_LT(::GetTickCount() - start, 2500u);
}

namespace {

// A message the peer announced at one size and sent at another, read in growing steps.
enum class Outcome { Whole, Short, Overlong };

struct AnnouncedCase {
    const char* name;
    uint32_t announced;
    uint32_t sent;
    Outcome outcome;
};

const AnnouncedCase kAnnouncedCases[] = {
    {"small", 5, 5, Outcome::Whole},
    {"exactly the first step", 4096, 4096, Outcome::Whole},
    {"one past the first step", 4097, 4097, Outcome::Whole},
    {"many steps", 70000, 70000, Outcome::Whole},
    {"short within the first step", 10, 3, Outcome::Short},
    {"huge claim, few bytes", 0x20000000, 11, Outcome::Short},
    {"short after several steps", 20000, 9000, Outcome::Short},
    {"one byte too many", 8, 9, Outcome::Overlong},
    {"too many after several steps", 9000, 9001, Outcome::Overlong},
};

Bytes pattern(uint32_t size) {
    Bytes bytes(size);
    for (uint32_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return bytes;
}

// The client end of a connection opened for blocking transfers in message read mode.
std::unique_ptr<Con::Pipe> blockingClient(const std::wstring& path) {
    HANDLE handle = ::CreateFileW(path.c_str(), kAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(handle, &mode, nullptr, nullptr);
    return std::make_unique<Con::Pipe>(handle);
}

void readAnnouncedCase(const AnnouncedCase& tc, bool overlapped) {
    SCOPED_TRACE(std::string(tc.name) + (overlapped ? " (overlapped)" : " (blocking)"));
    Connection c;
    std::unique_ptr<Con::Pipe> blocking;
    if (!overlapped) {
        c.client.reset();
        c.path = pipePath(uniqueName(L"zra.blocking"));
        c.server = serverInstance(c.path);
        blocking = blockingClient(c.path);
        ASSERT_TRUE(blocking->isOpen());
        acceptClient(c.server.get());
    }
    const Con::PipeEnd* client =
        overlapped ? static_cast<const Con::PipeEnd*>(c.client.get()) : blocking.get();
    const auto readAnnounced = [&](uint32_t size, const Con::PipeEnd::Reserve& reserve) {
        return overlapped ? c.client->readAnnounced(size, reserve)
                          : blocking->readAnnounced(size, reserve);
    };
    const Bytes sent = pattern(tc.sent);
    // Messages larger than the pipe's buffer complete only as the client reads them.
    std::thread writer([&] {
        DWORD count = 0;
        ::WriteFile(c.server.get(), sent.data(), tc.sent, &count, nullptr);
    });

    vserializer storage;
    uint32_t largest = 0;
    const Con::Pipe::Reserve reserve = [&](uint32_t capacity) {
        largest = std::max(largest, capacity);
        return storage.reserve(capacity);
    };
    switch (tc.outcome) {
    case Outcome::Whole:
        EXPECT_EQ(readAnnounced(tc.announced, reserve), static_cast<int>(tc.announced));
        storage.setReceived(tc.announced);
        EXPECT_TRUE(std::equal(sent.begin(), sent.end(), storage.data()));
        break;
    case Outcome::Short: {
        const vexception e = caught([&] { readAnnounced(tc.announced, reserve); });
        EXPECT_EQ(e.message(), format(L"Completed only %d of %d bytes", static_cast<int>(tc.sent),
                                      static_cast<int>(tc.announced)));
        if (overlapped)
            expectLocation(e, "Con::OverlappedPipe::internalComplete", 392);
        else
            expectLocation(e, "Con::Pipe::read", 92);
        break;
    }
    case Outcome::Overlong:
        try {
            readAnnounced(tc.announced, reserve);
            ADD_FAILURE() << "no exception";
        } catch (const vosexception& e) {
            EXPECT_EQ(e.code(), static_cast<uint32_t>(ERROR_MORE_DATA));
        }
        break;
    }
    // Memory follows what was sent, whatever was announced.
    EXPECT_LE(largest, std::max<uint32_t>(4096, 2 * tc.sent));
    EXPECT_FALSE(client->finished());
    c.client.reset();
    blocking.reset();
    writer.join();
}

} // namespace

TEST(ReadAnnounced, MemoryFollowsTheBytesThatArrive) {
    for (const AnnouncedCase& tc : kAnnouncedCases) {
        readAnnouncedCase(tc, true);
        readAnnouncedCase(tc, false);
    }
}

TEST(ReadAnnounced, PeerGoneBeforeTheMessageIsAQuietEnd) {
    Connection c;
    c.server.reset();
    vserializer storage;
    EXPECT_EQ(
        c.client->readAnnounced(64, [&](uint32_t capacity) { return storage.reserve(capacity); }),
        0);
    EXPECT_TRUE(c.client->finished());
}

TEST(OverlappedPipe, UnreadBytesCountWhatIsWaiting) {
    Connection c;
    EXPECT_EQ(c.client->unreadBytes(), 0u);
    serverWrite(c.server.get(), "ab", 2);
    serverWrite(c.server.get(), "cdef", 4);
    EXPECT_EQ(c.client->unreadBytes(), 6u);
    char buffer[2] = {};
    EXPECT_EQ(c.client->read(buffer, 2, true), 2);
    EXPECT_EQ(c.client->unreadBytes(), 4u);
    c.client->close();
    EXPECT_EQ(c.client->unreadBytes(), 0u);
}

namespace {

struct OpenCall {
    int calls = 0;
    DWORD access = 0;
    DWORD share = 0;
    bool attributes = false;
    DWORD disposition = 0;
    DWORD flags = 0;
};
OpenCall g_open;

HANDLE WINAPI recordingOpen(LPCWSTR path, DWORD access, DWORD share,
                            LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                            HANDLE templateFile) {
    ++g_open.calls;
    g_open.access = access;
    g_open.share = share;
    g_open.attributes = attributes != nullptr;
    g_open.disposition = disposition;
    g_open.flags = flags;
    return ::CreateFileW(path, access, share, attributes, disposition, flags, templateFile);
}

bool runningUnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::vector<uint8_t> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    ::GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<uint8_t> data(size);
    if (size == 0 || !::GetTokenInformation(token, kind, data.data(), size, &size))
        data.clear();
    return data;
}

} // namespace

TEST(ClientOverlappedPipeCreate, OpensForIdentificationOnly) {
    g_open = OpenCall();
    const Con::test_hooks::OpenFunction previous = Con::test_hooks::setOpenFunction(recordingOpen);
    std::unique_ptr<Connection> c;
    try {
        c = std::make_unique<Connection>();
    } catch (...) {
        Con::test_hooks::setOpenFunction(previous);
        throw;
    }
    Con::test_hooks::setOpenFunction(previous);

    EXPECT_EQ(g_open.calls, 1);
    EXPECT_EQ(g_open.access, kAccess);
    EXPECT_EQ(g_open.share, 0u);
    EXPECT_FALSE(g_open.attributes);
    EXPECT_EQ(g_open.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(g_open.flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT |
                                               SECURITY_IDENTIFICATION));

    // The service can still tell who is calling.
    const uint32_t hello = 1;
    ASSERT_EQ(c->client->write(&hello, 4, true), 4);
    uint32_t received = 0;
    DWORD count = 0;
    ASSERT_TRUE(::ReadFile(c->server.get(), &received, 4, &count, nullptr));
    ASSERT_TRUE(::ImpersonateNamedPipeClient(c->server.get()));
    base::ScopedHandle callerToken;
    const BOOL opened =
        ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, callerToken.put());
    ::RevertToSelf();
    ASSERT_TRUE(opened);
    base::ScopedHandle ownToken;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, ownToken.put()));
    const std::vector<uint8_t> caller = tokenInformation(callerToken.get(), TokenUser);
    const std::vector<uint8_t> own = tokenInformation(ownToken.get(), TokenUser);
    ASSERT_FALSE(caller.empty());
    ASSERT_FALSE(own.empty());
    EXPECT_TRUE(::EqualSid(reinterpret_cast<const TOKEN_USER*>(caller.data())->User.Sid,
                           reinterpret_cast<const TOKEN_USER*>(own.data())->User.Sid));
    const std::vector<uint8_t> level = tokenInformation(callerToken.get(), TokenImpersonationLevel);
    ASSERT_EQ(level.size(), sizeof(SECURITY_IMPERSONATION_LEVEL));
    // Wine accepts the flags without honouring them: it hands out an impersonation token.
    if (!runningUnderWine()) {
        EXPECT_EQ(*reinterpret_cast<const SECURITY_IMPERSONATION_LEVEL*>(level.data()),
                  SecurityIdentification);
    }
}

namespace {

std::atomic<int> g_apcRuns{0};

void CALLBACK countApc(ULONG_PTR) {
    ++g_apcRuns;
}

} // namespace

TEST(AlertableSleep, RunsCompletionRoutinesAndSleepsOnToTheEnd) {
    g_apcRuns = 0;
    ASSERT_TRUE(::QueueUserAPC(countApc, ::GetCurrentThread(), 0));
    ASSERT_TRUE(::QueueUserAPC(countApc, ::GetCurrentThread(), 0));
    const DWORD start = ::GetTickCount();
    Con::alertableSleep(200);
    EXPECT_EQ(g_apcRuns, 2);
    EXPECT_GE(::GetTickCount() - start, 180u);
}

TEST_F(ConnectTryCount, BusyWaitLetsQueuedCompletionRoutinesRun) {
    const BusyPipe busy(L"zra.apc");
    ASSERT_TRUE(busy.occupant);
    const std::wstring& path = busy.path;
    key.setDword(L"PipeConnectTryCount", 1);
    g_apcRuns = 0;
    ASSERT_TRUE(::QueueUserAPC(countApc, ::GetCurrentThread(), 0));
    const vexception e =
        caught([&] { Con::ClientOverlappedPipe::create(path, kAccess, PIPE_READMODE_MESSAGE, 5); });
    expectLocation(e, "Con::ClientOverlappedPipe::create", 509);
    // Nothing else on this thread waits alertably: the routine ran in the wait between attempts.
    EXPECT_EQ(g_apcRuns, 1);
}
