// The examination road end to end: the built launcher asks the stand-in management service for the
// password and the version, and starts the reporting child in place of the panel's php.exe and the
// interpreters. The child's command line and directory are compared byte for byte.
#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/win32.h"
#include "launcher/entry.h"
#include "os/path.h"
#include "process/arguments.h"
#include "process/child_process.h"
#include "tools/children/child_test_support.h"
#include "tools/runner/run_process.h"
#include "standin_service.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>
#include "tools/testing/fault_codes.h"

using namespace childtest;
using namespace launchertest;

namespace {

class Examination : public ::testing::Test {
protected:
    Examination() {
        // A space in the product root makes the launcher quote the php.ini path.
        root = base / L"product root";
        scripts = base / L"scripts";
        work = base / L"work";
        for (const std::wstring& directory :
             {root, root + L"\\admin", root + L"\\admin\\bin", scripts, work})
            makeDirectory(directory);
        copyChild(root + L"\\admin\\bin\\php.exe");
        writeFile(root + L"\\admin\\php.ini", "");
        writeFile(scripts + L"\\check.php", "<?php echo 1;\n");
        static int counter = 0;
        pipe = L"zra-exam-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
               std::to_wstring(++counter);
    }

    runner::RunResult launch(const std::vector<std::wstring>& serviceLines,
                             const std::vector<std::wstring>& args) {
        const auto name = zra_testing::panelPipeName(pipe);
        const auto service = startService(pipe, root, serviceLines);
        runner::RunOptions options;
        options.timeoutMs = 60000;
        options.workingDirectory = work;
        runner::RunResult result = runner::runProgram(launcherExe(), args, options);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    TempDir base;
    std::wstring root;
    std::wstring scripts;
    std::wstring work;
    std::wstring pipe;
};

const std::vector<std::wstring> kPassedOn = {L"a b", L"q\"x", L"C:\\dir x\\", L"plain"};
const std::wstring kPassedOnText = L"\"a b\" \"q\\\"x\" \"C:\\dir x\\\\\" plain ";

} // namespace

TEST_F(Examination, VersionDecidesBetweenTheProductPhpIniAndTheScriptsType) {
    const std::wstring script = scripts + L"\\check.php";
    const std::wstring iniRoad =
        L"\"" + root + L"\\admin\\bin\\php.exe\" -q -dauto_prepend_file=\"\" -c \"" + root +
        L"\\admin\\php.ini\" " + script + L" " + kPassedOnText + L"\"p w\\\"d\"";
    const std::wstring typedRoad = L"\"" + root + L"\\admin\\bin\\php.exe\" -q \"" + script +
                                   L"\" " + kPassedOnText + L"\"p w\\\"d\"";
    const struct {
        std::vector<std::wstring> lines;
        bool typed;
    } cases[] = {
        {{L"value PANEL_VERSION=11.5.30"}, false},
        {{L"value PANEL_VERSION=11.6"}, false},
        {{L"value PANEL_VERSION=11.6.0"}, true},
        {{L"value PANEL_VERSION=12"}, true},
        // An empty panel version falls back to the product version.
        {{L"value PANEL_VERSION=", L"value PRODUCT_VERSION=12.1"}, true},
        {{L"value PANEL_VERSION=", L"value PRODUCT_VERSION=11.5"}, false},
        // An unavailable panel version too; an empty product version is lower than any.
        {{L"error PANEL_VERSION=no such value", L"value PRODUCT_VERSION="}, false},
        {{L"error PANEL_VERSION=no such value", L"value PRODUCT_VERSION=11.6.0"}, true},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> lines = c.lines;
        lines.push_back(L"secret pwd=p w\"d");
        std::vector<std::wstring> args = {script};
        args.insert(args.end(), kPassedOn.begin(), kPassedOn.end());
        const runner::RunResult result = launch(lines, args);
        const auto report = parseReport(result.out);
        const std::string label = utf8(c.lines[0]);
        EXPECT_EQ(result.exitCode, 0u) << label << result.out;
        ASSERT_EQ(report.count("cmdline"), 1u) << label << result.out;
        EXPECT_EQ(report.at("cmdline"), utf8(c.typed ? typedRoad : iniRoad)) << label;
        EXPECT_EQ(report.at("cwd"), utf8(c.typed ? root + L"\\admin" : work)) << label;
        // The launcher itself writes nothing when the examination ran.
        EXPECT_EQ(result.out,
                  "cmdline: " + report.at("cmdline") + "\ncwd: " + report.at("cwd") + "\n")
            << label;
    }
}

TEST_F(Examination, ThePhpOfTheScriptRoadIsTheConfiguredRootAsGiven) {
    // The interpreter path is built from the raw "PRODUCT_ROOT_D" value; the working directory and
    // the php.ini road use the normalised product root.
    const std::wstring script = scripts + L"\\check.php";
    const std::vector<std::wstring> lines = {L"value PRODUCT_ROOT_D=" + root + L"\\.\\",
                                             L"secret pwd=pw"};
    std::vector<std::wstring> typed = lines;
    typed.push_back(L"value PANEL_VERSION=12");
    runner::RunResult result = launch(typed, {script});
    auto report = parseReport(result.out);
    EXPECT_EQ(report["cmdline"],
              utf8(L"\"" + root + L"\\.\\admin\\bin\\php.exe\" -q \"" + script + L"\" pw"))
        << result.out;
    EXPECT_EQ(report["cwd"], utf8(root + L"\\admin"));

    std::vector<std::wstring> old = lines;
    old.push_back(L"value PANEL_VERSION=11.5");
    result = launch(old, {script});
    report = parseReport(result.out);
    EXPECT_EQ(report["cmdline"], utf8(L"\"" + root +
                                      L"\\admin\\bin\\php.exe\" -q "
                                      L"-dauto_prepend_file=\"\" -c \"" +
                                      root + L"\\admin\\php.ini\" " + script + L" pw"))
        << result.out;
    EXPECT_EQ(report["cwd"], utf8(work));
}

// A product root whose php.ini and log paths are past the short form's limits while php.exe and
// the admin directory still fit: php.ini goes to php in the long form, and both roads run. Past
// that, no process can be started there; a working directory too long is refused before the start.
TEST_F(Examination, ALongProductRootRunsBothRoads) {
    const std::wstring parent = base / L"long root";
    root = parent + L"\\" + std::wstring(239 - parent.size(), L'r');
    ASSERT_EQ(240u, root.size());
    for (const std::wstring& level : {parent, root, root + L"\\admin", root + L"\\admin\\bin"})
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + level).c_str(), nullptr)) << utf8(level);
    copyChild(root + L"\\admin\\bin\\php.exe");
    writeFile(L"\\\\?\\" + root + L"\\admin\\php.ini", "");
    const std::wstring script = scripts + L"\\check.php";

    runner::RunResult result = launch({L"value PANEL_VERSION=11.5", L"secret pwd=pw"}, {script});
    auto report = parseReport(result.out);
    EXPECT_EQ(result.exitCode, 0u) << result.out;
    EXPECT_EQ(report["cmdline"], utf8(L"\"" + root +
                                      L"\\admin\\bin\\php.exe\" -q -dauto_prepend_file=\"\" -c "
                                      L"\"\\\\?\\" +
                                      root + L"\\admin\\php.ini\" " + script + L" pw"))
        << result.out;
    EXPECT_EQ(report["cwd"], utf8(work));

    result = launch({L"value PANEL_VERSION=12", L"secret pwd=pw"}, {script});
    report = parseReport(result.out);
    EXPECT_EQ(result.exitCode, 0u) << result.out;
    EXPECT_EQ(report["cmdline"],
              utf8(L"\"" + root + L"\\admin\\bin\\php.exe\" -q \"" + script + L"\" pw"))
        << result.out;
    EXPECT_EQ(report["cwd"], utf8(root + L"\\admin")) << result.out;

    // An admin directory of 259 characters: the start is refused with the reason.
    root = parent + L"\\" + std::wstring(252 - parent.size(), L't');
    ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + root).c_str(), nullptr));
    result = launch({L"value PANEL_VERSION=12", L"secret pwd=pw"}, {script});
    EXPECT_EQ(result.exitCode, 1u) << result.out;
    EXPECT_NE(result.out.find(utf8(L"The working directory " + root +
                                   L"\\admin is 259 characters long, more than the 258")),
              std::string::npos)
        << result.out;
}

