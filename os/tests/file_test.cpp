#include "os/file.h"

#include "base/exception.h"
#include "base/text.h"
#include "base/win32.h"
#include "os/acl.h"
#include "os/path.h"

#include "tools/testing/temp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <list>
#include <set>
#include <stdexcept>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string narrow(const std::wstring& text) {
    return cstr(text, 65001);
}

// The OS-error exception a piece of work ended with; code 0 when there was none.
struct Failure {
    DWORD code = 0;
    std::wstring message;
    std::string function;
};
template <typename F> Failure osFailure(F work) {
    try {
        work();
    } catch (const vosexception& e) {
        return {e.code(), e.message(), e.locations().empty() ? "" : e.locations()[0].function};
    }
    return {};
}
// code 0 accepts any error, as long as the text is the one for it.
void expectFailure(const Failure& f, DWORD code, const std::wstring& context,
                   const char* function) {
    EXPECT_NE(0u, f.code) << "no failure for " << narrow(context);
    if (code != 0) {
        EXPECT_EQ(code, f.code) << narrow(f.message);
    }
    EXPECT_EQ(osErrorMessage(f.code, &context), f.message);
    EXPECT_EQ(function, f.function);
}

// A fresh directory per case, removed with raw calls (tools/testing) so that a fault in the code
// under test cannot leave it behind.
class FileTest : public ::testing::Test {
public:
    void SetUp() override {
        temp_ = std::make_unique<zra_testing::TempDirectory>(L"zra-files");
        root_ = temp_->path();
    }
    void TearDown() override { temp_.reset(); }

    std::wstring at(const std::wstring& relative) const { return root_ + L"\\" + relative; }
    void makeFile(const std::wstring& relative, DWORD attributes = FILE_ATTRIBUTE_NORMAL) const {
        base::ScopedFileHandle file(::CreateFileW(at(relative).c_str(), GENERIC_WRITE, 0, nullptr,
                                                  CREATE_ALWAYS, attributes, nullptr));
        ASSERT_TRUE(file.valid()) << narrow(relative) << ": " << ::GetLastError();
    }
    void makeFolder(const std::wstring& relative) const {
        ASSERT_TRUE(::CreateDirectoryW(at(relative).c_str(), nullptr)) << narrow(relative);
    }
    static DWORD attributesOf(const std::wstring& path) {
        return ::GetFileAttributesW(path.c_str());
    }
    static bool isFolder(const std::wstring& path) {
        return attributesOf(path) != INVALID_FILE_ATTRIBUTES &&
               (attributesOf(path) & FILE_ATTRIBUTE_DIRECTORY);
    }
    static bool isFile(const std::wstring& path) {
        return attributesOf(path) != INVALID_FILE_ATTRIBUTES && !isFolder(path);
    }
    static base::ScopedFileHandle holdOpen(const std::wstring& path, DWORD share) {
        base::ScopedFileHandle file(
            ::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(file.valid()) << ::GetLastError();
        return file;
    }

    std::unique_ptr<zra_testing::TempDirectory> temp_;
    std::wstring root_;
};

// Runs a scope in another current directory. Relative paths in these tests must resolve inside the
// prefix's C: drive: the build tree is on Z:, whose root is the host's own root.
class InDirectory {
public:
    explicit InDirectory(const std::wstring& directory) {
        EXPECT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH + 1, saved_));
        EXPECT_TRUE(::SetCurrentDirectoryW(directory.c_str()));
    }
    ~InDirectory() { ::SetCurrentDirectoryW(saved_); }

private:
    wchar_t saved_[MAX_PATH + 1] = {};
};

const wchar_t kRecyclerGuid[] = L"{86066D57-9347-46a7-B4DB-971D9EF36D29}";

} // namespace

TEST(RemoveFileSpecTest, DropsTheLastComponentAndKeepsRoots) {
    const wchar_t* cases[][2] = {
        {L"C:\\dir\\file.txt", L"C:\\dir"},
        {L"C:\\dir\\sub\\", L"C:\\dir\\sub"}, // the empty last part goes
        {L"C:\\dir", L"C:\\"},
        {L"C:\\", L"C:\\"},
        {L"C:", L"C:"},
        {L"C:file", L"C:"},
        {L"\\\\server\\share", L"\\\\server"},
        {L"\\\\server", L"\\\\"},
        {L"\\\\", L"\\\\"},
        {L"\\dir", L"\\"},
        {L"file", L""},
        {L"C:/dir/file", L"C:"}, // only a backslash separates components
    };
    for (const auto& c : cases)
        EXPECT_EQ(c[1], removeFileSpec(c[0])) << narrow(c[0]);
}

