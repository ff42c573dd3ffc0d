#include "os/file.h"

#include "base/exception.h"
#include "base/text.h"
#include "base/win32.h"
#include "os/path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string narrow(const std::wstring& text) {
    return cstr(text, 65001);
}

// The text of the OS-error exception raised with this context and code.
std::wstring osText(const std::wstring& context, DWORD code) {
    return osErrorMessage(code, &context);
}

void expectLocation(const vexception& e, const char* function) {
    ASSERT_EQ(1u, e.locations().size()) << narrow(e.message());
    EXPECT_EQ(function, e.locations()[0].function);
    EXPECT_EQ(0, e.locations()[0].line);
}

// Deletes a tree with the raw calls, read-only files included, so that a fault in the code under
// test cannot leave it behind.
void deleteTree(const std::wstring& directory) {
    WIN32_FIND_DATAW entry;
    const base::ScopedFindHandle search(::FindFirstFileW((directory + L"\\*").c_str(), &entry));
    if (search) {
        do {
            const std::wstring name = entry.cFileName;
            const std::wstring full = directory + L"\\" + name;
            if (name == L"." || name == L"..")
                continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                deleteTree(full);
            } else {
                ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(full.c_str());
            }
        } while (::FindNextFileW(search.get(), &entry));
    }
    ::RemoveDirectoryW(directory.c_str());
}

class FileTest : public ::testing::Test {
public:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1] = {};
        ASSERT_NE(0u, ::GetTempPathW(MAX_PATH + 1, temp));
        static int counter = 0;
        root_ = format(L"%szra-files-%lu-%d", temp, ::GetCurrentProcessId(), ++counter);
        deleteTree(root_);
        ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr)) << ::GetLastError();
    }
    void TearDown() override { deleteTree(root_); }

    std::wstring at(const std::wstring& relative) const { return root_ + L"\\" + relative; }

    void makeFile(const std::wstring& relative, const std::string& bytes = "data") const {
        base::ScopedFileHandle file(::CreateFileW(at(relative).c_str(), GENERIC_WRITE, 0, nullptr,
                                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file.valid()) << narrow(relative) << ": " << ::GetLastError();
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                &written, nullptr));
    }
    void makeFolder(const std::wstring& relative) const {
        ASSERT_TRUE(::CreateDirectoryW(at(relative).c_str(), nullptr)) << narrow(relative);
    }
    bool isFolder(const std::wstring& path) const {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    bool isFile(const std::wstring& path) const {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    base::ScopedFileHandle holdOpen(const std::wstring& path, DWORD share) const {
        base::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(file.valid()) << ::GetLastError();
        return file;
    }

    std::wstring root_;
};

// A drive letter that names no volume here.
std::wstring missingDrive() {
    const DWORD drives = ::GetLogicalDrives();
    for (wchar_t letter = L'Q'; letter <= L'Y'; ++letter) {
        if (!(drives & (1u << (letter - L'A'))))
            return std::wstring(1, letter) + L':';
    }
    return std::wstring();
}

} // namespace

