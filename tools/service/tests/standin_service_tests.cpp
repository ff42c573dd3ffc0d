// The stand-in service is started as a child process and talked to with raw message-mode pipe
// code written here; expected replies are spelled out byte by byte, not produced by the tool's
// own encoder.
#include "base/scoped_handle.h"
#include "base/win32.h"
#include "tools/testing/standin_service.h"
#include "tools/testing/temp.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using base::ScopedFileHandle;
using base::ScopedHandle;
using Bytes = std::string;
using Messages = std::vector<Bytes>;

const Bytes kGetString("\x3C\xBC\x3E\xAD\xB9\xE6\xCF\x4F\xAB\xB9\xED\x1B\x3D\x52\x4F\x22", 16);
const Bytes kGetPassword("\x07\xA6\xA1\x50\xB9\x50\xB3\x4D\x92\xEC\xB9\x40\xEB\x87\xF8\xFF", 16);
const Bytes kComponentInfo("\xAA\x58\x3B\x94\xDE\x49\xA5\x47\xAA\x59\x0E\x01\x0A\x48\xC3\x41", 16);
// The reply to getString of a value "abc": the example of the wire format.
const Bytes kAbc("\x07\x00\x00\x00\x02\x61\x00\x62\x00\x63\x00", 11);

Bytes u32(uint32_t v) {
    return Bytes{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                 static_cast<char>(v >> 24)};
}

Bytes str16(const std::wstring& text) {
    Bytes out = u32(static_cast<uint32_t>(1 + 2 * text.size())) + '\x02';
    for (wchar_t c : text)
        out += Bytes{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return out;
}

Bytes errorReply(const std::wstring& message) {
    return u32(0xFFFFFFFF) + str16(message);
}

Bytes request(const Bytes& operation, const std::wstring& name) {
    return u32(16) + operation + str16(name);
}

Bytes componentRequest(const std::wstring& name, uint32_t selector) {
    return request(kComponentInfo, name) + u32(4) + u32(selector);
}

// The normal answer: the length as a message of its own, then the payload.
Messages answer(const Bytes& payload) {
    return {u32(static_cast<uint32_t>(payload.size())), payload};
}

std::wstring widen(const std::string& text) {
    std::wstring out(text.size() * 2 + 1, L'\0');
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        &out[0], static_cast<int>(out.size()));
    out.resize(n);
    return out;
}

std::string narrow(const std::wstring& text) {
    std::string out(text.size() * 4 + 1, '\0');
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        &out[0], static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n);
    return out;
}

