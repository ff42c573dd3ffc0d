#include "failure_text.h"
#include "os/sync.h"

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "os/security.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cwchar>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace {

using os_test::expectOsError;

using Clock = std::chrono::steady_clock;
using base::ScopedHandle;

const wchar_t kHoldSwitch[] = L"--zra-sync-hold=";
// Far beyond any handle this process will open; a closed handle's value could be reused at once.
const HANDLE kNotAHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x0BADBAD0));

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::wstring uniqueName(const wchar_t* what) {
    static std::atomic<unsigned> counter{0};
    return std::wstring(L"zra-sync-test-") + what + L"-" +
           std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount()) +
           L"-" + std::to_wstring(++counter);
}

ScopedHandle makeEvent(const wchar_t* name = nullptr) {
    ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, name));
    if (!event)
        ADD_FAILURE() << "CreateEventW failed: " << ::GetLastError();
    return event;
}

// The helper process: takes the mutex named on its command line, says so, and on request exits
// still owning it, so that the parent sees the mutex abandoned. Runs before gtest gets control.
int runHelperIfAsked() {
    const wchar_t* found = std::wcsstr(::GetCommandLineW(), kHoldSwitch);
    if (!found)
        return 0;
    std::wstring name(found + std::wcslen(kHoldSwitch));
    name = name.substr(0, name.find(L' '));
    try {
        VMutex mutex(false, name.c_str());
        if (!mutex.lock(INFINITE))
            ::ExitProcess(2);
        ScopedHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (name + L"-ready").c_str()));
        ScopedHandle quit(::OpenEventW(SYNCHRONIZE, FALSE, (name + L"-quit").c_str()));
        if (!ready || !quit)
            ::ExitProcess(4);
        ::SetEvent(ready.get());
        ::WaitForSingleObject(quit.get(), 30000);
        ::ExitProcess(0);
    } catch (...) {
        ::ExitProcess(3);
    }
    return 0;
}
[[maybe_unused]] const int helperMode = runHelperIfAsked();

// Holds a mutex on a thread of its own until destroyed.
class MutexHolder {
public:
    explicit MutexHolder(const std::wstring& name) {
        ScopedHandle ready = makeEvent();
        letGo_ = makeEvent();
        thread_ = std::thread([this, name, signal = ready.get()] {
            VMutex mutex(false, name.c_str());
            mutex.lock(INFINITE);
            ::SetEvent(signal);
            ::WaitForSingleObject(letGo_.get(), INFINITE);
            mutex.unlock();
        });
        EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), 10000));
    }
    ~MutexHolder() {
        ::SetEvent(letGo_.get());
        thread_.join();
    }

private:
    ScopedHandle letGo_;
    std::thread thread_;
};

bool otherThreadCanLock(const std::wstring& name) {
    bool got = false;
    std::thread([&] {
        VMutex other(false, name.c_str());
        got = other.lock(0);
        if (got)
            other.unlock();
    }).join();
    return got;
}

void expectRaisedAt(const vosexception& e, const std::wstring& context, const char* function,
                    int line) {
    EXPECT_EQ(osErrorMessage(e.code(), &context), e.message());
    ASSERT_EQ(1u, e.locations().size());
    EXPECT_EQ(L"", e.locations()[0].message);
    EXPECT_EQ(function, e.locations()[0].function);
    EXPECT_EQ(line, e.locations()[0].line);
}

TEST(MutexOwnership, OwnershipIsPerThreadAndRecursive) {
    const std::wstring name = uniqueName(L"thread");
    VMutex owned(true, name.c_str());
    EXPECT_FALSE(otherThreadCanLock(name));
    // The owning thread may lock again through another object and must unlock as often.
    VMutex again(false, name.c_str());
    EXPECT_TRUE(again.lock(0));
    again.unlock();
    EXPECT_FALSE(otherThreadCanLock(name));
    owned.unlock();
    EXPECT_TRUE(otherThreadCanLock(name));
}

