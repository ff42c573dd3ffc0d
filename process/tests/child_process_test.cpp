#include "os/path.h"
#include "process/child_process.h"
#include "process/command.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include "tools/testing/fault_codes.h"

using pt::FakeSettings;
using pt::ScopedEnvironment;
using pt::TempDir;

namespace {

bool isRunning(HANDLE process) {
    return ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

// The name of the pipe behind a handle, as the file system reports it ("\\name").
std::wstring pipeName(HANDLE pipe) {
    alignas(FILE_NAME_INFO) char buffer[sizeof(FILE_NAME_INFO) + 1024 * sizeof(wchar_t)];
    if (!::GetFileInformationByHandleEx(pipe, FileNameInfo, buffer, sizeof(buffer)))
        return std::wstring();
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer);
    return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

// Which child exe resolution reports for the reporting child: the normalised long-path form.
std::wstring resolvedChild() {
    std::wstring path = makeLongPath(L"", pt::childExe());
    return path.substr(4);
}

class ChildProcess : public ::testing::Test {
protected:
    void SetUp() override { pt::RecordingSink::install(); }

    // Starts the child with pipes, feeds it input, and returns what it wrote to stdout and stderr.
    std::pair<std::string, std::string>
    runWithPipes(VChildProcess& child, const std::wstring& command, const std::wstring& arguments,
                 const std::string& input = std::string(), const ChildStartOptions& options = {}) {
        child.start(command, arguments, options);
        return pt::collectOutput(child, input);
    }

    FakeSettings settings;
};

} // namespace

TEST(StdPipeNames, CarryThePrefixAndDifferInOneThread) {
    const std::wstring prefix = L"\\\\.\\pipe\\VarnoWin32.Pipes.";
    const std::wstring first = VChildDetail::makeStdPipeName();
    const std::wstring second = VChildDetail::makeStdPipeName();
    EXPECT_NE(first, second);
    for (const std::wstring& name : {first, second}) {
        ASSERT_EQ(name.compare(0, prefix.size(), prefix), 0) << pt::utf8(name);
        const std::wstring digits = name.substr(prefix.size());
        EXPECT_EQ(digits.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos);
        // Thread id, time and random part: at least one digit each, and the counter.
        EXPECT_GE(digits.size(), 4u);
    }
}

TEST(StdPipeNames, ATakenNameIsSteppedPastWithAFreshOne) {
    std::vector<std::wstring> tried;
    std::wstring name;
    base::ScopedFileHandle pipe =
        VChildDetail::createServerPipe(name, [&](const std::wstring& candidate) -> HANDLE {
            tried.push_back(candidate);
            if (tried.size() < 3) {
                ::SetLastError(ERROR_PIPE_BUSY);
                return INVALID_HANDLE_VALUE;
            }
            return ::CreateNamedPipeW(candidate.c_str(), PIPE_ACCESS_INBOUND, 0, 1, 0, 0, 0,
                                      nullptr);
        });
    EXPECT_TRUE(pipe.valid());
    ASSERT_EQ(tried.size(), 3u);
    EXPECT_NE(tried[0], tried[1]);
    EXPECT_NE(tried[1], tried[2]);
    EXPECT_EQ(name, tried[2]);
}

TEST(StdPipeNames, PersistentFailureEndsAfterTheBoundWithTheOsError) {
    int attempts = 0;
    std::wstring name;
    try {
        VChildDetail::createServerPipe(name, [&](const std::wstring&) -> HANDLE {
            ++attempts;
            ::SetLastError(ERROR_PIPE_BUSY);
            return INVALID_HANDLE_VALUE;
        });
        ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), pt::runTimeText(L"Unable to create pipe", ERROR_PIPE_BUSY));
    }
    EXPECT_EQ(attempts, VChildDetail::kPipeCreateAttempts);
}

TEST(CreateStdPipe, AFailureThatDoesNotDependOnTheNameIsRaised) {
    // A security descriptor of an unknown revision fails every CreateNamedPipeW.
    SECURITY_DESCRIPTOR broken{};
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &broken, FALSE};
    base::ScopedHandle event(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    base::ScopedFileHandle server;
    base::ScopedFileHandle client;
    try {
        createStdPipe(server, client, &attributes, 0, overlapped);
        ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), pt::runTimeText(L"Unable to create pipe", ERROR_UNKNOWN_REVISION));
    }
    EXPECT_FALSE(server.valid());
    EXPECT_FALSE(client.valid());
}