std::wstring servicePath() {
    std::wstring path = widen(ZRA_STANDIN_SERVICE_EXE);
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

std::wstring tempPath(const std::wstring& leaf) {
    return zra_testing::tempPath() + L"zra-standin-" + std::to_wstring(::GetCurrentProcessId()) +
           L"-" + leaf;
}

void writeFile(const std::wstring& path, const std::string& text) {
    std::ofstream(path.c_str(), std::ios::binary) << text;
}

std::string readFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

zra_testing::StandinService::Options serviceOptions(bool nulInput) {
    zra_testing::StandinService::Options options;
    options.nulInput = nulInput;
    // The cases wait for "ready" themselves, or for the service's complaint.
    options.waitReady = false;
    options.stopTimeoutMs = 5000;
    return options;
}

// A running stand-in with its standard handles on pipes held by the test.
class Service : public zra_testing::StandinService {
public:
    // nulInput: the service's standard input is NUL instead of a pipe held by the test.
    explicit Service(std::vector<std::wstring> args, bool ownPipe = true, bool nulInput = false)
        : Service(zra_testing::uniqueName(L"zra-standin-test"), std::move(args), ownPipe,
                  nulInput) {}
    ~Service() {
        stop();
        if (!stoppedCleanly())
            ADD_FAILURE() << "the service did not stop when its input closed";
    }

    std::wstring pipeName;
    std::wstring pipePath;

private:
    Service(const std::wstring& name, std::vector<std::wstring> args, bool ownPipe, bool nulInput)
        : zra_testing::StandinService(servicePath(), withPipe(name, std::move(args), ownPipe),
                                      serviceOptions(nulInput)),
          pipeName(name), pipePath(L"\\\\.\\pipe\\" + name) {}

    static std::vector<std::wstring> withPipe(const std::wstring& name,
                                              std::vector<std::wstring> args, bool ownPipe) {
        if (ownPipe)
            args.insert(args.begin(), {L"--pipe", name});
        return args;
    }
};

// A message-mode client with time-outs on every transfer, so a misbehaving service fails a test
// instead of hanging it.
class Client {
public:
    explicit Client(const std::wstring& path) {
        pipe_.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        openError = pipe_ ? 0 : ::GetLastError();
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (pipe_ && !::SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr))
            openError = ::GetLastError();
        event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }

    bool connected() const { return openError == 0; }
    void close() { pipe_.reset(); }

    DWORD write(const Bytes& bytes, DWORD ms = 5000) {
        DWORD count = 0;
        return transfer(false, const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()),
                        count, ms);
    }

    struct Read {
        DWORD error;
        Bytes data;
    };
    Read read(DWORD size = 65536, DWORD ms = 5000) {
        Bytes buffer(size, '\0');
        DWORD count = 0;
        const DWORD error = transfer(true, &buffer[0], size, count, ms);
        buffer.resize(count);
        return {error, buffer};
    }

    // One exchange the way the real client frames it; returns the reply messages as they came.
    Messages exchange(const Bytes& payload) {
        Messages out;
        if (write(u32(static_cast<uint32_t>(payload.size()))) != 0 || write(payload) != 0)
            return {"write failed"};
        Read length = read();
        if (length.error != 0)
            return {"read failed " + std::to_string(length.error)};
        out.push_back(length.data);
        if (length.data.size() == 4 && length.data != u32(0)) {
            Read rest = read();
            if (rest.error != 0)
                return {"read failed " + std::to_string(rest.error)};
            out.push_back(rest.data);
        }
        return out;
    }

    // Bytes waiting in the pipe: a correct reply leaves nothing behind.
    DWORD pending() {
        DWORD available = 0;
        ::PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, nullptr);
        return available;
    }

    DWORD openError = 0;

private:
    DWORD transfer(bool reading, char* buffer, DWORD size, DWORD& count, DWORD ms) {
        OVERLAPPED ov = {};
        ov.hEvent = event_.get();
        ::ResetEvent(ov.hEvent);
        const BOOL ok = reading ? ::ReadFile(pipe_.get(), buffer, size, nullptr, &ov)
                                : ::WriteFile(pipe_.get(), buffer, size, nullptr, &ov);
        if (!ok && ::GetLastError() != ERROR_IO_PENDING) {
            const DWORD error = ::GetLastError();
            ::GetOverlappedResult(pipe_.get(), &ov, &count, FALSE);
            return error;
        }
        if (::WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0) {
            ::CancelIo(pipe_.get());
            ::GetOverlappedResult(pipe_.get(), &ov, &count, TRUE);
            return WAIT_TIMEOUT;
        }
        if (!::GetOverlappedResult(pipe_.get(), &ov, &count, FALSE))
            return ::GetLastError();
        return 0;
    }

    ScopedFileHandle pipe_;
    ScopedHandle event_;
};

class ConfigFile {
public:
    explicit ConfigFile(const std::string& text) : path(tempPath(L"config.txt")) {
        writeFile(path, text);
    }
    ~ConfigFile() { ::DeleteFileW(path.c_str()); }
    std::wstring path;
};

