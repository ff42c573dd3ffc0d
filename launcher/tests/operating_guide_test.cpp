// The operator guide against the built program: every failure text the guide lists is read from
// docs/operating.md and looked for in what zra-launcher.exe really prints when that failure is
// provoked, so the guide cannot drift from the program. With Debug on, the failure and the end of
// an examination must be readable from the debug log alone.
#include "base/text.h"
#include "base/win32.h"
#include "standin_service.h"
#include "tools/children/child_test_support.h"
#include "tools/runner/run_process.h"
#include "tools/testing/text.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace childtest;
using namespace launchertest;

namespace {

// One row of the guide's failure table: its case name (an HTML comment "<!-- case: NAME -->"
// in the first cell, invisible in the rendered guide) and the text as the guide shows it, in a
// code span, where "<...>" stands for any text. Where a race decides between two texts (which end
// of a closed pipe the launcher sees first), the cell holds a code span for each.
struct GuideRow {
    std::string name;
    std::vector<std::string> patterns;
};

std::string readGuide() {
    const std::string text = readFile(backslashed(ZRA_OPERATING_GUIDE));
    EXPECT_FALSE(text.empty()) << "cannot read " << utf8(backslashed(ZRA_OPERATING_GUIDE));
    return text;
}

using zra_testing::splitLines;

// The rows of the table under the heading that begins with heading.
std::vector<GuideRow> failureTable(const std::string& guide, const std::string& heading) {
    std::vector<GuideRow> rows;
    bool inSection = false;
    for (const std::string& line : splitLines(guide)) {
        if (line.rfind("## ", 0) == 0) {
            inSection = line.rfind(heading, 0) == 0;
            continue;
        }
        if (!inSection || line.rfind("| ", 0) != 0)
            continue;
        const size_t cellEnd = line.find(" | ", 2);
        const std::string cell = line.substr(2, cellEnd == std::string::npos ? 0 : cellEnd - 2);
        const size_t comment = cell.find("<!-- case: ");
        if (comment == std::string::npos)
            continue; // the header row
        const size_t nameEnd = cell.find(" -->", comment);
        std::vector<std::string> patterns;
        for (size_t open = cell.find('`'); open != std::string::npos && open < comment;) {
            const size_t close = cell.find('`', open + 1);
            if (close == std::string::npos)
                break;
            patterns.push_back(cell.substr(open + 1, close - open - 1));
            open = cell.find('`', close + 1);
        }
        EXPECT_TRUE(nameEnd != std::string::npos && !patterns.empty()) << line;
        if (nameEnd == std::string::npos || patterns.empty())
            continue;
        rows.push_back({cell.substr(comment + 11, nameEnd - comment - 11), patterns});
    }
    return rows;
}

// The pattern's literal pieces between its "<...>" placeholders; a placeholder at either end
// gives an empty piece there.
std::vector<std::string> pieces(const std::string& pattern) {
    std::vector<std::string> result(1);
    for (size_t i = 0; i < pattern.size(); ++i) {
        const size_t close = pattern[i] == '<' ? pattern.find('>', i) : std::string::npos;
        if (close != std::string::npos && close > i + 1) {
            result.emplace_back();
            i = close;
        } else {
            result.back() += pattern[i];
        }
    }
    return result;
}

// Whether text is exactly the pattern, each placeholder standing for any (possibly empty) text.
bool matches(const std::string& text, const std::string& pattern) {
    const std::vector<std::string> parts = pieces(pattern);
    if (parts.size() == 1)
        return text == parts[0];
    if (text.rfind(parts.front(), 0) != 0 ||
        text.size() < parts.front().size() + parts.back().size() ||
        text.compare(text.size() - parts.back().size(), parts.back().size(), parts.back()) != 0)
        return false;
    size_t at = parts.front().size();
    const size_t end = text.size() - parts.back().size();
    for (size_t i = 1; i + 1 < parts.size(); ++i) {
        at = text.find(parts[i], at);
        if (at == std::string::npos || at + parts[i].size() > end)
            return false;
        at += parts[i].size();
    }
    return true;
}

TEST(GuidePattern, PlaceholdersStandForAnyTextAndTheRestIsExact) {
    const struct {
        const char* text;
        const char* pattern;
        bool match;
    } cases[] = {
        {"Incorrect launching options.", "Incorrect launching options.", true},
        {"Incorrect launching options", "Incorrect launching options.", false},
        {"x Incorrect launching options.", "Incorrect launching options.", false},
        {"File not found. (Error code 2) at Unable to connect to pipe \\\\.\\pipe\\p",
         "<system text> (Error code 2) at Unable to connect to pipe \\\\.\\pipe\\<name>", true},
        {" (Error code 2) at Unable", "<system text> (Error code 2) at Unable<rest>", true},
        {"Unable to start (a): b", "Unable to start (<file>): <reason>", true},
        {"Unable to start (a)", "Unable to start (<file>): <reason>", false},
        // The pieces must not overlap: "ab" is not "a", then "b", then "b".
        {"ab", "a<x>b<y>b", false},
        {"abb", "a<x>b<y>b", true},
        {"a<b>", "a\\<b>", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.match, matches(c.text, c.pattern)) << c.text << " ~ " << c.pattern;
}

// The text as a wide literal or as ANSI bytes somewhere in the program's image.
bool inImage(const std::string& image, const std::string& text) {
    if (image.find(text) != std::string::npos)
        return true;
    std::string wide;
    for (const char c : text) {
        wide += c;
        wide += '\0';
    }
    return image.find(wide) != std::string::npos;
}

const wchar_t kPassword[] = L"guide-pw 9";
const char kPasswordText[] = "guide-pw";

// The scene every failure is provoked in: a product root with the reporting child as php.exe,
// scripts of each kind, and the stand-in service on a pipe of the test's own.
class Scene {
public:
    Scene() {
        root = base / L"product";
        scripts = base / L"scripts";
        for (const std::wstring& directory :
             {root, root + L"\\admin", root + L"\\admin\\bin", root + L"\\tools", scripts})
            makeDirectory(directory);
        copyChild(root + L"\\admin\\bin\\php.exe");
        writeFile(root + L"\\admin\\php.ini", "");
        writeFile(scripts + L"\\check.php", "<?php echo 1;\n");
        writeFile(scripts + L"\\check.pl", "print 1;\n");
        writeFile(scripts + L"\\check.bat", "@echo ran\r\n");
        writeFile(scripts + L"\\notes.xyz", "no interpreter for this\n");
        static int counter = 0;
        pipe = L"zra-guide-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
               std::to_wstring(++counter);
    }

    // The launcher with the service answering from lines (on top of the password and a panel
    // version of 12 unless lines say otherwise); options go to the service as they are.
    runner::RunResult launch(std::vector<std::wstring> lines, const std::vector<std::wstring>& args,
                             const std::vector<std::wstring>& options = {}) {
        lines.insert(lines.begin(),
                     {std::wstring(L"secret pwd=") + kPassword, L"value PANEL_VERSION=12"});
        const auto name = zra_testing::panelPipeName(pipe);
        const auto service = startService(pipe, root, lines, options);
        return run(args);
    }

    // The launcher alone, pointed at a pipe nobody serves.
    runner::RunResult launchWithoutService(const std::vector<std::wstring>& args) {
        const auto name = zra_testing::panelPipeName(pipe);
        return run(args);
    }

    runner::RunResult run(const std::vector<std::wstring>& args) {
        runner::RunOptions options;
        options.timeoutMs = 60000;
        options.workingDirectory = base.path();
        runner::RunResult result = runner::runProgram(launcherExe(), args, options);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    TempDir base;
    std::wstring root;
    std::wstring scripts;
    std::wstring pipe;
};

using Provocation = std::function<runner::RunResult(Scene&)>;

runner::RunResult longCommandLine(Scene& t, const std::wstring& script, size_t length) {
    return t.launch({}, {t.scripts + script, std::wstring(length, L'y')});
}

// How each failure of the guide's table is brought about. Every row of the guide must have one
// here, and every one here a row, or the list and the guide have parted.
const std::map<std::string, Provocation>& provocations() {
    static const std::map<std::string, Provocation> table = {
        {"no-argument", [](Scene& t) { return t.run({}); }},
        {"no-service",
         [](Scene& t) { return t.launchWithoutService({t.scripts + L"\\check.php"}); }},
        {"pipe-busy",
         [](Scene& t) {
             const auto tries = zra_testing::panelValue(L"PipeConnectTryCount",
                                                        zra_testing::RegistryValue::dword(1));
             return t.launch({}, {t.scripts + L"\\check.php"}, {L"--busy"});
         }},
        {"pipe-name-type",
         [](Scene& t) {
             const auto name =
                 zra_testing::panelValue(L"zrapipe", zra_testing::RegistryValue::dword(1));
             return t.run({t.scripts + L"\\check.php"});
         }},
        {"service-closed",
         [](Scene& t) {
             return t.launch({L"fault * close payload"}, {t.scripts + L"\\check.php"});
         }},
        {"service-short",
         [](Scene& t) {
             return t.launch({L"fault pwd lengthbytes 2"}, {t.scripts + L"\\check.php"});
         }},
        {"service-stray",
         [](Scene& t) { return t.launch({L"fault pwd stray 4"}, {t.scripts + L"\\check.php"}); }},
        {"reply-truncated",
         [](Scene& t) {
             return t.launch({L"fault pwd truncate 3"}, {t.scripts + L"\\check.php"});
         }},
        {"reply-empty-block",
         [](Scene& t) {
             return t.launch({L"fault pwd emptyblock"}, {t.scripts + L"\\check.php"});
         }},
        {"reply-nul",
         [](Scene& t) {
             return t.launch({L"fault pwd raw 0700000002610000006200"},
                             {t.scripts + L"\\check.php"});
         }},
        {"reply-charsize",
         [](Scene& t) {
             return t.launch({L"fault pwd charsize 3"}, {t.scripts + L"\\check.php"});
         }},
        {"reply-double-error",
         [](Scene& t) {
             return t.launch({L"fault pwd doubleerror"}, {t.scripts + L"\\check.php"});
         }},
        {"service-error",
         [](Scene& t) {
             return t.launch({L"error pwd=The value is locked"}, {t.scripts + L"\\check.php"});
         }},
        {"not-found", [](Scene& t) { return t.launch({}, {t.scripts + L"\\nothing-here"}); }},
        {"unknown-type", [](Scene& t) { return t.launch({}, {t.scripts + L"\\notes.xyz"}); }},
        {"not-installed",
         [](Scene& t) { return t.launch({L"component perl 2="}, {t.scripts + L"\\check.pl"}); }},
        {"start-refused",
         [](Scene& t) {
             // The batch road starts in the product's admin directory.
             removeTree(t.root + L"\\admin");
             return t.launch({}, {t.scripts + L"\\check.bat", L"x"});
         }},
        {"php-missing",
         [](Scene& t) {
             ::DeleteFileW((t.root + L"\\admin\\bin\\php.exe").c_str());
             return t.launch({L"value PANEL_VERSION=11.5.30"}, {t.scripts + L"\\check.php"});
         }},
        {"too-long", [](Scene& t) { return longCommandLine(t, L"\\check.php", 32700); }},
        {"too-long-batch", [](Scene& t) { return longCommandLine(t, L"\\check.bat", 8200); }},
        {"line-break",
         [](Scene& t) {
             return t.launch({}, {t.scripts + L"\\check.bat", L"a\nb"});
         }},
    };
    return table;
}

// Rows that no run of the program can bring about on demand (a wait that fails, a fault inside
// the launcher): their texts are looked for in the program's image instead.
const std::set<std::string> kImageOnly = {"wait-failed", "exit-code-failed", "structured-exception",
                                          "unexpected", "event"};

TEST(OperatingGuide, EveryFailureTextOfTheGuideIsWhatTheProgramPrints) {
    const std::vector<GuideRow> rows = failureTable(readGuide(), "## Failure texts");
    ASSERT_GE(rows.size(), provocations().size());
    std::set<std::string> seen;
    const std::string image = readFile(launcherExe());
    for (const GuideRow& row : rows) {
        EXPECT_TRUE(seen.insert(row.name).second) << "two rows for " << row.name;
        if (kImageOnly.count(row.name)) {
            // Short pieces ("0x", ": ") would be found anywhere.
            for (const std::string& pattern : row.patterns) {
                for (const std::string& piece : pieces(pattern)) {
                    if (piece.size() < 8)
                        continue;
                    EXPECT_TRUE(inImage(image, piece)) << row.name << ": " << piece;
                }
            }
            continue;
        }
        const auto provoke = provocations().find(row.name);
        if (provoke == provocations().end()) {
            ADD_FAILURE() << "the guide's row " << row.name << " is never provoked here";
            continue;
        }
        // A fresh scene for each: some provocations take the product apart.
        Scene scene;
        const runner::RunResult result = provoke->second(scene);
        EXPECT_EQ(1u, result.exitCode) << row.name << ": " << result.out;
        bool matched = false;
        for (const std::string& pattern : row.patterns)
            matched = matched || matches(result.out, pattern);
        EXPECT_TRUE(matched) << row.name << "\n  printed: " << result.out
                             << "\n  guide:   " << row.patterns.front();
        EXPECT_EQ(std::string::npos, result.out.find(kPasswordText)) << row.name;
    }
    for (const auto& provocation : provocations())
        EXPECT_TRUE(seen.count(provocation.first))
            << "no row in the guide for " << provocation.first;
    for (const std::string& name : kImageOnly)
        EXPECT_TRUE(seen.count(name)) << "no row in the guide for " << name;
}

} // namespace

namespace {

std::wstring findLogFile(const std::wstring& directory) {
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW((directory + L"\\varnolog_debug*.log").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return std::wstring();
    ::FindClose(find);
    return directory + L"\\" + data.cFileName;
}

// The debug log's UTF-16LE text (without its byte-order mark) as UTF-8.
std::string readLog(const std::wstring& path) {
    const std::string bytes = readFile(path);
    if (bytes.size() < 2)
        return std::string();
    std::wstring text((bytes.size() - 2) / 2, L'\0');
    std::memcpy(&text[0], bytes.data() + 2, text.size() * 2);
    return utf8(text);
}

bool startsWithLogTime(const std::string& line) {
    // "2014/03/07 09:05:01:042 "
    const std::string shape = "dddd/dd/dd dd:dd:dd:ddd ";
    if (line.size() < shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i]))
                            : line[i] != shape[i])
            return false;
    return true;
}

} // namespace

