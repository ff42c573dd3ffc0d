// Names at the edges of resolution, each case checked twice in the same directory: what the
// system's cmd runs for it, and what resolution picks. Where cmd is the reference the two must
// agree; the files are batch files that say their own name.
#include "os/path.h"
#include "process/child_process.h"
#include "process/command.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>

#include <string>
#include <vector>

using pt::TempDir;

namespace {

const wchar_t kCmd[] = L"C:\\windows\\system32\\cmd.exe";

enum class Kind { Batch, Directory, Text };

struct Entry {
    const wchar_t* name;
    Kind kind;
};

class LookAlike : public ::testing::Test {
protected:
    void SetUp() override { pt::RecordingSink::install(); }

    // A fresh directory holding the entries: batch files that say their own name, directories,
    // and text files that cannot be run.
    void lay(const std::vector<Entry>& entries) {
        dir = std::make_unique<TempDir>();
        for (const Entry& entry : entries) {
            const std::wstring path = *dir / entry.name;
            if (entry.kind == Kind::Directory)
                pt::makeDirectory(path);
            else if (entry.kind == Kind::Batch)
                pt::writeFile(path, "@echo ran " + cstr(VFileName::fileName(path), 0) + "\r\n");
            else
                pt::writeFile(path, "just text\r\n");
        }
    }

    // What cmd does with the line in the directory: the name of the batch file that ran, or ""
    // when it ran none.
    std::string cmdRuns(const std::wstring& line) {
        pt::ScopedCurrentDirectory cd(dir->path());
        VChildProcess child(settings);
        child.start(kCmd, L"/c " + line, false);
        const std::string out = pt::collectOutput(child).first;
        child.waitExitCode();
        const size_t ran = out.find("ran ");
        if (ran == std::string::npos)
            return std::string();
        return out.substr(ran + 4, out.find_first_of("\r\n ", ran + 4) - ran - 4);
    }

    // The same for resolution: the file it picked, or "" when it found nothing to run.
    std::string resolutionRuns(const std::wstring& command, const std::wstring& environment = L"") {
        pt::ScopedCurrentDirectory cd(dir->path());
        try {
            const ResolvedCommand resolved =
                resolveCommandForm(command, L"", environment, {}, settings);
            return cstr(VFileName::fileName(resolved.form.file), 0);
        } catch (const std::runtime_error& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find("is not recognized as an internal or external command"),
                      std::string::npos)
                << text;
            return std::string();
        }
    }

    std::unique_ptr<TempDir> dir;
    pt::FakeSettings settings;
};

} // namespace

TEST_F(LookAlike, NamesThatAreNoFileNameRunNothingAndDirectoriesAreNeverCandidates) {
    const Kind B = Kind::Batch;
    const Kind D = Kind::Directory;
    const Kind T = Kind::Text;
    const struct {
        std::vector<Entry> entries;
        const wchar_t* command;
        const char* runs; // "" for nothing
    } cases[] = {
        // A wildcard is never a pattern.
        {{{L"asp.bat", B}, {L"check.bat", B}}, L"*", ""},
        {{{L"check.bat", B}}, L"?heck", ""},
        {{{L"check.bat", B}}, L"check.*", ""},
        {{{L"check.bat", B}}, L"chec?.bat", ""},
        // A directory of the command's name does not stand in front of the batch file beside it.
        {{{L"sp", D}, {L"sp.bat", B}}, L"sp", "sp.bat"},
        {{{L"bare.bat", B}, {L"bare", D}}, L"bare", "bare.bat"},
        {{{L"run.d", D}, {L"run.bat", B}}, L"run", "run.bat"},
        // Nor does a file without extension that cannot be run.
        {{{L"plain", T}, {L"plain.bat", B}}, L"plain", "plain.bat"},
        // Names of directories only.
        {{{L"x.bat", B}}, L".", ""},
        {{{L"x.bat", B}}, L"..", ""},
        {{{L"x.bat", B}}, L"\\", ""},
        {{{L"sub", D}, {L"sub\\x.bat", B}}, L"sub\\", ""},
    };
    for (const auto& c : cases) {
        lay(c.entries);
        const std::string label = cstr(c.command, 0);
        EXPECT_EQ(cmdRuns(c.command), c.runs) << label;
        EXPECT_EQ(resolutionRuns(c.command), c.runs) << label;
    }
}

// PATH entries relative to the current directory are found as cmd finds them, and entries that
// cannot be reached are passed over.
TEST_F(LookAlike, RelativeAndUnreachablePathEntries) {
    const wchar_t* const entries[] = {
        L"sub",
        L".\\sub",
        L"sub\\..\\sub",
        L"\\\\zra-no-such-server\\share;sub",
        L"Q:\\zra-missing;sub",
        L"missing;sub",
    };
    for (const wchar_t* path : entries) {
        lay({{L"sub", Kind::Directory}, {L"sub\\tool.bat", Kind::Batch}});
        const std::string label = cstr(path, 0);
        EXPECT_EQ(cmdRuns(L"set PATH=" + std::wstring(path) + L"&& tool"), "tool.bat") << label;
        const std::wstring block = L"PATH=" + std::wstring(path) + std::wstring(1, L'\0');
        EXPECT_EQ(resolutionRuns(L"tool", block), "tool.bat") << label;
    }
    // A drive-relative entry on the current directory's drive.
    lay({{L"sub", Kind::Directory}, {L"sub\\tool.bat", Kind::Batch}});
    const std::wstring driveRelative = dir->path().substr(0, 2) + L"sub";
    EXPECT_EQ(cmdRuns(L"set PATH=" + driveRelative + L"&& tool"), "tool.bat");
    EXPECT_EQ(resolutionRuns(L"tool", L"PATH=" + driveRelative + std::wstring(1, L'\0')),
              "tool.bat");
}

// cmd runs a .bat or .cmd file as a batch file whatever its first bytes are, "MZ" included, so its
// arguments must be encoded for cmd.
TEST_F(LookAlike, TheExtensionDecidesThatAFileIsABatchFile) {
    for (const wchar_t* name : {L"mz.bat", L"MZ.CMD"}) {
        lay({});
        pt::writeFile(*dir / name, "MZ\x90\r\n@echo ran " + cstr(name, 0) + " %1\r\n");
        EXPECT_EQ(cmdRuns(std::wstring(name) + L" x"), cstr(name, 0));
        pt::ScopedCurrentDirectory cd(dir->path());
        const ResolvedCommand resolved =
            resolveCommandForm(name, L"\"\\\"&calc\" x", L"", {}, settings);
        EXPECT_TRUE(resolved.form.throughCmd) << cstr(resolved.commandLine, 0);
        EXPECT_EQ(resolved.commandLine.rfind(L"\"" + systemDirectory() + L"\\cmd.exe\" ", 0), 0u)
            << cstr(resolved.commandLine, 0);
    }
}