TEST(StandinAnswers, EachOperationByteExact) {
    ConfigFile config("# answers\n"
                      "value V=abc\r\n"
                      "value EMPTY=\n"
                      "value WIDE=\xC3\xBC\xE2\x82\xAC\n"
                      "secret pwd=p w\n"
                      "component php 2=C:\\php\n");
    Service service({L"--config", config.path, L"--log", L"-"});
    ASSERT_TRUE(service.ready());
    Client client(service.pipePath);
    ASSERT_TRUE(client.connected()) << client.openError;

    EXPECT_EQ(client.exchange(request(kGetString, L"V")), answer(kAbc));
    EXPECT_EQ(client.exchange(request(kGetString, L"EMPTY")), answer(Bytes("\x01\0\0\0\x02", 5)));
    EXPECT_EQ(client.exchange(request(kGetString, L"WIDE")),
              answer(Bytes("\x05\0\0\0\x02\xFC\x00\xAC\x20", 9)));
    EXPECT_EQ(client.exchange(request(kGetPassword, L"pwd")), answer(str16(L"p w")));
    EXPECT_EQ(client.exchange(componentRequest(L"php", 2)), answer(str16(L"C:\\php")));
    // Not installed, or asked with another selector: an empty answer, not an error.
    EXPECT_EQ(client.exchange(componentRequest(L"perl", 2)), answer(str16(L"")));
    EXPECT_EQ(client.exchange(componentRequest(L"php", 1)), answer(str16(L"")));
    // Names are matched exactly; a secret is not a value.
    EXPECT_EQ(client.exchange(request(kGetString, L"v")), answer(errorReply(L"Unknown value 'v'")));
    EXPECT_EQ(client.exchange(request(kGetString, L"pwd")),
              answer(errorReply(L"Unknown value 'pwd'")));
    EXPECT_EQ(client.exchange(request(kGetPassword, L"V")),
              answer(errorReply(L"Unknown secret 'V'")));
    const Bytes other("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10", 16);
    EXPECT_EQ(client.exchange(request(other, L"V")),
              answer(errorReply(L"Unknown operation {04030201-0605-0807-090A-0B0C0D0E0F10}")));
    EXPECT_EQ(client.pending(), 0u);

    // Log lines go out before each reply; the last one tells that all have arrived.
    ASSERT_TRUE(service.waitFor(L"request unknown {04030201-0605-0807-090A-0B0C0D0E0F10}"));
    EXPECT_EQ(service.lines(L"request "),
              (std::vector<std::wstring>{
                  L"request getString V", L"request getString EMPTY", L"request getString WIDE",
                  L"request getPassword pwd", L"request componentInfo php 2",
                  L"request componentInfo perl 2", L"request componentInfo php 1",
                  L"request getString v", L"request getString pwd", L"request getPassword V",
                  L"request unknown {04030201-0605-0807-090A-0B0C0D0E0F10}"}));
}

TEST(StandinAnswers, DefaultConfigurationServesTheLauncherNames) {
    {
        Service service({L"--root", L"C:\\zra\\root\\"});
        ASSERT_TRUE(service.ready());
        Client client(service.pipePath);
        EXPECT_EQ(client.exchange(request(kGetString, L"PRODUCT_ROOT_D")),
                  answer(str16(L"C:\\zra\\root")));
        EXPECT_EQ(client.exchange(componentRequest(L"php", 2)),
                  answer(str16(L"C:\\zra\\root\\admin\\bin")));
        EXPECT_EQ(client.exchange(componentRequest(L"python", 2)),
                  answer(str16(L"C:\\zra\\root\\python")));
        EXPECT_EQ(client.exchange(request(kGetPassword, L"pwd")),
                  answer(str16(L"zra-standin-pwd")));
        const Messages version = client.exchange(request(kGetString, L"PANEL_VERSION"));
        ASSERT_EQ(version.size(), 2u);
        EXPECT_EQ(version[1].substr(4, 1), "\x02");
        EXPECT_EQ(client.exchange(request(kGetString, L"PRODUCT_VERSION")), version);
    }
    {
        // Without --root, the product root is the directory the tool itself lives in.
        Service service({});
        ASSERT_TRUE(service.ready());
        Client client(service.pipePath);
        const std::wstring exe = servicePath();
        EXPECT_EQ(client.exchange(request(kGetString, L"PRODUCT_ROOT_D")),
                  answer(str16(exe.substr(0, exe.find_last_of(L'\\')))));
    }
}

