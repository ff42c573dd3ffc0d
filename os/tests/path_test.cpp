#include "base/exception.h"
#include "base/text.h"
#include "base/win32.h"
#include "os/path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The text raiseRunTimeError gives for a non-zero code: message, code and the system's wording.
std::string runTimeText(const std::wstring& message, DWORD code) {
    return cstr(format(L"%s: (%d) %s", message.c_str(), static_cast<int>(code),
                       systemMessage(code).c_str()),
                0);
}

template <typename F> std::string whatOf(F&& work) {
    try {
        work();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

std::wstring pinnedDirectory() {
    return L"C:\\work/dir";
}
std::wstring uncDirectory() {
    return L"\\\\srv\\share\\dir";
}

struct PathCase {
    const wchar_t* first;
    const wchar_t* second;
    const wchar_t* expected;
};

std::ostream& operator<<(std::ostream& os, const PathCase& c) {
    return os << cstr(c.first, 65001) << " + " << cstr(c.second, 65001);
}

} // namespace

TEST(VFileNameTest, CombineJoinsWithOneSeparator) {
    const PathCase cases[] = {
        {L"C:\\dir\\", L"\\file", L"C:\\dir\\file"},
        {L"C:\\dir", L"D:\\x", L"D:\\x"},
        {L"C:\\dir//", L"//file", L"C:\\dir\\file"},
        {L"C:\\", L"x", L"C:\\x"},
        {L"C:\\a", L"b\\..\\c", L"C:\\a\\c"},
        {L"C:\\a", L".\\b\\.\\c", L"C:\\a\\b\\c"},
        {L"C:\\a\\b", L"..\\..\\x", L"C:\\x"},
        {L"\\\\srv\\share", L"f", L"\\\\srv\\share\\f"},
        {L"C:\\Varno\\ZRA", L"admin\\bin\\php.exe", L"C:\\Varno\\ZRA\\admin\\bin\\php.exe"},
        // ".." never climbs above a drive root or a share.
        {L"C:\\", L"..\\x", L"C:\\x"},
        {L"\\\\srv\\share\\d", L"..\\..\\f", L"\\\\srv\\share\\f"},
        {L"C:\\a", L"b\\", L"C:\\a\\b\\"},
        {L"C:", L"a", L"C:\\a"},
        {L"", L"rel\\.\\x", L"rel\\x"},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(c.expected, VFileName::combine(c.first, c.second)) << c;
}

// Past the short form's limits a full path comes back in the long form, in which every file call
// takes it; a relative path has no long form and fails.
TEST(VFileNameTest, CombineGivesTheLongFormPastTheShortFormsLimits) {
    const std::wstring directory = L"C:\\" + std::wstring(200, L'd') + L"\\";
    // 3 + 200 + 1 + 43 = 247 characters: the longest result a directory can have in short form.
    const std::wstring shortName = L"\\" + std::wstring(43, L'f');
    EXPECT_EQ(L"C:\\" + std::wstring(200, L'd') + shortName,
              VFileName::combine(directory, shortName));
    const std::wstring longName = shortName + L"g";
    EXPECT_EQ(L"\\\\?\\C:\\" + std::wstring(200, L'd') + longName,
              VFileName::combine(directory, longName));

    const std::wstring deep(300, L'x');
    const struct {
        std::wstring directory, fileName, expected;
    } cases[] = {
        {L"C:/root", deep + L"/admin/./logs", L"\\\\?\\C:\\root\\" + deep + L"\\admin\\logs"},
        {L"\\\\srv\\share", deep, L"\\\\?\\UNC\\srv\\share\\" + deep},
        {L"\\\\?\\C:\\a", deep + L"\\..\\b", L"\\\\?\\C:\\a\\b"},
        {L"\\\\?\\C:\\a", deep, L"\\\\?\\C:\\a\\" + deep},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, VFileName::combine(c.directory, c.fileName)) << cstr(c.fileName, 0);

    const std::wstring relative = L"rel\\" + deep;
    try {
        VFileName::combine(relative, L"f");
        FAIL() << "a relative path past MAX_PATH was accepted";
    } catch (const vexception& e) {
        EXPECT_EQ(L"PathCombine failed for dir " + relative + L" and fileName f", e.message());
        ASSERT_EQ(1u, e.locations().size());
        EXPECT_EQ("VFileName::combine", e.locations()[0].function);
        EXPECT_EQ(L"", e.locations()[0].message);
        EXPECT_GT(e.locations()[0].line, 0);
    }
}

TEST(VFileNameTest, RootOfDriveUncAndRootedPaths) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\a\\b", L"C:\\"},
        {L"\\\\?\\C:\\a\\b", L"\\\\?\\C:\\"},
        {L"\\\\?\\UNC\\srv\\share\\x", L"\\\\?\\UNC\\srv\\share"},
        {L"\\\\server\\share\\x\\y", L"\\\\server\\share"},
        {L"\\a", L"\\"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, VFileName::root(c.first)) << cstr(c.first, 65001);

    // Longer than MAX_PATH: the private buffer must hold all of it.
    EXPECT_EQ(L"D:\\", VFileName::root(L"D:\\" + std::wstring(400, L'z')));
}

TEST(VFileNameTest, FileNameIsTheLastComponent) {
    EXPECT_EQ(L"zra-launcher.exe", VFileName::fileName(L"C:\\Varno\\bin\\zra-launcher.exe"));
    EXPECT_EQ(L"x.exe", VFileName::fileName(L"Z:/build/x.exe"));
    EXPECT_EQ(L"y", VFileName::fileName(L"C:y"));
    EXPECT_EQ(L"plain", VFileName::fileName(L"plain"));
    EXPECT_EQ(L"", VFileName::fileName(L"C:\\dir\\"));
}

TEST(VFileNameTest, RootOfRelativePathFails) {
    try {
        VFileName::root(L"dir\\file");
        FAIL() << "a relative path has a root";
    } catch (const vexception& e) {
        EXPECT_EQ(L"PathStripToRoot failed for fileName=dir\\file", e.message());
        ASSERT_EQ(1u, e.locations().size());
        EXPECT_EQ("VFileName::root", e.locations()[0].function);
    }
    // A drive letter alone, or one followed by a path without the root separator, is relative
    // to that drive's current directory.
    for (const wchar_t* path : {L"C:", L"C:dir\\file", L"C:/dir"}) {
        try {
            VFileName::root(path);
            ADD_FAILURE() << cstr(path, 65001) << " has a root";
        } catch (const vexception& e) {
            EXPECT_EQ(L"PathStripToRoot failed for fileName=" + std::wstring(path), e.message());
        }
    }
}

TEST(VFileNameTest, ExpandsVariables) {
    const std::wstring longValue(5000, L'v');
    ASSERT_TRUE(::SetEnvironmentVariableW(L"ZRA_PATHS_SHORT", L"C:\\tools"));
    ASSERT_TRUE(::SetEnvironmentVariableW(L"ZRA_PATHS_LONG", longValue.c_str()));
    ::SetEnvironmentVariableW(L"ZRA_PATHS_ABSENT", nullptr);

    EXPECT_EQ(L"C:\\tools\\bin", VFileName::expandEnvironmentStrings(L"%ZRA_PATHS_SHORT%\\bin"));
    EXPECT_EQ(L"<" + longValue + L">", VFileName::expandEnvironmentStrings(L"<%ZRA_PATHS_LONG%>"));
    EXPECT_EQ(L"%ZRA_PATHS_ABSENT%\\x",
              VFileName::expandEnvironmentStrings(L"%ZRA_PATHS_ABSENT%\\x"));
    EXPECT_EQ(L"", VFileName::expandEnvironmentStrings(L""));

    ::SetEnvironmentVariableW(L"ZRA_PATHS_SHORT", nullptr);
    ::SetEnvironmentVariableW(L"ZRA_PATHS_LONG", nullptr);
}

TEST(MakeLongPathTest, ExamplesAndNormalisation) {
    const PathCase cases[] = {
        {L"C:\\x", L"a\\b", L"\\\\?\\C:\\x\\a\\b"},
        {L"C:\\x", L"a/../b", L"\\\\?\\C:\\x\\b"},
        {L"C:/x//y", L"", L"\\\\?\\C:\\x\\y"},
        {L"", L"D:\\q\\.\\r\\", L"\\\\?\\D:\\q\\r"},
        {L"C:\\x", L"\\\\srv\\sh\\d\\", L"\\\\srv\\sh\\d"},
        {L"", L"d:", L"\\\\?\\d:\\"},
        {L"C:\\x", L".\\\\\\y", L"\\\\?\\C:\\x\\y"},
        {L"C:\\x", L"\\tmp", L"\\\\?\\C:\\x\\tmp"},
        {L"C:\\x\\y", L"..", L"\\\\?\\C:\\x"},
        {L"C:\\x", L"a\\..\\..\\b", L"\\\\?\\C:\\b"},
        {L"C:\\x", L"a\\.", L"\\\\?\\C:\\x\\a"},
        {L"C:\\x", L"a\\\\", L"\\\\?\\C:\\x\\a"},
        {L"C:\\", L"", L"\\\\?\\C:\\"},
        {L"C:\\", L".", L"\\\\?\\C:\\"},
        {L"C:\\x", L"E:/y//z", L"\\\\?\\E:\\y\\z"},
        // Already long or UNC bases get no second prefix.
        {L"\\\\?\\C:\\x\\", L"y", L"\\\\?\\C:\\x\\y"},
        {L"\\\\srv\\share", L"a", L"\\\\srv\\share\\a"},
        {L"", L"\\\\?\\C:", L"\\\\?\\C:\\"},
        // Dots that are part of a name are copied.
        {L"C:\\x", L"..a", L"\\\\?\\C:\\x\\..a"},
        {L"C:\\x", L"...", L"\\\\?\\C:\\x\\..."},
        {L"C:\\x", L"a.", L"\\\\?\\C:\\x\\a."},
        {L"C:\\x", L"a.\\b", L"\\\\?\\C:\\x\\a.\\b"},
        {L"C:\\x", L"b..\\c", L"\\\\?\\C:\\x\\b..\\c"},
        {L"C:\\x", L"b..", L"\\\\?\\C:\\x\\b.."},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(c.expected, makeLongPathFrom(&pinnedDirectory, c.first, c.second)) << c;
}

TEST(MakeLongPathTest, EmptyBaseStandsForCurrentDirectory) {
    const PathCase cases[] = {
        {L"", L"a", L"\\\\?\\C:\\work\\dir\\a"},
        {L"", L"..\\b", L"\\\\?\\C:\\work\\b"},
        // Only the exact console names are devices.
        {L"", L"CONOUT$x", L"\\\\?\\C:\\work\\dir\\CONOUT$x"},
        {L"", L"CONOUT", L"\\\\?\\C:\\work\\dir\\CONOUT"},
        {L"", L"conout$", L"conout$"},
        {L"", L"CoNoUt$", L"CoNoUt$"},
        {L"", L"CONIN$", L"CONIN$"},
        {L"", L"conin$", L"conin$"},
        // With a base the console names are plain file names.
        {L"C:\\x", L"CONOUT$", L"\\\\?\\C:\\x\\CONOUT$"},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(c.expected, makeLongPathFrom(&pinnedDirectory, c.first, c.second)) << c;

    EXPECT_EQ(L"\\\\srv\\share\\dir\\a", makeLongPathFrom(&uncDirectory, L"", L"a"));
}

TEST(MakeLongPathTest, BaseSegmentsAreResolvedLikeTheRelatives) {
    const PathCase cases[] = {
        {L"C:\\windows\\..\\windows\\system32", L"cmd.exe",
         L"\\\\?\\C:\\windows\\system32\\cmd.exe"},
        {L"C:\\x\\.\\y", L"f", L"\\\\?\\C:\\x\\y\\f"},
        {L"C:/x/./../y/", L"f", L"\\\\?\\C:\\y\\f"},
        {L"C:\\x\\..", L"f", L"\\\\?\\C:\\f"},
        {L"C:\\x\\.", L"", L"\\\\?\\C:\\x"},
        {L"C:\\x\\y\\..\\..", L"", L"\\\\?\\C:\\"},
        // Dots inside names stay, in the base as in the relative.
        {L"C:\\x..\\.y\\...", L"f", L"\\\\?\\C:\\x..\\.y\\...\\f"},
        // Long and UNC bases keep their leading pair and device marker.
        {L"\\\\?\\C:\\x\\..\\y", L"f", L"\\\\?\\C:\\y\\f"},
        {L"\\\\.\\C:\\x\\.\\y", L"f", L"\\\\.\\C:\\x\\y\\f"},
        {L"\\\\srv\\share\\a\\..\\b", L"f", L"\\\\srv\\share\\b\\f"},
        {L"//srv/share/a", L"f", L"\\\\srv\\share\\a\\f"},
        // A relative with its own drive ignores the base, dots and all.
        {L"C:\\x\\..\\..\\..", L"D:\\q", L"\\\\?\\D:\\q"},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(c.expected, makeLongPathFrom(&pinnedDirectory, c.first, c.second)) << c;
}

// A relative base lies under the current directory (C:\\work\\dir here), a drive-relative one
// under the current directory of its drive.
TEST(MakeLongPathTest, RelativeBasesAreTakenAgainstTheCurrentDirectory) {
    const PathCase cases[] = {
        {L".", L"paths.exe", L"\\\\?\\C:\\work\\dir\\paths.exe"},
        {L"bin", L"paths.exe", L"\\\\?\\C:\\work\\dir\\bin\\paths.exe"},
        {L".\\bin\\", L"x", L"\\\\?\\C:\\work\\dir\\bin\\x"},
        {L"..\\x", L"a", L"\\\\?\\C:\\work\\x\\a"},
        {L"bin/..", L"", L"\\\\?\\C:\\work\\dir"},
        {L"C:x", L"y", L"\\\\?\\C:\\work\\dir\\x\\y"},
        {L"c:x", L"y", L"\\\\?\\C:\\work\\dir\\x\\y"},
        // A bare drive is its root, as a bare drive relative is.
        {L"C:", L"y", L"\\\\?\\C:\\y"},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(c.expected, makeLongPathFrom(&pinnedDirectory, c.first, c.second)) << c;
    // Another drive: its current directory as cmd keeps it, else its root.
    ::SetEnvironmentVariableW(L"=Q:", L"Q:\\kept\\dir");
    EXPECT_EQ(L"\\\\?\\Q:\\kept\\dir\\x\\y", makeLongPathFrom(&pinnedDirectory, L"Q:x", L"y"));
    ::SetEnvironmentVariableW(L"=Q:", nullptr);
    EXPECT_EQ(L"\\\\?\\q:\\x\\y", makeLongPathFrom(&pinnedDirectory, L"q:x", L"y"));
    // On a share the relative base is under the share's directory.
    EXPECT_EQ(L"\\\\srv\\share\\dir\\bin\\f", makeLongPathFrom(&uncDirectory, L"bin", L"f"));
}

// ".." stays inside a share, "//server/share" is a share too, and the drive root of the long form
// is kept whole.
TEST(MakeLongPathTest, SharesAndLongRootsKeepTheirRoot) {
    const PathCase cases[] = {
        {L"\\\\srv\\share\\a", L"..\\x", L"\\\\srv\\share\\x"},
        {L"//srv/share/a/b", L"..\\..\\x", L"\\\\srv\\share\\x"},
        {L"\\\\?\\UNC\\srv\\share\\a", L"..\\x", L"\\\\?\\UNC\\srv\\share\\x"},
        {L"", L"//srv/share/f", L"\\\\srv\\share\\f"},
        {L"C:\\x", L"//srv/share/f/", L"\\\\srv\\share\\f"},
        {L"\\\\?\\C:\\a", L"..", L"\\\\?\\C:\\"},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(c.expected, makeLongPathFrom(&pinnedDirectory, c.first, c.second)) << c;
    const PathCase invalid[] = {
        {L"\\\\srv\\share", L"..\\x", L"Invalid input path (\\\\srv\\share) + (..\\x)"},
        {L"\\\\srv\\share\\a", L"..\\..\\x",
         L"Invalid input path (\\\\srv\\share\\a) + (..\\..\\x)"},
        {L"\\\\?\\UNC\\srv\\share", L"..", L"Invalid input path (UNC\\srv\\share) + (..)"},
    };
    for (const PathCase& c : invalid) {
        try {
            makeLongPathFrom(&pinnedDirectory, c.first, c.second);
            ADD_FAILURE() << "no failure for " << c;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(cstr(c.expected, 0), e.what()) << c;
        }
    }
}

TEST(MakeLongPathTest, BaseRootedWithoutDriveIsOnTheCurrentDrive) {
    const PathCase cases[] = {
        {L"\\", L"x.php", L"\\\\?\\C:\\x.php"},
        {L"/", L"x.php", L"\\\\?\\C:\\x.php"},
        {L"\\tools", L"x.php", L"\\\\?\\C:\\tools\\x.php"},
        {L"\\tools\\..\\bin\\", L"a\\..\\x", L"\\\\?\\C:\\bin\\x"},
        {L"\\", L"", L"\\\\?\\C:\\"},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(c.expected, makeLongPathFrom(&pinnedDirectory, c.first, c.second)) << c;
    // Started on a share, the share is the root.
    EXPECT_EQ(L"\\\\srv\\share\\x.php", makeLongPathFrom(&uncDirectory, L"\\", L"x.php"));
    EXPECT_EQ(L"\\\\srv\\share\\t\\x", makeLongPathFrom(&uncDirectory, L"\\t", L"x"));
}

// The same rules against the file system: a base that climbs out and back in names the file.
TEST(MakeLongPathTest, ResolvedBasesNameExistingFiles) {
    wchar_t exe[MAX_PATH];
    ASSERT_NE(0u, ::GetModuleFileNameW(nullptr, exe, MAX_PATH));
    const std::wstring exePath = exe;
    const size_t slash = exePath.find_last_of(L'\\');
    ASSERT_NE(std::wstring::npos, slash);
    const std::wstring directory = exePath.substr(0, slash);
    const std::wstring name = exePath.substr(slash + 1);
    const std::wstring folder = VFileName::fileName(directory);

    EXPECT_TRUE(exists(directory + L"\\..\\" + folder, name));
    EXPECT_TRUE(exists(directory + L"\\.\\", name));
    EXPECT_FALSE(exists(directory + L"\\..\\" + folder + L"-absent", name));
    // The directory below the root of its drive, through a base of a lone backslash.
    wchar_t current[MAX_PATH * 2] = {};
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH * 2, current));
    const std::wstring currentPath = current;
    ASSERT_EQ(L':', currentPath[1]) << "the tests run from a drive path";
    ASSERT_TRUE(::SetCurrentDirectoryW(directory.c_str()));
    bool viaRoot = false;
    try {
        viaRoot = exists(L"\\", directory.substr(3) + L"\\" + name);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    ASSERT_TRUE(::SetCurrentDirectoryW(current));
    EXPECT_TRUE(viaRoot);
}

TEST(MakeLongPathTest, UsesProcessCurrentDirectory) {
    wchar_t directory[MAX_PATH * 2] = {};
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH * 2, directory));
    std::wstring expected = L"\\\\?\\" + std::wstring(directory);
    if (expected.back() != L'\\')
        expected += L'\\';
    EXPECT_EQ(expected + L"sub\\f.txt", makeLongPath(L"", L"sub/f.txt"));
}

TEST(MakeLongPathTest, Errors) {
    EXPECT_EQ(runTimeText(L"Empty input path", ERROR_INVALID_PARAMETER),
              whatOf([] { makeLongPath(L"", L""); }));

    const PathCase invalid[] = {
        {L"C:\\x", L"..\\..", L"Invalid input path (C:\\x) + (..\\..)"},
        {L"C:\\", L"..", L"Invalid input path (C:\\) + (..)"},
        {L"\\\\?\\C:\\", L"..", L"Invalid input path (C:\\) + (..)"},
        {L"", L"C:\\..", L"Invalid input path () + (C:\\..)"},
        {L"\\", L"..", L"Invalid input path (\\) + (..)"},
        {L"\\\\srv\\share", L"..\\..", L"Invalid input path (\\\\srv\\share) + (..\\..)"},
        // A base cannot leave its root either; the messages show the base as given.
        {L"C:\\x\\..\\..", L"a", L"Invalid input path (C:\\x\\..\\..) + (a)"},
        {L"\\..", L"a", L"Invalid input path (\\..) + (a)"},
        {L"\\\\?\\C:\\..", L"a", L"Invalid input path (C:\\..) + (a)"},
    };
    for (const PathCase& c : invalid) {
        try {
            makeLongPathFrom(&pinnedDirectory, c.first, c.second);
            ADD_FAILURE() << "no failure for " << c;
        } catch (const std::runtime_error& e) {
            // Code 0: the plain RunTime::Error, no code and no system text.
            EXPECT_EQ(typeid(RunTime::Error), typeid(e)) << c;
            EXPECT_EQ(cstr(c.expected, 0), e.what()) << c;
        }
    }
}

TEST(PathTextTest, DisplayPathAndTrailingSeparator) {
    const std::pair<const wchar_t*, const wchar_t*> display[] = {
        {L"\\\\?\\C:\\x", L"C:\\x"},
        {L"\\\\?\\", L""},
        {L"\\\\?", L"\\\\?"},
        {L"\\\\srv\\s", L"\\\\srv\\s"},
        {L"\\\\.\\pipe\\p", L"\\\\.\\pipe\\p"},
        {L"", L""},
    };
    for (const auto& c : display)
        EXPECT_EQ(c.second, displayPath(c.first)) << cstr(c.first, 65001);

    const std::pair<const wchar_t*, const wchar_t*> trailing[] = {
        {L"", L"\\"}, {L"C:\\", L"C:\\"}, {L"C:\\x", L"C:\\x\\"}, {L"C:/x/", L"C:/x/\\"}};
    for (const auto& c : trailing)
        EXPECT_EQ(c.second, ensureTrailingSeparator(c.first)) << cstr(c.first, 65001);
}

TEST(PathTextTest, CompareNoCase) {
    EXPECT_TRUE(compareNoCase(L"conout$", L"CONOUT$"));
    EXPECT_TRUE(compareNoCase(L"Php.EXE", L"php.exe"));
    EXPECT_TRUE(compareNoCase(L"", L""));
    EXPECT_FALSE(compareNoCase(L"abc", L"abd"));
    EXPECT_FALSE(compareNoCase(L"abc", L"ab"));
    EXPECT_FALSE(compareNoCase(L"", L"a"));
}

TEST(QuoteArgumentTest, Cases) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"", L""},
        {L"plain", L"plain"},
        {L"C:\\dir\\file.php", L"C:\\dir\\file.php"},
        {L"x\\\\", L"x\\\\"},
        {L"a&b", L"\"a&b\""},
        {L"a\tb", L"\"a\tb\""},
        {L"a b\"c", L"\"a b\\\"c\""},
        {L"C:\\dir x\\", L"\"C:\\dir x\\\\\""},
        {L"a\\b c", L"\"a\\b c\""},
        {L"a\\\"b", L"\"a\\\\\\\"b\""},
        {L"a\\\\ ", L"\"a\\\\ \""},
        {L"end\\\\ x\\\\", L"\"end\\\\ x\\\\\\\\\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, quoteArgument(c.first)) << cstr(c.first, 65001);

    for (const wchar_t special : std::wstring(L"\"&<>[]{}^=;!'+,`~|")) {
        const std::wstring argument = std::wstring(L"a") + special;
        EXPECT_EQ(L'"', quoteArgument(argument).front()) << cstr(argument, 65001);
    }
    for (const wchar_t ordinary : std::wstring(L"-_.:\\/@#$%*()?"))
        EXPECT_EQ(std::wstring(1, ordinary), quoteArgument(std::wstring(1, ordinary)));
}

// A child parses its command line with the platform's rules; every quoted argument must come back
// exactly as it went in.
TEST(QuoteArgumentTest, RoundTripsThroughCommandLineParser) {
    using Parser = LPWSTR*(WINAPI*)(LPCWSTR, int*);
    base::ScopedModule shell(::LoadLibraryW(L"shell32.dll"));
    ASSERT_TRUE(shell.valid());
    const auto parse = reinterpret_cast<Parser>(
        reinterpret_cast<void*>(::GetProcAddress(shell.get(), "CommandLineToArgvW")));
    ASSERT_NE(nullptr, parse);

    const std::vector<std::wstring> arguments = {
        L"a b",       L"x\"y",          L"C:\\dir x\\", L"a\\\\\"b c",  L"tab\there",
        L"\\\\srv x", L"end\\\\ x\\\\", L"q\"\"q",      L"{a}=[b];c!d", L"trail \\\\\\"};
    for (const std::wstring& argument : arguments) {
        const std::wstring commandLine = L"prog.exe " + quoteArgument(argument);
        int count = 0;
        LPWSTR* argv = parse(commandLine.c_str(), &count);
        ASSERT_NE(nullptr, argv);
        base::ScopedLocalMem owner(argv);
        ASSERT_EQ(2, count) << cstr(commandLine, 65001);
        EXPECT_EQ(argument, argv[1]) << cstr(commandLine, 65001);
    }
}
