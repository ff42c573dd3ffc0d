#include "base/scoped_handle.h"
#include "base/win32.h"
#include "logging/execute_context.h"
#include "logging/log.h"
#include "test_support.h"
#include "tools/testing/text.h"

#include <gtest/gtest.h>

#include <map>

using namespace varno::logging;
using logging_test::RoutingGuard;
using logging_test::runChild;
using logging_test::ScopedDebugValue;
using logging_test::StdoutCapture;
using logging_test::windowsPath;

namespace {

const char kExportName[] = "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22";

struct ProbeModule {
    base::ScopedModule module;
    ExecuteContext* (*context)() = nullptr;
    uint8_t* (*routing)() = nullptr;
    void (*setConsole)(int, int) = nullptr;
    void (*log)(int, const wchar_t*) = nullptr;
    void (*logException)(int, const wchar_t*) = nullptr;

    explicit ProbeModule(const char* path) : module(::LoadLibraryW(windowsPath(path).c_str())) {
        if (!module)
            return;
        bind("probeContext", context);
        bind("probeRouting", routing);
        bind("probeSetConsole", setConsole);
        bind("probeLog", log);
        bind("probeLogException", logException);
    }
    bool ready() const { return context && routing && setConsole && log && logException; }
    ExecuteContext* exported() const {
        auto* variable =
            reinterpret_cast<ExecuteContext**>(::GetProcAddress(module.get(), kExportName));
        return variable ? *variable : nullptr;
    }

private:
    template <typename F> void bind(const char* name, F& target) {
        target = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module.get(), name)));
    }
};

std::map<std::string, std::string> parseLines(const std::string& output) {
    std::map<std::string, std::string> values;
    for (const std::string& line : zra_testing::splitLines(output)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

} // namespace

TEST(SharedContextTest, ProgramExportsItsContextByName) {
    ExecuteContext* context = executeContext();
    ASSERT_NE(nullptr, context);
    auto* exported = reinterpret_cast<ExecuteContext**>(
        ::GetProcAddress(::GetModuleHandleW(nullptr), kExportName));
    ASSERT_NE(nullptr, exported);
    EXPECT_EQ(&m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22, exported);
    EXPECT_EQ(context, *exported);
    EXPECT_GE(context->refcount, 1);
}

TEST(SharedContextTest, LoadedModuleJoinsTheProgramsContextAndTable) {
    RoutingGuard guard;
    uint8_t* table = guard.table();
    writeRoutingDefaults(table, false);
    table[kConsoleUsed] = 0;
    // A value the defaults would never produce: the module must find it, not write its own.
    table[kConsoleFlag + Info] = 1;
    ExecuteContext* context = executeContext();
    const int32_t before = context->refcount;
    {
        ProbeModule probe(ZRA_PROBE_A);
        ASSERT_TRUE(probe.ready());
        EXPECT_EQ(nullptr, probe.exported()); // contexts are found on first use, not at load

        EXPECT_EQ(context, probe.context());
        EXPECT_EQ(context, probe.exported());
        EXPECT_EQ(before + 1, context->refcount);
        EXPECT_EQ(table, probe.routing());
        EXPECT_EQ(1, table[kConsoleFlag + Info]);

        // A flag set through the module is what the program routes by, and both write to one
        // console with one record separator state.
        probe.setConsole(Warning, 1);
        StdoutCapture capture;
        logMessage(Warning, L"program warning");
        probe.log(Info, L"module info");
        probe.logException(Error, L"module failure");
        logMessage(Result, L"program result");
        EXPECT_EQ("program warning\nmodule info\nmodule failure\n   at "
                  "probe context(probeLogException line 7)\nprogram result",
                  capture.finish());
    }
    // Unloading the module dropped its hold and nothing else.
    EXPECT_EQ(before, context->refcount);
    EXPECT_EQ(context, executeContext());
    EXPECT_EQ(table, routingTable());
}

TEST(SharedContextTest, LifeOfAContextAcrossModules) {
    ScopedDebugValue debugOff(std::nullopt);
    const auto result = runChild(windowsPath(ZRA_LIFECYCLE_PROBE), L"");
    ASSERT_EQ(0u, result.exitCode) << result.output;
    const auto values = parseLines(result.output);
    EXPECT_EQ("0", values.at("exe.exports"));
    EXPECT_EQ("1", values.at("a.refcount"));
    EXPECT_EQ("1", values.at("a.exported"));
    EXPECT_EQ("0011110001110", values.at("a.table"));
    EXPECT_EQ("1", values.at("b.same"));
    EXPECT_EQ("2", values.at("b.refcount"));
    EXPECT_EQ("1", values.at("b.sameTable"));
    EXPECT_EQ("1011110001110", values.at("b.table")); // a's change kept, defaults not rewritten
    EXPECT_EQ("1", values.at("afterA.refcount"));
    EXPECT_EQ("1", values.at("afterA.valid"));
    EXPECT_NE(std::string::npos, result.output.find("info from b")) << result.output;
    EXPECT_EQ("0", values.at("afterB.valid")); // the last holder freed it
    EXPECT_EQ("1", values.at("again.refcount"));
    EXPECT_EQ("0011110001110", values.at("again.table")); // a new table with fresh defaults
}

TEST(SharedContextTest, NewTableTakesTheDebugSwitchAtItsCreation) {
    ScopedDebugValue debugOn(1);
    const auto result = runChild(windowsPath(ZRA_LIFECYCLE_PROBE), L"");
    ASSERT_EQ(0u, result.exitCode) << result.output;
    EXPECT_EQ("0011111111110", parseLines(result.output).at("a.table"));
}

TEST(ConsoleProgramTest, StandardOutputGetsExactlyTheRecords) {
    ScopedDebugValue debugOff(std::nullopt);
    const auto result =
        runChild(windowsPath(ZRA_CONSOLE_PROBE), L"m 0 hidden m 3 first m 1 hidden m 2 "
                                                 L"\"second \u00E9\" e 3 boom e 2 quiet p tail");
    ASSERT_EQ(0u, result.exitCode) << result.output;
    EXPECT_EQ("first\nsecond \xC3\xA9\nboom\n   at probe context(consoleProbe line 12)\nquiet"
              "tail\r\n",
              result.output);
}

TEST(ConsoleProgramTest, RecordAfterTheLibraryWasTornDownAtExitStillFollowsTheRouting) {
    ScopedDebugValue debugOff(std::nullopt);
    const auto result = runChild(windowsPath(ZRA_CONSOLE_PROBE), L"x late m 3 first m 0 hidden");
    ASSERT_EQ(0u, result.exitCode) << result.output;
    EXPECT_EQ("first\nlate", result.output);
}
