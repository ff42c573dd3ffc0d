// Where the shared test helpers could fail silently: a value or key left behind, a value put back
// wrong, a directory left over, output that escapes the capture, a service that does not stop.
#include "tools/testing/registry.h"
#include "tools/testing/standin_service.h"
#include "tools/testing/stdout_capture.h"
#include "tools/testing/temp.h"

#include <gtest/gtest.h>

#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

namespace zra_testing {
namespace {

RegistryValue read(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return RegistryValue::absent();
    BYTE data[256];
    DWORD size = sizeof data;
    DWORD type = 0;
    const LONG code = ::RegQueryValueExW(key, name, nullptr, &type, data, &size);
    ::RegCloseKey(key);
    return code == ERROR_SUCCESS ? RegistryValue::raw(type, data, size) : RegistryValue::absent();
}

bool same(const RegistryValue& a, const RegistryValue& b) {
    return a.present == b.present && (!a.present || (a.type == b.type && a.data == b.data));
}

TEST(ScopedValue, PutsBackWhatWasThereOrNothing) {
    // The first existing value is an expandable string, so a restoration that loses the type shows.
    const struct {
        const char* name;
        RegistryValue before;
        RegistryValue during;
    } cases[] = {
        {"replaced", RegistryValue::text(L"%TEMP%\\old", REG_EXPAND_SZ), RegistryValue::dword(7)},
        {"removed for the scope", RegistryValue::dword(1), RegistryValue::absent()},
        {"new", RegistryValue::absent(), RegistryValue::text(L"new")},
        {"absent stays absent", RegistryValue::absent(), RegistryValue::absent()},
    };
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            TempKey temp(view);
            if (c.before.present)
                temp.set(L"v", c.before);
            {
                ScopedValue value(HKEY_LOCAL_MACHINE, temp.path(), L"v", c.during, view);
                EXPECT_TRUE(same(c.during, read(HKEY_LOCAL_MACHINE, temp.path(), L"v", view)));
            }
            EXPECT_TRUE(same(c.before, read(HKEY_LOCAL_MACHINE, temp.path(), L"v", view)));
        }
}

TEST(ScopedKey, RemovesExactlyTheLevelsItMade) {
    TempKey temp(KEY_WOW64_64KEY);
    const std::wstring kept = temp.path() + L"\\kept";
    ScopedKey existing(HKEY_LOCAL_MACHINE, kept, KEY_WOW64_64KEY);
    const std::wstring made = kept + L"\\a\\b";
    {
        ScopedKey key(HKEY_LOCAL_MACHINE, made, KEY_WOW64_64KEY);
        ScopedKey moved(std::move(key));
        EXPECT_FALSE(moved.existed());
        EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, made, KEY_WOW64_64KEY));
        // What a program under test adds below the key goes with it.
        HKEY below = nullptr;
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (made + L"\\c\\d").c_str(), 0, nullptr, 0,
                          KEY_WRITE | KEY_WOW64_64KEY, nullptr, &below, nullptr);
        ::RegCloseKey(below);
    }
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kept + L"\\a", KEY_WOW64_64KEY));
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, kept, KEY_WOW64_64KEY));
    // Only the view it was made in.
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kept, KEY_WOW64_32KEY));
}

TEST(ScopedValue, AKeyItMadeGoesAgainWithTheValue) {
    TempKey temp;
    const std::wstring path = temp.path() + L"\\made\\here";
    {
        ScopedValue value(HKEY_LOCAL_MACHINE, path, L"v", RegistryValue::dword(1), KEY_WOW64_32KEY);
        ScopedValue moved(std::move(value));
        EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY));
    }
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, temp.path() + L"\\made", KEY_WOW64_32KEY));
}

// A scope that cannot put things back says so instead of leaving the registry as it found it
// changed; test programs fail the running test on it.
std::vector<std::string> g_cleanupFailures;
void recordCleanupFailure(const std::wstring& what, LONG code) {
    g_cleanupFailures.push_back(std::string(what.begin(), what.end()) + " " + std::to_string(code));
}