TEST(RemoveFileSpecTest, DropsTheLastComponentAndKeepsRoots) {
    const struct {
        const wchar_t* path;
        const wchar_t* expected;
    } cases[] = {
        {L"C:\\dir\\file.txt", L"C:\\dir"},
        {L"C:\\dir\\sub\\", L"C:\\dir\\sub"}, // a trailing backslash counts as an empty last part
        {L"C:\\dir", L"C:\\"},
        {L"C:\\", L"C:\\"},
        {L"C:", L"C:"},
        {L"C:file", L"C:"},
        {L"\\\\server\\share\\dir", L"\\\\server\\share"},
        {L"\\\\server\\share", L"\\\\server"},
        {L"\\\\server", L"\\\\"},
        {L"\\\\", L"\\\\"},
        {L"\\dir", L"\\"},
        {L"\\", L"\\"},
        {L"file", L""},
        {L"dir\\file", L"dir"},
        {L"", L""},
        {L"C:/dir/file", L"C:"}, // only a backslash separates components
        {L"\\\\?\\C:\\dir", L"\\\\?\\C:\\"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, removeFileSpec(c.path)) << narrow(c.path);
}

TEST_F(FileTest, ExistenceQueries) {
    makeFile(L"file.txt");
    makeFolder(L"folder");
    const struct {
        std::wstring path;
        bool exists;
        bool isDirectory;
    } cases[] = {
        {at(L"file.txt"), true, false},
        {at(L"folder"), true, true},
        {at(L"folder\\"), true, true},
        {at(L"absent.txt"), false, false},           // error 2
        {at(L"no\\such\\dir\\x.txt"), false, false}, // error 3
    };
    for (const auto& c : cases) {
        bool isDirectory = !c.isDirectory;
        EXPECT_EQ(c.exists, fileExist(c.path, &isDirectory)) << narrow(c.path);
        EXPECT_EQ(c.isDirectory, isDirectory) << narrow(c.path);
        EXPECT_EQ(c.exists, fileExist(c.path)) << narrow(c.path);

        bool isNotDirectory = c.exists && c.isDirectory; // the opposite of what is expected
        EXPECT_EQ(c.exists, pathExists(c.path, &isNotDirectory)) << narrow(c.path);
        EXPECT_EQ(c.exists && !c.isDirectory, isNotDirectory) << narrow(c.path);
    }
    bool isNotDirectory = true;
    EXPECT_FALSE(pathExists(L"", &isNotDirectory));
    EXPECT_FALSE(isNotDirectory);
}

TEST_F(FileTest, ExistenceQueryFailsOnOtherErrors) {
    // A wildcard cannot be part of a name: the query fails with invalid name, which is no answer
    // about existence.
    const std::wstring path = at(L"bad*name");
    try {
        fileExist(path);
        FAIL() << "no failure";
    } catch (const vosexception& e) {
        EXPECT_EQ(osText(L"retrieves attributes for file or directory " + path, e.code()),
                  e.message());
        EXPECT_NE(ERROR_FILE_NOT_FOUND, e.code());
        EXPECT_NE(ERROR_PATH_NOT_FOUND, e.code());
        expectLocation(e, "fileExist");
    }
}

TEST_F(FileTest, AttributesAreReadAndWritten) {
    makeFile(L"file.txt");
    const std::wstring path = at(L"file.txt");
    setFileAttributes(path, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE,
              getFileAttributes(path) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    setFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(0u, getFileAttributes(path) & FILE_ATTRIBUTE_READONLY);

    const std::wstring absent = at(L"absent.txt");
    try {
        getFileAttributes(absent);
        FAIL() << "no failure";
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(osText(L"GetFileAttributes(" + absent + L")", 2), e.message());
        expectLocation(e, "getFileAttributes");
    }
    try {
        setFileAttributes(absent, FILE_ATTRIBUTE_NORMAL);
        FAIL() << "no failure";
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(osText(L"SetFileAttributes(" + absent + L")", 2), e.message());
        expectLocation(e, "setFileAttributes");
    }
}

TEST_F(FileTest, CurrentDirectoryAndMakeDir) {
    wchar_t expected[MAX_PATH + 1] = {};
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH + 1, expected));
    EXPECT_EQ(expected, VDirectory::current());

    makeDir(at(L"made"));
    EXPECT_TRUE(isFolder(at(L"made")));
    try {
        makeDir(at(L"made"));
        FAIL() << "no failure";
    } catch (const vosexception& e) {
        EXPECT_EQ(static_cast<uint32_t>(ERROR_ALREADY_EXISTS), e.code());
        EXPECT_EQ(osText(L"CreateDirectory(" + at(L"made") + L")", e.code()), e.message());
        expectLocation(e, "makeDir");
    }
}