TEST_F(Examination, AnEmptyPasswordAddsNothing) {
    const std::wstring script = scripts + L"\\check.php";
    const std::wstring php = L"\"" + root + L"\\admin\\bin\\php.exe\" -q ";
    runner::RunResult result =
        launch({L"value PANEL_VERSION=11.5.30", L"secret pwd="}, {script, L"x"});
    EXPECT_EQ(parseReport(result.out)["cmdline"],
              utf8(php + L"-dauto_prepend_file=\"\" -c \"" + root + L"\\admin\\php.ini\" " +
                   script + L" x "));
    result = launch({L"value PANEL_VERSION=11.5.30", L"secret pwd="}, {script});
    EXPECT_EQ(parseReport(result.out)["cmdline"],
              utf8(php + L"-dauto_prepend_file=\"\" -c \"" + root + L"\\admin\\php.ini\" " +
                   script + L" "));
    result = launch({L"value PANEL_VERSION=12", L"secret pwd="}, {script, L"x"});
    EXPECT_EQ(parseReport(result.out)["cmdline"], utf8(php + L"\"" + script + L"\" x "));
}

TEST_F(Examination, AnEmptyArgumentKeepsItsPlace) {
    const std::wstring script = scripts + L"\\check.php";
    const std::wstring php = L"\"" + root + L"\\admin\\bin\\php.exe\" -q ";
    runner::RunResult result =
        launch({L"value PANEL_VERSION=12", L"secret pwd=pw"}, {script, L"", L"x"});
    EXPECT_EQ(parseReport(result.out)["cmdline"], utf8(php + L"\"" + script + L"\" \"\" x pw"));
    result = launch({L"value PANEL_VERSION=11.5.30", L"secret pwd=pw"}, {script, L"x", L""});
    EXPECT_EQ(parseReport(result.out)["cmdline"],
              utf8(php + L"-dauto_prepend_file=\"\" -c \"" + root + L"\\admin\\php.ini\" " +
                   script + L" x \"\" pw"));
}

