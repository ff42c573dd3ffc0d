// The built zra-launcher.exe run as the installer runs it: exact bytes on stdout and the full exit
// code. Every registry key and the installer mutex exist only for the test that makes them.
#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/win32.h"
#include "tools/runner/run_process.h"
#include "tools/testing/registry.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const wchar_t kInProgressKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\InProgress";
const wchar_t kServicingKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending";
const wchar_t kUpdateKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\RebootRequired";

const char kMutexMessage[] = "Another installation is in progress. Please wait for it to complete.";
const char kInProgressReport[] =
    "The system is corrupted by a suspended or interrupted installation.\n"
    "Any further installation attempts will fail with unpredictable consequences.\n"
    "Use the Msizap utility to clean up the system from suspended installations:\n"
    " https://learn.microsoft.com/en-us/windows/win32/msi/msizap-exe\n";
const char kRestartHeader[] = "The following services require a system restart:\n";
const char kServicingLine[] = " Component-Based Servicing pending restart\n";
const char kUpdateLine[] = " Windows Update requires restart \n";
const char kRestartFooter[] = "Restart the system before continuing installation.\n";

std::wstring launcherPath() {
    std::wstring path = ZRA_LAUNCHER_EXE;
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

runner::RunResult launch(const std::vector<std::wstring>& args) {
    runner::RunOptions options;
    options.timeoutMs = 60000;
    runner::RunResult r = runner::runProgram(launcherPath(), args, options);
    EXPECT_FALSE(r.timedOut);
    return r;
}

// Stands in for a running Windows Installer installation.
std::unique_ptr<base::ScopedHandle> holdInstallerMutex() {
    auto mutex = std::make_unique<base::ScopedHandle>(
        ::CreateMutexW(nullptr, FALSE, L"Global\\_MSIExecute"));
    EXPECT_TRUE(mutex->valid());
    EXPECT_NE(static_cast<DWORD>(ERROR_ALREADY_EXISTS), ::GetLastError());
    return mutex;
}

// Windows writes the servicing keys in the native view only; so do the tests.
std::unique_ptr<zra_testing::ScopedKey> nativeKey(const wchar_t* path) {
    return std::make_unique<zra_testing::ScopedKey>(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY);
}

class CheckSystem : public ::testing::Test {
protected:
    void SetUp() override {
        // A leftover key or mutex would make every expectation below meaningless.
        for (const wchar_t* key : {kInProgressKey, kServicingKey, kUpdateKey}) {
            ASSERT_FALSE(zra_testing::keyExists(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY));
            ASSERT_FALSE(zra_testing::keyExists(HKEY_LOCAL_MACHINE, key, KEY_WOW64_32KEY));
        }
        base::ScopedHandle mutex(::OpenMutexW(READ_CONTROL, FALSE, L"Global\\_MSIExecute"));
        ASSERT_FALSE(mutex.valid());
    }

    static void expectCheck(const std::string& out, uint32_t exitCode) {
        const runner::RunResult r = launch({L"--check-system"});
        EXPECT_EQ(out, r.out);
        EXPECT_EQ(exitCode, r.exitCode);
        EXPECT_EQ("", r.err);
    }
};

TEST_F(CheckSystem, NothingFoundIsSilentAndReady) {
    expectCheck("", 0);
}

TEST_F(CheckSystem, RunningInstallationIsOneLineWithoutBreak) {
    auto mutex = holdInstallerMutex();
    expectCheck(kMutexMessage, 1);
    // The interrupted-installation key is not looked at while the mutex is held.
    auto inProgress = nativeKey(kInProgressKey);
    expectCheck(kMutexMessage, 1);
}

TEST_F(CheckSystem, InterruptedInstallationIsReportedOnFourLines) {
    auto inProgress = nativeKey(kInProgressKey);
    expectCheck(kInProgressReport, 1);
}

TEST_F(CheckSystem, EachPendingRestartIsReportedBetweenHeaderAndFooter) {
    {
        auto servicing = nativeKey(kServicingKey);
        expectCheck(std::string(kRestartHeader) + kServicingLine + kRestartFooter, 1);
    }
    {
        auto update = nativeKey(kUpdateKey);
        expectCheck(std::string(kRestartHeader) + kUpdateLine + kRestartFooter, 1);
    }
    auto servicing = nativeKey(kServicingKey);
    auto update = nativeKey(kUpdateKey);
    expectCheck(std::string(kRestartHeader) + kServicingLine + kUpdateLine + kRestartFooter, 1);
}

TEST_F(CheckSystem, BothChecksReportAndRestartFollowsTheMutexMessageOnItsLine) {
    auto mutex = holdInstallerMutex();
    auto update = nativeKey(kUpdateKey);
    expectCheck(std::string(kMutexMessage) + kRestartHeader + kUpdateLine + kRestartFooter, 1);
    mutex.reset();
    auto inProgress = nativeKey(kInProgressKey);
    expectCheck(std::string(kInProgressReport) + kRestartHeader + kUpdateLine + kRestartFooter, 1);
}

TEST_F(CheckSystem, KeysOfThe32BitViewAreNotTheSystemsKeys) {
    // A 32-bit launcher that forgot the view would read Wow6432Node, where Windows never writes.
    zra_testing::ScopedKey inProgress(HKEY_LOCAL_MACHINE, kInProgressKey, KEY_WOW64_32KEY);
    zra_testing::ScopedKey update(HKEY_LOCAL_MACHINE, kUpdateKey, KEY_WOW64_32KEY);
    ASSERT_FALSE(zra_testing::keyExists(HKEY_LOCAL_MACHINE, kUpdateKey, KEY_WOW64_64KEY));
    expectCheck("", 0);
}

bool enablePrivilege(const wchar_t* name) {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw))
        return false;
    base::ScopedHandle token(raw);
    TOKEN_PRIVILEGES privileges = TOKEN_PRIVILEGES();
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    return ::LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
           ::AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) &&
           ::GetLastError() == ERROR_SUCCESS;
}

