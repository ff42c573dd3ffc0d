#include "base/win32.h"

#include "service/channel.h"
#include "service/tests/test_support.h"

#include "base/exception.h"
#include "base/text.h"
#include "logging/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

using servicetest::Bytes;
using servicetest::concat;
using servicetest::LogRecord;
using servicetest::ServerReply;
using servicetest::ServerRequest;
using servicetest::takeLog;
using servicetest::TempLocalMachineKey;
using servicetest::TestPipeServer;
using servicetest::u32;
using servicetest::uniqueName;
using servicetest::wideField;

namespace {

const GUID kOperation = {
    0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};

// A reply in two messages: its length, then the payload (absent for an empty payload).
ServerReply replyWith(const Bytes& payload) {
    ServerReply reply;
    reply.messages.push_back(u32(static_cast<uint32_t>(payload.size())));
    if (!payload.empty())
        reply.messages.push_back(payload);
    return reply;
}

vserializer stringBody(const std::wstring& text) {
    vserializer body;
    body.writeString(text);
    return body;
}

// The request's string argument, as the server sees it after the operation identifier.
std::wstring argumentOf(const ServerRequest& request) {
    if (request.payload.size() < 25)
        return L"<short>";
    const uint32_t length = request.payload[20] | request.payload[21] << 8;
    return std::wstring(reinterpret_cast<const wchar_t*>(&request.payload[25]), (length - 1) / 2);
}

// Replies to each request with the request's own argument turned upper case.
ServerReply echoUpper(const ServerRequest& request, size_t) {
    std::wstring text = argumentOf(request);
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towupper(c));
    return replyWith(wideField(text));
}

class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        servicetest::installLogRecorder();
        Con::test_hooks::setConnectTryCountKey(key.path());
        takeLog();
    }
    void TearDown() override { Con::test_hooks::resetConnectTryCount(); }

    std::unique_ptr<vpipechannel::client> connectTo(const std::wstring& name) {
        return std::make_unique<vpipechannel::client>(key.path(), name, true);
    }

    TempLocalMachineKey key;
    const std::wstring name = uniqueName(L"zra.channel");
};

const wchar_t* const kWarning =
    L"Connection to Varno Management Service is broken: Pipe is finished";

std::wstring infoLine(const std::wstring& error) {
    return L"Varno Management service pipe communication error: " + error +
           L". Trying to reconnect.";
}

} // namespace

TEST_F(Channel, FourTransfersOfAQuery) {
    TestPipeServer server(name, echoUpper);
    auto channel = connectTo(name);
    EXPECT_EQ(channel->pipePath(), L"\\\\.\\pipe\\" + name);

    EXPECT_EQ(channel->queryString(kOperation, stringBody(L"abc")), L"ABC");

    const std::vector<ServerRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].lengthMessage, (Bytes{0x1F, 0, 0, 0}));
    const Bytes expected = {0x10, 0x00, 0x00, 0x00, 0x3C, 0xBC, 0x3E, 0xAD, 0xB9, 0xE6, 0xCF,
                            0x4F, 0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22, 0x07, 0x00,
                            0x00, 0x00, 0x02, 0x61, 0x00, 0x62, 0x00, 0x63, 0x00};
    EXPECT_EQ(requests[0].payload, expected);

    // The connection is kept for the next query.
    EXPECT_EQ(channel->queryString(kOperation, stringBody(L"second")), L"SECOND");
    EXPECT_EQ(server.connections(), 1u);
    EXPECT_TRUE(takeLog().empty());
}

TEST_F(Channel, ReplyBufferStartsAtItsFirstByteAndKeepsTrailingBytes) {
    TestPipeServer server(name, [](const ServerRequest&, size_t) {
        return replyWith(concat({wideField(L"first"), u32(7)}));
    });
    auto channel = connectTo(name);
    std::unique_ptr<vserializer> reply = channel->query(kOperation, stringBody(L"x"));
    EXPECT_EQ(reply->position(), 0u);
    EXPECT_EQ(reply->length(), 4u + 1u + 10u + 4u);
    EXPECT_EQ(reply->readString(), L"first");
    // queryString ignores what follows the string.
    EXPECT_EQ(channel->queryString(kOperation, stringBody(L"x")), L"first");
}