TEST_F(Examination, ExitCodesOfTheChildBecomeTheLaunchersOwn) {
    const std::wstring script = scripts + L"\\check.php";
    for (const wchar_t* code : {L"0", L"3", L"5", L"259", L"0xC0000005"}) {
        ScopedEnvironment exit(L"ZRA_CHILD_EXIT", code);
        const runner::RunResult result = launch({L"value PANEL_VERSION=12"}, {script});
        EXPECT_EQ(result.exitCode, std::wcstoul(code, nullptr, 0)) << utf8(code);
    }
    ScopedEnvironment crash(L"ZRA_CHILD_CRASH", L"1");
    EXPECT_PRED2(
        zra_test::isReportedFault, 0xC0000005u,
        static_cast<uint32_t>(launch({L"value PANEL_VERSION=11.5.30"}, {script}).exitCode));
}

namespace {

// The identifier of the reporting child that left its start mark in directory, 0 while none has.
DWORD markedChild(const std::wstring& directory) {
    WIN32_FIND_DATAW data;
    base::ScopedFindHandle find(::FindFirstFileW((directory + L"\\ran-*.txt").c_str(), &data));
    if (!find)
        return 0;
    const std::wstring name = data.cFileName;
    const size_t dash = name.rfind(L'-');
    return dash == std::wstring::npos ? 0 : std::wcstoul(name.c_str() + dash + 1, nullptr, 10);
}

} // namespace