TEST_F(FileTest, CreateDirectoryMakesEveryMissingLevel) {
    makeFile(L"plain.txt");
    makeFolder(L"there");
    const struct {
        std::wstring path;
        std::wstring expectFolder; // empty: nothing new
    } cases[] = {
        {at(L"one\\two\\three"), at(L"one\\two\\three")},
        {at(L"slash\\ended\\\\"), at(L"slash\\ended")},
        {at(L"forward/ended/"), at(L"forward\\ended")},
        {at(L"one\\two\\other"), at(L"one\\two\\other")}, // beside a level made before
        {at(L"there"), at(L"there")},
        {at(L"plain.txt"), L""}, // a file of that name: left alone, no error
        {at(L"plain.txt\\"), L""},
    };
    for (const auto& c : cases) {
        EXPECT_NO_THROW(VDirectory::createDirectory(c.path)) << narrow(c.path);
        if (!c.expectFolder.empty()) {
            EXPECT_TRUE(isFolder(c.expectFolder)) << narrow(c.path);
        }
    }
    EXPECT_TRUE(isFile(at(L"plain.txt")));
}

TEST_F(FileTest, CreateDirectoryOfRelativeAndRootedPaths) {
    // A relative path's first component has no parent to create: it is made where it stands.
    wchar_t saved[MAX_PATH + 1] = {};
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH + 1, saved));
    ASSERT_TRUE(::SetCurrentDirectoryW(root_.c_str()));
    const base::ScopeExit restore([&saved]() { ::SetCurrentDirectoryW(saved); });

    VDirectory::createDirectory(L"single");
    VDirectory::createDirectory(L"rel\\deep\\er");
    EXPECT_TRUE(isFolder(at(L"single")));
    EXPECT_TRUE(isFolder(at(L"rel\\deep\\er")));

    // A path from the root of the current drive: \ is the root, nothing above it to create.
    const std::wstring rooted = root_.substr(2) + L"\\rooted\\child";
    ASSERT_EQ(L'\\', rooted[0]);
    VDirectory::createDirectory(rooted);
    EXPECT_TRUE(isFolder(at(L"rooted\\child")));
}

TEST_F(FileTest, CreateDirectoryRefusesEmptyNames) {
    for (const wchar_t* path : {L"", L"\\", L"//\\"}) {
        try {
            VDirectory::createDirectory(path);
            FAIL() << "no failure for '" << narrow(path) << "'";
        } catch (const ArgumentException& e) {
            EXPECT_EQ(L"Unable to create directory with wrong name", e.message());
            expectLocation(e, "VDirectory::createDirectory");
        }
    }
}

TEST_F(FileTest, CreateDirectoryOnMissingVolumeEndsWithError) {
    const std::wstring drive = missingDrive();
    ASSERT_FALSE(drive.empty()) << "every drive letter from Q: to Y: exists";
    // The drive itself is the last level tried; creating it is what fails.
    for (const std::wstring& path : {drive + L"\\a\\b\\c", drive + L"\\", drive}) {
        try {
            VDirectory::createDirectory(path);
            FAIL() << "no failure for " << narrow(path);
        } catch (const vosexception& e) {
            EXPECT_EQ(osText(L"CreateDirectory(" + drive + L")", e.code()), e.message())
                << narrow(path);
            expectLocation(e, "makeDir");
        }
    }
    // A share that cannot be reached: whichever step refuses it, the call ends with an error.
    EXPECT_THROW(VDirectory::createDirectory(L"\\\\zra-no-such-host\\share\\a\\b"), vexception);
}