TEST_F(FileTest, QueriesAndTheirFailures) {
    makeFile(L"file.txt");
    makeFolder(L"folder");
    const struct {
        std::wstring path;
        bool exists, isDirectory;
    } cases[] = {
        {at(L"file.txt"), true, false},
        {at(L"folder\\"), true, true},
        {at(L"absent.txt"), false, false},      // error 2
        {at(L"no\\such\\x.txt"), false, false}, // error 3
        {L"", false, false},
    };
    for (const auto& c : cases) {
        bool isDirectory = !c.isDirectory, isNotDirectory = c.isDirectory || !c.exists;
        if (!c.path.empty()) {
            EXPECT_EQ(c.exists, fileExist(c.path, &isDirectory)) << narrow(c.path);
            EXPECT_EQ(c.isDirectory, isDirectory) << narrow(c.path);
        }
        EXPECT_EQ(c.exists, pathExists(c.path, &isNotDirectory)) << narrow(c.path);
        EXPECT_EQ(c.exists && !c.isDirectory, isNotDirectory) << narrow(c.path);
    }
    // A wildcard in a name is neither "found" nor "not found".
    const std::wstring bad = at(L"bad*name");
    expectFailure(osFailure([&] { fileExist(bad); }), 0,
                  L"retrieves attributes for file or directory " + bad, "fileExist");

    setFileAttributes(at(L"file.txt"), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(getFileAttributes(at(L"file.txt")) & FILE_ATTRIBUTE_READONLY);
    const std::wstring absent = at(L"absent.txt");
    expectFailure(osFailure([&] { getFileAttributes(absent); }), 2,
                  L"GetFileAttributes(" + absent + L")", "getFileAttributes");
    expectFailure(osFailure([&] { setFileAttributes(absent, 0); }), 2,
                  L"SetFileAttributes(" + absent + L")", "setFileAttributes");
    expectFailure(osFailure([&] { makeDir(at(L"folder")); }), ERROR_ALREADY_EXISTS,
                  L"CreateDirectory(" + at(L"folder") + L")", "makeDir");

    wchar_t current[MAX_PATH + 1] = {};
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH + 1, current));
    EXPECT_EQ(current, VDirectory::current());
}

TEST_F(FileTest, CreatesEveryMissingLevel) {
    makeFile(L"plain.txt");
    const InDirectory inside(root_);

    const struct {
        std::wstring path;
        std::wstring made; // empty: nothing new
    } cases[] = {
        {at(L"one\\two\\three"), at(L"one\\two\\three")},
        {at(L"one\\two\\other\\\\"), at(L"one\\two\\other")},
        {at(L"fwd/slash/"), at(L"fwd\\slash")},
        {at(L"plain.txt"), L""},    // a file of that name is left alone, and that is no error
        {L"single", at(L"single")}, // the first part of a relative path has no parent to make
        {L"rel\\deep", at(L"rel\\deep")},
        {root_.substr(2) + L"\\rooted\\x", at(L"rooted\\x")}, // "\" is the drive's root
    };
    for (const auto& c : cases) {
        EXPECT_NO_THROW(VDirectory::createDirectory(c.path)) << narrow(c.path);
        if (!c.made.empty()) {
            EXPECT_TRUE(isFolder(c.made)) << narrow(c.path);
        }
    }
    EXPECT_TRUE(isFile(at(L"plain.txt")));

    for (const wchar_t* empty : {L"", L"\\", L"//\\"}) {
        try {
            VDirectory::createDirectory(empty);
            ADD_FAILURE() << "no failure for '" << narrow(empty) << "'";
        } catch (const ArgumentException& e) {
            EXPECT_EQ(L"Unable to create directory with wrong name", e.message());
            EXPECT_EQ("VDirectory::createDirectory", e.locations().at(0).function);
        }
    }

    // A missing drive cannot be shortened further: creating it is the step that fails.
    std::wstring drive;
    for (wchar_t letter = L'Q'; letter <= L'Y' && drive.empty(); ++letter) {
        if (!(::GetLogicalDrives() & (1u << (letter - L'A'))))
            drive = std::wstring(1, letter) + L':';
    }
    ASSERT_FALSE(drive.empty());
    // The walk up keeps the root's separator: without it the name is the drive's current
    // directory.
    const std::pair<std::wstring, std::wstring> missingDrive[] = {
        {drive + L"\\a\\b", drive + L"\\"}, {drive + L"\\", drive}, {drive, drive}};
    for (const auto& m : missingDrive)
        expectFailure(osFailure([&] { VDirectory::createDirectory(m.first); }), 0,
                      L"CreateDirectory(" + m.second + L")", "makeDir");
    EXPECT_THROW(VDirectory::createDirectory(L"\\\\zra-no-such-host\\share\\a"), vexception);
}