// Killed, the launcher takes its child with it: the child must not go on, orphaned, with the
// password on its command line.
TEST_F(Examination, AKilledLauncherTakesItsChildWithIt) {
    const std::wstring marks = base / L"marks";
    makeDirectory(marks);
    ScopedEnvironment mark(L"ZRA_CHILD_MARK_DIR", marks);
    ScopedEnvironment sleep(L"ZRA_CHILD_SLEEP_MS", L"30000");
    ScopedEnvironment done(L"ZRA_CHILD_DONE_FILE", base / L"done");
    const auto name = zra_testing::panelPipeName(pipe);
    const auto service = startService(pipe, root, {L"value PANEL_VERSION=11.5.30"});

    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    base::ScopedFileHandle nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                             OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(nul);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.get();
    std::wstring commandLine = runner::buildCommandLine({launcherExe(), scripts + L"\\check.php"});
    PROCESS_INFORMATION information{};
    ASSERT_TRUE(::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                 work.c_str(), &startup, &information));
    base::ScopedHandle launcher(information.hProcess);
    ::CloseHandle(information.hThread);

    DWORD childId = 0;
    while ((childId = markedChild(marks)) == 0 &&
           ::WaitForSingleObject(launcher.get(), 20) == WAIT_TIMEOUT) {
    }
    ASSERT_NE(0u, childId) << "the launcher ended before its child started";
    base::ScopedHandle child(::OpenProcess(SYNCHRONIZE, FALSE, childId));
    ASSERT_TRUE(child);
    ASSERT_TRUE(::TerminateProcess(launcher.get(), 9));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(child.get(), 60000));
    // Ended by the kill, not at the end of its sleep.
    EXPECT_FALSE(fileExists(base / L"done"));
}

TEST_F(Examination, ScriptsRunByTheirType) {
    const std::wstring tools = base / L"tools";
    makeDirectory(tools);
    makeDirectory(tools + L"\\bin");
    copyChild(tools + L"\\bin\\perl.exe");
    copyChild(tools + L"\\python.exe");
    writeFile(scripts + L"\\probe", "#!/usr/bin/env python\nprint(1)\n");
    writeFile(scripts + L"\\check.pl", "print 1;\n");
    const std::vector<std::wstring> lines = {L"value PANEL_VERSION=12", L"secret pwd=pw",
                                             L"component perl 2=" + tools,
                                             L"component python 2=" + tools};
    // No extension given: the first file of the directory that runs is taken.
    runner::RunResult result = launch(lines, {scripts + L"\\probe", L"a b"});
    EXPECT_EQ(parseReport(result.out)["cmdline"],
              utf8(L"\"" + tools + L"\\python.exe\" \"" + scripts + L"\\probe\" \"a b\" pw"));
    EXPECT_EQ(parseReport(result.out)["cwd"], utf8(root + L"\\admin"));
    result = launch(lines, {scripts + L"\\check.pl"});
    EXPECT_EQ(parseReport(result.out)["cmdline"],
              utf8(L"\"" + tools + L"\\bin\\perl.exe\" \"" + scripts + L"\\check.pl\" pw"));

    // Windows Script Host: Wine's own cscript runs the script and its exit code comes back.
    writeFile(scripts + L"\\echo.vbs", "WScript.Echo \"n=\" & WScript.Arguments.Count\r\n"
                                       "Dim i\r\n"
                                       "For i = 0 To WScript.Arguments.Count - 1\r\n"
                                       "WScript.Echo \"[\" & WScript.Arguments.Item(i) & \"]\"\r\n"
                                       "Next\r\n"
                                       "WScript.Quit 7\r\n");
    result = launch(lines, {scripts + L"\\echo.vbs", L"a b", L"c"});
    EXPECT_EQ(result.exitCode, 7u);
    EXPECT_EQ(result.out, "n=3\r\n[a b]\r\n[c]\r\n[pw]\r\n");
}

