#include "base/exception.h"
#include "base/text.h"
#include "base/win32.h"
#include "os/path.h"

#include "tools/testing/temp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string runTimeText(const std::wstring& message, DWORD code) {
    return cstr(format(L"%s: (%d) %s", message.c_str(), static_cast<int>(code),
                       systemMessage(code).c_str()),
                0);
}

// A private directory under the temporary folder, removed with its contents.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        temp_ = std::make_unique<zra_testing::TempDirectory>(L"zra-paths");
        dir_ = temp_->path();
    }
    void TearDown() override { temp_.reset(); }

    std::wstring path(const std::wstring& name) const { return dir_ + L"\\" + name; }

    void write(const std::wstring& name, const std::string& bytes) const {
        HANDLE file = ::CreateFileW(path(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        const BOOL ok =
            ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::CloseHandle(file);
        ASSERT_TRUE(ok);
        ASSERT_EQ(bytes.size(), written);
    }

    static DWORD position(HANDLE file) { return ::SetFilePointer(file, 0, nullptr, FILE_CURRENT); }

    // True when another handle can take the whole-file lock at once, i.e. nobody holds it.
    bool lockIsFree(const std::wstring& name) const {
        base::ScopedFileHandle other(::CreateFileW(path(name).c_str(), GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!other.valid())
            return false;
        OVERLAPPED range = {};
        if (!::LockFileEx(other.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                          0xFFFFFFFF, 0xFFFFFFFF, &range))
            return false;
        OVERLAPPED again = {};
        ::UnlockFileEx(other.get(), 0, 0xFFFFFFFF, 0xFFFFFFFF, &again);
        return true;
    }

    std::unique_ptr<zra_testing::TempDirectory> temp_;
    std::wstring dir_;
};

struct Line {
    std::string text;
    bool ended;
    DWORD positionAfter;
};

struct ReadCase {
    const char* name;
    std::string content;
    std::vector<Line> lines; // the last one is the read that reports the end
};

} // namespace

using AttributesTest = TempDirTest;

TEST_F(AttributesTest, AbsentObjectsAreNotFailures) {
    write(L"present.txt", "x");
    ASSERT_TRUE(::CreateDirectoryW(path(L"sub").c_str(), nullptr));

    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, getAttributes(dir_, L"absent.txt"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, getAttributes(dir_, L"no\\such\\dir\\f.txt"));
    EXPECT_FALSE(exists(dir_, L"absent.txt"));
    EXPECT_FALSE(exists(path(L"absent.txt")));

    const DWORD file = getAttributes(dir_, L"present.txt");
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, file);
    EXPECT_EQ(0u, file & FILE_ATTRIBUTE_DIRECTORY);
    const DWORD sub = getAttributes(dir_, L"sub");
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, sub);
    EXPECT_NE(0u, sub & FILE_ATTRIBUTE_DIRECTORY);

    // Invalid names and a file used as a directory are absent too.
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, getAttributes(dir_, L"wild*card.txt"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, getAttributes(dir_, L"a<b"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, getAttributes(dir_, L"present.txt\\x"));

    EXPECT_TRUE(exists(dir_, L"sub\\..\\present.txt"));
    EXPECT_TRUE(exists(path(L"present.txt")));
    EXPECT_TRUE(exists(L"\\\\?\\" + dir_, L"present.txt"));

    try {
        exists(L"", L"");
        FAIL() << "an empty path was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(runTimeText(L"Empty input path", ERROR_INVALID_PARAMETER), e.what());
    }
}

// Other errors are failures. The system decides which error a missing server gives, so the
// expectation follows what it reports for the same path.
TEST(AttributesErrorTest, OtherErrorsRaise) {
    const std::wstring path = L"\\\\nosuchserver-zra\\share\\x";
    ::SetLastError(0);
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(path.c_str()));
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
        error == ERROR_INVALID_NAME) {
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, getAttributes(L"", path));
        return;
    }
    try {
        getAttributes(L"", path);
        FAIL() << "error " << error << " was taken for absence";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(runTimeText(L"Unable to get file (" + path + L") attributes", error), e.what());
    }
}