TEST_F(Channel, ServiceErrorMarkerAndEmptyReply) {
    TestPipeServer server(name, [](const ServerRequest& request, size_t) {
        if (argumentOf(request) == L"empty")
            return replyWith({});
        return replyWith(servicetest::errorField(L"No value named " + argumentOf(request)));
    });
    auto channel = connectTo(name);
    try {
        channel->queryString(kOperation, stringBody(L"PANEL_VERSION"));
        FAIL() << "no exception";
    } catch (const vserializer::invalidprotocol&) {
        FAIL() << "the service's error is not a protocol error";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"No value named PANEL_VERSION");
    }

    std::unique_ptr<vserializer> empty = channel->query(kOperation, stringBody(L"empty"));
    EXPECT_EQ(empty->length(), 0u);
    EXPECT_EQ(empty->data(), nullptr);
    try {
        channel->queryString(kOperation, stringBody(L"empty"));
        FAIL() << "no exception";
    } catch (const vserializer::invalidprotocol& e) {
        EXPECT_EQ(e.message(), L"Unexpected end of data when read from serializer.");
    }
    // A well-formed answer, even an unwelcome one, is not a transport failure: no retries.
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(server.connections(), 1u);
    EXPECT_TRUE(takeLog().empty());
}

const wchar_t kImpossibleLength[] =
    L"Invalid Protocol: the service announced a reply of 4294967295 "
    L"bytes, more than any reply can be";

TEST_F(Channel, ReplyLengthOfAllOnesFailsWithoutAReply) {
    TestPipeServer server(name, [](const ServerRequest&, size_t) {
        ServerReply reply;
        reply.messages.push_back(u32(0xFFFFFFFF));
        return reply;
    });
    auto channel = connectTo(name);
    try {
        channel->query(kOperation, stringBody(L"x"));
        FAIL() << "no exception";
    } catch (const vexception& e) {
        // A fault of the service's, not of this machine's memory.
        EXPECT_EQ(e.message(), kImpossibleLength);
    }
    // One retry on a fresh connection, then the failure passes on.
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.connections(), 2u);
    const std::vector<LogRecord> log = takeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].level, varno::logging::Info);
    EXPECT_EQ(log[0].text, infoLine(kImpossibleLength));
}

TEST_F(Channel, TransportErrorIsRetriedOnceOnAFreshConnection) {
    // The first request is dropped: the server hangs up instead of answering.
    TestPipeServer server(name, [](const ServerRequest& request, size_t index) {
        if (index == 0) {
            // Long enough for the client to be waiting for the reply when the pipe breaks.
            ::Sleep(300);
            ServerReply reply;
            reply.disconnect = true;
            return reply;
        }
        return echoUpper(request, index);
    });
    auto channel = connectTo(name);
    EXPECT_EQ(channel->queryString(kOperation, stringBody(L"retry")), L"RETRY");
    EXPECT_EQ(server.connections(), 2u);
    const std::vector<LogRecord> log = takeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].level, varno::logging::Info);
    EXPECT_EQ(log[0].text, infoLine(L"Completed only 0 of 4 bytes"));
}

TEST_F(Channel, SecondFailurePassesOnUnchanged) {
    // Length and payload in one message: the 4-byte read meets ERROR_MORE_DATA, every time.
    TestPipeServer server(name, [](const ServerRequest&, size_t) {
        ServerReply reply;
        reply.messages.push_back(concat({u32(11), wideField(L"abc")}));
        return reply;
    });
    auto channel = connectTo(name);
    try {
        channel->query(kOperation, stringBody(L"x"));
        FAIL() << "no exception";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), static_cast<uint32_t>(ERROR_MORE_DATA));
        EXPECT_EQ(e.locations().size(), 1u);
    }
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(takeLog().size(), 1u);
}

TEST_F(Channel, ServiceRestartedBetweenQueries) {
    auto first = std::make_unique<TestPipeServer>(name, echoUpper);
    auto channel = connectTo(name);
    EXPECT_EQ(channel->queryString(kOperation, stringBody(L"before")), L"BEFORE");
    first->stop();
    TestPipeServer second(name, echoUpper);

    // The dead pipe is noticed within the query, which reconnects and is answered by the new
    // instance of the service instead of failing on an empty reply.
    {
        servicetest::StdoutCapture console;
        EXPECT_EQ(channel->queryString(kOperation, stringBody(L"after")), L"AFTER");
        // Info and Warning records are not routed to the console by default.
        EXPECT_EQ(console.text(), "");
    }
    EXPECT_EQ(second.requests().size(), 1u);
    EXPECT_EQ(second.connections(), 1u);

    const std::vector<LogRecord> log = takeLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].level, varno::logging::Warning);
    EXPECT_EQ(log[0].text, kWarning);
    EXPECT_EQ(log[1].level, varno::logging::Info);
    EXPECT_EQ(log[1].text, infoLine(L"Pipe is finished"));

    // And the channel stays usable.
    EXPECT_EQ(channel->queryString(kOperation, stringBody(L"later")), L"LATER");
    EXPECT_TRUE(takeLog().empty());
}

