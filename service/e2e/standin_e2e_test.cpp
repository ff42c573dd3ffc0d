// The service client against the stand-in management service running as a separate process.
#include "base/win32.h"

#include "service/client.h"

#include "base/exception.h"
#include "base/text.h"
#include "logging/log.h"
#include "tools/testing/standin_service.h"
#include "tools/testing/temp.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

const GUID kGetString = {
    0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};

using zra_testing::uniqueName;

std::mutex g_logMutex;
std::vector<std::pair<int, std::wstring>> g_log;

class RecordingSink : public varno::logging::LogSink {
public:
    void write(int level, const vexception& e) override { add(level, e.message()); }
    void write(int level, const std::wstring& text) override { add(level, text); }

private:
    static void add(int level, const std::wstring& text) {
        std::lock_guard<std::mutex> guard(g_logMutex);
        g_log.emplace_back(level, text);
    }
};

std::vector<std::pair<int, std::wstring>> takeLog() {
    static bool installed = false;
    if (!installed) {
        varno::logging::getLogManager().addSink(std::make_unique<RecordingSink>());
        installed = true;
    }
    std::lock_guard<std::mutex> guard(g_logMutex);
    std::vector<std::pair<int, std::wstring>> out;
    out.swap(g_log);
    return out;
}

zra_testing::StandinService::Options stoppedByEvent() {
    zra_testing::StandinService::Options options;
    options.stop = zra_testing::StandinService::Options::Stop::Event;
    return options;
}

// The stand-in service as a child process, stopped through a named event at the end. It reports
// "ready" on its standard output whenever its pipe instances are (again) in place.
class Standin : public zra_testing::StandinService {
public:
    Standin(const std::wstring& pipe, std::vector<std::wstring> options)
        : StandinService(zra_testing::backslashed(ZRA_STANDIN_EXE),
                         withPipe(pipe, std::move(options)), stoppedByEvent()) {}

    // Waits for the next "ready" after those seen so far.
    void waitForReady() {
        if (!waitFor(L"ready", ++readies_, INFINITE))
            throw vexception(L"the stand-in service ended");
    }

private:
    static std::vector<std::wstring> withPipe(const std::wstring& pipe,
                                              std::vector<std::wstring> options) {
        options.insert(options.begin(), {L"--pipe", pipe, L"--root", L"C:\\Varno"});
        return options;
    }

    size_t readies_ = 1;
};

std::wstring askString(vpipechannel::client& channel, const std::wstring& name) {
    vserializer body;
    body.writeString(name);
    return channel.queryString(kGetString, body);
}

} // namespace

TEST(StandinService, FacadeEndToEnd) {
    Standin service(L"zrapipe", {});
    VarnoSrvClient& client = VarnoSrvClient::getInstance();
    EXPECT_EQ(client.password(), L"zra-standin-pwd");
    EXPECT_EQ(VarnoSrvClient::getString(L"PANEL_VERSION", L""), L"18.0.61");
    EXPECT_EQ(client.componentInfo(L"php", 2), L"C:\\Varno\\admin\\bin");
    EXPECT_EQ(productRoot(), L"C:\\Varno");
    try {
        client.getString(L"NO_SUCH_VALUE");
        ADD_FAILURE() << "no exception";
    } catch (const vexception& e) {
        ASSERT_FALSE(e.locations().empty());
        EXPECT_EQ(e.locations().back().message, L"getString(NO_SUCH_VALUE)");
        EXPECT_EQ(e.locations().back().line, 234);
    }
}

TEST(StandinService, RestartsBetweenQueriesAreRidden) {
    takeLog();
    const std::wstring pipe = uniqueName(L"zra.e2e.restart");
    Standin service(pipe, {L"--restart-after", L"1"});
    vpipechannel::client channel(L"SOFTWARE\\ZraTest\\absent", pipe, true);
    for (int query = 0; query < 4; ++query) {
        try {
            EXPECT_EQ(askString(channel, L"PRODUCT_VERSION"), L"18.0.61") << query;
            service.waitForReady();
        } catch (const vexception& e) {
            ADD_FAILURE() << query << ": " << cstr(e.fullText(), CP_UTF8);
        }
    }
    // Each restart closed the instance the client held: every query after the first found its
    // pipe finished, said so, reconnected to the new instance and was answered there.
    const auto log = takeLog();
    ASSERT_EQ(log.size(), 6u);
    for (size_t i = 0; i < log.size(); i += 2) {
        EXPECT_EQ(log[i].first, varno::logging::Warning);
        EXPECT_EQ(log[i + 1].first, varno::logging::Info);
    }
}

TEST(StandinService, MalformedAndErrorReplies) {
    const std::wstring pipe = uniqueName(L"zra.e2e.faults");
    Standin service(pipe, {L"--set", L"error LOCKED=The value is locked", L"--fault",
                           L"PANEL_VERSION charsize 3", L"--fault", L"PRODUCT_VERSION truncate 3"});
    vpipechannel::client channel(L"SOFTWARE\\ZraTest\\absent", pipe, true);
    auto failure = [&](const wchar_t* name) {
        try {
            askString(channel, name);
        } catch (const vexception& e) {
            return e.message();
        }
        return std::wstring(L"<no exception>");
    };
    EXPECT_EQ(failure(L"LOCKED"), L"The value is locked");
    EXPECT_EQ(failure(L"PANEL_VERSION"),
              L"Unsupported char size when read C-string from serializer.");
    EXPECT_EQ(failure(L"PRODUCT_VERSION"), L"Unexpected end of data when read from serializer.");
    EXPECT_EQ(askString(channel, L"PRODUCT_ROOT_D"), L"C:\\Varno");
}

namespace {

size_t g_allocated = 0;

void countAllocation(size_t requested, uint32_t) {
    g_allocated += requested;
}

} // namespace

TEST(StandinService, BrokenRepliesStayWithTheirQueries) {
    const std::wstring pipe = uniqueName(L"zra.e2e.stray");
    // A stray 2-byte message ahead of the first two replies to PANEL_VERSION (both attempts of
    // one query); a length 536870000 bytes too long promises far more than comes.
    Standin service(pipe, {L"--set", L"fault:2 PANEL_VERSION stray 2", L"--fault",
                           L"PRODUCT_VERSION badlength 536870000"});
    vpipechannel::client channel(L"SOFTWARE\\ZraTest\\absent", pipe, true);
    struct Step {
        const wchar_t* name;
        const wchar_t* result; // the answer, or the failure's message
    };
    const Step steps[] = {
        {L"PANEL_VERSION", L"Completed only 2 of 4 bytes"},
        {L"PRODUCT_ROOT_D", L"C:\\Varno"},
        {L"PRODUCT_VERSION", L"Completed only 19 of 536870019 bytes"},
        {L"PANEL_VERSION", L"18.0.61"},
    };
    for (const Step& step : steps) {
        g_allocated = 0;
        const vserializer::AllocationObserver previous =
            vserializer::setAllocationObserver(countAllocation);
        std::wstring result;
        try {
            result = askString(channel, step.name);
        } catch (const vexception& e) {
            result = e.message();
        }
        vserializer::setAllocationObserver(previous);
        EXPECT_EQ(result, step.result) << cstr(step.name, CP_UTF8);
        EXPECT_LT(g_allocated, 64u * 1024) << cstr(step.name, CP_UTF8);
    }
}
