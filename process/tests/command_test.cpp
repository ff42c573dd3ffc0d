#include "os/path.h"
#include "process/command.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using pt::FakeSettings;
using pt::TempDir;
using pt::writeFile;

namespace {

// What resolution raised, as text; empty when it did not raise a run-time error.
template <typename F> std::string runTimeFailure(F&& work) {
    try {
        work();
    } catch (const std::exception& e) {
        return e.what();
    }
    return std::string();
}

std::string ansi(const std::wstring& text) {
    return cstr(text, 0);
}

std::wstring cmdPrefix() {
    return L"\"" + systemDirectory() + L"\\cmd.exe\" /e:ON /v:OFF /d /c \"\"";
}

class Resolution : public ::testing::Test {
protected:
    Resolution() {
        settings.components[L"php"] = L"C:\\Php";
        settings.components[L"perl"] = L"C:\\Perl\\";
        settings.components[L"python"] = L"C:\\Python";
        settings.root = L"C:\\Panel";
    }
    std::wstring resolve(const std::wstring& command, const std::wstring& arguments = L"a \"b c\" ",
                         bool useProductPhp = false) {
        return resolveCommand(command, arguments, L"", CommandOptions{false, useProductPhp},
                              settings);
    }
    std::wstring unknown(const std::wstring& file) {
        return format(L"Unable to start (%s): Is not a known application", file.c_str());
    }

    TempDir dir;
    FakeSettings settings;
};

} // namespace

TEST(CommandForms, ExtensionIsTakenFromTheLastDotOfTheWholePath) {
    EXPECT_EQ(extensionOf(L"C:\\x\\check.Php3"), L"PHP3");
    EXPECT_EQ(extensionOf(L"C:\\dir.d\\check"), L"D\\CHECK");
    EXPECT_EQ(extensionOf(L"C:\\x\\check"), L"");
    EXPECT_EQ(extensionOf(L"check."), L"");
    EXPECT_EQ(toUpper(L"ab\x00e9\x0434"), L"AB\x00c9\x0414");
}

TEST(CommandForms, PathDirectoriesComeFromTheFirstPathEntryOfTheBlock) {
    using V = std::vector<std::wstring>;
    const auto block = [](const wchar_t* text, size_t length) {
        return std::wstring(text, length);
    };
    EXPECT_EQ(pathDirectories(block(L"A=1\0Path=  C:\\a;;C:\\b;\0B=2\0", 27)),
              (V{L"C:\\a", L"C:\\b", L""}));
    EXPECT_EQ(pathDirectories(block(L"PATHEXT=.COM;.EXE\0PATH=C:\\a\0", 28)),
              (V{L".COM", L".EXE"}));
    EXPECT_EQ(pathDirectories(block(L"PATH=a", 6)), (V{L"a"}));
    // Entries shorter than six characters are not looked at; an empty value gives nothing.
    EXPECT_EQ(pathDirectories(block(L"X=1\0PATH=", 9)), V{});
    EXPECT_EQ(pathDirectories(block(L"PATH=\0", 6)), V{});
    EXPECT_EQ(pathDirectories(L""), V{});
    EXPECT_EQ(pathDirectories(block(L"HOME=C:\\h\0", 10)), V{});
}

TEST_F(Resolution, FullPathToAnExecutableRunsItDirectly) {
    pt::makeDirectory(dir / L"sub");
    pt::copyChild(dir / L"Php.exe");
    const std::wstring expected = L"\"" + dir.path() + L"\\Php.exe\" a \"b c\" ";
    EXPECT_EQ(resolve(dir.path() + L"\\sub\\..\\php.exe"), expected);
    // Forward slashes and doubled separators come back in the normalised form; the file name is
    // the one the file system reports.
    std::wstring slashed = dir.path() + L"//php.exe";
    for (wchar_t& c : slashed)
        if (c == L'\\')
            c = L'/';
    EXPECT_EQ(resolve(slashed), expected);
    EXPECT_EQ(resolve(dir / L"php"), expected);
}