TEST_F(Channel, ServiceStoppedForGood) {
    auto server = std::make_unique<TestPipeServer>(name, echoUpper);
    auto channel = connectTo(name);
    EXPECT_EQ(channel->queryString(kOperation, stringBody(L"once")), L"ONCE");
    server.reset();

    const std::wstring context = L"Unable to connect to pipe \\\\.\\pipe\\" + name;
    for (int query = 0; query < 2; ++query) {
        try {
            channel->queryString(kOperation, stringBody(L"again"));
            FAIL() << "no exception";
        } catch (const VFileNotFoundException& e) {
            EXPECT_EQ(e.message(), osErrorMessage(2, &context));
            ASSERT_EQ(e.locations().size(), 1u);
            EXPECT_EQ(e.locations()[0].function, "Con::ClientOverlappedPipe::create");
            EXPECT_EQ(e.locations()[0].line, 503);
        }
    }
    // First query: the finished pipe (Warning), then the reconnect attempt (Info). Second query:
    // no pipe to start from, so connecting fails first and once more on the retry.
    const std::vector<LogRecord> log = takeLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].level, varno::logging::Warning);
    EXPECT_EQ(log[1].text, infoLine(L"Pipe is finished"));
    EXPECT_EQ(log[2].text, infoLine(osErrorMessage(2, &context)));
}

TEST_F(Channel, NoServerAtConstruction) {
    try {
        connectTo(name);
        FAIL() << "no exception";
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(e.code(), 2u);
    }
    // Without connecting at once the client is simply disconnected until the first query.
    vpipechannel::client later(key.path(), name, false);
    EXPECT_EQ(later.pipe(), nullptr);
    TestPipeServer server(name, echoUpper);
    EXPECT_EQ(later.queryString(kOperation, stringBody(L"late")), L"LATE");
    EXPECT_TRUE(takeLog().empty());
}

TEST_F(Channel, BusyBeyondTheAttempts) {
    const std::wstring path = L"\\\\.\\pipe\\" + name;
    base::ScopedFileHandle only(::CreateNamedPipeW(
        path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
        4096, 4096, 0, nullptr));
    base::ScopedFileHandle occupant(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(occupant);
    key.setDword(L"PipeConnectTryCount", 1);
    try {
        connectTo(name);
        FAIL() << "no exception";
    } catch (const vosexception&) {
        FAIL() << "busy is not an OS error";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"Unable to connect to pipe " + path);
        ASSERT_EQ(e.locations().size(), 1u);
        EXPECT_EQ(e.locations()[0].line, 509);
    }
}

TEST_F(Channel, PipeNameOverriddenInTheRegistry) {
    const std::wstring renamed = uniqueName(L"zra.renamed");
    key.setString(name.c_str(), renamed);
    TestPipeServer server(renamed, echoUpper);
    auto channel = connectTo(name);
    EXPECT_EQ(channel->pipePath(), L"\\\\.\\pipe\\" + renamed);
    EXPECT_EQ(channel->queryString(kOperation, stringBody(L"r")), L"R");

    // A value of another type is a configuration error, raised where the path is needed.
    key.setDword(name.c_str(), 7);
    try {
        channel->pipePath();
        FAIL() << "no exception";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(),
                  L"RegQueryValueEx invalid type of '" + key.path() + L"\\" + name + L"'");
    }
    try {
        connectTo(name);
        FAIL() << "no exception";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message().find(L"RegQueryValueEx invalid type of '"), 0u);
    }

    // The connected channel meets it only when it has to reconnect, and then gives up at once.
    takeLog();
    server.stop();
    try {
        channel->queryString(kOperation, stringBody(L"r"));
        FAIL() << "no exception";
    } catch (const vosexception&) {
        FAIL() << "the configuration error, not a pipe error, was expected";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(),
                  L"RegQueryValueEx invalid type of '" + key.path() + L"\\" + name + L"'");
    }
    const std::vector<LogRecord> log = takeLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().level, varno::logging::Info);
    EXPECT_EQ(log.back().text, infoLine(L"Pipe is finished"));
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(Channel, ConcurrentQueriesEachGetTheirOwnReply) {
    TestPipeServer server(name, echoUpper);
    auto channel = connectTo(name);
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const std::wstring word = L"t" + std::to_wstring(t) + L"q" + std::to_wstring(i);
                std::wstring expected = word;
                for (wchar_t& c : expected)
                    c = static_cast<wchar_t>(towupper(c));
                if (channel->queryString(kOperation, stringBody(word)) != expected)
                    ++mismatches;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(server.requests().size(), 100u);
}

