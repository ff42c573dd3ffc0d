#include "base/win32.h"

#include "service/client.h"
#include "service/tests/test_support.h"

#include "base/exception.h"
#include "base/se_translator.h"
#include "os/path.h"

#include <gtest/gtest.h>

#include <cstring>
#include "tools/testing/fault_codes.h"

using servicetest::Bytes;
using servicetest::ServerReply;
using servicetest::ServerRequest;
using servicetest::TestPipeServer;
using servicetest::u32;
using servicetest::wideField;

TEST(NormalizePath, Examples) {
    EXPECT_EQ(normalizePath(L"C:/Program Files//x/./y/../z/"), L"C:\\Program Files\\x\\z\\");
    EXPECT_EQ(normalizePath(L"\\\\?\\C:\\a\\..\\b"), L"\\\\?\\C:\\b");
    EXPECT_EQ(normalizePath(L"//./pipe/zrapipe"), L"\\\\.\\pipe\\zrapipe");
    EXPECT_EQ(normalizePath(L"..\\..\\a"), L"..\\..\\a");
    EXPECT_EQ(normalizePath(L"C:\\..\\x"), L"x");
    EXPECT_EQ(normalizePath(L"\\\\server\\share\\d"), L"\\server\\share\\d");
    EXPECT_EQ(normalizePath(L"/"), L"\\");
    EXPECT_EQ(normalizePath(L""), L"");
    EXPECT_EQ(normalizePath(L"a\\..\\..\\b\\."), L"..\\b");
    EXPECT_EQ(normalizePath(L"C:\\"), L"C:\\");
    EXPECT_EQ(normalizePath(L"x\\"), L"x\\");
}

// Only the pieces "." and ".." themselves are steps. Linguistic comparison would let a name that
// merely looks like them (an ignorable soft hyphen, a one-dot leader) climb out of its directory.
TEST(NormalizePath, NamesThatOnlyLookLikeDotsAreKept) {
    EXPECT_EQ(normalizePath(L"a\\..\u00AD\\b"), L"a\\..\u00AD\\b");
    EXPECT_EQ(normalizePath(L"a\\.\u00AD.\\b"), L"a\\.\u00AD.\\b");
    EXPECT_EQ(normalizePath(L"a\\\u2024\\b"), L"a\\\u2024\\b");
    EXPECT_EQ(normalizePath(L"a\\\u00AD.\\b"), L"a\\\u00AD.\\b");
}

