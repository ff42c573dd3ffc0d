// Hostile values from the corpus in data/hostile-arguments.txt, each handed by the launcher's own
// quoting to a batch file that forwards its arguments to the reporting child through cmd: nothing
// in a value may run, and each value must read back as it was sent, once as an ordinary argument
// and once as the password (the last argument).
// Every test run tries the representative values; the whole corpus runs on request
// (scripts/campaign-batch.sh) and prints its figures.
#include "base/scoped_handle.h"
#include "os/path.h"
#include "process/arguments.h"
#include "process/child_process.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cwctype>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using pt::TempDir;

namespace {

struct CorpusValue {
    std::wstring value;
    bool representative = false;
    size_t line = 0;
};

void appendCodePoint(unsigned long code, std::wstring& out) {
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        throw std::invalid_argument("code point out of range");
    if (code > 0xFFFF) {
        code -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (code >> 10));
        out += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
    } else {
        out += static_cast<wchar_t>(code);
    }
}

unsigned long parseNumber(const std::wstring& text, int base) {
    if (text.empty())
        throw std::invalid_argument("number expected");
    for (wchar_t c : text) {
        if (base == 16 ? !std::iswxdigit(c) : !std::iswdigit(c))
            throw std::invalid_argument("bad digit");
    }
    return std::wcstoul(text.c_str(), nullptr, base);
}

// The value a corpus line's text stands for (the escapes are listed at the top of the corpus).
std::wstring decodeValue(const std::wstring& text) {
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == L'}')
            throw std::invalid_argument("unmatched }");
        if (text[i] != L'{') {
            out += text[i++];
            continue;
        }
        const size_t close = text.find(L'}', i);
        if (close == std::wstring::npos)
            throw std::invalid_argument("unterminated escape");
        const std::wstring name = text.substr(i + 1, close - i - 1);
        i = close + 1;
        if (name == L"SP")
            out += L' ';
        else if (name == L"TAB")
            out += L'\t';
        else if (name == L"EMPTY")
            continue;
        else if (name == L"LB")
            out += L'{';
        else if (name == L"RB")
            out += L'}';
        else if (name.compare(0, 2, L"U+") == 0)
            appendCodePoint(parseNumber(name.substr(2), 16), out);
        else if (name.compare(0, 4, L"REP ") == 0) {
            const size_t colon = name.find(L':');
            if (colon == std::wstring::npos)
                throw std::invalid_argument("REP without :");
            const unsigned long count = parseNumber(name.substr(4, colon - 4), 10);
            for (unsigned long k = 0; k < count; ++k)
                out += name.substr(colon + 1);
        } else {
            throw std::invalid_argument("unknown escape");
        }
    }
    return out;
}

std::vector<CorpusValue> parseCorpus(const std::string& bytes) {
    std::vector<CorpusValue> values;
    std::istringstream in(bytes);
    std::string line;
    size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        if (line.size() < 2 || (line[0] != 'v' && line[0] != '*') || line[1] != ' ')
            throw std::invalid_argument("line " + std::to_string(number) + ": no value marker");
        CorpusValue value;
        value.representative = line[0] == '*';
        value.line = number;
        try {
            value.value = decodeValue(wstr(line.substr(2), 65001));
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument("line " + std::to_string(number) + ": " + e.what());
        }
        values.push_back(std::move(value));
    }
    return values;
}

std::vector<CorpusValue> loadCorpus() {
    std::wstring path = ZRA_HOSTILE_ARGUMENTS_FILE;
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    return parseCorpus(pt::readFile(path));
}

// What became of one value.
struct Outcome {
    std::wstring commandLine; // what the launcher handed to cmd
    bool finished = false;    // cmd ended within the time limit
    uint32_t exitCode = 0;
    std::wstring line;                  // the reporting child's command line
    std::vector<std::wstring> received; // the reporting child's arguments
    int forwarded = 0;             // times the forwarding batch line started the reporting child
    std::vector<std::wstring> ran; // files left by anything else that ran
    std::string strayOutput;       // output that is not the reporting child's
};