TEST(StandinRequests, MalformedRequestsAreRefusedAndLogged) {
    Service service({L"--set", L"value V=abc", L"--log", L"-"});
    ASSERT_TRUE(service.ready());
    Client client(service.pipePath);
    const Bytes good = request(kGetString, L"V");

    auto refused = [&](const Bytes& length, const Bytes& payload) -> std::string {
        if (client.write(length) != 0 || (!payload.empty() && client.write(payload) != 0))
            return "write failed";
        Client::Read head = client.read();
        Client::Read body = client.read();
        if (head.data != u32(static_cast<uint32_t>(body.data.size())))
            return "bad reply length";
        if (body.data.compare(0, 4, u32(0xFFFFFFFF)) != 0)
            return "not an error marker";
        // The connection stays usable after a refused request.
        if (client.exchange(good) != answer(kAbc))
            return "connection unusable afterwards";
        return narrow(widen(body.data.substr(9)));
    };
    // The length and the payload written as one message.
    EXPECT_NE(refused(u32(static_cast<uint32_t>(good.size())) + good, ""), "");
    // A length that does not match the payload message.
    EXPECT_NE(refused(u32(static_cast<uint32_t>(good.size()) + 1), good), "");
    // An operation identifier block that is not 16 bytes.
    const Bytes shortId = u32(15) + kGetString + Bytes("\x03\0\0\0\x02V\0", 7);
    EXPECT_NE(refused(u32(static_cast<uint32_t>(shortId.size())), shortId), "");
    // The client must write names with character size 2, and whole code units.
    const Bytes size1 = u32(16) + kGetString + Bytes("\x02\0\0\0\x01V", 6);
    EXPECT_NE(refused(u32(static_cast<uint32_t>(size1.size())), size1), "");
    const Bytes odd = u32(16) + kGetString + Bytes("\x04\0\0\0\x02V\0W", 8);
    EXPECT_NE(refused(u32(static_cast<uint32_t>(odd.size())), odd), "");
    // Stray bytes after the arguments, and a selector block that is not 4 bytes.
    const Bytes extra = good + "x";
    EXPECT_NE(refused(u32(static_cast<uint32_t>(extra.size())), extra), "");
    const Bytes shortSelector = request(kComponentInfo, L"php") + u32(2) + Bytes("\x02\0", 2);
    EXPECT_NE(refused(u32(static_cast<uint32_t>(shortSelector.size())), shortSelector), "");

    ASSERT_TRUE(service.waitFor(L"request getString V", 7));
    const std::vector<std::wstring> malformed = service.lines(L"malformed ");
    ASSERT_EQ(malformed.size(), 7u);
    EXPECT_EQ(malformed[0], L"malformed request length message of 31 bytes, expected 4");
    EXPECT_EQ(malformed[1], L"malformed request payload message of 27 bytes, announced 28");
    EXPECT_EQ(malformed[2], L"malformed operation identifier block of 15 bytes, expected 16");
    EXPECT_EQ(malformed[3], L"malformed name has character size 1, expected 2");
    EXPECT_EQ(malformed[4], L"malformed name has an odd number of character bytes (3)");
    EXPECT_EQ(malformed[5], L"malformed 1 bytes after the arguments of getString");
    EXPECT_EQ(malformed[6], L"malformed selector block of 2 bytes, expected 4");
    // Refused requests are not logged as requests.
    EXPECT_EQ(service.lines(L"request ").size(), 7u);
}

TEST(StandinFaults, ShapeTheReply) {
    struct Case {
        const wchar_t* fault;
        Messages reply;
    };
    const Bytes abc = kAbc;
    const Case cases[] = {
        {L"truncate 6", {u32(6), abc.substr(0, 6)}},
        {L"truncate 0", {u32(0)}},
        {L"charsize 3", {u32(11), Bytes("\x07\0\0\0\x03", 5) + abc.substr(5)}},
        {L"narrow",
         {u32(8), Bytes("\x04\0\0\0\x01"
                        "abc",
                        8)}},
        {L"oddbyte", {u32(12), Bytes("\x08\0\0\0", 4) + abc.substr(4) + "A"}},
        {L"trailing 2", {u32(13), abc + "\xEE\xEE"}},
        {L"emptyblock", {u32(4), u32(0)}},
        {L"doubleerror", {u32(19), u32(0xFFFFFFFF) + u32(0xFFFFFFFF) + abc}},
        {L"error Service is busy", answer(errorReply(L"Service is busy"))},
        {L"badlength 3", {u32(14), abc}},
        {L"badlength -1", {u32(10), abc}},
        {L"lengthbytes 2", {Bytes("\x0B\0", 2), abc}},
        {L"lengthbytes 6", {u32(11) + Bytes(2, '\0'), abc}},
        {L"stray 2", {Bytes("\xEE\xEE", 2), u32(11), abc}},
        {L"raw 01 02 0a", {u32(3), Bytes("\x01\x02\x0A", 3)}},
        {L"raw", {u32(0)}},
        {L"combined", {u32(11) + abc}},
    };
    std::vector<std::wstring> args = {L"--config", L"NUL"};
    int n = 0;
    for (const Case& c : cases) {
        const std::wstring name = L"F" + std::to_wstring(++n);
        args.push_back(L"--set");
        args.push_back(L"value " + name + L"=abc");
        args.push_back(L"--fault");
        args.push_back(name + L" " + c.fault);
    }
    Service service(args);
    ASSERT_TRUE(service.ready()) << service.errors();
    Client client(service.pipePath);
    n = 0;
    for (const Case& c : cases) {
        const Bytes payload = request(kGetString, L"F" + std::to_wstring(++n));
        ASSERT_EQ(client.write(u32(static_cast<uint32_t>(payload.size()))), 0u);
        ASSERT_EQ(client.write(payload), 0u);
        Messages got;
        for (size_t i = 0; i < c.reply.size(); ++i)
            got.push_back(client.read().data);
        EXPECT_EQ(got, c.reply) << narrow(c.fault);
        EXPECT_EQ(client.pending(), 0u) << narrow(c.fault);
    }
}

