// Batch files end to end through the system's cmd: hostile arguments reach the batch file intact
// and nothing in them runs as a command.
#include "os/path.h"
#include "process/arguments.h"
#include "process/child_process.h"
#include "process/command.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using pt::TempDir;

namespace {

class BatchFile : public ::testing::Test {
protected:
    void SetUp() override {
        pt::RecordingSink::install();
        pt::copyChild(dir / L"report.exe");
        marker = dir / L"injected.txt";
    }

    // A batch file that hands all its arguments to the reporting child.
    std::wstring writeBatch(const std::wstring& path, const std::string& firstLines = "") {
        pt::writeFile(path, firstLines + "@\"" + cstr(dir / L"report.exe", 0) + "\" %*\r\n");
        return path;
    }

    // Runs the batch file with the values quoted as the launcher quotes them, the password last;
    // returns the arguments the reporting child got and its exit code.
    std::vector<std::wstring> run(const std::wstring& batch,
                                  const std::vector<std::wstring>& values,
                                  const std::wstring& password,
                                  std::wstring* commandLine = nullptr) {
        std::wstring arguments;
        for (const std::wstring& value : values)
            arguments += quoteArgument(value) + L" ";
        arguments += quoteArgument(password);
        VChildProcess child(settings);
        child.setSecret(password);
        const std::wstring line = child.start(batch, arguments, false);
        if (commandLine != nullptr)
            *commandLine = line;
        const auto [out, err] = pt::collectOutput(child);
        EXPECT_EQ(child.waitExitCode(), 0u) << out << err;
        const auto report = pt::parseReport(out);
        EXPECT_EQ(report.count("cmdline"), 1u) << out << err;
        std::vector<std::wstring> received;
        const std::wstring childLine =
            wstr(report.count("cmdline") ? report.at("cmdline") : "", 65001);
        for (const ArgumentToken& token : splitArguments(childLine))
            received.push_back(token.value);
        if (!received.empty())
            received.erase(received.begin()); // the reporting child itself
        return received;
    }

    TempDir dir;
    pt::FakeSettings settings;
    std::wstring marker;
};

} // namespace

TEST_F(BatchFile, HostileArgumentsArriveIntactAndRunNothing) {
    const std::wstring batch = writeBatch(dir / L"pass.bat");
    const std::wstring payload = L"&echo INJECTED>\"" + marker + L"\"&";
    // The first value ends in a backslash: a scheme that drops its closing quote leaves the
    // next argument outside quotes.
    const std::vector<std::wstring> values = {L"a b\\",
                                              payload,
                                              L"x\"y",
                                              L"\"",
                                              L"\\\"",
                                              L"a\\\\\"b c",
                                              L"^",
                                              L"(",
                                              L")",
                                              L"x(y)",
                                              L"<",
                                              L">",
                                              L"|",
                                              L"&&",
                                              L"!PATH!",
                                              L",;=",
                                              L"tab\there",
                                              L"end\\",
                                              L"C:\\dir x\\",
                                              L"\"" + payload + L"\"",
                                              L"\\\"" + payload,
                                              L"plain",
                                              L"-q"};
    const std::wstring password = L"pa\"ss&w|o<r>d^\\";
    std::wstring commandLine;
    std::vector<std::wstring> expected = values;
    expected.push_back(password);
    EXPECT_EQ(run(batch, values, password, &commandLine), expected);
    EXPECT_FALSE(pt::fileExists(marker));
    // The start record shows the command line with the password hidden.
    ASSERT_EQ(pt::RecordingSink::records().size(), 1u);
    const std::wstring& record = pt::RecordingSink::records()[0].second;
    EXPECT_EQ(record.find(L"pa\"\"ss"), std::wstring::npos);
    EXPECT_NE(record.find(L" *****\""), std::wstring::npos) << pt::utf8(record);
    EXPECT_NE(commandLine.find(L"\"pa\"\"ss&w|o<r>d^\\\\\"\""), std::wstring::npos)
        << pt::utf8(commandLine);
}

TEST_F(BatchFile, AnEmptyPasswordAddsNothing) {
    const std::wstring batch = writeBatch(dir / L"pass.cmd");
    EXPECT_EQ(run(batch, {L"only one"}, L""), std::vector<std::wstring>{L"only one"});
}

// cmd under Wine expands variables once more when a batch file uses %*, which Windows does not, so
// the exact values cannot be seen here. The batch file first sets the probe variable to its own
// name: only an expansion on cmd's command line can then bring in the parent's value.
TEST_F(BatchFile, VariablesAreNotExpandedOnCmdsCommandLine) {
    pt::ScopedEnvironment probe(L"ZRA_PROBE", L"expanded-value");
    const std::string reset = "@set \"ZRA_PROBE=%%ZRA_PROBE%%\"\r\n";
    // The batch file's own path goes through cmd as well.
    pt::makeDirectory(dir / L"p%ZRA_PROBE%q");
    const std::wstring batch = writeBatch(dir / L"p%ZRA_PROBE%q\\pass.bat", reset);
    for (const std::vector<std::wstring>& values :
         {std::vector<std::wstring>{L"%ZRA_PROBE%"}, std::vector<std::wstring>{L"a b %ZRA_PROBE%"},
          std::vector<std::wstring>{L"x"}}) {
        for (const std::wstring& password : {std::wstring(L"pw"), std::wstring(L"%ZRA_PROBE%")}) {
            const std::vector<std::wstring> received = run(batch, values, password);
            for (const std::wstring& value : received)
                EXPECT_EQ(value.find(L"expanded-value"), std::wstring::npos) << pt::utf8(value);
        }
    }
}