using TextFileTest = TempDirTest;

TEST_F(TextFileTest, ReadLineSplitsAtLineFeeds) {
    const std::string longLine(5000, 'x');
    const std::string boundary(4095, 'y');
    const std::string fullChunk(4096, 'w');
    const std::string noFeed(9000, 'n');
    const std::vector<ReadCase> cases = {
        {"mixed endings", "a\nb\r\nc", {{"a", true, 2}, {"b", true, 5}, {"c", false, 6}}},
        {"empty file", "", {{"", false, 0}}},
        {"empty lines", "\n\r\n", {{"", true, 1}, {"", true, 3}, {"", false, 3}}},
        {"lone CR kept", "a\rb\nx\r", {{"a\rb", true, 4}, {"x\r", false, 6}}},
        {"line over one chunk",
         longLine + "\ntail",
         {{longLine, true, 5001}, {"tail", false, 5005}}},
        {"CR ends a chunk", boundary + "\r\nz", {{boundary, true, 4097}, {"z", false, 4098}}},
        {"LF starts a chunk", fullChunk + "\n", {{fullChunk, true, 4097}, {"", false, 4097}}},
        {"no line feed", noFeed, {{noFeed, false, 9000}}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        write(L"lines.txt", c.content);
        TextFile file;
        file.openForReading(path(L"lines.txt"));
        for (const Line& expected : c.lines) {
            std::string out;
            EXPECT_EQ(expected.ended, file.readLine(out));
            EXPECT_EQ(expected.text, out);
            EXPECT_EQ(expected.positionAfter, position(file.handle()));
            EXPECT_TRUE(lockIsFree(L"lines.txt"));
        }
    }
}

TEST_F(TextFileTest, ReadLineAppendsToCallerText) {
    write(L"f.txt", "\nnext\n");
    TextFile file;
    file.openForReading(path(L"f.txt"));
    // A CR the caller already had is not part of this line's CR LF pair.
    std::string out = "keep\r";
    EXPECT_TRUE(file.readLine(out));
    EXPECT_EQ("keep\r", out);
    EXPECT_TRUE(file.readLine(out));
    EXPECT_EQ("keep\rnext", out);
}

TEST_F(TextFileTest, ReadLineWaitsForAnotherHoldersLock) {
    write(L"shared.txt", "first\nsecond\n");
    base::ScopedFileHandle holder(::CreateFileW(path(L"shared.txt").c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.valid());
    OVERLAPPED range = {};
    ASSERT_TRUE(
        ::LockFileEx(holder.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 0xFFFFFFFF, 0xFFFFFFFF, &range));

    TextFile file;
    file.openForReading(path(L"shared.txt"));
    std::atomic<bool> done{false};
    std::string out;
    std::thread reader([&] {
        file.readLine(out);
        done = true;
    });
    ::Sleep(300);
    EXPECT_FALSE(done) << "read a line while another handle held the lock";
    OVERLAPPED again = {};
    EXPECT_TRUE(::UnlockFileEx(holder.get(), 0, 0xFFFFFFFF, 0xFFFFFFFF, &again));
    reader.join();
    EXPECT_EQ("first", out);
    EXPECT_TRUE(lockIsFree(L"shared.txt"));
}

TEST_F(TextFileTest, ReadFailureReleasesLock) {
    write(L"f.txt", "data\n");
    TextFile file;
    // Locking needs read or write access; reading needs read access.
    file.create(dir_, L"f.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    std::string out;
    try {
        file.readLine(out);
        FAIL() << "read through a write-only handle";
    } catch (const RunTime::AccessDeniedException& e) {
        EXPECT_EQ(runTimeText(L"Unable to read file", ERROR_ACCESS_DENIED), e.what());
    }
    EXPECT_TRUE(lockIsFree(L"f.txt"));
}

// A file whose opening failed holds no handle; reading it must fail at the lock, not read from
// whatever the handle value happens to name.
TEST(TextFileLockTest, LockFailureIsReported) {
    TextFile file;
    std::string out;
    try {
        file.readLine(out);
        FAIL() << "read through a file that was never opened";
    } catch (const RunTime::InvalidHandleException& e) {
        EXPECT_EQ(runTimeText(L"Unable to lock file  (FFFFFFFFFFFFFFFF)", ERROR_INVALID_HANDLE),
                  e.what());
    }
    EXPECT_EQ("", out);
}

TEST_F(TextFileTest, CreateFailureLeavesNoHandle) {
    write(L"f.txt", "x");
    TextFile file;
    file.openForReading(path(L"f.txt"));
    ASSERT_NE(INVALID_HANDLE_VALUE, file.handle());

    const std::wstring missing = path(L"missing.txt");
    try {
        file.openForReading(missing);
        FAIL() << "opened a missing file";
    } catch (const RunTime::PathNotFoundException& e) {
        EXPECT_EQ(runTimeText(L"Unable to create file '" + missing + L"'", ERROR_FILE_NOT_FOUND),
                  e.what());
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, file.handle());
    // The earlier handle was closed: nothing keeps the file from being opened exclusively.
    base::ScopedFileHandle exclusive(
        ::CreateFileW(path(L"f.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(exclusive.valid()) << ::GetLastError();
}

TEST_F(TextFileTest, WorksBeyondMaxPath) {
    std::wstring relative;
    for (int i = 0; i < 6; ++i) {
        relative += std::wstring(60, static_cast<wchar_t>(L'a' + i));
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + dir_ + L"\\" + relative).c_str(), nullptr))
            << ::GetLastError();
        relative += L"\\";
    }
    relative += L"deep.txt";
    ASSERT_GT(dir_.size() + relative.size(), static_cast<size_t>(MAX_PATH));
    {
        TextFile writer;
        writer.create(dir_, L"x\\..\\" + relative, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL);
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(writer.handle(), "deep\r\n", 6, &written, nullptr));
    }
    EXPECT_TRUE(exists(dir_, relative));
    TextFile reader;
    reader.openForReading(path(relative));
    std::string out;
    EXPECT_TRUE(reader.readLine(out));
    EXPECT_EQ("deep", out);
}

using ReadDirectoryTest = TempDirTest;

TEST_F(ReadDirectoryTest, ListsMatchesAndReportsNone) {
    write(L"a.txt", "");
    write(L"b.txt", "");
    write(L"c.log", "");

    WIN32_FIND_DATAW record;
    std::vector<std::wstring> names;
    {
        base::ScopedFindHandle search = readDirectory(L"\\\\?\\" + dir_, L"*.txt", record, true);
        ASSERT_TRUE(search.valid());
        do
            names.push_back(record.cFileName);
        while (::FindNextFileW(search.get(), &record));
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::wstring>{L"a.txt", L"b.txt"}), names);

    EXPECT_FALSE(readDirectory(dir_, L"*.none", record, false).valid());
    try {
        readDirectory(dir_, L"*.none", record, true);
        FAIL() << "no failure for a search without matches";
    } catch (const RunTime::PathNotFoundException& e) {
        EXPECT_EQ(runTimeText(L"Unable to read directory (" + dir_ + L")", ERROR_FILE_NOT_FOUND),
                  e.what());
    }
    try {
        readDirectory(L"\\\\?\\" + path(L"gone"), L"*", record, true);
        FAIL() << "no failure for a missing directory";
    } catch (const RunTime::PathNotFoundException& e) {
        EXPECT_EQ(
            runTimeText(L"Unable to read directory (" + path(L"gone") + L")", ERROR_PATH_NOT_FOUND),
            e.what());
    }
}