TEST_F(ChildProcess, DefaultSettingsGiveTheChildThreePipes) {
    ScopedEnvironment readInput(L"ZRA_CHILD_STDIN", L"1");
    ScopedEnvironment errorText(L"ZRA_CHILD_STDERR", L"to stderr");
    VChildProcess child(settings);
    const auto output = runWithPipes(child, pt::childExe(), L"one \"two three\" ", "piped input");
    // Output and error are named pipes of their own.
    const std::wstring prefix = L"\\VarnoWin32.Pipes.";
    const std::wstring outputPipe = pipeName(child.stdOutputRead());
    const std::wstring errorPipe = pipeName(child.stdErrorRead());
    for (const std::wstring& name : {outputPipe, errorPipe}) {
        EXPECT_EQ(name.compare(0, prefix.size(), prefix), 0) << pt::utf8(name);
        EXPECT_GT(name.size(), prefix.size() + 3) << pt::utf8(name);
        EXPECT_EQ(name.find_first_not_of(L"0123456789ABCDEF", prefix.size()), std::wstring::npos)
            << pt::utf8(name);
    }
    EXPECT_NE(outputPipe, errorPipe);
    const auto report = pt::parseReport(output.first);
    EXPECT_EQ(report.at("cmdline"), pt::utf8(L"\"" + resolvedChild() + L"\" one \"two three\" "));
    EXPECT_EQ(report.at("stdin"), "piped input");
    EXPECT_EQ(output.second, "to stderr");
    EXPECT_EQ(child.waitExitCode(), 0u);
}

TEST_F(ChildProcess, InheritedHandlesAreTheParentsOwnAndStayOpen) {
    TempDir dir;
    pt::writeFile(dir / L"in.txt", "from a file");
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    base::ScopedFileHandle in(::CreateFileW((dir / L"in.txt").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, &inheritable, OPEN_EXISTING, 0,
                                            nullptr));
    base::ScopedFileHandle out(::CreateFileW((dir / L"out.txt").c_str(), GENERIC_WRITE,
                                             FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0,
                                             nullptr));
    base::ScopedFileHandle err(::CreateFileW((dir / L"err.txt").c_str(), GENERIC_WRITE,
                                             FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0,
                                             nullptr));
    const HANDLE savedIn = ::GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE savedOut = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE savedErr = ::GetStdHandle(STD_ERROR_HANDLE);
    ::SetStdHandle(STD_INPUT_HANDLE, in.get());
    ::SetStdHandle(STD_OUTPUT_HANDLE, out.get());
    ::SetStdHandle(STD_ERROR_HANDLE, err.get());
    uint32_t exitCode = 1;
    {
        ScopedEnvironment readInput(L"ZRA_CHILD_STDIN", L"1");
        ScopedEnvironment errorText(L"ZRA_CHILD_STDERR", L"err line");
        VChildProcess child(settings);
        child.setInheritStdInput(true);
        child.setInheritStdOutput(true);
        child.setInheritStdError(true);
        child.setNoWindow(false);
        child.start(pt::childExe(), L"x", false);
        EXPECT_EQ(child.stdInputWrite(), nullptr);
        EXPECT_EQ(child.stdOutputRead(), nullptr);
        EXPECT_EQ(child.stdErrorRead(), nullptr);
        exitCode = child.waitExitCode();
    }
    // Starting and releasing the child closed none of the parent's standard handles.
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        DWORD flags = 0;
        EXPECT_TRUE(::GetHandleInformation(::GetStdHandle(which), &flags)) << which;
    }
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(out.get(), "parent\n", 7, &written, nullptr));
    ::SetStdHandle(STD_INPUT_HANDLE, savedIn);
    ::SetStdHandle(STD_OUTPUT_HANDLE, savedOut);
    ::SetStdHandle(STD_ERROR_HANDLE, savedErr);
    out.reset();
    err.reset();
    EXPECT_EQ(exitCode, 0u);
    const auto report = pt::parseReport(pt::readFile(dir / L"out.txt"));
    EXPECT_EQ(report.at("cmdline"), pt::utf8(L"\"" + resolvedChild() + L"\" x"));
    EXPECT_EQ(report.at("stdin"), "from a file");
    EXPECT_NE(pt::readFile(dir / L"out.txt").find("parent\n"), std::string::npos);
    EXPECT_EQ(pt::readFile(dir / L"err.txt"), "err line");
}

TEST_F(ChildProcess, ExitCodesArePassedThroughUnchanged) {
    for (const wchar_t* code : {L"0", L"3", L"5", L"259", L"0xC0000005", L"0xFFFFFFFF"}) {
        ScopedEnvironment exit(L"ZRA_CHILD_EXIT", code);
        VChildProcess child(settings);
        runWithPipes(child, pt::childExe(), L"");
        EXPECT_EQ(child.waitExitCode(), std::wcstoul(code, nullptr, 0)) << pt::utf8(code);
    }
    ScopedEnvironment crash(L"ZRA_CHILD_CRASH", L"1");
    VChildProcess child(settings);
    runWithPipes(child, pt::childExe(), L"");
    EXPECT_PRED2(zra_test::isReportedFault, 0xC0000005u, child.waitExitCode());
}