namespace {

// The request as the management service decodes it.
struct Decoded {
    GUID operation;
    std::wstring name;
    Bytes rest;
};

Decoded decode(const ServerRequest& request) {
    Decoded d = {};
    const Bytes& p = request.payload;
    std::memcpy(&d.operation, &p[4], sizeof(GUID));
    const uint32_t length = p[20] | p[21] << 8 | p[22] << 16 | p[23] << 24;
    d.name.assign(reinterpret_cast<const wchar_t*>(&p[25]), (length - 1) / 2);
    d.rest.assign(p.begin() + 24 + length, p.end());
    return d;
}

ServerReply replyWith(const Bytes& payload) {
    ServerReply reply;
    reply.messages.push_back(u32(static_cast<uint32_t>(payload.size())));
    reply.messages.push_back(payload);
    return reply;
}

const GUID kGetString = {
    0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
const GUID kGetPassword = {
    0x50A1A607, 0x50B9, 0x4DB3, {0x92, 0xEC, 0xB9, 0x40, 0xEB, 0x87, 0xF8, 0xFF}};
const GUID kComponentInfo = {
    0x943B58AA, 0x49DE, 0x47A5, {0xAA, 0x59, 0x0E, 0x01, 0x0A, 0x48, 0xC3, 0x41}};

// A stand-in for the management service with a few values and secrets.
ServerReply managementService(const ServerRequest& request, size_t) {
    const Decoded d = decode(request);
    if (IsEqualGUID(d.operation, kGetString)) {
        if (!d.rest.empty())
            return replyWith(servicetest::errorField(L"unexpected arguments"));
        if (d.name == L"PANEL_VERSION")
            return replyWith(wideField(L"11.6.2"));
        if (d.name == L"PRODUCT_ROOT_D")
            return replyWith(wideField(L"C:/Varno//Panel/./bin/../"));
        if (d.name == L"GARBLED")
            return replyWith(Bytes{3, 0, 0, 0, 7, 0, 0});
        return replyWith(servicetest::errorField(L"Unknown value " + d.name));
    }
    if (IsEqualGUID(d.operation, kGetPassword)) {
        if (d.name == L"pwd" && d.rest.empty())
            return replyWith(wideField(L"s3cr\u00e9t"));
        return replyWith(servicetest::errorField(L"No secret"));
    }
    if (IsEqualGUID(d.operation, kComponentInfo)) {
        if (d.rest != servicetest::concat({u32(4), u32(2)}))
            return replyWith(servicetest::errorField(L"bad selector"));
        if (d.name == L"php")
            return replyWith(wideField(L"C:\\Varno\\Additional\\PHP\\"));
        if (d.name == L"perl")
            return replyWith(wideField(L""));
        return replyWith(servicetest::errorField(L"Unknown package " + d.name));
    }
    return replyWith(servicetest::errorField(L"Unknown operation"));
}

void expectLast(const vexception& e, const std::wstring& context, const char* function,
                int32_t line) {
    ASSERT_FALSE(e.locations().empty());
    const SourceLocation& last = e.locations().back();
    EXPECT_EQ(last.message, context);
    EXPECT_EQ(last.function, function);
    EXPECT_EQ(last.line, line);
}

// Runs f, which must raise, and returns what it raised; a vosexception subtype or the protocol
// type escaping is a failure: every request leaves as a plain vexception.
template <typename F> vexception plainFailure(F&& f) {
    try {
        f();
    } catch (const vosexception& e) {
        ADD_FAILURE() << "a vosexception left the request";
        return e;
    } catch (const vserializer::invalidprotocol& e) {
        ADD_FAILURE() << "the protocol type left the request";
        return e;
    } catch (const vexception& e) {
        return e;
    }
    ADD_FAILURE() << "no exception";
    return vexception(L"");
}

// An access violation in the program's own code, reached from inside a request.
__attribute__((noinline)) void faultingObserver(size_t, uint32_t) {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

size_t countRequests(TestPipeServer& server, const wchar_t* name) {
    size_t n = 0;
    for (const ServerRequest& r : server.requests())
        n += decode(r).name == name ? 1 : 0;
    return n;
}

} // namespace

// The singleton lives for the whole process, so its life is followed in one test, in order.
TEST(VarnoSrvClient, LifeOfTheSingleton) {
    Con::test_hooks::resetConnectTryCount();
    servicetest::installLogRecorder();
    servicetest::takeLog();

    // 1. The service is not running: the shared instance cannot be built.
    const vexception down = plainFailure([] { VarnoSrvClient::getInstance(); });
    const std::wstring context = L"Unable to connect to pipe \\\\.\\pipe\\zrapipe";
    EXPECT_EQ(down.message(), osErrorMessage(2, &context));
    ASSERT_EQ(down.locations().size(), 2u);
    EXPECT_EQ(down.locations()[0].function, "Con::ClientOverlappedPipe::create");
    expectLast(down, L"get shared instance of VarnoSrvClient", "VarnoSrvClient::getInstance", 327);

    // The defaulting form swallows it, silently.
    {
        servicetest::StdoutCapture console;
        EXPECT_EQ(VarnoSrvClient::getString(L"PANEL_VERSION", L""), L"");
        EXPECT_EQ(VarnoSrvClient::getString(L"PANEL_VERSION", L"none"), L"none");
        EXPECT_EQ(console.text(), "");
    }
    EXPECT_TRUE(servicetest::takeLog().empty());

    // 2. The service comes up: the next call builds the instance.
    auto service = std::make_unique<TestPipeServer>(L"zrapipe", managementService);
    VarnoSrvClient& client = VarnoSrvClient::getInstance();
    EXPECT_EQ(&VarnoSrvClient::getInstance(), &client);

    EXPECT_EQ(client.getString(L"PANEL_VERSION"), L"11.6.2");
    EXPECT_EQ(service->connections(), 1u);
    EXPECT_EQ(VarnoSrvClient::getString(L"PANEL_VERSION", L""), L"11.6.2");
    EXPECT_EQ(client.password(), L"s3cr\u00e9t");
    EXPECT_EQ(client.componentInfo(L"php", 2), L"C:\\Varno\\Additional\\PHP\\");
    EXPECT_EQ(client.componentInfo(L"perl", 2), L"");

    // 3. Failures carry the request's own location and leave as plain vexceptions.
    const vexception unknown = plainFailure([&] { client.getString(L"NOPE"); });
    EXPECT_EQ(unknown.message(), L"Unknown value NOPE");
    ASSERT_EQ(unknown.locations().size(), 1u);
    expectLast(unknown, L"getString(NOPE)", "VarnoSrvClient::getString", 234);

    const vexception garbled = plainFailure([&] { client.getString(L"GARBLED"); });
    EXPECT_EQ(garbled.message(), L"Unsupported char size when read C-string from serializer.");
    expectLast(garbled, L"getString(GARBLED)", "VarnoSrvClient::getString", 234);

    const vexception secret = plainFailure([&] { client.getPassword(L"other"); });
    EXPECT_EQ(secret.message(), L"No secret");
    expectLast(secret, L"getPassword('other')", "VarnoSrvClient::getPassword", 211);

    const vexception package = plainFailure([&] { client.componentInfo(L"ruby", 2); });
    EXPECT_EQ(package.message(), L"Unknown package ruby");
    expectLast(package, L"componentInfo for package 'ruby'", "VarnoSrvClient::componentInfo", 581);

    EXPECT_EQ(VarnoSrvClient::getString(L"NOPE", L"fallback"), L"fallback");

    // A structured exception inside a request leaves it like any other failure, and the
    // translator in force before the request is back afterwards.
    const SeTranslator before = setSeTranslator(nullptr);
    setSeTranslator(before);
    vserializer::setAllocationObserver(&faultingObserver);
    const vexception fault = plainFailure([&] { client.getString(L"PANEL_VERSION"); });
    vserializer::setAllocationObserver(nullptr);
    EXPECT_EQ(zra_test::withFaultCode(fault.message(), 0xC0000005u),
              L"C structured exception: 0xc0000005");
    expectLast(fault, L"getString(PANEL_VERSION)", "VarnoSrvClient::getString", 234);
    EXPECT_EQ(setSeTranslator(before), before);
    EXPECT_EQ(client.getString(L"PANEL_VERSION"), L"11.6.2");
    EXPECT_TRUE(servicetest::takeLog().empty());

    // 4. The product root is asked for once and kept.
    EXPECT_EQ(productRoot(), L"C:\\Varno\\Panel\\");
    EXPECT_EQ(productRoot(), L"C:\\Varno\\Panel\\");
    EXPECT_EQ(productAdminDirectory(), VFileName::combine(L"C:\\Varno\\Panel\\", L"admin"));
    EXPECT_EQ(countRequests(*service, L"PRODUCT_ROOT_D"), 1u);

    // 5. The service goes away for good: requests fail with the pipe's error and the
    // request's location; the defaulting form and the cached root do not notice.
    service.reset();
    const vexception gone = plainFailure([&] { client.getString(L"PANEL_VERSION"); });
    const std::wstring refused = L"Unable to connect to pipe \\\\.\\pipe\\zrapipe";
    EXPECT_EQ(gone.message(), osErrorMessage(2, &refused));
    expectLast(gone, L"getString(PANEL_VERSION)", "VarnoSrvClient::getString", 234);
    EXPECT_EQ(VarnoSrvClient::getString(L"PANEL_VERSION", L"old"), L"old");
    EXPECT_EQ(productRoot(), L"C:\\Varno\\Panel\\");

    // 6. It comes back: the same instance reconnects on its next request.
    TestPipeServer again(L"zrapipe", managementService);
    EXPECT_EQ(client.getString(L"PANEL_VERSION"), L"11.6.2");
    EXPECT_EQ(&VarnoSrvClient::getInstance(), &client);
}