TEST_F(FileTest, FinderWalksEntriesAndResetsItself) {
    makeFile(L"a.txt");
    makeFolder(L"sub");

    VFileFinder finder;
    EXPECT_FALSE(finder.next()); // no search open
    EXPECT_FALSE(finder.first(at(L"none*.txt")));
    EXPECT_FALSE(finder.first(at(L"no\\such\\dir\\*")));
    EXPECT_EQ(L"", finder.name());
    EXPECT_FALSE(finder.next());

    std::set<std::wstring> names;
    std::set<std::wstring> directories;
    for (bool found = finder.first(at(L"*")); found; found = finder.next()) {
        names.insert(finder.name());
        if (finder.isDirectory())
            directories.insert(finder.name());
        EXPECT_EQ(finder.name() == L"." || finder.name() == L"..", finder.isDots());
    }
    EXPECT_EQ(L"", finder.name()); // the record is zeroed at the end
    EXPECT_FALSE(finder.next());
    EXPECT_EQ((std::set<std::wstring>{L".", L"..", L"a.txt", L"sub"}), names);
    EXPECT_EQ((std::set<std::wstring>{L".", L"..", L"sub"}), directories);

    ASSERT_TRUE(finder.first(at(L"a.txt")));
    FILETIME written = {};
    {
        base::ScopedFileHandle file(::CreateFileW(at(L"a.txt").c_str(), GENERIC_READ,
                                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                                  nullptr));
        ASSERT_TRUE(::GetFileTime(file.get(), nullptr, nullptr, &written));
    }
    EXPECT_EQ((static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime,
              finder.lastWriteTime());
    finder.close();
    finder.close();
    EXPECT_EQ(L"", finder.name());
    EXPECT_FALSE(finder.next());
}

TEST_F(FileTest, ListFilesByDepth) {
    makeFile(L"top.txt");
    makeFile(L"top.log");
    makeFolder(L"dir.txt"); // a directory that matches the pattern is still not listed
    makeFile(L"dir.txt\\in.txt");
    makeFolder(L"sub");
    makeFile(L"sub\\one.txt");
    makeFolder(L"sub\\deep");
    makeFile(L"sub\\deep\\two.txt");
    makeFolder(L"sub\\deep\\deeper");
    makeFile(L"sub\\deep\\deeper\\three.txt");
    makeFolder(L"empty");

    const std::vector<std::wstring> level0 = {L"top.txt"};
    const std::vector<std::wstring> level1 = {L"dir.txt\\in.txt", L"sub\\one.txt"};
    const std::vector<std::wstring> level2 = {L"sub\\deep\\two.txt"};
    const std::vector<std::wstring> level3 = {L"sub\\deep\\deeper\\three.txt"};
    const struct {
        int depth;
        std::vector<std::vector<std::wstring>> levels;
    } cases[] = {
        {0, {level0}},
        {1, {level0, level1}},
        {2, {level0, level1, level2}},
        {-1, {level0, level1, level2, level3}},
        {-5, {level0, level1, level2, level3}},
    };
    for (const auto& c : cases) {
        std::list<std::wstring> list = {L"kept"};
        listFiles(root_, L"*.txt", list, c.depth);
        ASSERT_FALSE(list.empty());
        EXPECT_EQ(L"kept", list.front()) << "depth " << c.depth;
        list.pop_front();
        std::multiset<std::wstring> expected;
        for (const auto& level : c.levels) {
            for (const std::wstring& name : level)
                expected.insert(at(name));
        }
        EXPECT_EQ(expected, std::multiset<std::wstring>(list.begin(), list.end()))
            << "depth " << c.depth;
        // A directory's own files come before those of its subdirectories.
        EXPECT_EQ(at(L"top.txt"), list.front()) << "depth " << c.depth;
    }

    std::list<std::wstring> none;
    listFiles(at(L"absent"), L"*.*", none, -1);
    EXPECT_TRUE(none.empty());
}

TEST_F(FileTest, OpenWriteAndSeek) {
    VFile file;
    EXPECT_FALSE(file.isOpen());
    const std::wstring absent = at(L"absent.bin");
    try {
        file.open(absent, GENERIC_READ, 0, OPEN_EXISTING, 0);
        FAIL() << "no failure";
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(osText(L"Open file '" + absent + L"'", 2), e.message());
        expectLocation(e, "VFile::open");
    }
    EXPECT_FALSE(file.isOpen());

    const std::wstring path = at(L"data.bin");
    file.open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(path, file.name());
    EXPECT_EQ(5u, file.write("hello", 5, true));
    EXPECT_EQ(0u, file.write("", 0, true));

    // A failed open keeps the file that was open.
    EXPECT_THROW(file.open(absent, GENERIC_READ, 0, OPEN_EXISTING, 0), VFileNotFoundException);
    EXPECT_EQ(path, file.name());

    const struct {
        LONG distance;
        bool withHigh;
        LONG high;
        DWORD method;
        DWORD expected;
        LONG expectedHigh;
    } seeks[] = {
        {2, false, 0, FILE_BEGIN, 2, 0},
        {1, false, 0, FILE_CURRENT, 3, 0},
        {-1, false, 0, FILE_END, 4, 0},
        {-1, true, 0, FILE_BEGIN, 0xFFFFFFFF, 0}, // low word all ones, no failure
        {0, true, 1, FILE_BEGIN, 0, 1},
        {0, true, 0, FILE_CURRENT, 0, 1},
    };
    for (const auto& s : seeks) {
        LONG high = s.high;
        // An error left over from an earlier call must not turn the all-ones position into one.
        ::SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(s.expected, file.seek(s.distance, s.withHigh ? &high : nullptr, s.method))
            << s.distance << "/" << s.high;
        if (s.withHigh) {
            EXPECT_EQ(s.expectedHigh, high);
        }
    }
    try {
        file.seek(-10, nullptr, FILE_BEGIN);
        FAIL() << "a seek before the start succeeded";
    } catch (const vosexception& e) {
        EXPECT_EQ(static_cast<uint32_t>(ERROR_NEGATIVE_SEEK), e.code());
        EXPECT_EQ(osText(L"Unable seek in file '" + path + L"'", e.code()), e.message());
        expectLocation(e, "VFile::seek");
    }
    file.close();
    EXPECT_FALSE(file.isOpen());

    // Written through a read-only handle: the system refuses.
    VFile reader;
    reader.open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    try {
        reader.write("x", 1, false);
        FAIL() << "no failure";
    } catch (const vosexception& e) {
        EXPECT_EQ(osText(L"Write to file '" + path + L"'", e.code()), e.message());
        expectLocation(e, "VFile::write");
    }
}

TEST_F(FileTest, ShortWriteIsAnErrorOnlyWhenAllIsRequired) {
    // A non-blocking pipe with a small buffer takes only part of a large write.
    const std::wstring name = format(L"\\\\.\\pipe\\zra-files-%lu-100%%", ::GetCurrentProcessId());
    base::ScopedFileHandle server(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 0, 64, 0, nullptr));
    ASSERT_TRUE(server.valid()) << ::GetLastError();
    VFile file;
    file.open(name, GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    DWORD mode = PIPE_NOWAIT;
    ASSERT_TRUE(::SetNamedPipeHandleState(file.handle(), &mode, nullptr, nullptr))
        << ::GetLastError();

    const std::vector<char> data(1 << 20, 'x');
    const DWORD count = static_cast<DWORD>(data.size());
    const DWORD taken = file.write(data.data(), count, false);
    ASSERT_LT(taken, count);
    try {
        file.write(data.data(), count, true);
        FAIL() << "a short write passed";
    } catch (const vosexception&) {
        FAIL() << "a short write raised an OS error";
    } catch (const vexception& e) {
        // The name holds a percent sign: it must come through as it is.
        EXPECT_EQ(L"Unable to write 1048576 bytes into file '" + name + L"'", e.message());
        expectLocation(e, "VFile::write");
    }
}

TEST(GuidTextTest, ThirtySixCharactersAndNewEachTime) {
    const std::wstring first = newGuidText();
    const std::wstring second = newGuidText();
    EXPECT_NE(first, second);
    for (const std::wstring& text : {first, second}) {
        ASSERT_EQ(36u, text.size()) << narrow(text);
        for (size_t i = 0; i < text.size(); ++i) {
            if (i == 8 || i == 13 || i == 18 || i == 23)
                EXPECT_EQ(L'-', text[i]) << narrow(text);
            else
                EXPECT_TRUE(std::iswxdigit(text[i])) << narrow(text);
        }
    }
}

TEST(RecyclerTest, FolderRights) {
    using Trustee = SecurityEntry::Trustee;
    const struct {
        VSID sid;
        DWORD mask;
        DWORD inheritance;
    } expected[] = {
        {VSID::everyone(), 0x130080, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE},
        {VSID::everyone(), 0x1300E7, CONTAINER_INHERIT_ACE},
        {VSID::system(), GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
        {VSID::admins(), GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
    };
    const SecurityEntryList list = recyclerFolderEntries();
    ASSERT_EQ(4u, list.entries().size());
    for (size_t i = 0; i < 4; ++i) {
        const SecurityEntry& entry = list.entries()[i];
        EXPECT_EQ(SecurityEntry::Kind::access, entry.kind()) << i;
        EXPECT_EQ(expected[i].sid, entry.sid()) << i;
        EXPECT_EQ(expected[i].mask, entry.mask()) << i;
        EXPECT_EQ(expected[i].inheritance, entry.inheritance()) << i;
        EXPECT_EQ(SET_ACCESS, entry.mode()) << i;
        EXPECT_EQ(Trustee::user, entry.trustee()) << i;
    }
    EXPECT_TRUE(SecurityDescriptor(list, false).isValid());
}

namespace {

const wchar_t kRecyclerGuid[] = L"{86066D57-9347-46a7-B4DB-971D9EF36D29}";

// Stands for another process that creates the folder between our check and our creation.
void loseTheRace(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
    ::CreateDirectoryW(path.c_str(), nullptr);
    makeDir(path, security);
}

void failWithoutCreating(const std::wstring& path, SECURITY_ATTRIBUTES*) {
    raiseOsError(L"CreateDirectory(" + path + L")", ERROR_ACCESS_DENIED,
                 SourceLocation(L"", "makeDir", 0));
}

} // namespace

TEST_F(FileTest, RecyclerFolderIsMadeOnTheFilesVolume) {
    const std::wstring recycler = VFileName::combine(VFileName::root(root_), L"Recycler");
    const std::wstring expected = VFileName::combine(recycler, kRecyclerGuid);
    EXPECT_EQ(expected, recyclerFolder(at(L"some\\file.txt")));
    EXPECT_TRUE(isFolder(recycler));
    EXPECT_TRUE(isFolder(expected));

    // A path without a root of its own lives on the current directory's volume.
    const std::wstring current = VFileName::combine(
        VFileName::combine(VFileName::root(VDirectory::current()), L"Recycler"), kRecyclerGuid);
    EXPECT_EQ(current, recyclerFolder(L"relative.txt"));
    EXPECT_EQ(current, recyclerFolder(L"\\rooted.txt"));
}

TEST_F(FileTest, RecyclerFolderToleratesAnotherCreator) {
    const std::wstring path = at(L"file.txt");
    const std::wstring expected =
        VFileName::combine(VFileName::combine(VFileName::root(root_), L"Recycler"), kRecyclerGuid);

    // The folders may exist from an earlier test; the inner one goes so that a creation is tried.
    ::RemoveDirectoryW(expected.c_str());
    if (isFolder(expected))
        GTEST_SKIP() << "the recycler folder holds files";
    EXPECT_EQ(expected, recyclerFolderWith(path, &loseTheRace));
    EXPECT_TRUE(isFolder(expected));

    ASSERT_TRUE(::RemoveDirectoryW(expected.c_str()));
    try {
        recyclerFolderWith(path, &failWithoutCreating);
        FAIL() << "no failure";
    } catch (const VAccessDeniedException& e) {
        EXPECT_EQ(osText(L"CreateDirectory(" + expected + L")", ERROR_ACCESS_DENIED), e.message());
    }
}

struct RemoveCase {
    const wchar_t* name;
    bool takeOwnership;
    int retries;
    DWORD error; // 0: removed
};

// Each case removes the file in the fixture's tree without the recycler and checks the outcome.
void expectRemoval(const FileTest& test, const std::vector<RemoveCase>& cases) {
    for (const RemoveCase& c : cases) {
        const std::wstring path = test.at(c.name);
        try {
            removeFile(path, c.takeOwnership, false, c.retries, 1);
            EXPECT_EQ(0u, c.error) << narrow(c.name) << " was removed";
            EXPECT_FALSE(test.isFile(path)) << narrow(c.name);
        } catch (const vosexception& e) {
            EXPECT_EQ(c.error, e.code()) << narrow(c.name) << ": " << narrow(e.message());
            EXPECT_EQ(osText(L"DeleteFile '" + path + L"'", c.error), e.message());
            expectLocation(e, "removeFile");
            EXPECT_TRUE(test.isFile(path)) << narrow(c.name);
        } catch (const vexception& e) {
            ADD_FAILURE() << narrow(c.name) << ": " << narrow(e.fullText());
        } catch (const std::exception& e) {
            ADD_FAILURE() << narrow(c.name) << ": " << e.what();
        }
    }
}

TEST_F(FileTest, RemoveFileDeletesOrReportsTheLastError) {
    makeFile(L"plain.txt");
    makeFile(L"locked.txt");
    makeFile(L"readonly.txt");
    ASSERT_TRUE(::SetFileAttributesW(at(L"readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    const base::ScopedFileHandle held = holdOpen(at(L"locked.txt"), FILE_SHARE_READ);
    expectRemoval(*this, {
                             {L"absent.txt", false, 0, 0},
                             {L"absent.txt", true, 3, 0},
                             {L"plain.txt", false, 0, 0},
                             {L"readonly.txt", false, 0, ERROR_ACCESS_DENIED},
                             {L"readonly.txt", false, 2, ERROR_ACCESS_DENIED},
                             {L"locked.txt", false, 0, ERROR_SHARING_VIOLATION},
                             {L"locked.txt", false, 2, ERROR_SHARING_VIOLATION},
                         });
}

TEST_F(FileTest, RemoveFileTakesTheFileOver) {
    makeFile(L"locked.txt");
    makeFile(L"readonly.txt");
    ASSERT_TRUE(::SetFileAttributesW(at(L"readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    const base::ScopedFileHandle held = holdOpen(at(L"locked.txt"), FILE_SHARE_READ);
    expectRemoval(*this, {
                             {L"locked.txt", true, 0, ERROR_SHARING_VIOLATION},
                             {L"locked.txt", true, 2, ERROR_SHARING_VIOLATION},
                             {L"readonly.txt", true, 0, 0}, // its read-only bit is cleared
                         });
}

TEST_F(FileTest, RemoveFileRetriesUntilTheFileIsFree) {
    makeFile(L"busy.txt");
    const std::wstring path = at(L"busy.txt");
    base::ScopedFileHandle held = holdOpen(path, FILE_SHARE_READ);
    std::atomic<bool> started{false};
    std::thread releaser([&]() {
        started = true;
        ::Sleep(100);
        held.reset();
    });
    while (!started)
        ::Sleep(1);
    EXPECT_NO_THROW(removeFile(path, false, false, 200, 10));
    releaser.join();
    EXPECT_FALSE(isFile(path));
}

TEST_F(FileTest, RemoveFileThroughTheRecycler) {
    makeFile(L"gone.txt");
    makeFile(L"open.txt");
    makeFile(L"locked.txt");
    const std::wstring recycler = recyclerFolder(root_);

    removeFile(at(L"gone.txt"), false, true, 0, 0);
    EXPECT_FALSE(isFile(at(L"gone.txt")));
    EXPECT_TRUE(isFolder(recycler));
    removeFile(at(L"absent.txt"), true, true, 0, 0);

    // Opened with delete sharing: the file moves out of the way and its name is free at once.
    {
        const base::ScopedFileHandle held =
            holdOpen(at(L"open.txt"), FILE_SHARE_READ | FILE_SHARE_DELETE);
        removeFile(at(L"open.txt"), false, true, 0, 0);
        EXPECT_FALSE(isFile(at(L"open.txt")));
        makeFile(L"open.txt", "new");
        EXPECT_TRUE(isFile(at(L"open.txt")));
    }

    // Without delete sharing it cannot move.
    const base::ScopedFileHandle held = holdOpen(at(L"locked.txt"), FILE_SHARE_READ);
    try {
        removeFile(at(L"locked.txt"), false, true, 1, 1);
        FAIL() << "no failure";
    } catch (const VSharingViolationException& e) {
        // The target is a new GUID-named file in the recycler folder.
        const std::wstring head = L"Move file '" + at(L"locked.txt") + L"' to '" + recycler + L"\\";
        const size_t start = e.message().find(head);
        ASSERT_NE(std::wstring::npos, start) << narrow(e.message());
        const std::wstring target = e.message().substr(start + head.size());
        EXPECT_EQ(37u, target.size()) << narrow(target); // the GUID and the closing quote
        EXPECT_EQ(
            osText(head + target.substr(0, target.size() - 1) + L"'", ERROR_SHARING_VIOLATION),
            e.message());
        expectLocation(e, "removeFile");
    }
    EXPECT_TRUE(isFile(at(L"locked.txt")));
}
