// The launcher's entry around a road that faults, in a process of its own, so the process-wide dump
// configuration is read at start and old dumps are pruned at exit as in the real program.
//
//   crash-fault-probe [--writer real|normal|fake] ROAD
//     ROAD: fault     an access violation inside the guarded work
//           overflow  a stack overflow inside the guarded work
//           system    an access violation inside system code (msvcrt's wcslen given a bad
//                     pointer), which cannot be unwound
//           record    an Error record on the console, then the access violation
//           cleanup   what log cleanup does during a run (a named mutex, the take-over and removal
//                     of a read-only file), then exit code 0
//           none      the work ends with exit code 0
//     --writer real    MiniDumpWriteDump as the program uses it (the default)
//              normal  the real MiniDumpWriteDump, asked for a small dump instead of a full one
//              fake    no dbghelp: the file gets "MDMP", the faulting thread, the fault's code and
//                      the thread that wrote it (see dump_test_support.h)
// The faulting thread's identifier goes to standard error as "thread N".
#include "base/win32.h"

#include "crash/crash_dump.h"
#include "crash/tests/dump_test_support.h"
#include "launcher/entry.h"
#include "logging/log.h"
#include "os/file.h"
#include "os/sync.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int* volatile g_null = nullptr;

__attribute__((noinline)) void writeThroughNull() {
    *g_null = 42;
}

volatile int g_depth = 0;
volatile bool g_stop = false;

__attribute__((noinline)) int recurse(int level) {
    if (g_stop)
        return 0;
    volatile char frame[512];
    frame[0] = static_cast<char>(level);
    g_depth = level;
    return recurse(level + 1) + frame[0];
}

void announceThread() {
    std::fprintf(stderr, "thread %lu\n", static_cast<unsigned long>(::GetCurrentThreadId()));
    std::fflush(stderr);
}

uint32_t faultRoad(int, wchar_t**) {
    announceThread();
    writeThroughNull();
    return 0;
}

uint32_t overflowRoad(int, wchar_t**) {
    announceThread();
    return static_cast<uint32_t>(recurse(0));
}

using WcslenFunction = size_t(__cdecl*)(const wchar_t*);

uint32_t systemRoad(int, wchar_t**) {
    announceThread();
    // Through the DLL's own export: the compiler may not inline it into this image.
    const auto length = reinterpret_cast<WcslenFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"msvcrt.dll"), "wcslen")));
    const wchar_t* volatile bad = reinterpret_cast<const wchar_t*>(16);
    return static_cast<uint32_t>(length(bad));
}

uint32_t recordRoad(int argc, wchar_t** argv) {
    varno::logging::logMessage(varno::logging::Error, std::wstring(L"a console record"));
    return faultRoad(argc, argv);
}

uint32_t cleanupRoad(int, wchar_t**) {
    VMutex mutex(false, L"zra-fault-probe-cleanup");
    wchar_t directory[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, directory);
    const std::wstring path = std::wstring(directory) + L"zra-fault-probe-" +
                              std::to_wstring(::GetCurrentProcessId()) + L".log";
    base::ScopedFileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    file.reset();
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    removeFile(path, RemoveFileOptions().takingOwnership());
    return 0;
}

uint32_t quietRoad(int, wchar_t**) {
    return 0;
}

crash::MiniDumpWriter g_real = nullptr;

BOOL WINAPI normalWriter(HANDLE process, DWORD processId, HANDLE file, MINIDUMP_TYPE,
                         PMINIDUMP_EXCEPTION_INFORMATION exception,
                         PMINIDUMP_USER_STREAM_INFORMATION userStreams,
                         PMINIDUMP_CALLBACK_INFORMATION callback) {
    return g_real(process, processId, file, MiniDumpNormal, exception, userStreams, callback);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    int at = 1;
    if (argc > at + 1 && std::wcscmp(argv[at], L"--writer") == 0) {
        const std::wstring writer = argv[at + 1];
        if (writer == L"normal") {
            g_real = crash::loadMiniDumpWriteDump();
            crash::setMiniDumpWriter(&normalWriter);
        } else if (writer == L"fake") {
            crash::setMiniDumpWriter(&zra_test::fakeMiniDumpWriter);
        }
        at += 2;
    }
    ExaminationRunner road = &quietRoad;
    if (argc > at && std::wcscmp(argv[at], L"fault") == 0)
        road = &faultRoad;
    else if (argc > at && std::wcscmp(argv[at], L"overflow") == 0)
        road = &overflowRoad;
    else if (argc > at && std::wcscmp(argv[at], L"system") == 0)
        road = &systemRoad;
    else if (argc > at && std::wcscmp(argv[at], L"record") == 0)
        road = &recordRoad;
    else if (argc > at && std::wcscmp(argv[at], L"cleanup") == 0)
        road = &cleanupRoad;
    wchar_t program[] = L"crash-fault-probe.exe";
    wchar_t script[] = L"script";
    wchar_t* args[] = {program, script, nullptr};
    return launcherMain(2, args, road);
}