TEST(OperatingGuide, AFailureAndHowAnExaminationEndedCanBeReadFromTheDebugLog) {
    Scene scene;
    const std::wstring logs = scene.root + L"\\admin\\logs";
    const auto debug = zra_testing::panelValue(L"Debug", zra_testing::RegistryValue::dword(1));
    const auto productRoot =
        zra_testing::panelValue(L"PRODUCT_ROOT_D", zra_testing::RegistryValue::text(scene.root));

    // Without its directory the log writes nothing and does not make one.
    EXPECT_EQ(1u, scene.run({}).exitCode);
    EXPECT_FALSE(fileExists(logs));
    makeDirectory(logs);

    // A failure whose text shows the command line, and so where the password would be.
    const runner::RunResult failed = longCommandLine(scene, L"\\check.bat", 8200);
    ASSERT_EQ(1u, failed.exitCode);
    const std::string failure = failed.out.substr(0, failed.out.find('\n'));
    ASSERT_NE(std::string::npos, failure.find(" *****")) << failed.out;

    // An examination that ran, with an argument that holds a line break.
    ScopedEnvironment exitCode(L"ZRA_CHILD_EXIT", L"3");
    const runner::RunResult ran = scene.launch({}, {scene.scripts + L"\\check.php", L"two\nlines"});
    EXPECT_EQ(3u, ran.exitCode) << ran.out;

    const std::wstring file = findLogFile(logs);
    ASSERT_FALSE(file.empty());
    const std::string log = readLog(file);
    // The failure as it was printed, with its trail of locations.
    EXPECT_NE(std::string::npos, log.find(" Error: " + failed.out)) << log;
    EXPECT_EQ(std::string::npos, log.find(kPasswordText)) << log;
    EXPECT_NE(std::string::npos, log.find("Info: Examination " + utf8(scene.scripts) +
                                          "\\check.php ended with exit code 3 (0x00000003)"))
        << log;
    EXPECT_NE(std::string::npos, log.find("two\\nlines")) << log;
    EXPECT_NE(std::string::npos, log.find(" *****, cmdLine ")) << log;
    // Every line is a record of its own, or a location of the failure record before it.
    for (const std::string& line : splitLines(log)) {
        if (line.empty())
            continue;
        EXPECT_TRUE(startsWithLogTime(line) || line.rfind("   at ", 0) == 0) << line;
    }
}