// Runs one value through the batch file and judges it.
class Campaign {
public:
    Campaign() : mark_(L"ZRA_CHILD_MARK_DIR", dir_.path()) {
        for (const wchar_t* name : {L"report.exe", L"calc.exe", L"whoami.exe", L"marker.exe"})
            pt::copyChild(dir_ / name);
        const std::string report = "@\"" + cstr(dir_ / L"report.exe", 0) + "\"";
        pt::writeFile(dir_ / L"pass.bat", report + " %*\r\n");
        baseline_ = listFiles();
    }

    Outcome run(const std::wstring& value, DWORD limitMs) {
        const std::wstring arguments = quoteArgument(value) + L" between " + quoteArgument(value);
        Outcome outcome;
        VChildProcess child(settings_);
        child.setSecret(value);
        ChildStartOptions options;
        options.workingDirectory = dir_.path();
        outcome.commandLine = child.start(dir_ / L"pass.bat", arguments, options);
        child.closeStdInput();
        std::string out, err;
        std::thread errorReader(
            [&] { err = pt::readToEnd(child.stdErrorRead(), child.stdErrorOverlapped()); });
        std::thread outputReader(
            [&] { out = pt::readToEnd(child.stdOutputRead(), child.stdOutputOverlapped()); });
        outcome.finished = ::WaitForSingleObject(child.processHandle(), limitMs) == WAIT_OBJECT_0;
        if (!outcome.finished)
            ::TerminateProcess(child.processHandle(), 1);
        outputReader.join();
        errorReader.join();
        outcome.exitCode = child.waitExitCode();

        std::string rest;
        std::istringstream lines(out);
        std::string line;
        bool reported = false;
        while (std::getline(lines, line)) {
            if (line.compare(0, 9, "cmdline: ") == 0 && !reported) {
                reported = true;
                outcome.line = wstr(line.substr(9), 65001);
                for (const ArgumentToken& token : splitArguments(outcome.line))
                    outcome.received.push_back(token.value);
                if (!outcome.received.empty())
                    outcome.received.erase(outcome.received.begin());
            } else if (line.compare(0, 5, "cwd: ") != 0) {
                rest += line + "\n";
            }
        }
        // The reporting child writes nothing on standard error: text there is cmd's, about a
        // command it tried to run.
        if (!err.empty())
            rest += "stderr: " + err;
        outcome.strayOutput = rest;
        for (const std::wstring& name : listFiles()) {
            if (baseline_.count(name) != 0)
                continue;
            if (name.compare(0, 11, L"ran-report-") == 0)
                ++outcome.forwarded;
            else
                outcome.ran.push_back(name);
            ::DeleteFileW((dir_ / name).c_str());
        }
        return outcome;
    }

private:
    std::set<std::wstring> listFiles() const {
        std::set<std::wstring> names;
        WIN32_FIND_DATAW data;
        const base::ScopedFindHandle find(::FindFirstFileW((dir_ / L"*").c_str(), &data));
        if (!find)
            return names;
        do {
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                names.insert(data.cFileName);
        } while (::FindNextFileW(find.get(), &data));
        return names;
    }

    TempDir dir_;
    pt::ScopedEnvironment mark_;
    pt::FakeSettings settings_;
    std::set<std::wstring> baseline_;
};

// How long cmd may take over one value before it is taken as hung.
const DWORD kTimeLimitMs = 20000;

enum class Verdict { Intact, WineExpansion, NotPassed, Changed, CommandRan, Hung };

const char* verdictName(Verdict v) {
    switch (v) {
    case Verdict::Intact:
        return "intact";
    case Verdict::WineExpansion:
        return "changed by Wine's second expansion of batch arguments";
    case Verdict::NotPassed:
        return "not passed: the launcher's quoting leaves an empty argument out";
    case Verdict::Changed:
        return "CHANGED";
    case Verdict::CommandRan:
        return "COMMAND RUN (a marker appeared or cmd reported a command)";
    case Verdict::Hung:
        return "cmd did not end (Wine limitation)";
    }
    return "";
}

bool intact(const std::wstring& value, const Outcome& outcome) {
    return outcome.finished && outcome.forwarded == 1 && outcome.exitCode == 0 &&
           outcome.received == std::vector<std::wstring>{value, L"between", value};
}

bool ranSomething(const Outcome& outcome) {
    return !outcome.ran.empty() || !outcome.strayOutput.empty() || outcome.forwarded > 1;
}