TEST_F(ChildProcess, ProductPhpChildrenStartInTheAdminDirectory) {
    TempDir root;
    pt::makeDirectory(root / L"admin");
    pt::makeDirectory(root / L"admin\\bin");
    pt::copyChild(root / L"admin\\bin\\php.exe");
    TempDir scripts;
    pt::writeFile(scripts / L"check.php", "<?php\n");
    settings.root = root.path();
    settings.adminDirectory = root / L"admin";

    VChildProcess product(settings);
    ChildStartOptions options;
    options.useProductPhp = true;
    auto report =
        pt::parseReport(runWithPipes(product, scripts / L"check", L"a ", "", options).first);
    EXPECT_EQ(report.at("cmdline"),
              pt::utf8(L"\"" + root.path() + L"\\admin\\bin\\php.exe\" -q \"" + scripts.path() +
                       L"\\check.php\" a "));
    EXPECT_EQ(report.at("cwd"), pt::utf8(root / L"admin"));

    // Without the product's PHP the child starts in the parent's current directory.
    pt::ScopedCurrentDirectory cd(scripts.path());
    VChildProcess plain(settings);
    report = pt::parseReport(runWithPipes(plain, pt::childExe(), L"").first);
    EXPECT_EQ(report.at("cwd"), pt::utf8(scripts.path()));
}

// Wine starts every child at the normal class whatever the flags say, so the flags are checked.
TEST(CreationFlags, CarryTheParentsPriorityClass) {
    const DWORD saved = ::GetPriorityClass(::GetCurrentProcess());
    ASSERT_TRUE(::SetPriorityClass(::GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS));
    const DWORD below = VChildDetail::creationFlags(CREATE_SUSPENDED, true);
    ASSERT_TRUE(::SetPriorityClass(::GetCurrentProcess(), HIGH_PRIORITY_CLASS));
    const DWORD high = VChildDetail::creationFlags(0, false);
    ::SetPriorityClass(::GetCurrentProcess(), saved);
    EXPECT_EQ(below, static_cast<DWORD>(CREATE_SUSPENDED | CREATE_NO_WINDOW |
                                        BELOW_NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT));
    EXPECT_EQ(high, static_cast<DWORD>(HIGH_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT));
}

TEST_F(ChildProcess, TheStartRecordHidesTheSecretButTheChildGetsIt) {
    const std::wstring secret = L"s3cr&t \"pw\"";
    VChildProcess child(settings);
    child.setSecret(secret);
    const std::wstring arguments = L"-x " + quoteArgument(secret);
    const auto report = pt::parseReport(runWithPipes(child, pt::childExe(), arguments).first);
    EXPECT_EQ(report.at("cmdline"), pt::utf8(L"\"" + resolvedChild() + L"\" " + arguments));

    ASSERT_EQ(pt::RecordingSink::records().size(), 1u);
    EXPECT_EQ(pt::RecordingSink::records()[0].first, varno::logging::Info);
    EXPECT_EQ(pt::RecordingSink::records()[0].second, L"path: " + pt::childExe() +
                                                          L", args: -x *****, cmdLine \"" +
                                                          resolvedChild() + L"\" -x *****");
}

TEST_F(ChildProcess, AFailedCreationIsLoggedThenRaisedWithoutTheSecret) {
    TempDir root;
    TempDir scripts;
    pt::writeFile(scripts / L"check.php", "<?php\n");
    settings.root = root.path(); // no admin\bin\php.exe in it
    VChildProcess child(settings);
    child.setSecret(L"pw");
    ChildStartOptions options;
    options.useProductPhp = true;
    options.workingDirectory = root.path();
    const std::wstring shown = L"\"" + root.path() + L"\\admin\\bin\\php.exe\" -q \"" +
                               scripts.path() + L"\\check.php\" *****";
    try {
        child.start(scripts / L"check.php", L"pw", options);
        ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.rfind(cstr(L"Unable to start (" + shown + L"): (", 0), 0), 0u) << text;
    }
    ASSERT_EQ(pt::RecordingSink::records().size(), 1u);
    EXPECT_EQ(pt::RecordingSink::records()[0].second,
              L"path: " + scripts.path() + L"\\check.php, args: *****, cmdLine " + shown);
    EXPECT_EQ(child.processHandle(), nullptr);
}

TEST_F(ChildProcess, AResolutionFailureCreatesNothingAndLogsNothing) {
    TempDir dir;
    pt::writeFile(dir / L"s.pl", "");
    VChildProcess child(settings);
    EXPECT_THROW(child.start(dir / L"s.pl", L"", false), std::runtime_error);
    EXPECT_TRUE(pt::RecordingSink::records().empty());
    EXPECT_EQ(child.processHandle(), nullptr);
}