TEST_F(BatchFile, AnArgumentWithALineBreakIsRefusedBeforeAnythingRuns) {
    const std::wstring batch = writeBatch(dir / L"pass.bat");
    for (const std::wstring& password :
         {std::wstring(L"pw\r\necho INJECTED>\"") + marker + L"\"", std::wstring(L"pw\nx")}) {
        VChildProcess child(settings);
        child.setSecret(password);
        try {
            child.start(batch, L"a " + quoteArgument(password), false);
            ADD_FAILURE() << "started";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()),
                      cstr(format(L"Unable to start (%s): Argument 2 holds a line break or a NUL "
                                  L"character, which cannot be passed to a batch file",
                                  batch.c_str()),
                           0));
        }
        EXPECT_EQ(child.processHandle(), nullptr);
    }
    EXPECT_FALSE(pt::fileExists(marker));
    EXPECT_TRUE(pt::RecordingSink::records().empty());
}

// Batch files usually pass their arguments on one by one, as "%~1" or as %1, sometimes inside a
// block. Each value must reach the program whole and on its own.
TEST_F(BatchFile, ForwardedValuesArriveWholeAndSeparate) {
    const std::string report = "\"" + cstr(dir / L"report.exe", 0) + "\"";
    const struct {
        const wchar_t* name;
        std::string body;
    } batches[] = {
        {L"quoted.bat", "@" + report + " \"%~1\" \"%~2\" \"%~3\" \"%~4\" \"%~5\" \"%~6\"\r\n"},
        {L"plain.bat", "@" + report + " %1 %2 %3 %4 %5 %6\r\n"},
        {L"block.cmd", "@if 1==1 (\r\n@" + report + " %1 %2 %3 %4 %5 %6\r\n)\r\n"},
    };
    const std::vector<std::wstring> values = {L"a\\", L"a\\\\", L"x)", L"(", L"a b\\"};
    const std::wstring password = L"pw\\";
    std::vector<std::wstring> expected = values;
    expected.push_back(password);
    for (const auto& batch : batches) {
        pt::writeFile(dir / batch.name, batch.body);
        EXPECT_EQ(run(dir / batch.name, values, password), expected) << pt::utf8(batch.name);
    }
}

TEST_F(BatchFile, ALineOverCmdsLimitIsRefusedBeforeAnythingRuns) {
    const std::wstring batch = dir / L"ran.bat";
    pt::writeFile(batch, "@echo ran>\"" + cstr(marker, 0) + "\"\r\n@exit /b 3\r\n");
    const std::wstring password = L"pw\\";
    const auto lineFor = [&](const std::wstring& filler, const std::wstring& last) {
        return resolveCommand(batch, filler + L" " + last, L"", {}, settings);
    };
    // A filler of this many characters makes the line exactly length characters long.
    const auto fillerFor = [&](size_t length) {
        return std::wstring(length - lineFor(L"y", quoteArgument(password)).size() + 1, L'y');
    };
    const struct {
        std::wstring filler;
        bool runs;
    } cases[] = {
        {fillerFor(kMaxCmdCommandLine), true},
        {fillerFor(kMaxCmdCommandLine + 1), false},
        // Each percent sign takes eight characters on cmd's line.
        {std::wstring(1100, L'%'), false},
    };
    for (const auto& c : cases) {
        const std::wstring line = lineFor(c.filler, quoteArgument(password));
        pt::RecordingSink::records().clear();
        VChildProcess child(settings);
        child.setSecret(password);
        if (c.runs) {
            ASSERT_EQ(line.size(), kMaxCmdCommandLine);
            child.start(batch, c.filler + L" " + quoteArgument(password), false);
            const auto [out, err] = pt::collectOutput(child);
            EXPECT_EQ(child.waitExitCode(), 3u) << out << err;
            EXPECT_TRUE(pt::fileExists(marker));
            ::DeleteFileW(marker.c_str());
            continue;
        }
        try {
            child.start(batch, c.filler + L" " + quoteArgument(password), false);
            ADD_FAILURE() << "started with " << line.size() << " characters";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(),
                      cstr(format(L"Unable to start (%s): The command line is %u characters "
                                  L"long, more than the 8191 that cmd reads for a batch file",
                                  lineFor(c.filler, L"*****").c_str(),
                                  static_cast<unsigned>(line.size())),
                           0));
        }
        EXPECT_EQ(child.processHandle(), nullptr);
        EXPECT_FALSE(pt::fileExists(marker));
        EXPECT_TRUE(pt::RecordingSink::records().empty());
    }
}