// The value with every percent sign made a plain letter: everything else about it is encoded for
// cmd exactly as before (the launcher quotes a value for other reasons than its percent signs).
std::wstring withoutPercent(std::wstring value) {
    for (wchar_t& c : value)
        if (c == L'%')
            c = L'P';
    return value;
}

// outcome is the value's own run; control, made only when that one did not read back intact, the
// run of withoutPercent(value).
Verdict judge(const std::wstring& value, const Outcome& outcome, const Outcome* control) {
    if (ranSomething(outcome) || (control != nullptr && ranSomething(*control)))
        return Verdict::CommandRan;
    if (!outcome.finished)
        return Verdict::Hung;
    if (intact(value, outcome))
        return Verdict::Intact;
    // Wine's cmd expands variables once more in the text that %* and %1 stand for, where Windows
    // does not (a lone percent sign can pair with one in a later argument). The launcher's part
    // is shown by the same value without its percent signs.
    if (value.find(L'%') != std::wstring::npos && control != nullptr &&
        intact(withoutPercent(value), *control))
        return Verdict::WineExpansion;
    // quoteArgument gives an empty argument no text at all (so that an empty password adds
    // nothing): the empty value never reaches cmd, and the rest still arrives in order.
    if (value.empty() && outcome.forwarded == 1 && outcome.exitCode == 0 &&
        outcome.received == std::vector<std::wstring>{L"between"})
        return Verdict::NotPassed;
    return Verdict::Changed;
}

std::string describe(const std::wstring& value, const Outcome& outcome) {
    std::string text = "value \"" + pt::utf8(value) + "\" received [";
    for (const std::wstring& r : outcome.received)
        text += "\"" + pt::utf8(r) + "\" ";
    text += "] line [" + pt::utf8(outcome.line) + "] exit " + std::to_string(outcome.exitCode) +
            " forwarded " + std::to_string(outcome.forwarded);
    for (const std::wstring& r : outcome.ran)
        text += " ran:" + pt::utf8(r);
    if (!outcome.strayOutput.empty())
        text += " output:" + outcome.strayOutput;
    return text;
}

struct Figures {
    size_t tried = 0;
    size_t commandsRan = 0;
    size_t changed = 0;
    size_t wineExpansion = 0;
    size_t notPassed = 0;
    size_t hung = 0;
    std::vector<std::pair<Verdict, std::string>> details;
};

// Changes made by Wine's cmd or by the launcher's own rule, and values cmd hung on, are listed;
// anything else fails.
void reportDetails(const Figures& figures) {
    for (const auto& detail : figures.details) {
        if (detail.first == Verdict::WineExpansion || detail.first == Verdict::NotPassed ||
            detail.first == Verdict::Hung)
            std::printf("%s\n", detail.second.c_str());
        else
            ADD_FAILURE() << detail.second;
    }
}

Figures runCampaign(const std::vector<CorpusValue>& values, DWORD limitMs) {
    pt::RecordingSink::install();
    Campaign campaign;
    Figures figures;
    for (const CorpusValue& v : values) {
        const Outcome outcome = campaign.run(v.value, limitMs);
        Outcome control;
        const bool needsControl = !ranSomething(outcome) && outcome.finished &&
                                  !intact(v.value, outcome) &&
                                  v.value.find(L'%') != std::wstring::npos;
        if (needsControl)
            control = campaign.run(withoutPercent(v.value), limitMs);
        const Verdict verdict = judge(v.value, outcome, needsControl ? &control : nullptr);
        ++figures.tried;
        switch (verdict) {
        case Verdict::Intact:
            continue;
        case Verdict::WineExpansion:
            ++figures.wineExpansion;
            break;
        case Verdict::NotPassed:
            ++figures.notPassed;
            break;
        case Verdict::Changed:
            ++figures.changed;
            break;
        case Verdict::CommandRan:
            ++figures.commandsRan;
            break;
        case Verdict::Hung:
            ++figures.hung;
            break;
        }
        std::string detail = "line " + std::to_string(v.line) + ": " + verdictName(verdict) + ": " +
                             describe(v.value, outcome);
        if (needsControl)
            detail += "; without percent signs: " + describe(withoutPercent(v.value), control);
        figures.details.emplace_back(verdict, detail);
    }
    return figures;
}

} // namespace