TEST_F(ChildProcess, AFailedWaitLeavesTheChildRunning) {
    TempDir dir;
    ScopedEnvironment sleep(L"ZRA_CHILD_SLEEP_MS", L"1500");
    ScopedEnvironment done(L"ZRA_CHILD_DONE_FILE", dir / L"done");
    base::ScopedHandle process;
    {
        VChildProcess child(settings);
        child.start(pt::childExe(), L"", false);
        HANDLE copy = nullptr;
        ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), child.processHandle(),
                                      ::GetCurrentProcess(), &copy, 0, FALSE,
                                      DUPLICATE_SAME_ACCESS));
        process.reset(copy);
        // The object's own handle goes away behind its back: the wait fails.
        ::CloseHandle(child.processHandle());
        EXPECT_THROW(child.waitExitCode(), vexception);
    }
    EXPECT_TRUE(isRunning(process.get()));
    EXPECT_EQ(::WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(pt::fileExists(dir / L"done"));
}

// Wine cuts a longer line where Windows fails the start, so the limit is checked before either.
TEST_F(ChildProcess, ALineOverTheProcessLimitIsRefusedBeforeAnythingStarts) {
    const std::wstring secret = L"pw\\";
    const std::wstring head = L"\"" + resolvedChild() + L"\" ";
    // Filler, then the secret: a command line of exactly length characters.
    const auto filler = [&](size_t length) {
        return std::wstring(length - head.size() - secret.size() - 1, L'x');
    };
    {
        VChildProcess child(settings);
        child.setSecret(secret);
        const std::wstring arguments =
            filler(kMaxProcessCommandLine) + L" " + quoteArgument(secret);
        const auto report = pt::parseReport(runWithPipes(child, pt::childExe(), arguments).first);
        ASSERT_EQ(report.count("cmdline"), 1u);
        EXPECT_EQ(report.at("cmdline").size(), kMaxProcessCommandLine);
        EXPECT_EQ(report.at("cmdline"), pt::utf8(head + arguments));
        EXPECT_EQ(child.waitExitCode(), 0u);
    }
    pt::RecordingSink::records().clear();
    for (size_t length : {kMaxProcessCommandLine + 1, kMaxProcessCommandLine + 4000}) {
        VChildProcess child(settings);
        child.setSecret(secret);
        const std::wstring shown = head + filler(length) + L" *****";
        try {
            child.start(pt::childExe(), filler(length) + L" " + quoteArgument(secret), false);
            ADD_FAILURE() << "started at " << length;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), cstr(format(L"Unable to start (%s): The command line is %u "
                                            L"characters long, more than the 32766 that a "
                                            L"process can be given",
                                            shown.c_str(), static_cast<unsigned>(length)),
                                     0));
        }
        EXPECT_EQ(child.processHandle(), nullptr);
    }
    EXPECT_TRUE(pt::RecordingSink::records().empty());
}

namespace {

// A job that forbids nesting, as every job did before Windows 8.
BOOL WINAPI refuseAssignment(HANDLE, HANDLE) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL isInParentJob(HANDLE process) {
    BOOL inJob = FALSE;
    return ::IsProcessInJob(process, VChildDetail::parentJob(), &inJob) && inJob;
}

} // namespace

// A child that ends with its parent is in the parent's job before it runs; when it cannot be put
// there it still runs, and the failure is a Warning record. The kill itself is shown end to end
// by the launcher's examination tests.
TEST_F(ChildProcess, AChildEndingWithItsParentIsInTheJobOrRunsAnyway) {
    ASSERT_NE(nullptr, VChildDetail::parentJob());
    struct Case {
        const char* what;
        VChildDetail::AssignFunction assign;
        bool inJob;
    } cases[] = {{"assigned", nullptr, true}, {"assignment refused", &refuseAssignment, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        pt::RecordingSink::records().clear();
        const VChildDetail::AssignFunction previous = VChildDetail::setAssignFunction(c.assign);
        ScopedEnvironment exit(L"ZRA_CHILD_EXIT", L"7");
        VChildProcess child(settings);
        child.setEndWithParent(true);
        runWithPipes(child, pt::childExe(), L"");
        VChildDetail::setAssignFunction(previous);
        EXPECT_EQ(c.inJob, isInParentJob(child.processHandle()) != FALSE);
        // It ran to its end: it was not left suspended.
        EXPECT_EQ(7u, child.waitExitCode());
        bool warned = false;
        for (const auto& record : pt::RecordingSink::records())
            warned |= record.first == varno::logging::Warning &&
                      record.second.find(L"Unable to tie the child process") == 0;
        EXPECT_EQ(!c.inJob, warned);
    }
    // Without the setting the child stays out of it.
    VChildProcess child(settings);
    runWithPipes(child, pt::childExe(), L"");
    EXPECT_FALSE(isInParentJob(child.processHandle()));
    child.waitExitCode();
}