TEST(MutexOwnership, HeldByAnotherProcessTimesOutAtOnceThenAbandoned) {
    const std::wstring name = uniqueName(L"process");
    ScopedHandle ready = makeEvent((name + L"-ready").c_str());
    ScopedHandle quit = makeEvent((name + L"-quit").c_str());
    VMutex mutex(false, name.c_str());

    wchar_t exe[MAX_PATH];
    ASSERT_NE(0u, ::GetModuleFileNameW(nullptr, exe, MAX_PATH));
    std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" " + kHoldSwitch + name;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(::CreateProcessW(exe, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                 &startup, &info))
        << ::GetLastError();
    ScopedHandle process(info.hProcess);
    ScopedHandle thread(info.hThread);
    const HANDLE either[] = {ready.get(), process.get()};
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(2, either, FALSE, 30000))
        << "the helper process did not take the mutex";

    const auto start = Clock::now();
    EXPECT_FALSE(mutex.lock(0));
    EXPECT_LT(millisecondsSince(start), 200);

    // The helper ends still owning the mutex.
    ::SetEvent(quit.get());
    EXPECT_EQ(static_cast<DWORD>(WAIT_ABANDONED),
              VSyncObject::waitForSingleObject(mutex.handle(), 10000));
    mutex.unlock();
    const vosexception e = expectOsError([&] { mutex.unlock(); });
    EXPECT_EQ(static_cast<uint32_t>(ERROR_NOT_OWNER), e.code());
    expectRaisedAt(e, L"ReleaseMutex", "VMutex::unlock", 236);
    DWORD exitCode = 1;
    ::WaitForSingleObject(process.get(), 10000);
    ::GetExitCodeProcess(process.get(), &exitCode);
    EXPECT_EQ(0u, exitCode);
}

struct ApcRecord {
    Clock::time_point start;
    std::atomic<long long> ranAfterMs{-1};
    HANDLE eventToSet = nullptr;
};

void CALLBACK recordApc(ULONG_PTR parameter) {
    auto* record = reinterpret_cast<ApcRecord*>(parameter);
    record->ranAfterMs = millisecondsSince(record->start);
    if (record->eventToSet)
        ::SetEvent(record->eventToSet);
}

// Queues recordApc to the calling thread from another thread after delayMs.
std::thread queueApcLater(ApcRecord& record, int delayMs) {
    ScopedHandle self(VHandle::duplicate(::GetCurrentThread()));
    return std::thread([&record, delayMs, target = std::move(self)] {
        ::Sleep(delayMs);
        ::QueueUserAPC(recordApc, target.get(), reinterpret_cast<ULONG_PTR>(&record));
    });
}

TEST(AlertableWait, ApcNeitherShortensNorLengthensTheTimeout) {
    ScopedHandle never = makeEvent();
    {
        // What a bare alertable wait does: it ends when the APC runs.
        ApcRecord record;
        record.start = Clock::now();
        std::thread sender = queueApcLater(record, 500);
        const DWORD result = ::WaitForSingleObjectEx(never.get(), 2000, TRUE);
        const long long elapsed = millisecondsSince(record.start);
        sender.join();
        EXPECT_EQ(static_cast<DWORD>(WAIT_IO_COMPLETION), result);
        EXPECT_LT(elapsed, 1500);
    }
    {
        ApcRecord record;
        record.start = Clock::now();
        std::thread sender = queueApcLater(record, 500);
        const DWORD result = VSyncObject::waitForSingleObject(never.get(), 2000);
        const long long elapsed = millisecondsSince(record.start);
        sender.join();
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), result);
        EXPECT_GE(record.ranAfterMs.load(), 400);
        EXPECT_LT(record.ranAfterMs.load(), 1500);
        // A restart with the full time-out after the APC would end near 2500 ms.
        EXPECT_GE(elapsed, 1980);
        EXPECT_LT(elapsed, 2400);
    }
}

TEST(AlertableWait, MultipleObjectsSeeWhatAnApcSignalled) {
    ScopedHandle first = makeEvent();
    ScopedHandle second = makeEvent();
    ApcRecord record;
    record.eventToSet = second.get();
    record.start = Clock::now();
    std::thread sender = queueApcLater(record, 300);
    const HANDLE handles[] = {first.get(), second.get()};
    const DWORD result = waitForMultipleObjects(2, handles, FALSE, 10000);
    const long long elapsed = millisecondsSince(record.start);
    sender.join();
    EXPECT_EQ(WAIT_OBJECT_0 + 1, result);
    EXPECT_LT(elapsed, 5000);

    ASSERT_TRUE(::SetEvent(first.get()));
    EXPECT_EQ(WAIT_OBJECT_0, waitForMultipleObjects(2, handles, TRUE, 0));
}