namespace {

// How the scripted service misbehaves around a reply.
enum class Quirk {
    None,
    ExtraBefore, // a stray 2-byte message ahead of the reply
    ExtraAfter,  // a stray 2-byte message after the reply
    HugeLength,  // a length of 0x20000000 followed by the short payload
};

ServerReply quirkyReply(const std::wstring& answer, Quirk quirk) {
    const Bytes payload = wideField(answer);
    const Bytes stray = {0xEE, 0xEE};
    ServerReply reply = replyWith(payload);
    switch (quirk) {
    case Quirk::None:
        break;
    case Quirk::ExtraBefore:
        reply.messages.insert(reply.messages.begin(), stray);
        break;
    case Quirk::ExtraAfter:
        reply.messages.push_back(stray);
        break;
    case Quirk::HugeLength:
        reply.messages[0] = u32(0x20000000);
        break;
    }
    return reply;
}

std::wstring answerFor(const std::wstring& name) {
    return L"answer to " + name;
}

// The largest block and the sum of all blocks asked for by serializers while installed.
struct AllocationWatch {
    static size_t largest;
    static size_t total;
    static void observe(size_t requested, uint32_t) {
        largest = std::max(largest, requested);
        total += requested;
    }
    AllocationWatch() : previous(vserializer::setAllocationObserver(observe)) {
        largest = total = 0;
    }
    ~AllocationWatch() { vserializer::setAllocationObserver(previous); }
    vserializer::AllocationObserver previous;
};
size_t AllocationWatch::largest = 0;
size_t AllocationWatch::total = 0;

} // namespace

TEST_F(Channel, NoQueryReadsAnotherQuerysAnswer) {
    struct Step {
        const wchar_t* name;
        Quirk quirk;            // on every attempt of this query
        const wchar_t* failure; // null when the query gets its own answer
    };
    const Step steps[] = {
        {L"PANEL_VERSION", Quirk::ExtraBefore, L"Completed only 2 of 4 bytes"},
        {L"PRODUCT_VERSION", Quirk::None, nullptr},
        {L"PRODUCT_ROOT_D", Quirk::ExtraAfter, nullptr},
        {L"pwd", Quirk::None, nullptr},
        {L"HUGE", Quirk::HugeLength, L"Completed only 33 of 536870912 bytes"},
        {L"php", Quirk::None, nullptr},
    };
    TestPipeServer server(name, [&](const ServerRequest& request, size_t) {
        const std::wstring asked = argumentOf(request);
        for (const Step& step : steps)
            if (asked == step.name)
                return quirkyReply(answerFor(asked), step.quirk);
        return replyWith(servicetest::errorField(L"unknown " + asked));
    });
    auto channel = connectTo(name);
    for (const Step& step : steps) {
        SCOPED_TRACE(std::wstring(step.name));
        AllocationWatch watch;
        try {
            const std::wstring answer = channel->queryString(kOperation, stringBody(step.name));
            EXPECT_EQ(step.failure, nullptr) << "answered " << cstr(answer, CP_UTF8);
            EXPECT_EQ(answer, answerFor(step.name));
        } catch (const vexception& e) {
            ASSERT_NE(step.failure, nullptr) << cstr(e.fullText(), CP_UTF8);
            EXPECT_EQ(e.message(), step.failure);
            // What the failed exchange left in the pipe goes with its connection.
            EXPECT_EQ(channel->pipe(), nullptr);
        }
        // Memory follows the bytes that came, not the length announced: kilobytes even for HUGE,
        // over both of its attempts.
        EXPECT_LT(AllocationWatch::total, 64u * 1024);
    }
}

TEST_F(Channel, UnreadBytesBeforeARequestMeanANewConnection) {
    TestPipeServer server(name, [](const ServerRequest& request, size_t index) {
        return quirkyReply(answerFor(argumentOf(request)),
                           index == 0 ? Quirk::ExtraAfter : Quirk::None);
    });
    auto channel = connectTo(name);
    EXPECT_EQ(channel->queryString(kOperation, stringBody(L"first")), answerFor(L"first"));
    const DWORD start = ::GetTickCount();
    while (channel->pipe()->unreadBytes() == 0 && ::GetTickCount() - start < 5000)
        ::Sleep(5);
    ASSERT_EQ(channel->pipe()->unreadBytes(), 2u);

    EXPECT_EQ(channel->queryString(kOperation, stringBody(L"second")), answerFor(L"second"));
    // The request went out once, on a fresh connection; nothing failed, so nothing was logged.
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.connections(), 2u);
    EXPECT_TRUE(takeLog().empty());
}