// A directory that exists is what was asked for, however its name is spelled and whoever made it.
TEST_F(FileTest, AnExistingDirectoryIsSuccess) {
    makeFolder(L"there");
    const InDirectory inside(root_);
    const struct {
        std::wstring path;
        std::wstring made;
        std::wstring notMade; // empty: nothing to check
    } cases[] = {
        {at(L"dots\\.\\x"), at(L"dots\\x"), L""},
        {at(L"up\\..\\side\\y"), at(L"side\\y"), at(L"up")},
        {at(L"there\\."), at(L"there"), L""},
        {at(L"there\\.."), root_, L""},
        {at(L"there\\..\\there\\z\\."), at(L"there\\z"), L""},
        {L".", root_, L""},
        {L"rel\\.\\w", at(L"rel\\w"), L""},
        // The long form is walked up to its drive root, never to the bare drive.
        {L"\\\\?\\" + at(L"long\\a\\b"), at(L"long\\a\\b"), L""},
        {L"\\\\?\\" + at(L"long\\.\\c"), at(L"long\\c"), L""},
    };
    for (const auto& c : cases) {
        EXPECT_NO_THROW(VDirectory::createDirectory(c.path)) << narrow(c.path);
        EXPECT_TRUE(isFolder(c.made)) << narrow(c.path);
        if (!c.notMade.empty()) {
            EXPECT_FALSE(isFolder(c.notMade)) << narrow(c.path);
        }
    }

    // Two makers of the same tree at once: each level is made by one and found made by the other.
    for (int round = 0; round < 40; ++round) {
        const std::wstring deep = at(format(L"race%d\\a\\b\\c\\d", round));
        bool failed[2] = {false, false};
        std::thread other([&] {
            try {
                VDirectory::createDirectory(deep);
            } catch (...) {
                failed[1] = true;
            }
        });
        try {
            VDirectory::createDirectory(deep);
        } catch (...) {
            failed[0] = true;
        }
        other.join();
        EXPECT_FALSE(failed[0] || failed[1]) << round;
        EXPECT_TRUE(isFolder(deep)) << round;
    }
}