// A key present but closed to the launcher's account is a check that could not be made: not
// ready, with a line that names the check (an installer told "ready" would go ahead into it).
TEST_F(CheckSystem, AKeyTheAccountCannotOpenIsNotReadyAndNamed) {
    auto update = nativeKey(kUpdateKey);
    {
        // Owned by SYSTEM, and everyone else may only delete it (so the test can clean up) and
        // change its DACL: not even READ_CONTROL is left for the launcher's account.
        ASSERT_TRUE(enablePrivilege(L"SeRestorePrivilege"));
        base::ScopedRegKey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUpdateKey, 0,
                                  WRITE_DAC | WRITE_OWNER | KEY_WOW64_64KEY, key.put()));
        base::ScopedLocalMem descriptor;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"O:SYD:P(A;;0x50000;;;WD)", SDDL_REVISION_1,
            reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()), nullptr));
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegSetKeySecurity(key.get(),
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      descriptor.get()));
    }
    base::ScopedRegKey probe;
    ASSERT_EQ(ERROR_ACCESS_DENIED, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUpdateKey, 0,
                                                   READ_CONTROL | KEY_WOW64_64KEY, probe.put()));
    expectCheck("Unable to check for a restart required by Windows Update: (5) " +
                    cstr(systemMessage(5), 65001) + "\n",
                1);
}

TEST_F(CheckSystem, FurtherArgumentsAreIgnored) {
    auto servicing = nativeKey(kServicingKey);
    const runner::RunResult r = launch({L"--check-system", L"extra", L"args"});
    EXPECT_EQ(std::string(kRestartHeader) + kServicingLine + kRestartFooter, r.out);
    EXPECT_EQ(1u, r.exitCode);
}

TEST_F(CheckSystem, TheSwitchIsCaseSensitive) {
    // Taken as a script name: the examination road runs and fails, nothing is checked.
    auto servicing = nativeKey(kServicingKey);
    const runner::RunResult r = launch({L"--CHECK-SYSTEM"});
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_FALSE(r.out.empty());
    EXPECT_EQ(std::string::npos, r.out.find("restart"));
    EXPECT_NE('\n', r.out.back());
}

TEST(LauncherFailure, NoArgumentPrintsTheMessageOnly) {
    const runner::RunResult r = launch({});
    EXPECT_EQ("Incorrect launching options.", r.out);
    EXPECT_EQ(1u, r.exitCode);
}

TEST(LauncherFailure, DebugSwitchAddsTheTrailOfLocations) {
    {
        const auto debug = zra_testing::panelValue(L"Debug", zra_testing::RegistryValue::dword(1));
        const runner::RunResult r = launch({});
        EXPECT_EQ("Incorrect launching options.\n   at (wmain line 66)\n"
                  "   at Failed to launch an examination.(wmain line 120)",
                  r.out);
        EXPECT_EQ(1u, r.exitCode);
    }
    {
        // Only a non-zero value switches it on.
        const auto debug = zra_testing::panelValue(L"Debug", zra_testing::RegistryValue::dword(0));
        EXPECT_EQ("Incorrect launching options.", launch({}).out);
    }
}

TEST(LauncherSwitches, VersionAndHelpDescribeTheProgramItself) {
    const std::string version = std::to_string(ZRA_PROJECT_VERSION_MAJOR) + "." +
                                std::to_string(ZRA_PROJECT_VERSION_MINOR) + "." +
                                std::to_string(ZRA_PROJECT_VERSION_PATCH);
    const std::string versionLine = "zra-launcher " + version + "\n";
    // Like "--check-system", the switches are exact and ignore what follows them.
    for (const std::vector<std::wstring>& args :
         {std::vector<std::wstring>{L"--version"}, {L"--version", L"--help"}}) {
        const runner::RunResult r = launch(args);
        EXPECT_EQ(versionLine, r.out);
        EXPECT_EQ(0u, r.exitCode);
    }
    const runner::RunResult help = launch({L"--help"});
    EXPECT_EQ(0u, help.exitCode);
    EXPECT_EQ(0u, help.out.rfind(versionLine, 0)) << help.out;
    for (const char* part : {"zra-launcher.exe --check-system", "zra-launcher.exe SCRIPT [ARGS...]",
                             "Exit codes:", "operating.md"})
        EXPECT_NE(std::string::npos, help.out.find(part)) << part;
    // Any other spelling names a script, which is not there.
    for (const wchar_t* other : {L"--VERSION", L"-version", L"--help "}) {
        const runner::RunResult r = launch({other});
        EXPECT_EQ(1u, r.exitCode);
        EXPECT_EQ(std::string::npos, r.out.find(versionLine)) << r.out;
    }
}

} // namespace