TEST(ScopedValue, AValueThatCannotBePutBackIsReported) {
    g_cleanupFailures.clear();
    struct Recording {
        CleanupFailureHandler previous = setCleanupFailureHandler(&recordCleanupFailure);
        ~Recording() { setCleanupFailureHandler(previous); }
    } recording;
    {
        TempKey temp;
        {
            ScopedValue value(HKEY_LOCAL_MACHINE, temp.path(), L"v", RegistryValue::dword(1),
                              KEY_WOW64_32KEY);
            // Gone under the scope's feet: there is nothing left to restore the value in.
            ASSERT_TRUE(removeKeyTree(HKEY_LOCAL_MACHINE, temp.path(), KEY_WOW64_32KEY));
        }
        ASSERT_EQ(1u, g_cleanupFailures.size());
        EXPECT_EQ(0u, g_cleanupFailures[0].find("restoring ")) << g_cleanupFailures[0];
    }
}

TEST(TempKey, IsRemovedWithEverythingInIt) {
    std::wstring path;
    {
        TempKey temp;
        path = temp.path();
        temp.setDword(L"v", 1);
        HKEY key = nullptr;
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (path + L"\\unowned\\deep").c_str(), 0, nullptr, 0,
                          KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
        ::RegCloseKey(key);
    }
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY));
}

TEST(TempDirectory, IsRemovedWithNestedAndReadOnlyFiles) {
    std::wstring path;
    {
        TempDirectory directory;
        path = directory.path();
        ASSERT_TRUE(::CreateDirectoryW((directory / L"sub").c_str(), nullptr));
        const std::wstring file = directory / L"sub\\file.txt";
        HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_READONLY, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        ::CloseHandle(handle);
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(path.c_str()));
}

// A child started with inherited standard handles writes where the capture points.
DWORD runInheriting(std::wstring commandLine) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION information = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &information))
        return ::GetLastError();
    ::WaitForSingleObject(information.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(information.hProcess, &code);
    ::CloseHandle(information.hProcess);
    ::CloseHandle(information.hThread);
    return code;
}

TEST(StdoutCapture, TakesTheRuntimeTheHandleAndAChildAsAsked) {
    const std::wstring child = quoteArgument(backslashed(ZRA_STANDIN_SERVICE_EXE)) + L" --help";
    const struct {
        const char* name;
        StdoutCapture::Options options;
        const char* printed; // what printf("r\n") leaves, or nothing
    } cases[] = {
        {"runtime, binary", {true, false}, "r\nh;"},
        {"runtime, text", {true, true}, "r\r\nh;"},
        {"handle only", {false, false}, "h;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text;
        {
            StdoutCapture capture(c.options);
            std::printf("r\n");
            std::fflush(stdout);
            DWORD written = 0;
            ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), "h;", 2, &written, nullptr);
            EXPECT_EQ(0u, runInheriting(child));
            text = capture.finish();
        }
        // Standard output is usable again, by handle and through descriptor 1 alike.
        DWORD flags = 0;
        EXPECT_TRUE(::GetHandleInformation(::GetStdHandle(STD_OUTPUT_HANDLE), &flags))
            << ::GetLastError();
        EXPECT_EQ(reinterpret_cast<intptr_t>(::GetStdHandle(STD_OUTPUT_HANDLE)), _get_osfhandle(1));
        EXPECT_EQ(0u, text.find(c.printed)) << text;
        // The service's usage text comes through the handle the child inherits.
        EXPECT_NE(std::string::npos, text.find("--stop-event")) << text;
    }
}

TEST(StandinService, StopsEitherWayAndKeepsItsLines) {
    for (auto stop : {StandinService::Options::Stop::Input, StandinService::Options::Stop::Event}) {
        StandinService::Options options;
        options.stop = stop;
        const std::wstring pipe = uniqueName(L"zra-testing");
        StandinService service(backslashed(ZRA_STANDIN_SERVICE_EXE), {L"--pipe", pipe}, options);
        EXPECT_TRUE(service.ready());
        EXPECT_EQ(1u, service.lines(L"ready").size());
        EXPECT_TRUE(::WaitNamedPipeW((L"\\\\.\\pipe\\" + pipe).c_str(), 5000));
        service.stop();
        EXPECT_TRUE(service.stoppedCleanly());
        EXPECT_FALSE(::WaitNamedPipeW((L"\\\\.\\pipe\\" + pipe).c_str(), 0));
    }
}

TEST(StandinService, ReportsAServiceThatCannotStart) {
    EXPECT_THROW(StandinService(backslashed(ZRA_STANDIN_SERVICE_EXE), {L"--no-such-option"}),
                 std::runtime_error);
}

} // namespace
} // namespace zra_testing
