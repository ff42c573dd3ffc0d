// The service client against the stand-in management service running as a separate process.
#include "base/win32.h"

#include "service/client.h"

#include "base/exception.h"
#include "base/text.h"
#include "logging/log.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

const GUID kGetString = {
    0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};

std::wstring uniqueName(const wchar_t* prefix) {
    static unsigned counter = 0;
    return std::wstring(prefix) + L"." + std::to_wstring(::GetCurrentProcessId()) + L"." +
           std::to_wstring(::GetTickCount()) + L"." + std::to_wstring(counter++);
}

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

// The stand-in service as a child process, stopped through a named event at the end. It reports
// "ready" on its standard output whenever its pipe instances are (again) in place.
class Standin {
public:
    Standin(const std::wstring& pipe, const std::wstring& options) {
        const std::wstring eventName = uniqueName(L"zra.standin.stop");
        stop_.reset(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        HANDLE readEnd = nullptr;
        HANDLE writeEnd = nullptr;
        if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
            throw vexception(L"cannot create the output pipe");
        output_.reset(readEnd);
        base::ScopedHandle childOutput(writeEnd);
        ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

        std::wstring command = L"\"" ZRA_STANDIN_EXE "\" --pipe " + pipe +
                               L" --no-stdin --root C:\\Varno --stop-event " + eventName + L" " +
                               options;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd;
        startup.hStdError = writeEnd;
        PROCESS_INFORMATION info = {};
        if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                              &startup, &info))
            throw vexception(L"cannot start the stand-in service");
        process_.reset(info.hProcess);
        ::CloseHandle(info.hThread);
        waitForLine("ready");
    }
    ~Standin() {
        ::SetEvent(stop_.get());
        if (::WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0)
            ::TerminateProcess(process_.get(), 1);
    }

    // Consumes output up to and including the next line that reads exactly text.
    void waitForLine(const std::string& text) {
        const DWORD start = ::GetTickCount();
        for (;;) {
            size_t end;
            while ((end = pending_.find('\n')) != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (line == text)
                    return;
            }
            DWORD available = 0;
            if (!::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr))
                throw vexception(L"the stand-in service ended");
            if (available == 0) {
                if (::GetTickCount() - start > 10000)
                    throw vexception(L"the stand-in service did not report in time");
                ::Sleep(5);
                continue;
            }
            char buffer[512];
            DWORD count = 0;
            ::ReadFile(output_.get(), buffer, sizeof(buffer), &count, nullptr);
            pending_.append(buffer, count);
        }
    }

private:
    base::ScopedHandle stop_;
    base::ScopedHandle process_;
    base::ScopedHandle output_;
    std::string pending_;
};

std::wstring askString(vpipechannel::client& channel, const std::wstring& name) {
    vserializer body;
    body.writeString(name);
    return channel.queryString(kGetString, body);
}

} // namespace

TEST(StandinService, FacadeEndToEnd) {
    Standin service(L"zrapipe", L"");
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
    Standin service(pipe, L"--restart-after 1");
    vpipechannel::client channel(L"SOFTWARE\\ZraTest\\absent", pipe, true);
    for (int query = 0; query < 4; ++query) {
        try {
            EXPECT_EQ(askString(channel, L"PRODUCT_VERSION"), L"18.0.61") << query;
            service.waitForLine("ready");
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
    Standin service(pipe, L"--set \"error LOCKED=The value is locked\" "
                          L"--fault \"PANEL_VERSION charsize 3\" "
                          L"--fault \"PRODUCT_VERSION truncate 3\"");
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
    Standin service(pipe, L"--set \"fault:2 PANEL_VERSION stray 2\" "
                          L"--fault \"PRODUCT_VERSION badlength 536870000\"");
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