TEST(AlertableWait, FailedWaitRaisesForOneObjectAndIsReturnedForSeveral) {

    const vosexception e =
        expectOsError([&] { VSyncObject::waitForSingleObject(kNotAHandle, 100); });
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_HANDLE), e.code());
    expectRaisedAt(e, L"Wait for single object", "VSyncObject::waitForSingleObject", 113);

    const HANDLE handles[] = {kNotAHandle};
    EXPECT_EQ(WAIT_FAILED, waitForMultipleObjects(1, handles, FALSE, 100));
}

// The deadline loop against a simulated clock: what each single wait is asked for.
struct SimulatedWaits {
    ULONGLONG now = 132000000000000000ull;
    struct Step {
        ULONGLONG advanceMs;
        DWORD result;
    };
    std::vector<Step> script; // what the next waits do; afterwards each wait times out
    std::vector<DWORD> slices;

    explicit SimulatedWaits(std::vector<Step> steps = {}) : script(std::move(steps)) {}

    DWORD run(DWORD timeout) {
        return VSyncDetail::waitWithDeadline(
            timeout, [this] { return now; },
            [this](DWORD slice) {
                slices.push_back(slice);
                if (slices.size() <= script.size()) {
                    const Step step = script[slices.size() - 1];
                    now += step.advanceMs * 10000;
                    return step.result;
                }
                now += static_cast<ULONGLONG>(slice) * 10000;
                return static_cast<DWORD>(WAIT_TIMEOUT);
            });
    }
};

TEST(AlertableWait, DeadlineLoopAsksForWhatRemains) {
    {
        SimulatedWaits waits({{1000, WAIT_IO_COMPLETION}});
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), waits.run(5000));
        EXPECT_EQ((std::vector<DWORD>{5000, 4000}), waits.slices);
    }
    {
        SimulatedWaits waits(
            {{7, WAIT_IO_COMPLETION}, {7, WAIT_IO_COMPLETION}, {7, WAIT_OBJECT_0}});
        EXPECT_EQ(WAIT_OBJECT_0, waits.run(INFINITE));
        EXPECT_EQ((std::vector<DWORD>{INFINITE, INFINITE, INFINITE}), waits.slices);
    }
    {
        // Longer than one wait may take: waited in slices, to the full time-out, never INFINITE.
        SimulatedWaits waits;
        const ULONGLONG start = waits.now;
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), waits.run(0xFFFFFFFE));
        EXPECT_EQ((std::vector<DWORD>{0x7FFFFFFF, 0x7FFFFFFF}), waits.slices);
        EXPECT_EQ(0xFFFFFFFEull * 10000, waits.now - start);
    }
}

TEST(VMutexCreation, NamesOwnedByAnEventFail) {
    const std::wstring name = uniqueName(L"event");
    ScopedHandle event = makeEvent(name.c_str());
    vosexception e = expectOsError([&] { VMutex mutex(false, name.c_str()); });
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_HANDLE), e.code());
    expectRaisedAt(e, L"Create mutex with name '" + name + L"'", "VMutex::VMutex", 196);

    ExclusiveTask task;
    e = expectOsError([&] { task.Initialize(name, 0); });
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_HANDLE), e.code());
    expectRaisedAt(e, L"create mutex " + name, "ExclusiveTask::Initialize", 235);
}

bool isEveryone(PSID sid) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
        return false;
    const bool equal = ::EqualSid(sid, everyone) != FALSE;
    ::FreeSid(everyone);
    return equal;
}

