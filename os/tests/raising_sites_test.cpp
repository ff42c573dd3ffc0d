// Every raising site that a test can make fail, against the function name and line it must
// record. The lines are written out here rather than taken from the files' tables, so that a
// renumbered site or a site that uses another's constant fails.
#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/win32.h"
#include "os/datetime.h"
#include "os/file.h"
#include "os/path.h"
#include "os/security.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

class RaisingSites : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1] = {};
        ASSERT_NE(0u, ::GetTempPathW(MAX_PATH + 1, temp));
        root_ = format(L"%szra-sites-%lu", temp, ::GetCurrentProcessId());
        ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr)) << ::GetLastError();
    }
    void TearDown() override {
        held_.reset();
        for (const std::wstring& name : {at(L"busy.txt"), at(L"read.txt")})
            ::DeleteFileW(name.c_str());
        ::RemoveDirectoryW(root_.c_str());
    }

    std::wstring at(const wchar_t* name) const { return root_ + L"\\" + name; }
    // A file held open without delete sharing: it can be neither deleted nor moved.
    std::wstring busyFile() {
        const std::wstring path = at(L"busy.txt");
        held_.reset(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, 0, nullptr));
        EXPECT_TRUE(held_.valid()) << ::GetLastError();
        return path;
    }

    std::wstring root_;
    base::ScopedFileHandle held_;
};

// A short write: a non-blocking pipe with a small buffer takes only part of a large one.
void shortWrite() {
    const std::wstring name = format(L"\\\\.\\pipe\\zra-sites-%lu", ::GetCurrentProcessId());
    base::ScopedFileHandle server(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 0, 64, 0, nullptr));
    ASSERT_TRUE(server.valid()) << ::GetLastError();
    VFile pipe;
    pipe.open(name, GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    DWORD mode = PIPE_NOWAIT;
    ASSERT_TRUE(::SetNamedPipeHandleState(pipe.handle(), &mode, nullptr, nullptr));
    const std::vector<char> data(1 << 20, 'x');
    pipe.write(data.data(), 1 << 20, true);
}

TEST_F(RaisingSites, EachSiteRecordsItsOwnFunctionAndLine) {
    const std::wstring absent = at(L"absent.txt");
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    const struct {
        const char* function;
        int32_t line;
        std::function<void()> work;
    } sites[] = {
        // os/path.cpp
        {"VFileName::combine", 41, [] { VFileName::combine(std::wstring(MAX_PATH, L'd'), L"f"); }},
        {"VFileName::root", 62, [] { VFileName::root(L"dir\\file"); }},
        // os/file.cpp
        {"fileExist", 225, [&] { fileExist(at(L"bad*name")); }},
        {"getFileAttributes", 248, [&] { getFileAttributes(absent); }},
        {"setFileAttributes", 254, [&] { setFileAttributes(absent, 0); }},
        {"makeDir", 283, [&] { makeDir(root_); }},
        {"VDirectory::createDirectory", 299, [] { VDirectory::createDirectory(L""); }},
        {"VFileFinder::first", 349,
         [&] {
             VFileFinder finder;
             finder.first(at(L"bad*name\\*"));
         }},
        {"VFile::open", 390,
         [&] {
             VFile file;
             file.open(absent, GENERIC_READ, 0, OPEN_EXISTING, 0);
         }},
        {"VFile::seek", 403,
         [&] {
             VFile file;
             file.open(busyFile(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                       0);
             file.seek(-10, nullptr, FILE_BEGIN);
         }},
        {"VFile::write", 411,
         [&] {
             VFile file;
             file.open(busyFile(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                       0);
             file.write("x", 1, false);
         }},
        {"VFile::write", 415, &shortWrite},
        {"removeFile", 452, [&] { removeFile(busyFile()); }},
        {"removeFile", 461, [&] { removeFile(busyFile(), RemoveFileOptions().throughRecycler()); }},
        // os/security.cpp: a well-known SID names itself
        {"VSID::nine", 99,
         [&] {
             VWellKnownSid sid("VSID::nine", nt, {1, 2, 3, 4, 5, 6, 7, 8, 9});
         }},
        // os/datetime.cpp
        {"VDateTime::VDateTime", 70,
         [] {
             FILETIME beyond = {0, 0x80000000u};
             VDateTime value(beyond);
         }},
        {"VDateTime::operator +=", 77,
         [] {
             VDateTime value(2014, 0, 1, 0, 0, 0, 0);
             value += 0;
         }},
        {"VDateTime::operator +=", 82,
         [] {
             VDateTime value(1601, 1, 1, 0, 0, 0, 0);
             value += -1;
         }},
    };
    for (const auto& site : sites) {
        const std::string what = std::string(site.function) + " line " + std::to_string(site.line);
        try {
            site.work();
            ADD_FAILURE() << what << ": nothing was raised";
        } catch (const vexception& e) {
            ASSERT_FALSE(e.locations().empty()) << what;
            EXPECT_EQ(L"", e.locations()[0].message) << what;
            EXPECT_EQ(site.function, e.locations()[0].function) << what;
            EXPECT_EQ(site.line, e.locations()[0].line) << what;
        }
        held_.reset();
    }
}

} // namespace
