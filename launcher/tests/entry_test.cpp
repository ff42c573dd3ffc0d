// The launcher's boundary, run in-process with stand-ins for the examination road.
#include "launcher/entry.h"
#include "launcher/standard_output.h"

#include "base/exception.h"
#include "base/se_translator.h"
#include "crash/crash_dump.h"
#include "logging/execute_context.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>
#include "tools/testing/fault_codes.h"
#include "tools/testing/stdout_capture.h"

namespace {

// Stand-ins record what they saw; globals because the road is a plain function pointer.
int g_calls = 0;
int g_argc = 0;
std::vector<std::wstring> g_argv;
SeTranslator g_translatorInside = nullptr;
bool g_destructorRan = false;

void sentinelTranslator(unsigned int, EXCEPTION_POINTERS*) {}

struct Args {
    std::vector<std::wstring> text;
    std::vector<wchar_t*> pointers;
    explicit Args(std::vector<std::wstring> args) : text(std::move(args)) {
        for (std::wstring& arg : text)
            pointers.push_back(&arg[0]);
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(text.size()); }
    wchar_t** argv() { return pointers.data(); }
};

struct RunResult {
    int exitCode;
    std::string out;
};

RunResult run(std::vector<std::wstring> args, ExaminationRunner road) {
    resetDebugSwitchCache();
    g_calls = 0;
    g_argv.clear();
    g_translatorInside = nullptr;
    g_destructorRan = false;
    // Each run stands for a process of its own: no console record came before it.
    varno::logging::routingTable()[varno::logging::kConsoleUsed] = 0;
    Args a(std::move(args));
    // The launcher writes through the standard output handle; the runtime's stays with googletest.
    zra_testing::StdoutCapture capture(zra_testing::StdoutCapture::Options{false});
    const int code = launcherMain(a.argc(), a.argv(), road);
    return {code, capture.finish()};
}

SeTranslator currentTranslator() {
    const SeTranslator current = setSeTranslator(nullptr);
    setSeTranslator(current);
    return current;
}

uint32_t recordingRoad(int argc, wchar_t** argv) {
    ++g_calls;
    g_argc = argc;
    for (int i = 0; i < argc; ++i)
        g_argv.push_back(argv[i]);
    g_translatorInside = currentTranslator();
    return 0xC0000005u;
}

uint32_t throwingRoad(int, wchar_t**) {
    throw vexception(L"Unable to find script \u00fcber \u0436\u2019.php",
                     SourceLocation(L"", "resolveCommand", 210));
}

uint32_t stdExceptionRoad(int, wchar_t**) {
    throw std::runtime_error("bad things");
}
// Writes an unfinished line, as the installer check does, before it fails.
uint32_t unfinishedLineRoad(int, wchar_t**) {
    writeStandardOutput("Another installation is in progress.");
    throw std::runtime_error("bad things");
}
uint32_t intRoad(int, wchar_t**) {
    throw 42;
}

struct SetsFlagOnUnwind {
    ~SetsFlagOnUnwind() { g_destructorRan = true; }
};

__attribute__((noinline)) void writeThroughNull() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

__attribute__((noinline)) uint32_t faultingRoad(int, wchar_t**) {
    SetsFlagOnUnwind guard;
    writeThroughNull();
    return 0;
}

class LauncherEntry : public ::testing::Test {
protected:
    void SetUp() override { previous_ = setSeTranslator(&sentinelTranslator); }
    void TearDown() override {
        // Whatever the way out, the translator that was there before is back.
        EXPECT_EQ(&sentinelTranslator, setSeTranslator(previous_));
    }

private:
    SeTranslator previous_ = nullptr;
};

TEST_F(LauncherEntry, NoArgumentIsAFailureWithoutAskingTheRoad) {
    const RunResult r = run({L"zra-launcher.exe"}, &recordingRoad);
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("Incorrect launching options.", r.out);
    EXPECT_EQ(0, g_calls);
}

TEST_F(LauncherEntry, ExaminationExitCodeIsReturnedUnchangedUnderTheTranslator) {
    const RunResult r = run({L"x.exe", L"--CHECK-SYSTEM", L"a b", L""}, &recordingRoad);
    EXPECT_EQ(0xC0000005u, static_cast<uint32_t>(r.exitCode));
    EXPECT_EQ("", r.out);
    ASSERT_EQ(1, g_calls);
    EXPECT_EQ(4, g_argc);
    EXPECT_EQ((std::vector<std::wstring>{L"x.exe", L"--CHECK-SYSTEM", L"a b", L""}), g_argv);
    EXPECT_EQ(&crash::translateStructuredException, g_translatorInside);
}

TEST_F(LauncherEntry, FailureTextIsUtf8WithNothingAppended) {
    const RunResult r = run({L"x.exe", L"script.php"}, &throwingRoad);
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("Unable to find script \xc3\xbc"
              "ber \xd0\xb6\xe2\x80\x99.php",
              r.out);
}

TEST_F(LauncherEntry, EveryKindOfFailureGoesThroughTheLadder) {
    RunResult r = run({L"x.exe", L"s"}, &stdExceptionRoad);
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("bad things", r.out);
    r = run({L"x.exe", L"s"}, &intRoad);
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("Unexpected error", r.out);
}

TEST_F(LauncherEntry, FailureTextStartsALineOfItsOwn) {
    // Twice: what one run left unfinished does not reach the next.
    for (int i = 0; i < 2; ++i) {
        const RunResult r = run({L"x.exe", L"s"}, &unfinishedLineRoad);
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ("Another installation is in progress.\nbad things", r.out);
    }
    EXPECT_EQ("bad things", run({L"x.exe", L"s"}, &stdExceptionRoad).out);
}

TEST_F(LauncherEntry, AccessViolationBecomesTheStructuredExceptionTextAndUnwinds) {
    const RunResult r = run({L"x.exe", L"s"}, &faultingRoad);
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("C structured exception: 0xc0000005", zra_test::withFaultCode(r.out, 0xC0000005u));
    EXPECT_TRUE(g_destructorRan);
}

TEST(StructuredExceptionScope, FaultIsCaughtByTheLadderAndFramesUnwind) {
    std::wstring text;
    bool unwound = false;
    {
        ScopedSeTranslator translator;
        try {
            struct Flag {
                bool& set;
                ~Flag() { set = true; }
            } flag{unwound};
            writeThroughNull();
        } catch (...) {
            const vexception e = catchLadder(L"Failed to launch an examination.", "wmain", 120);
            text = e.fullText();
        }
    }
    EXPECT_TRUE(unwound);
    EXPECT_EQ(L"C structured exception: 0xc0000005\n   at Failed to launch an examination."
              L"(wmain line 120)",
              zra_test::withFaultCode(text, 0xC0000005u));
}

} // namespace
