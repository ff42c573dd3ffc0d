#include "base/se_translator.h"

#include "base/exception.h"

#include <gtest/gtest.h>

#include <thread>
#include "tools/testing/fault_codes.h"

namespace {

int* volatile g_null = nullptr;
volatile int g_zero = 0;

__attribute__((noinline)) void writeThroughNull() {
    *g_null = 42;
}
volatile int g_quotient = 0;
__attribute__((noinline)) void divideByZero() {
    g_quotient = 100 / g_zero;
}
__attribute__((noinline)) void breakpoint() {
    __asm__ volatile("int3");
}

struct Counted {
    int& destroyed;
    explicit Counted(int& d) : destroyed(d) {}
    ~Counted() { ++destroyed; }
};

__attribute__((noinline)) void level3(int& destroyed) {
    Counted c(destroyed);
    writeThroughNull();
}
__attribute__((noinline)) void level2(int& destroyed) {
    Counted c(destroyed);
    level3(destroyed);
}
__attribute__((noinline)) void level1(int& destroyed) {
    Counted c(destroyed);
    level2(destroyed);
}

template <typename F> uint32_t faultCode(F&& f) {
    ScopedSeTranslator guard;
    try {
        f();
    } catch (const cwrpexception& e) {
        return e.code();
    }
    return 0;
}

TEST(SeTranslator, HardwareFaultsBecomeCwrpexceptionWithTheirCodes) {
    EXPECT_PRED2(zra_test::isReportedFault, 0xC0000005u, faultCode([] { writeThroughNull(); }));
    EXPECT_PRED2(zra_test::isReportedFault, 0xC0000094u, faultCode([] { divideByZero(); }));
    EXPECT_EQ(0x80000003u, faultCode([] { breakpoint(); }));
    // The handler must be reusable: the same fault again in a new scope.
    EXPECT_PRED2(zra_test::isReportedFault, 0xC0000005u, faultCode([] { writeThroughNull(); }));
}

TEST(SeTranslator, UnwoundFramesRunTheirDestructors) {
    int destroyed = 0;
    EXPECT_PRED2(zra_test::isReportedFault, 0xC0000005u, faultCode([&] { level1(destroyed); }));
    EXPECT_EQ(3, destroyed);
}

TEST(SeTranslator, ThroughTheCatchLadderReadsAsCStructuredException) {
    ScopedSeTranslator guard;
    try {
        try {
            writeThroughNull();
        } catch (...) {
            throw catchLadder(L"Failed to launch an examination.", "wmain", 120);
        }
    } catch (const vexception& e) {
        EXPECT_EQ(L"C structured exception: 0xc0000005",
                  zra_test::withFaultCode(e.message(), 0xC0000005u));
        ASSERT_EQ(1u, e.locations().size());
        EXPECT_EQ("wmain", e.locations()[0].function);
        return;
    }
    FAIL() << "nothing was thrown";
}

void otherTranslator(unsigned int, EXCEPTION_POINTERS*) {}

TEST(SeTranslator, ScopesInstallAndRestoreThePreviousTranslator) {
    EXPECT_EQ(nullptr, setSeTranslator(&otherTranslator));
    {
        ScopedSeTranslator guard;
        EXPECT_EQ(&otherTranslator, guard.previous());
        try {
            ScopedSeTranslator inner;
            throw 1;
        } catch (int) {
        }
        EXPECT_EQ(systemSeTranslator(), setSeTranslator(&otherTranslator));
        setSeTranslator(systemSeTranslator());
    }
    EXPECT_EQ(&otherTranslator, setSeTranslator(nullptr));
}

TEST(SeTranslator, TranslatorSeesTheFaultOnTheFaultingThread) {
    static unsigned int seenCode;
    static uintptr_t seenAddress;
    static DWORD seenThread;
    struct Custom {
        static void translate(unsigned int code, EXCEPTION_POINTERS* pointers) {
            seenCode = code;
            seenAddress = reinterpret_cast<uintptr_t>(pointers->ExceptionRecord->ExceptionAddress);
            seenThread = ::GetCurrentThreadId();
            throw 7;
        }
    };
    ScopedSeTranslator guard(&Custom::translate);
    int thrown = 0;
    try {
        writeThroughNull();
    } catch (int value) {
        thrown = value;
    }
    EXPECT_EQ(7, thrown) << "the translator's own exception leaves the scope";
    EXPECT_PRED2(zra_test::isReportedFault, 0xC0000005u, seenCode);
    EXPECT_NE(0u, seenAddress);
    EXPECT_EQ(::GetCurrentThreadId(), seenThread);
}

// This program links no crash library: the default is the plain translator, and installing a
// system translator changes what a default scope installs.
TEST(SeTranslator, TheDefaultIsTheInstalledSystemTranslator) {
    EXPECT_EQ(&throwStructuredException, systemSeTranslator());
    static int guarded = 0;
    struct Installed {
        static void translate(unsigned int, EXCEPTION_POINTERS*) { throw 1; }
        static void guardThread() noexcept { ++guarded; }
    };
    SystemSeTranslator system;
    system.translate = &Installed::translate;
    system.guardThread = &Installed::guardThread;
    setSystemSeTranslator(system);
    {
        ScopedSeTranslator outer;
        EXPECT_EQ(&Installed::translate, setSeTranslator(&Installed::translate));
        ScopedSeTranslator inner;
        EXPECT_EQ(&Installed::translate, inner.previous());
    }
    EXPECT_EQ(1, guarded) << "told once, when the thread got the translator";
    setSystemSeTranslator(SystemSeTranslator{});
    EXPECT_EQ(&throwStructuredException, systemSeTranslator());
}

TEST(SeTranslator, EachThreadHasItsOwnTranslator) {
    uint32_t code = 0;
    bool otherThreadHadNone = false;
    ScopedSeTranslator guard;
    std::thread worker([&] {
        otherThreadHadNone = setSeTranslator(nullptr) == nullptr;
        code = faultCode([] { divideByZero(); });
    });
    worker.join();
    EXPECT_TRUE(otherThreadHadNone);
    EXPECT_PRED2(zra_test::isReportedFault, 0xC0000094u, code);
}

} // namespace