TEST_F(Examination, BatchFilesGetThePasswordWithoutRunningAnyOfIt) {
    copyChild(scripts + L"\\report.exe");
    writeFile(scripts + L"\\check.bat",
              "@\"" + cstr(scripts, 0) + "\\report.exe\" %*\r\n@exit /b 4\r\n");
    const std::wstring marker = base / L"injected.txt";
    const std::wstring password = L"&echo INJECTED>\"" + marker + L"\"&";
    const runner::RunResult result = launch({L"value PANEL_VERSION=12", L"secret pwd=" + password},
                                            {scripts + L"\\check.bat", L"ends in\\", L"x\"y"});
    EXPECT_EQ(result.exitCode, 4u) << result.out << result.err;
    EXPECT_EQ(parseReport(result.out)["cmdline"],
              utf8(L"\"" + scripts + L"\\report.exe\" \"ends in\\\\\" \"x\"\"y\" \"" +
                   L"&echo INJECTED>\"\"" + marker + L"\"\"&\""));
    EXPECT_EQ(::GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Examination, BatchFilesPassEachValueOnWhole) {
    copyChild(scripts + L"\\report.exe");
    writeFile(scripts + L"\\forward.bat", "@\"" + cstr(scripts, 0) +
                                              "\\report.exe\" \"%~1\" \"%~2\" \"%~3\" \"%~4\" "
                                              "\"%~5\" \"%~6\"\r\n");
    const std::vector<std::wstring> values = {L"a\\", L"a\\\\", L"x)", L"(", L"a b\\"};
    std::vector<std::wstring> args = {scripts + L"\\forward.bat"};
    args.insert(args.end(), values.begin(), values.end());
    const runner::RunResult result = launch({L"value PANEL_VERSION=12", L"secret pwd=pw\\"}, args);
    EXPECT_EQ(result.exitCode, 0u) << result.out;
    std::vector<std::wstring> received;
    for (const ArgumentToken& token :
         splitArguments(wstr(parseReport(result.out)["cmdline"], 65001)))
        received.push_back(token.value);
    std::vector<std::wstring> expected = {scripts + L"\\report.exe"};
    expected.insert(expected.end(), values.begin(), values.end());
    expected.push_back(L"pw\\");
    EXPECT_EQ(received, expected) << result.out;
}

// The failure text is printed on the launcher's standard output: the command line in it shows the
// password as *****.
TEST_F(Examination, StartFailuresNeverShowThePassword) {
    const std::wstring password = L"Pa55-w0rd\\";
    const std::string passwordText = "Pa55-w0rd";
    const std::wstring marker = base / L"ran.txt";
    writeFile(scripts + L"\\check.bat", "@echo ran>\"" + cstr(marker, 0) + "\"\r\n");
    const std::wstring php = scripts + L"\\check.php";
    // On the php.ini road the child's line holds the php.exe and php.ini paths besides what the
    // launcher was given: a launcher line under the limit gives a child line over it.
    const size_t launcherLine = 32700;
    const std::wstring filler(
        launcherLine - runner::buildCommandLine({launcherExe(), php, L"y"}).size() + 1, L'y');
    ASSERT_EQ(runner::buildCommandLine({launcherExe(), php, filler}).size(), launcherLine);
    const struct {
        const wchar_t* version;
        std::vector<std::wstring> args;
        bool removeAdmin;
        const char* reason;
    } cases[] = {
        {L"12",
         {scripts + L"\\check.bat", L"a\\", std::wstring(1100, L'%')},
         false,
         "more than the 8191 that cmd reads for a batch file"},
        {L"11.5.30", {php, filler}, false, "more than the 32766 that a process can be given"},
        // The batch road starts in the product's admin directory: CreateProcess fails without it.
        {L"12", {scripts + L"\\check.bat", L"a\\"}, true, "): (267) "},
    };
    for (const auto& c : cases) {
        if (c.removeAdmin)
            removeTree(root + L"\\admin");
        const runner::RunResult result = launch(
            {std::wstring(L"value PANEL_VERSION=") + c.version, L"secret pwd=" + password}, c.args);
        EXPECT_EQ(result.exitCode, 1u) << result.out;
        EXPECT_EQ(result.out.rfind("Unable to start (", 0), 0u) << result.out;
        EXPECT_NE(result.out.find(" *****"), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find(passwordText), std::string::npos) << result.out;
        EXPECT_NE(result.out.find(c.reason), std::string::npos) << result.out;
        // Nothing ran: neither the batch file nor php.exe.
        EXPECT_EQ(result.out.find("cmdline:"), std::string::npos);
        EXPECT_FALSE(fileExists(marker));
    }
}

TEST_F(Examination, FailuresArePrintedWithExitCodeOne) {
    const std::wstring script = scripts + L"\\check.pl";
    writeFile(script, "print 1;\n");
    runner::RunResult result = launch({L"value PANEL_VERSION=12", L"component perl 2="}, {script});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, utf8(L"Unable to start (" + script + L"): Perl is not installed"));

    result = launch({L"value PANEL_VERSION=12"}, {scripts + L"\\nothing-here"});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, utf8(L"'" + scripts +
                               L"\\nothing-here' is not recognized as an internal or external "
                               L"command, operable program or batch file."));

    // No password, no launch: nothing is started.
    result = launch({L"value PANEL_VERSION=12", L"error pwd=no secret today"},
                    {scripts + L"\\check.php"});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out.find("cmdline"), std::string::npos);
    EXPECT_NE(result.out.find("no secret today"), std::string::npos) << result.out;

    // Neither version: the product version's failure ends the launch.
    result = launch({L"error PANEL_VERSION=gone", L"error PRODUCT_VERSION=also gone"},
                    {scripts + L"\\check.php"});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_NE(result.out.find("also gone"), std::string::npos) << result.out;
}