TEST(VMutexCreation, DaclReadFromTheObjectGrantsEveryoneFullAccess) {
    const std::wstring name = uniqueName(L"dacl");
    VMutex mutex(false, name.c_str());
    // Read through a second handle opened by name, as another process would see it.
    ScopedHandle opened(::OpenMutexW(READ_CONTROL | SYNCHRONIZE, FALSE, name.c_str()));
    ASSERT_TRUE(opened) << ::GetLastError();

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              ::GetSecurityInfo(opened.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &sd));
    base::ScopedLocalMem sdOwner(sd);
    ASSERT_NE(nullptr, dacl) << "a null DACL would mean no protection at all, not a grant";

    // Exactly one entry: allowed, for Everyone, all of the mutex's rights, inherited by objects
    // and containers alike.
    ASSERT_EQ(1u, dacl->AceCount);
    void* raw = nullptr;
    ASSERT_TRUE(::GetAce(dacl, 0, &raw));
    const auto* header = static_cast<ACE_HEADER*>(raw);
    ASSERT_EQ(ACCESS_ALLOWED_ACE_TYPE, header->AceType);
    EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, header->AceFlags);
    const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    EXPECT_TRUE(isEveryone(const_cast<DWORD*>(&ace->SidStart)));
    // The system may keep GENERIC_ALL as written or store it mapped to the mutex's own rights.
    GENERIC_MAPPING mapping = {STANDARD_RIGHTS_READ | MUTANT_QUERY_STATE, STANDARD_RIGHTS_WRITE,
                               STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, MUTEX_ALL_ACCESS};
    DWORD mask = ace->Mask;
    ::MapGenericMask(&mask, &mapping);
    EXPECT_EQ(static_cast<DWORD>(MUTEX_ALL_ACCESS), mask & MUTEX_ALL_ACCESS);
}

TEST(VMutexCreation, HandlesAreNotInherited) {
    // A child started with inherited handles must not keep the panel's mutexes alive.
    const std::wstring name = uniqueName(L"inherit");
    VMutex named(false, name.c_str());
    VMutex unnamed(true, nullptr);
    for (const VMutex* mutex : {&named, &unnamed}) {
        DWORD flags = 0xFF;
        ASSERT_TRUE(::GetHandleInformation(mutex->handle(), &flags)) << ::GetLastError();
        EXPECT_EQ(0u, flags & HANDLE_FLAG_INHERIT);
    }
    unnamed.unlock();
}

TEST(ExclusiveTaskTest, HoldsTheMutexUntilDestroyed) {
    const std::wstring name = uniqueName(L"task");
    {
        ExclusiveTask task;
        task.Initialize(name, INFINITE);
        EXPECT_FALSE(otherThreadCanLock(name));
    }
    EXPECT_TRUE(otherThreadCanLock(name));
}

TEST(ExclusiveTaskTest, TimeoutOnHeldMutexReturnsNormallyAndLeavesTheOwnerAlone) {
    const std::wstring name = uniqueName(L"busy");
    auto holder = std::make_unique<MutexHolder>(name);
    {
        ExclusiveTask task;
        const auto start = Clock::now();
        EXPECT_NO_THROW(task.Initialize(name, 0));
        EXPECT_LT(millisecondsSince(start), 200);
    }
    // The silent release at destruction did not take the mutex from its owner.
    EXPECT_FALSE(otherThreadCanLock(name));
    holder.reset();
    EXPECT_TRUE(otherThreadCanLock(name));
}

TEST(VHandleTest, Duplicate) {
    ::SetLastError(12345);
    EXPECT_EQ(INVALID_HANDLE_VALUE, VHandle::duplicate(nullptr));
    EXPECT_EQ(INVALID_HANDLE_VALUE, VHandle::duplicate(INVALID_HANDLE_VALUE));
    EXPECT_EQ(12345u, ::GetLastError()) << "the system was called";

    const std::wstring name = uniqueName(L"dup");
    ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(event);
    ScopedHandle inheritable(::OpenEventW(SYNCHRONIZE, TRUE, name.c_str()));
    ASSERT_TRUE(inheritable);
    ScopedHandle copy(VHandle::duplicate(inheritable.get()));
    ASSERT_TRUE(copy);
    EXPECT_NE(inheritable.get(), copy.get());
    DWORD flags = 0xFF;
    ASSERT_TRUE(::GetHandleInformation(copy.get(), &flags));
    EXPECT_EQ(0u, flags & HANDLE_FLAG_INHERIT);
    // Same object, same (limited) access.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(copy.get(), 0));
    ::SetEvent(event.get());
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(copy.get(), 0));
    EXPECT_FALSE(::ResetEvent(copy.get()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());

    const vosexception e = expectOsError([&] { ::CloseHandle(VHandle::duplicate(kNotAHandle)); });
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_HANDLE), e.code());
    expectRaisedAt(e, L"Unable to duplicate handle", "VHandle::duplicate", 16);
}

} // namespace