// What the log files and crash dumps do under a product root past MAX_PATH: the directory and file
// paths come from combine in the long form, and every call takes them.
TEST_F(FileTest, PathsCombinedPastMaxPathWorkThroughout) {
    const std::wstring productRoot = VFileName::combine(root_, std::wstring(240, L'p'));
    const std::wstring logs = VFileName::combine(productRoot, L"admin\\logs");
    ASSERT_EQ(0u, logs.rfind(L"\\\\?\\", 0)) << narrow(logs);
    VDirectory::createDirectory(logs);
    VDirectory::createDirectory(logs); // a second time: it is there
    const std::wstring file = VFileName::combine(logs, L"varnolog_debug20261208.log");
    VFile log;
    log.open(file, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(4u, log.write("line", 4, true));
    log.close();
    std::list<std::wstring> files;
    listFiles(logs, L"varnolog_debug*.log", files, kListDirectoryOnly);
    EXPECT_EQ(std::list<std::wstring>{file}, files);
    setFileAttributes(file, FILE_ATTRIBUTE_READONLY);
    removeFile(file, RemoveFileOptions().takingOwnership());
    EXPECT_FALSE(fileExist(file));
    // The tree is past what the tear-down's short paths reach.
    for (const std::wstring& level : {logs, VFileName::combine(productRoot, L"admin"), productRoot})
        EXPECT_TRUE(::RemoveDirectoryW(level.c_str())) << narrow(level);
}

TEST_F(FileTest, FinderAndListFilesByDepth) {
    for (const wchar_t* folder : {L"dir.txt", L"sub", L"sub\\deep", L"sub\\deep\\deeper"})
        makeFolder(folder); // dir.txt matches the pattern but is never listed
    for (const wchar_t* file : {L"top.txt", L"top.log", L"dir.txt\\in.txt", L"sub\\one.txt",
                                L"sub\\deep\\two.txt", L"sub\\deep\\deeper\\three.txt"})
        makeFile(file);

    VFileFinder finder;
    EXPECT_FALSE(finder.next()); // no search open
    EXPECT_FALSE(finder.first(at(L"none*")));
    EXPECT_FALSE(finder.first(at(L"no\\such\\*")));
    std::set<std::wstring> dots;
    for (bool found = finder.first(at(L"*")); found; found = finder.next()) {
        if (finder.isDots())
            dots.insert(finder.name());
    }
    EXPECT_EQ((std::set<std::wstring>{L".", L".."}), dots);
    EXPECT_EQ(L"", finder.name()); // the record is zeroed at the end

    const std::vector<std::wstring> levels[] = {{L"top.txt"},
                                                {L"dir.txt\\in.txt", L"sub\\one.txt"},
                                                {L"sub\\deep\\two.txt"},
                                                {L"sub\\deep\\deeper\\three.txt"}};
    for (const int depth : {0, 1, 2, -1}) {
        std::list<std::wstring> list = {L"kept"};
        listFiles(root_, L"*.txt", list, depth);
        ASSERT_EQ(L"kept", list.front());
        list.pop_front();
        std::multiset<std::wstring> expected;
        for (int level = 0; level < 4 && (depth < 0 || level <= depth); ++level) {
            for (const std::wstring& name : levels[level])
                expected.insert(at(name));
        }
        EXPECT_EQ(expected, std::multiset<std::wstring>(list.begin(), list.end())) << depth;
        EXPECT_EQ(at(L"top.txt"), list.front()) << depth; // a folder's own files come first
    }
    std::list<std::wstring> none;
    listFiles(at(L"absent"), L"*", none, kListEveryLevel);
    EXPECT_TRUE(none.empty());
}

TEST_F(FileTest, OpenSeekAndWrite) {
    VFile file;
    const std::wstring absent = at(L"absent.bin"), path = at(L"data.bin");
    expectFailure(osFailure([&] { file.open(absent, GENERIC_READ, 0, OPEN_EXISTING, 0); }), 2,
                  L"Open file '" + absent + L"'", "VFile::open");
    file.open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    EXPECT_EQ(5u, file.write("hello", 5, true));
    EXPECT_THROW(file.open(absent, GENERIC_READ, 0, OPEN_EXISTING, 0), vosexception);
    EXPECT_EQ(path, file.name()); // a failed open keeps the file that was open

    LONG high = 0;
    const struct {
        LONG distance;
        LONG* high;
        DWORD method, expected;
    } seeks[] = {
        {2, nullptr, FILE_BEGIN, 2},
        {-1, nullptr, FILE_END, 4},
        {-1, &high, FILE_BEGIN, 0xFFFFFFFF}, // all ones and still no failure
    };
    for (const auto& s : seeks) {
        ::SetLastError(ERROR_ACCESS_DENIED); // left over from an earlier call: not ours
        EXPECT_EQ(s.expected, file.seek(s.distance, s.high, s.method)) << s.distance;
    }
    expectFailure(osFailure([&] { file.seek(-10, nullptr, FILE_BEGIN); }), ERROR_NEGATIVE_SEEK,
                  L"Unable seek in file '" + path + L"'", "VFile::seek");
    file.close();
    file.open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    expectFailure(osFailure([&] { file.write("x", 1, false); }), 0,
                  L"Write to file '" + path + L"'", "VFile::write");

    // A non-blocking pipe with a small buffer takes only part of a large write. The name holds a
    // percent sign, which must come through the message as it is.
    const std::wstring pipe = format(L"\\\\.\\pipe\\zra-files-%lu-100%%", ::GetCurrentProcessId());
    base::ScopedFileHandle server(::CreateNamedPipeW(
        pipe.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 0, 64, 0, nullptr));
    ASSERT_TRUE(server.valid()) << ::GetLastError();
    file.open(pipe, GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    DWORD mode = PIPE_NOWAIT;
    ASSERT_TRUE(::SetNamedPipeHandleState(file.handle(), &mode, nullptr, nullptr));
    const std::vector<char> data(1 << 20, 'x');
    EXPECT_LT(file.write(data.data(), 1 << 20, false), 1u << 20);
    try {
        file.write(data.data(), 1 << 20, true);
        ADD_FAILURE() << "a short write passed";
    } catch (const vexception& e) {
        EXPECT_EQ(L"Unable to write 1048576 bytes into file '" + pipe + L"'", e.message());
        EXPECT_EQ("VFile::write", e.locations().at(0).function);
    }
}

namespace {

// Another process creates the folder between our check and our creation.
void loseTheRace(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
    ::CreateDirectoryW(path.c_str(), nullptr);
    makeDir(path, security);
}
void failWithoutCreating(const std::wstring& path, SECURITY_ATTRIBUTES*) {
    raiseOsError(L"CreateDirectory(" + path + L")", 5, SourceLocation(L"", "makeDir", 0));
}

} // namespace

TEST_F(FileTest, RecyclerFolder) {
    const std::wstring recycler = VFileName::combine(VFileName::root(root_), L"Recycler");
    const std::wstring folder = VFileName::combine(recycler, kRecyclerGuid);
    EXPECT_EQ(folder, recyclerFolder(at(L"file.txt")));
    EXPECT_TRUE(isFolder(folder));
    // A path without a root of its own is on the current directory's volume.
    const InDirectory inside(root_);
    const std::wstring current = VFileName::combine(
        VFileName::combine(VFileName::root(VDirectory::current()), L"Recycler"), kRecyclerGuid);
    EXPECT_EQ(current, recyclerFolder(L"relative.txt"));
    EXPECT_EQ(current, recyclerFolder(L"\\rooted.txt"));

    if (!::RemoveDirectoryW(folder.c_str()))
        GTEST_SKIP() << "the recycler folder holds files";
    EXPECT_EQ(folder, recyclerFolderWith(at(L"file.txt"), &loseTheRace));
    ASSERT_TRUE(::RemoveDirectoryW(folder.c_str()));
    expectFailure(osFailure([&] { recyclerFolderWith(at(L"file.txt"), &failWithoutCreating); }), 5,
                  L"CreateDirectory(" + folder + L")", "makeDir");

    const std::wstring guid = newGuidText();
    EXPECT_NE(guid, newGuidText());
    EXPECT_EQ(36u, guid.size());
    EXPECT_EQ(L"----", guid.substr(8, 1) + guid[13] + guid[18] + guid[23]);

    // Everyone may move files in and delete them; only SYSTEM and the administrators do more.
    const VSID sids[] = {VSID::everyone(), VSID::everyone(), VSID::system(), VSID::admins()};
    const DWORD masks[] = {0x130080, 0x1300E7, GENERIC_ALL, GENERIC_ALL}, inherit[] = {9, 2, 3, 3};
    const std::vector<SecurityEntry> entries = recyclerFolderEntries().entries();
    ASSERT_EQ(4u, entries.size());
    for (size_t i = 0; i < 4; ++i)
        EXPECT_TRUE(entries[i].sid() == sids[i] && entries[i].mode() == SET_ACCESS &&
                    entries[i].mask() == masks[i] && entries[i].inheritance() == inherit[i] &&
                    entries[i].trustee() == SecurityEntry::Trustee::user)
            << i;
}

namespace {

// What the take-over stand-ins saw, and the handle that keeps the file in use.
struct TakeOver {
    std::vector<std::wstring> calls;
    base::ScopedFileHandle held;
} g_takeOver;

void grantNothing(const std::wstring& name, SE_OBJECT_TYPE type, DWORD mask) {
    g_takeOver.calls.push_back(format(L"%s %d 0x%X", name.c_str(), int(type), mask));
}
void releaseAndFail(const std::wstring& name, SE_OBJECT_TYPE type, DWORD mask) {
    grantNothing(name, type, mask);
    g_takeOver.held.reset(); // a retry after this would succeed
    throw std::runtime_error("Unable to set the object owner");
}
void vanishAndFail(const std::wstring& name, SE_OBJECT_TYPE type, DWORD mask) {
    grantNothing(name, type, mask);
    ::SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(name.c_str());
    throw std::runtime_error("Unable to set the object owner");
}

} // namespace

TEST_F(FileTest, RemoveFile) {
    const struct {
        const char* what;
        DWORD attributes; // 0: no file
        DWORD share;      // held open with this sharing unless ~0
        bool takeOwnership;
        int retries;
        TakeOwnershipFunction takeOver; // null: the real one
        DWORD error;                    // of the DeleteFile failure; 0: removed
        const char* failure;            // the take-over's own failure
    } cases[] = {
        {"absent", 0, ~0u, true, 2, nullptr, 0, nullptr},
        {"plain", FILE_ATTRIBUTE_NORMAL, ~0u, false, 0, nullptr, 0, nullptr},
        {"read-only", FILE_ATTRIBUTE_READONLY, ~0u, false, 1, nullptr, 5, nullptr},
        {"read-only, taken over", FILE_ATTRIBUTE_READONLY, ~0u, true, 0, nullptr, 0, nullptr},
        {"in use", FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, false, 2, nullptr, 32, nullptr},
        {"in use, taken over", FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, true, 2, nullptr, 32,
         nullptr},
        // The take-over itself does nothing here: clearing the read-only bit lets the delete in.
        {"bit cleared", FILE_ATTRIBUTE_READONLY, ~0u, true, 0, &grantNothing, 0, nullptr},
        {"take-over fails: no retry", FILE_ATTRIBUTE_READONLY, ~0u, true, 3, &releaseAndFail, 0,
         "Unable to set the object owner"},
        {"gone during take-over", FILE_ATTRIBUTE_READONLY, ~0u, true, 0, &vanishAndFail, 0,
         nullptr},
    };
    const std::wstring path = at(L"victim.txt");
    for (const auto& c : cases) {
        g_takeOver = TakeOver();
        if (c.attributes)
            makeFile(L"victim.txt", c.attributes);
        if (c.share != ~0u)
            g_takeOver.held = holdOpen(path, c.share);
        std::string failure;
        const Failure f = osFailure([&] {
            try {
                removeFileWith(
                    path,
                    RemoveFileOptions().takingOwnership(c.takeOwnership).retrying(c.retries, 1),
                    c.takeOver ? c.takeOver : &takeOwnershipAndGrant);
            } catch (const std::runtime_error& e) {
                failure = e.what();
            }
        });
        EXPECT_EQ(c.failure ? c.failure : "", failure) << c.what;
        EXPECT_EQ(c.error, f.code) << c.what << ": " << narrow(f.message);
        if (c.error)
            expectFailure(f, c.error, L"DeleteFile '" + path + L"'", "removeFile");
        EXPECT_EQ(c.error != 0 || c.failure, isFile(path)) << c.what;
        if (c.takeOver) {
            EXPECT_EQ(std::vector<std::wstring>{path + L" 1 0x10100"}, g_takeOver.calls);
        }
        g_takeOver.held.reset();
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
    }

    // Retries wait for a file that is released meanwhile.
    makeFile(L"busy.txt");
    g_takeOver.held = holdOpen(at(L"busy.txt"), FILE_SHARE_READ);
    std::thread releaser([]() {
        ::Sleep(100);
        g_takeOver.held.reset();
    });
    EXPECT_NO_THROW(removeFile(at(L"busy.txt"), RemoveFileOptions().retrying(500, 10)));
    releaser.join();
    EXPECT_FALSE(isFile(at(L"busy.txt")));
}

// Only a refused delete (access denied) of a file that is its only name and no link is worth
// taking over: rewriting the rights of a file in use changes nothing, and through a link or a
// second name it would change them on a file outside the folder being cleaned.
TEST_F(FileTest, RemoveFileTakesOverOnlyAPlainFileThatRefusedItsDelete) {
    makeFolder(L"elsewhere");
    const std::wstring outside = at(L"elsewhere\\target.txt");
    const std::wstring path = at(L"victim.txt");
    enum Layout { ReadOnly, InUse, SecondName, LinkInUse };
    const struct {
        const char* what;
        Layout layout;
        DWORD error; // 0: removed
        bool takenOver;
    } cases[] = {
        {"read-only", ReadOnly, 0, true},
        {"in use", InUse, ERROR_SHARING_VIOLATION, false},
        {"read-only with a second name", SecondName, ERROR_ACCESS_DENIED, false},
        {"link to a file, held open", LinkInUse, ERROR_SHARING_VIOLATION, false},
    };
    for (const auto& c : cases) {
        g_takeOver = TakeOver();
        if (c.layout == ReadOnly || c.layout == InUse)
            makeFile(L"victim.txt",
                     c.layout == ReadOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
        if (c.layout == InUse)
            g_takeOver.held = holdOpen(path, FILE_SHARE_READ);
        if (c.layout == SecondName) {
            makeFile(L"elsewhere\\target.txt", FILE_ATTRIBUTE_READONLY);
            ASSERT_TRUE(::CreateHardLinkW(path.c_str(), outside.c_str(), nullptr))
                << ::GetLastError();
        }
        if (c.layout == LinkInUse) {
            makeFile(L"elsewhere\\target.txt");
            if (!::CreateSymbolicLinkW(path.c_str(), L"elsewhere\\target.txt", 0)) {
                std::printf("[ note     ] no symbolic link: %lu\n", ::GetLastError());
                continue;
            }
            g_takeOver.held.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
            if (!g_takeOver.held.valid()) {
                std::printf("[ note     ] the link does not open: %lu\n", ::GetLastError());
                ::DeleteFileW(path.c_str());
                continue;
            }
        }
        const Failure f = osFailure(
            [&] { removeFileWith(path, RemoveFileOptions().takingOwnership(), &grantNothing); });
        EXPECT_EQ(c.error, f.code) << c.what << ": " << narrow(f.message);
        EXPECT_EQ(c.takenOver, !g_takeOver.calls.empty()) << c.what;
        EXPECT_EQ(c.error != 0, attributesOf(path) != INVALID_FILE_ATTRIBUTES) << c.what;
        if (c.layout == SecondName) {
            // The other name keeps its read-only bit.
            EXPECT_EQ(FILE_ATTRIBUTE_READONLY,
                      attributesOf(outside) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))
                << c.what;
        }
        g_takeOver.held.reset();
        for (const std::wstring& name : {path, outside}) {
            ::SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(name.c_str());
        }
    }
}

TEST_F(FileTest, RemoveFileThroughTheRecycler) {
    const std::wstring recycler = recyclerFolder(root_);
    makeFile(L"gone.txt");
    removeFile(at(L"gone.txt"), RemoveFileOptions().throughRecycler());
    EXPECT_FALSE(isFile(at(L"gone.txt")));
    EXPECT_TRUE(isFolder(recycler));
    removeFile(at(L"absent.txt"), RemoveFileOptions().takingOwnership().throughRecycler());

    // Opened with delete sharing, the file moves out of the way and its name is free at once.
    makeFile(L"open.txt");
    base::ScopedFileHandle held = holdOpen(at(L"open.txt"), FILE_SHARE_READ | FILE_SHARE_DELETE);
    removeFile(at(L"open.txt"), RemoveFileOptions().throughRecycler());
    makeFile(L"open.txt");

    // Without it the file cannot move; the target named is a new file in the recycler folder.
    held = holdOpen(at(L"open.txt"), FILE_SHARE_READ);
    const Failure f = osFailure(
        [&] { removeFile(at(L"open.txt"), RemoveFileOptions().throughRecycler().retrying(1, 1)); });
    const std::wstring head = L"Move file '" + at(L"open.txt") + L"' to '" + recycler + L"\\";
    const size_t start = f.message.find(head);
    ASSERT_NE(std::wstring::npos, start) << narrow(f.message);
    const std::wstring guid = f.message.substr(start + head.size(), 36);
    expectFailure(f, 32, head + guid + L"'", "removeFile");
    EXPECT_TRUE(isFile(at(L"open.txt")));
}