namespace {

DWORD gChildId = 0;

// The child below is a program: nothing asks where interpreters live.
class NoProductSettings : public ProductSettings {
public:
    std::wstring componentDirectory(const std::wstring&) override { return L""; }
    std::wstring productRootSetting() override { return L""; }
    std::wstring productAdminDirectory() override { return L""; }
};

// The examination road up to its wait, with the wait made to fail: the process handle is taken
// away from the child object after the start.
uint32_t examinationWithFailingWait(int, wchar_t**) {
    NoProductSettings settings;
    VChildProcess child(settings);
    child.setInheritStdInput(true);
    child.setInheritStdOutput(true);
    child.setInheritStdError(true);
    child.setNoWindow(false);
    child.start(reportChildExe(), L"", ChildStartOptions());
    gChildId = child.processId();
    ::CloseHandle(child.processHandle());
    return child.waitExitCode();
}

} // namespace

TEST(ExaminationFailure, AFailureAfterTheStartGivesOneAndLeavesTheChildRunning) {
    TempDir dir;
    ScopedEnvironment sleep(L"ZRA_CHILD_SLEEP_MS", L"1500");
    ScopedEnvironment done(L"ZRA_CHILD_DONE_FILE", dir / L"done");
    // The child shares this process's standard output and writes its report there.
    wchar_t name[] = L"zra-launcher.exe";
    wchar_t script[] = L"script";
    wchar_t* argv[] = {name, script, nullptr};
    EXPECT_EQ(launcherMain(2, argv, &examinationWithFailingWait), 1);
    base::ScopedHandle process(::OpenProcess(SYNCHRONIZE, FALSE, gChildId));
    ASSERT_TRUE(process.valid());
    EXPECT_EQ(::WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(::WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(fileExists(dir / L"done"));
}