TEST_F(Resolution, EveryMatchOfTheDirectoryIsTriedBeforeFailing) {
    writeFile(dir / L"check.txt", "plain text\n");
    writeFile(dir / L"check.dat", "more text\n");
    writeFile(dir / L"check.xyz", "");
    writeFile(dir / L"check.php", "<?php echo 1;\n");
    EXPECT_EQ(resolve(dir / L"check"),
              L"\"C:\\Php\\php.exe\" \"" + dir.path() + L"\\check.php\" a \"b c\" ");

    ::DeleteFileW((dir / L"check.php").c_str());
    const std::string failure = runTimeFailure([&] { resolve(dir / L"check"); });
    // One line per match, in the order the directory lists them.
    for (const wchar_t* name : {L"check.txt", L"check.dat", L"check.xyz"})
        EXPECT_NE(failure.find(ansi(unknown(dir / name))), std::string::npos) << failure;
    EXPECT_EQ(std::count(failure.begin(), failure.end(), '\n'), 2) << failure;
}

TEST_F(Resolution, AMatchThatCannotBeOpenedIsCollectedWithTheOthers) {
    writeFile(dir / L"check.d", "text\n");
    writeFile(dir / L"check.txt", "text\n");
    // Held open without sharing: it can be neither typed nor read.
    base::ScopedFileHandle held(::CreateFileW((dir / L"check.d").c_str(), GENERIC_READ, 0, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    const std::string failure = runTimeFailure([&] { resolve(dir / L"check"); });
    EXPECT_NE(failure.find("Unable to create file"), std::string::npos) << failure;
    EXPECT_NE(failure.find(ansi(unknown(dir / L"check.txt"))), std::string::npos) << failure;
}

TEST_F(Resolution, SearchOrderIsCurrentSystemWindowsThenPath) {
    TempDir other;
    writeFile(dir / L"tool.bat", "@echo off\r\n");
    pt::copyChild(other / L"tool.exe");
    const std::wstring block = L"PATH=" + other.path() + std::wstring(1, L'\0');
    {
        pt::ScopedCurrentDirectory cd(dir.path());
        EXPECT_EQ(resolveCommand(L"tool", L"x", block, {}, settings),
                  cmdPrefix() + dir.path() + L"\\tool.bat\" x\"");
    }
    EXPECT_EQ(resolveCommand(L"tool", L"x", block, {}, settings),
              L"\"" + other.path() + L"\\tool.exe\" x");
    // The system directory comes before any PATH entry.
    pt::copyChild(other / L"cscript.exe");
    EXPECT_EQ(resolveCommand(L"cscript", L"", block, {}, settings),
              L"\"" + systemDirectory() + L"\\cscript.exe\" ");
}

TEST_F(Resolution, ACommandFoundNowhereIsNamedAsGiven) {
    const std::string failure =
        runTimeFailure([&] { resolve(L"no-such-dir\\zra-missing-tool", L""); });
    EXPECT_EQ(failure, "'no-such-dir\\zra-missing-tool' is not recognized as an internal or "
                       "external command, operable program or batch file.");
}

TEST_F(Resolution, PhpIsRecognisedByItsOpenTag) {
    writeFile(dir / L"check.txt", "<?php echo 1;\n");
    EXPECT_EQ(resolve(dir / L"check.txt"),
              L"\"C:\\Php\\php.exe\" \"" + dir.path() + L"\\check.txt\" a \"b c\" ");
    // Blank lines before the tag and an interpreter line are skipped.
    writeFile(dir / L"lead.txt", "   \r\n\t\n#!/usr/bin/php\n  <?PHP\n");
    EXPECT_EQ(resolve(dir / L"lead.txt", L""),
              L"\"C:\\Php\\php.exe\" \"" + dir.path() + L"\\lead.txt\" ");
    // The product's own PHP: the raw root setting, "-q", the working directory is the caller's
    // business.
    settings.root = L"D:/panel";
    EXPECT_EQ(resolve(dir / L"check.txt", L"x ", true),
              L"\"D:/panel\\admin\\bin\\php.exe\" -q \"" + dir.path() + L"\\check.txt\" x ");
}

// Windows editors save UTF-8 with a byte-order mark in front of the first line.
TEST_F(Resolution, AByteOrderMarkIsNotPartOfTheFirstLine) {
    const std::string bom = "\xEF\xBB\xBF";
    const struct {
        const wchar_t* name;
        std::string content;
        const wchar_t* interpreter; // null: no interpreter is chosen by content
    } cases[] = {
        {L"a.txt", bom + "<?php echo 1;\r\n", L"C:\\Php\\php.exe"},
        {L"b.txt", bom + "  <?PHP\n", L"C:\\Php\\php.exe"},
        {L"c.txt", bom + "#!/usr/bin/php\n<?php\n", L"C:\\Php\\php.exe"},
        {L"d", bom + "#!/usr/bin/perl -w\nprint 1;\n", L"C:\\Perl\\bin\\perl.exe"},
        {L"e", bom + "#!/usr/bin/env python\n", L"C:\\Python\\python.exe"},
        // Only at the very start: a mark on a later line, or the mark alone, is ordinary text.
        {L"f.txt", "\n" + bom + "<?php\n", nullptr},
        {L"g.txt", bom + "\n<?php\n", nullptr},
        {L"h.txt", "x" + bom + "<?php\n", nullptr},
    };
    for (const auto& c : cases) {
        writeFile(dir / c.name, c.content);
        const std::wstring file = dir / c.name;
        if (c.interpreter == nullptr) {
            EXPECT_EQ(runTimeFailure([&] { resolve(file, L""); }), ansi(unknown(file)))
                << ansi(c.name);
        } else {
            EXPECT_EQ(resolve(file, L""),
                      L"\"" + std::wstring(c.interpreter) + L"\" \"" + file + L"\" ")
                << ansi(c.name);
        }
    }
}

// A name outside the ANSI code page reaches the failure text whole. (Wine under the C locale
// cannot store such a name on disk, so the name is one that is not found.)
TEST_F(Resolution, FailureTextsKeepNamesOutsideTheAnsiCodePage) {
    const std::wstring greek = L"\x03b4\x03bf\x03ba\x03b9\x03bc\x03ae";
    for (const std::wstring& command : {greek, dir / greek, dir / (greek + L".txt")}) {
        try {
            resolve(command);
            ADD_FAILURE() << "resolved";
        } catch (...) {
            const vexception e = catchLadder(L"", "test", 1);
            EXPECT_EQ(e.message(), L"'" + command +
                                       L"' is not recognized as an internal or external command, "
                                       L"operable program or batch file.");
        }
    }
}

TEST_F(Resolution, AnEmptyFirstLineStopsContentSniffing) {
    writeFile(dir / L"late.txt", "\n<?php\n");
    EXPECT_EQ(runTimeFailure([&] { resolve(dir / L"late.txt"); }),
              ansi(unknown(dir / L"late.txt")));
    writeFile(dir / L"late.php", "\r\n<?php\n");
    EXPECT_EQ(resolve(dir / L"late.php", L""),
              L"\"C:\\Php\\php.exe\" \"" + dir.path() + L"\\late.php\" ");
}

TEST_F(Resolution, ScriptTagsArePhpOnlyInPhpFiles) {
    writeFile(dir / L"page.html", "<script language=php>\n");
    EXPECT_EQ(runTimeFailure([&] { resolve(dir / L"page.html"); }),
              ansi(unknown(dir / L"page.html")));
    writeFile(dir / L"page.php3", "<% echo %>\n");
    EXPECT_EQ(resolve(dir / L"page.php3", L""),
              L"\"C:\\Php\\php.exe\" \"" + dir.path() + L"\\page.php3\" ");
}

TEST_F(Resolution, InterpreterLineChoosesPerlPythonOrPhp) {
    writeFile(dir / L"envpy", "#!/usr/bin/env python\n");
    EXPECT_EQ(resolve(dir / L"envpy", L""),
              L"\"C:\\Python\\python.exe\" \"" + dir.path() + L"\\envpy\" ");
    writeFile(dir / L"tool", "  #!/usr/bin/perl -w\r\nprint 1;\r\n");
    EXPECT_EQ(resolve(dir / L"tool", L"x"),
              L"\"C:\\Perl\\bin\\perl.exe\" \"" + dir.path() + L"\\tool\" x");
    writeFile(dir / L"cgi.sh", "#!C:\\php\\php-cgi\n");
    EXPECT_EQ(resolve(dir / L"cgi.sh", L""),
              L"\"C:\\Php\\php.exe\" \"" + dir.path() + L"\\cgi.sh\" ");
    writeFile(dir / L"gem.py", "#!/usr/bin/ruby -x\n");
    EXPECT_EQ(runTimeFailure([&] { resolve(dir / L"gem.py"); }),
              ansi(format(L"Unable to start (%s): Is not a known application (RUBY -X)",
                          (dir / L"gem.py").c_str())));
}

TEST_F(Resolution, ExtensionClasses) {
    const std::wstring cscript = L"\"" + systemDirectory() + L"\\cscript.exe\" /nologo \"";
    const struct {
        const wchar_t* name;
        std::wstring expected;
    } cases[] = {
        {L"s.bat", cmdPrefix() + dir.path() + L"\\s.bat\" x\""},
        {L"s.CMD", cmdPrefix() + dir.path() + L"\\s.CMD\" x\""},
        {L"s.vbs", cscript + dir.path() + L"\\s.vbs\" x"},
        {L"s.js", cscript + dir.path() + L"\\s.js\" x"},
        {L"s.vbe", cscript + dir.path() + L"\\s.vbe\" x"},
        {L"s.asp", cscript + dir.path() + L"\\s.asp\" x"},
        {L"s.pl", L"\"C:\\Perl\\bin\\perl.exe\" \"" + dir.path() + L"\\s.pl\" x"},
        {L"s.pm", L"\"C:\\Perl\\bin\\perl.exe\" \"" + dir.path() + L"\\s.pm\" x"},
        {L"s.py", L"\"C:\\Python\\python.exe\" \"" + dir.path() + L"\\s.py\" x"},
        {L"s.pyc", L"\"C:\\Python\\python.exe\" \"" + dir.path() + L"\\s.pyc\" x"},
        {L"s.php", L"\"C:\\Php\\php.exe\" \"" + dir.path() + L"\\s.php\" x"},
    };
    for (const auto& c : cases) {
        writeFile(dir / c.name, "' nothing to sniff\r\n");
        EXPECT_EQ(resolve(dir / c.name, L"x"), c.expected);
    }
    writeFile(dir / L"s.xyz", "x\n");
    EXPECT_EQ(runTimeFailure([&] { resolve(dir / L"s.xyz"); }), ansi(unknown(dir / L"s.xyz")));
    writeFile(dir / L"noext", "x\n");
    EXPECT_EQ(runTimeFailure([&] { resolve(dir / L"noext"); }), ansi(unknown(dir / L"noext")));
}

TEST_F(Resolution, BatchFileArgumentsAreReEncodedForCmd) {
    writeFile(dir / L"run.bat", "@echo off\r\n");
    const std::wstring arguments = quoteArgument(L"a b\\") + L" " + quoteArgument(L"&calc") + L" " +
                                   quoteArgument(L"q\"x") + L" " + quoteArgument(L"%PATH%") + L" ";
    EXPECT_EQ(resolve(dir / L"run.bat", arguments),
              cmdPrefix() + dir.path() +
                  L"\\run.bat\" \"a b\\\\\" \"&calc\" \"q\"\"x\" %%cd:~,%PATH%%cd:~,% \"");
    const std::string failure =
        runTimeFailure([&] { resolve(dir / L"run.bat", L"a " + quoteArgument(L"x\r\ny")); });
    EXPECT_EQ(failure, ansi(format(L"Unable to start (%s): Argument 2 holds a line break or a NUL "
                                   L"character, which cannot be passed to a batch file",
                                   (dir / L"run.bat").c_str())));
}

TEST_F(Resolution, EachMissingInterpreterIsNamed) {
    settings.components.clear();
    writeFile(dir / L"s.pl", "");
    writeFile(dir / L"s.py", "");
    writeFile(dir / L"s.php", "");
    const struct {
        const wchar_t* name;
        const wchar_t* message;
    } cases[] = {
        {L"s.pl", L"Unable to start (%s): Perl is not installed"},
        {L"s.py", L"Unable to start (%s): Python is not installed"},
        {L"s.php", L"Unable to start (%s): PHP is not installed"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runTimeFailure([&] { resolve(dir / c.name); }),
                  ansi(format(c.message, (dir / c.name).c_str())));
    }
    // The product's own PHP needs no registered package.
    EXPECT_EQ(resolve(dir / L"s.php", L"", true),
              L"\"C:\\Panel\\admin\\bin\\php.exe\" -q \"" + dir.path() + L"\\s.php\" ");
    EXPECT_EQ(settings.componentQueries, 3);
}

TEST_F(Resolution, AMissingInterpreterLetsTheNextMatchRun) {
    settings.components.erase(L"perl");
    writeFile(dir / L"check.pl", "print 1;\n");
    writeFile(dir / L"check.py", "print(1)\n");
    EXPECT_EQ(resolve(dir / L"check", L""),
              L"\"C:\\Python\\python.exe\" \"" + dir.path() + L"\\check.py\" ");
    settings.components.erase(L"python");
    const std::string failure = runTimeFailure([&] { resolve(dir / L"check"); });
    EXPECT_NE(failure.find(ansi(format(L"Unable to start (%s): Perl is not installed",
                                       (dir / L"check.pl").c_str()))),
              std::string::npos)
        << failure;
    EXPECT_NE(failure.find(ansi(format(L"Unable to start (%s): Python is not installed",
                                       (dir / L"check.py").c_str()))),
              std::string::npos)
        << failure;
    EXPECT_EQ(std::count(failure.begin(), failure.end(), '\n'), 1) << failure;
}

TEST_F(Resolution, AServiceFailureEndsResolutionAtOnce) {
    settings.serviceDown = true;
    writeFile(dir / L"check.pl", "");
    writeFile(dir / L"check.py", "");
    EXPECT_THROW(resolve(dir / L"check"), vexception);
    EXPECT_EQ(settings.componentQueries, 1);
}

TEST_F(Resolution, VerbatimRunsTheFoundFileAsItIs) {
    writeFile(dir / L"s.xyz", "x\n");
    EXPECT_EQ(resolveCommand(dir / L"s.xyz", L"a&b", L"", CommandOptions{true, false}, settings),
              L"\"" + dir.path() + L"\\s.xyz\" a&b");
}

TEST_F(Resolution, BatchFilesAreHeldToCmdsLineLimitEverythingElseToTheProcessLimit) {
    writeFile(dir / L"s.bat", "@echo off\r\n");
    writeFile(dir / L"s.CmD", "@echo off\r\n");
    writeFile(dir / L"s.vbs", "' x\r\n");
    writeFile(dir / L"s.pl", "print 1;\n");
    pt::copyChild(dir / L"tool.exe");
    pt::makeDirectory(dir / L"d.bat");
    pt::copyChild(dir / L"d.bat\\tool.exe");
    const struct {
        const wchar_t* name;
        bool verbatim;
        size_t limit;
    } cases[] = {
        {L"s.bat", false, kMaxCmdCommandLine},
        {L"s.CmD", false, kMaxCmdCommandLine},
        // Run as it is, a batch file still goes through cmd: CreateProcess hands it over.
        {L"s.bat", true, kMaxCmdCommandLine},
        {L"s.vbs", false, kMaxProcessCommandLine},
        {L"s.pl", false, kMaxProcessCommandLine},
        {L"tool.exe", false, kMaxProcessCommandLine},
        {L"tool.exe", true, kMaxProcessCommandLine},
        // Only the file's own extension counts, not a directory's.
        {L"d.bat\\tool.exe", false, kMaxProcessCommandLine},
    };
    for (const auto& c : cases) {
        const CommandForm form =
            commandFormFor(dir / c.name, CommandOptions{c.verbatim, false}, settings);
        EXPECT_EQ(form.maxCommandLine(), c.limit) << pt::utf8(c.name) << c.verbatim;
    }
}
