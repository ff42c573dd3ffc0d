#include "tools/runner/run_process.h"

#include "base/win32.h"

#include <shellapi.h>

#include "tools/testing/standin_service.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

const auto windowsPath = zra_testing::backslashed;

const std::wstring& probe() {
    static const std::wstring path = windowsPath(ZRA_RUNNER_PROBE_EXE);
    return path;
}

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

std::vector<std::wstring> parse(const std::wstring& commandLine) {
    int count = 0;
    LPWSTR* args = ::CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> result(args, args + count);
    ::LocalFree(args);
    return result;
}

TEST(RunProcess, LargeOutputOnBothStreamsIsCapturedCompletelyAndSeparately) {
    // Far beyond the pipe buffers: a runner that drained one stream at a time would deadlock.
    const size_t size = 3 * 1024 * 1024 + 17;
    const runner::RunResult r =
        runner::runProgram(probe(), {L"--err", L"1000", L"--out", std::to_wstring(size), L"--err",
                                     std::to_wstring(size)});
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_FALSE(r.timedOut);
    ASSERT_EQ(size, r.out.size());
    EXPECT_TRUE(r.out == pattern(size));
    ASSERT_EQ(1000 + size, r.err.size());
    EXPECT_TRUE(r.err == pattern(1000) + pattern(size));
}

TEST(RunProcess, FeedsStdinAndClosesItAfterTheLastByte) {
    runner::RunOptions options;
    options.input = pattern(700 * 1024);
    options.input[5] = '\0';
    options.input[6] = '\r';
    const runner::RunResult r = runner::runProgram(probe(), {L"--echo"}, options);
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_TRUE(r.out == options.input);

    // No input: the child sees the end of its stdin at once instead of waiting forever.
    options.input.clear();
    options.timeoutMs = 20000;
    const runner::RunResult empty =
        runner::runProgram(probe(), {L"--echo", L"--out", L"3"}, options);
    EXPECT_FALSE(empty.timedOut);
    EXPECT_EQ("abc", empty.out);
}

TEST(RunProcess, InputTheChildNeverReadsDoesNotHang) {
    runner::RunOptions options;
    options.input = pattern(2 * 1024 * 1024);
    options.timeoutMs = 30000;
    const runner::RunResult r = runner::runProgram(probe(), {L"--exit", L"7"}, options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(7u, r.exitCode);
}

TEST(RunProcess, ReturnsTheFull32BitExitCode) {
    EXPECT_EQ(0xC0000005u, runner::runProgram(probe(), {L"--exit", L"C0000005"}).exitCode);
    EXPECT_EQ(0x80000003u, runner::runProgram(probe(), {L"--exit", L"80000003"}).exitCode);
    EXPECT_EQ(0x00000100u, runner::runProgram(probe(), {L"--exit", L"100"}).exitCode);
}

TEST(RunProcess, TimeoutTerminatesTheProgramAndKeepsItsOutput) {
    runner::RunOptions options;
    options.timeoutMs = 700;
    const ULONGLONG start = ::GetTickCount64();
    const runner::RunResult r =
        runner::runProgram(probe(), {L"--out", L"4", L"--sleep", L"60000"}, options);
    EXPECT_LT(::GetTickCount64() - start, 15000u);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ("abcd", r.out);
}

TEST(RunProcess, ADescendantHoldingThePipesDelaysTheResultOnlyByTheDrainTime) {
    runner::RunOptions options;
    options.drainMs = 300;
    const ULONGLONG start = ::GetTickCount64();
    const runner::RunResult r = runner::runProgram(
        probe(), {L"--out", L"2", L"--spawn-sleep", L"6000", L"--exit", L"3"}, options);
    EXPECT_LT(::GetTickCount64() - start, 5000u);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(3u, r.exitCode);
    EXPECT_EQ("ab", r.out);
}

TEST(RunProcess, AProgramThatCannotStartThrows) {
    EXPECT_THROW(runner::runProgram(L"Z:\\no\\such\\program.exe", {}), std::runtime_error);
}

TEST(CommandLine, QuotedArgumentsParseBackUnchanged) {
    const std::vector<std::wstring> argv = {L"C:\\Program Files\\x.exe",
                                            L"plain",
                                            L"",
                                            L"a b",
                                            L"say \"hi\"",
                                            L"trail\\",
                                            L"space trail\\",
                                            L"\\\\server\\share\\",
                                            L"x\\\"y",
                                            L"tab\there",
                                            L"\\\"",
                                            L"end\\\\"};
    const std::wstring line = runner::buildCommandLine(argv);
    EXPECT_EQ(argv, parse(line)) << std::string(line.begin(), line.end());
    EXPECT_EQ(L"plain", runner::quoteForCommandLine(L"plain"));
    EXPECT_EQ(L"\"\"", runner::quoteForCommandLine(L""));
}

TEST(Capture, ReportsTheBytesAndTheFullExitCode) {
    const std::wstring capture = windowsPath(ZRA_CAPTURE_EXE);
    const runner::RunResult r = runner::runProgram(
        capture, {L"--", probe(), L"--out", L"5", L"--err", L"2", L"--exit", L"C0000135"});
    EXPECT_EQ("abcdeexit code: 0xC0000135\n", r.out);
    EXPECT_EQ("ab", r.err);
    EXPECT_EQ(0xC0000135u, r.exitCode);

    const runner::RunResult bad = runner::runProgram(capture, {L"--out"});
    EXPECT_EQ(125u, bad.exitCode);
    EXPECT_EQ(std::string::npos, bad.out.find("exit code"));
}

TEST(Capture, TakesStdinFromAFileAndWritesOutputToFiles) {
    wchar_t dir[MAX_PATH];
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, dir));
    const std::wstring base =
        std::wstring(dir) + L"zra-capture-test-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring in = base + L".in", out = base + L".out", err = base + L".err";
    const std::string input = "line one\r\nline two\n\x01\xff";
    {
        HANDLE file =
            ::CreateFileW(in.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        ::WriteFile(file, input.data(), DWORD(input.size()), &written, nullptr);
        ::CloseHandle(file);
    }
    const runner::RunResult r = runner::runProgram(
        windowsPath(ZRA_CAPTURE_EXE),
        {L"--stdin", in, L"--out", out, L"--err", err, L"--", probe(), L"--echo", L"--err", L"1"});
    EXPECT_EQ("exit code: 0x00000000\n", r.out);
    auto slurp = [](const std::wstring& path) {
        std::string bytes;
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return std::string("<missing>");
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
            bytes.append(buffer, got);
        ::CloseHandle(file);
        return bytes;
    };
    EXPECT_EQ(input, slurp(out));
    EXPECT_EQ("a", slurp(err));
    ::DeleteFileW(in.c_str());
    ::DeleteFileW(out.c_str());
    ::DeleteFileW(err.c_str());
}

} // namespace