TEST(HostileCorpus, EscapesDecode) {
    const struct {
        const wchar_t* text;
        std::wstring value;
    } cases[] = {
        {L"a\\\"b", L"a\\\"b"},
        {L"{EMPTY}", L""},
        {L"{SP}x{TAB}", L" x\t"},
        {L"{LB}{RB}", L"{}"},
        {L"{U+201C}{U+ff02}", L"\u201C\uFF02"},
        {L"{U+1F600}", L"\xD83D\xDE00"},
        {L"{REP 3:a\"}", L"a\"a\"a\""},
        {L"{REP 0:x}", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decodeValue(c.text), c.value) << pt::utf8(c.text);
    for (const wchar_t* bad : {L"{", L"}", L"{SPACE}", L"{U+}", L"{U+D800}", L"{U+110000}",
                               L"{U+12G}", L"{REP x:a}", L"{REP 2}"}) {
        EXPECT_THROW(decodeValue(bad), std::invalid_argument) << pt::utf8(bad);
    }
}

TEST(HostileCorpus, LinesParse) {
    const auto values = parseCorpus("# comment\n\nv a b\r\n* {SP}\nv {EMPTY}\n");
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].value, L"a b");
    EXPECT_FALSE(values[0].representative);
    EXPECT_EQ(values[1].value, L" ");
    EXPECT_TRUE(values[1].representative);
    EXPECT_EQ(values[2].line, 5u);
    for (const char* bad : {"x a\n", "va\n", "v\n", "v {x}\n"})
        EXPECT_THROW(parseCorpus(bad), std::invalid_argument) << bad;
}

TEST(HostileCorpus, CoversTheWholeRange) {
    const auto values = loadCorpus();
    EXPECT_GE(values.size(), 250u);
    size_t representative = 0;
    std::set<std::wstring> distinct;
    for (const CorpusValue& v : values) {
        representative += v.representative ? 1 : 0;
        EXPECT_TRUE(distinct.insert(v.value).second) << "duplicate on line " << v.line;
    }
    EXPECT_GE(representative, 25u);
    EXPECT_LE(representative, 40u);
}

// The representative values: nothing runs, and every value reads back as sent unless Wine's cmd
// is known to change it.
TEST(BatchCampaign, RepresentativeValuesArriveIntactAndRunNothing) {
    std::vector<CorpusValue> values;
    for (const CorpusValue& v : loadCorpus())
        if (v.representative)
            values.push_back(v);
    const Figures figures = runCampaign(values, kTimeLimitMs);
    EXPECT_EQ(figures.tried, values.size());
    EXPECT_EQ(figures.commandsRan, 0u);
    EXPECT_EQ(figures.changed, 0u);
    EXPECT_EQ(figures.hung, 0u);
    reportDetails(figures);
}

// The whole corpus, with its figures printed; scripts/campaign-batch.sh runs it.
TEST(BatchCampaign, DISABLED_WholeCorpus) {
    const std::vector<CorpusValue> values = loadCorpus();
    const auto began = std::chrono::steady_clock::now();
    const Figures figures = runCampaign(values, kTimeLimitMs);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    reportDetails(figures);
    std::printf(
        "values tried: %u (each as an ordinary argument and as the password)\n"
        "commands run: %u\n"
        "values changed where the launcher is in control: %u\n"
        "values changed by Wine's cmd, which expands %%...%% in batch arguments once "
        "more: %u\n"
        "values left out by the launcher's quoting (an empty argument has no text): %u\n"
        "values skipped, cmd did not end within %u s (Wine limitation): %u\n"
        "time: %.1f s\n",
        static_cast<unsigned>(figures.tried), static_cast<unsigned>(figures.commandsRan),
        static_cast<unsigned>(figures.changed), static_cast<unsigned>(figures.wineExpansion),
        static_cast<unsigned>(figures.notPassed), static_cast<unsigned>(kTimeLimitMs / 1000),
        static_cast<unsigned>(figures.hung), seconds);
    std::fflush(stdout);
    EXPECT_EQ(figures.commandsRan, 0u);
    EXPECT_EQ(figures.changed, 0u);
}