TEST(StandinFaults, CombinedReplyDefeatsAFourByteRead) {
    Service service({L"--set", L"value V=abc", L"--fault", L"V combined"});
    ASSERT_TRUE(service.ready());
    Client client(service.pipePath);
    const Bytes payload = request(kGetString, L"V");
    ASSERT_EQ(client.write(u32(static_cast<uint32_t>(payload.size()))), 0u);
    ASSERT_EQ(client.write(payload), 0u);
    // What the real client does: read exactly 4 bytes for the length.
    const Client::Read length = client.read(4);
    EXPECT_EQ(length.error, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(length.data, u32(11));
    EXPECT_EQ(client.read().data, kAbc);
}

TEST(StandinFaults, CountsAndWildcards) {
    Service service({L"--config", L"NUL", L"--set", L"value A=abc", L"--set", L"value B=abc",
                     L"--set", L"error B=B is broken", L"--fault", L"* truncate 0"});
    // Later lines only apply where earlier ones do not: A's count-limited fault comes first.
    Service limited({L"--config", L"NUL", L"--set", L"value A=abc", L"--set",
                     L"fault:2 A error first two", L"--set", L"fault:1 * truncate 0"});
    ASSERT_TRUE(service.ready());
    ASSERT_TRUE(limited.ready());

    Client client(service.pipePath);
    EXPECT_EQ(client.exchange(request(kGetString, L"B")), answer(errorReply(L"B is broken")));
    EXPECT_EQ(client.exchange(request(kGetString, L"A")), Messages{u32(0)});
    EXPECT_EQ(client.exchange(request(kGetString, L"A")), Messages{u32(0)});

    Client other(limited.pipePath);
    EXPECT_EQ(other.exchange(request(kGetString, L"A")), answer(errorReply(L"first two")));
    EXPECT_EQ(other.exchange(request(kGetString, L"A")), answer(errorReply(L"first two")));
    EXPECT_EQ(other.exchange(request(kGetString, L"A")), Messages{u32(0)});
    EXPECT_EQ(other.exchange(request(kGetString, L"A")), answer(kAbc));
}

TEST(StandinFaults, DelayHoldsOnlyTheNamedReply) {
    Service service(
        {L"--set", L"value V=abc", L"--set", L"value W=abc", L"--fault", L"V delay 600"});
    ASSERT_TRUE(service.ready());
    Client client(service.pipePath);
    ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(client.exchange(request(kGetString, L"V")), answer(kAbc));
    EXPECT_GE(::GetTickCount64() - start, 590u);
    start = ::GetTickCount64();
    EXPECT_EQ(client.exchange(request(kGetString, L"W")), answer(kAbc));
    EXPECT_LT(::GetTickCount64() - start, 590u);
}

TEST(StandinFaults, CloseAtEachStageOfTheExchange) {
    Service service({L"--instances", L"1", L"--set", L"value V=abc", L"--set", L"value R=abc",
                     L"--set", L"value P=abc", L"--set", L"fault:1 * close connect", L"--set",
                     L"fault:1 * close request", L"--set", L"fault R close reply", L"--set",
                     L"fault P close payload", L"--log", L"-"});
    ASSERT_TRUE(service.ready());
    const Bytes payload = request(kGetString, L"R");
    {
        Client client(service.pipePath);
        ASSERT_TRUE(client.connected());
        EXPECT_EQ(client.read(4).error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    }
    ASSERT_TRUE(::WaitNamedPipeW(service.pipePath.c_str(), 2000));
    {
        Client client(service.pipePath);
        ASSERT_TRUE(client.connected());
        ASSERT_EQ(client.write(u32(static_cast<uint32_t>(payload.size()))), 0u);
        EXPECT_EQ(client.read(4).error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    }
    ASSERT_TRUE(::WaitNamedPipeW(service.pipePath.c_str(), 2000));
    {
        Client client(service.pipePath);
        ASSERT_TRUE(client.connected());
        ASSERT_EQ(client.write(u32(static_cast<uint32_t>(payload.size()))), 0u);
        ASSERT_EQ(client.write(payload), 0u);
        EXPECT_EQ(client.read(4).error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    }
    ASSERT_TRUE(::WaitNamedPipeW(service.pipePath.c_str(), 2000));
    {
        Client client(service.pipePath);
        ASSERT_TRUE(client.connected());
        // The stage faults were used up; a plain exchange works on the recreated instance.
        EXPECT_EQ(client.exchange(request(kGetString, L"V")), answer(kAbc));
        const Bytes p = request(kGetString, L"P");
        ASSERT_EQ(client.write(u32(static_cast<uint32_t>(p.size()))), 0u);
        ASSERT_EQ(client.write(p), 0u);
        const Client::Read length = client.read(4);
        EXPECT_EQ(length.error, 0u);
        EXPECT_EQ(length.data, u32(11));
        EXPECT_EQ(client.read(11).error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    }
    ASSERT_TRUE(service.waitFor(L"close payload"));
    EXPECT_EQ(service.lines(L"close "),
              (std::vector<std::wstring>{L"close connect", L"close request", L"close reply",
                                         L"close payload"}));
}

TEST(StandinInstances, ServeSeveralClientsAtOnceAndRefuseOneMore) {
    Service service({L"--instances", L"3", L"--set", L"value V=abc", L"--set", L"value W=xyz"});
    ASSERT_TRUE(service.ready());
    Client first(service.pipePath);
    Client second(service.pipePath);
    Client third(service.pipePath);
    ASSERT_TRUE(first.connected() && second.connected() && third.connected());
    Client fourth(service.pipePath);
    EXPECT_EQ(fourth.openError, static_cast<DWORD>(ERROR_PIPE_BUSY));

    // A half-sent request on one connection does not hold up another.
    const Bytes v = request(kGetString, L"V");
    ASSERT_EQ(first.write(u32(static_cast<uint32_t>(v.size()))), 0u);
    EXPECT_EQ(second.exchange(request(kGetString, L"W")), answer(str16(L"xyz")));
    ASSERT_EQ(first.write(v), 0u);
    EXPECT_EQ(first.read().data, u32(11));
    EXPECT_EQ(first.read().data, kAbc);
    EXPECT_EQ(third.exchange(v), answer(kAbc));
}

TEST(StandinBusy, HoldKeepsEveryInstanceBusyUntilReleased) {
    Service service({L"--instances", L"2", L"--busy", L"--set", L"value V=abc"});
    ASSERT_TRUE(service.ready());
    EXPECT_EQ(Client(service.pipePath).openError, static_cast<DWORD>(ERROR_PIPE_BUSY));
    EXPECT_FALSE(::WaitNamedPipeW(service.pipePath.c_str(), 300));

    service.send("release");
    ASSERT_TRUE(service.waitFor(L"ok release"));
    Client client(service.pipePath);
    ASSERT_TRUE(client.connected()) << client.openError;
    EXPECT_EQ(client.exchange(request(kGetString, L"V")), answer(kAbc));

    // Holding again takes the one instance our client does not occupy.
    service.send("hold");
    ASSERT_TRUE(service.waitFor(L"ok hold 1"));
    EXPECT_EQ(Client(service.pipePath).openError, static_cast<DWORD>(ERROR_PIPE_BUSY));
    EXPECT_EQ(client.exchange(request(kGetString, L"V")), answer(kAbc));
}

TEST(StandinBusy, TimedHoldEndsByItself) {
    Service service({L"--instances", L"1", L"--hold", L"1", L"--hold-ms", L"700"});
    ASSERT_TRUE(service.ready());
    EXPECT_EQ(Client(service.pipePath).openError, static_cast<DWORD>(ERROR_PIPE_BUSY));
    ASSERT_TRUE(service.waitFor(L"released", 1, 3000));
    ASSERT_TRUE(::WaitNamedPipeW(service.pipePath.c_str(), 2000));
    Client client(service.pipePath);
    EXPECT_TRUE(client.connected()) << client.openError;
}

TEST(StandinLifecycle, StopsOnEndOfInputCommandAndEvent) {
    {
        Service service({});
        ASSERT_TRUE(service.ready());
        service.closeInput();
        EXPECT_EQ(service.waitExit(), 0u);
        EXPECT_EQ(Client(service.pipePath).openError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    {
        Service service({});
        ASSERT_TRUE(service.ready());
        Client client(service.pipePath);
        service.send("stop");
        EXPECT_EQ(service.waitExit(), 0u);
        // A connected client sees the pipe go away.
        EXPECT_EQ(client.read(4).error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    }
    {
        const std::wstring name = L"zra-standin-stop-" + std::to_wstring(::GetCurrentProcessId());
        Service service({L"--stop-event", name});
        ASSERT_TRUE(service.ready());
        ScopedHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
        ASSERT_TRUE(event.valid());
        ::SetEvent(event.get());
        EXPECT_EQ(service.waitExit(), 0u);
    }
}

TEST(StandinLifecycle, InputThatIsNotACommandPipeDoesNotStopIt) {
    const std::wstring name = L"zra-standin-stop2-" + std::to_wstring(::GetCurrentProcessId());
    for (bool nul : {true, false}) {
        std::vector<std::wstring> args = {L"--stop-event", name, L"--set", L"value V=abc"};
        if (!nul)
            args.push_back(L"--no-stdin");
        Service service(args, true, nul);
        ASSERT_TRUE(service.ready()) << narrow(service.errors());
        service.closeInput();
        EXPECT_EQ(service.waitExit(300), static_cast<DWORD>(STILL_ACTIVE));
        EXPECT_EQ(Client(service.pipePath).exchange(request(kGetString, L"V")), answer(kAbc));
        ScopedHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
        ::SetEvent(event.get());
        EXPECT_EQ(service.waitExit(), 0u);
    }
}

TEST(StandinLifecycle, MaxExchangesKeepsTheLastReplyReadable) {
    Service service({L"--set", L"value V=abc", L"--max-exchanges", L"2"});
    ASSERT_TRUE(service.ready());
    Client client(service.pipePath);
    EXPECT_EQ(client.exchange(request(kGetString, L"V")), answer(kAbc));
    const Bytes v = request(kGetString, L"V");
    ASSERT_EQ(client.write(u32(static_cast<uint32_t>(v.size()))), 0u);
    ASSERT_EQ(client.write(v), 0u);
    // The service stops after sending; the reply it left in the pipe must not be lost.
    EXPECT_EQ(service.waitExit(), 0u);
    EXPECT_EQ(client.read().data, u32(11));
    EXPECT_EQ(client.read().data, kAbc);
    EXPECT_EQ(client.read(4).error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    client.close();
    EXPECT_EQ(Client(service.pipePath).openError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(StandinLifecycle, RestartBreaksConnectionsAndLeavesThePipeAbsentMeanwhile) {
    const std::wstring name = L"zra-standin-restart-" + std::to_wstring(::GetCurrentProcessId());
    Service service({L"--set", L"value V=abc", L"--restart-event", name, L"--down-ms", L"300"});
    ASSERT_TRUE(service.ready());
    Client before(service.pipePath);
    EXPECT_EQ(before.exchange(request(kGetString, L"V")), answer(kAbc));

    service.send("restart 800");
    EXPECT_EQ(before.read(4).error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    before.close();
    ASSERT_TRUE(service.waitFor(L"down"));
    EXPECT_EQ(Client(service.pipePath).openError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(service.waitFor(L"ready", 2));
    Client after(service.pipePath);
    EXPECT_EQ(after.exchange(request(kGetString, L"V")), answer(kAbc));

    ScopedHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    ASSERT_TRUE(event.valid());
    ::SetEvent(event.get());
    EXPECT_EQ(after.read(4).error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    ASSERT_TRUE(service.waitFor(L"ready", 3));
    EXPECT_EQ(Client(service.pipePath).exchange(request(kGetString, L"V")), answer(kAbc));
}

TEST(StandinLifecycle, RestartAfterExchangesKeepsTheReplyAndDropsTheConnection) {
    Service service({L"--set", L"value V=abc", L"--restart-after", L"1"});
    ASSERT_TRUE(service.ready());
    Client client(service.pipePath);
    EXPECT_EQ(client.exchange(request(kGetString, L"V")), answer(kAbc));
    ASSERT_TRUE(service.waitFor(L"ready", 2));
    // The client's next query writes into a dead pipe.
    EXPECT_EQ(client.write(u32(31)), static_cast<DWORD>(ERROR_NO_DATA));
    EXPECT_EQ(Client(service.pipePath).exchange(request(kGetString, L"V")), answer(kAbc));
}

TEST(StandinLifecycle, SecondServiceOnTheSameNameRefusesToStart) {
    Service first({});
    ASSERT_TRUE(first.ready());
    Service second({L"--pipe", first.pipeName}, false);
    EXPECT_EQ(second.waitExit(), 1u);
    EXPECT_NE(second.errors().find(L"another server already listens"), std::wstring::npos)
        << narrow(second.errors());
    const Client client(first.pipePath);
    EXPECT_TRUE(client.connected()) << client.openError;
}

TEST(StandinControl, CommandsChangeAnswersAndReportCounts) {
    Service service({L"--set", L"value V=abc", L"--fault", L"V truncate 0"});
    ASSERT_TRUE(service.ready());
    Client client(service.pipePath);
    EXPECT_EQ(client.exchange(request(kGetString, L"V")), Messages{u32(0)});
    service.send("clear-faults");
    ASSERT_TRUE(service.waitFor(L"ok clear-faults"));
    EXPECT_EQ(client.exchange(request(kGetString, L"V")), answer(kAbc));
    service.send("set value V=new");
    ASSERT_TRUE(service.waitFor(L"ok set"));
    EXPECT_EQ(client.exchange(request(kGetString, L"V")), answer(str16(L"new")));
    service.send("set valu V=x");
    EXPECT_TRUE(service.waitFor(L"error unknown keyword 'valu'"));
    service.send("count");
    EXPECT_TRUE(service.waitFor(L"exchanges 3"));
    service.send("frobnicate");
    EXPECT_TRUE(service.waitFor(L"error unknown command 'frobnicate'"));
}

TEST(StandinConfig, ErrorsNameTheFileAndLine) {
    ConfigFile config("value A=1\n\nvalu B=2\n");
    Service bad({L"--config", config.path});
    EXPECT_EQ(bad.waitExit(), 2u);
    EXPECT_NE(bad.errors().find(config.path + L":3: unknown keyword 'valu'"), std::wstring::npos)
        << narrow(bad.errors());

    Service badFault({L"--fault", L"V close later"});
    EXPECT_EQ(badFault.waitExit(), 2u);
    EXPECT_NE(badFault.errors().find(L"stage must be connect, request, reply or payload"),
              std::wstring::npos);
    Service badStage({L"--fault", L"V close connect"});
    EXPECT_EQ(badStage.waitExit(), 2u);
    Service missing({L"--config", tempPath(L"missing.txt")});
    EXPECT_EQ(missing.waitExit(), 2u);
}

TEST(StandinLog, FileRecordsConnectionsAndRequests) {
    const std::wstring log = tempPath(L"log.txt");
    {
        Service service({L"--log", log, L"--set", L"value V=abc"});
        ASSERT_TRUE(service.ready());
        {
            Client client(service.pipePath);
            client.exchange(request(kGetString, L"V"));
            client.exchange(componentRequest(L"php", 2));
        }
        // The disconnect is logged when the service notices it; wait for that before stopping.
        for (int i = 0; i < 200 && readFile(log).find("disconnect") == std::string::npos; ++i)
            ::Sleep(10);
        service.closeInput();
        EXPECT_EQ(service.waitExit(), 0u);
    }
    EXPECT_EQ(readFile(log), "connect\nrequest getString V\nrequest componentInfo php 2\n"
                             "disconnect\n");
    ::DeleteFileW(log.c_str());
}

} // namespace
