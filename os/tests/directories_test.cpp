#include "os/directories.h"

#include "base/win32.h"

#include <gtest/gtest.h>

namespace {

std::wstring raw(UINT(WINAPI* query)(LPWSTR, UINT)) {
    wchar_t buffer[MAX_PATH + 1] = {};
    return std::wstring(buffer, query(buffer, MAX_PATH + 1));
}

TEST(Directories, EachQueryGivesTheWholeTextOrTheErrorOfTheCall) {
    wchar_t current[MAX_PATH + 1] = {};
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH + 1, current));
    const DirectoryQuery directory = queryCurrentDirectory();
    EXPECT_TRUE(directory.ok());
    EXPECT_EQ(current, directory.path);

    const DirectoryQuery program = queryModulePath();
    ASSERT_TRUE(program.ok());
    const std::wstring exe = L"\\os_tests.exe";
    ASSERT_GT(program.path.size(), exe.size());
    EXPECT_EQ(exe, program.path.substr(program.path.size() - exe.size()));
    EXPECT_EQ(program.path, queryModulePathIn(MAX_PATH).path);
    EXPECT_EQ(program.path, queryModulePathIn(static_cast<DWORD>(program.path.size() + 1)).path);
    // A buffer too small gives the start of the path, never the terminator the system puts in.
    const DirectoryQuery cut = queryModulePathIn(5);
    EXPECT_TRUE(cut.ok());
    EXPECT_GE(cut.path.size(), 4u);
    EXPECT_LE(cut.path.size(), 5u);
    EXPECT_EQ(std::wstring::npos, cut.path.find(L'\0'));
    EXPECT_EQ(0u, program.path.find(cut.path));

    EXPECT_EQ(raw(&::GetSystemDirectoryW), querySystemDirectory().path);
    EXPECT_EQ(raw(&::GetWindowsDirectoryW), queryWindowsDirectory().path);

    // A handle that names no loaded module.
    for (const DirectoryQuery& none :
         {queryModulePath(reinterpret_cast<HMODULE>(0x10)),
          queryModulePathIn(MAX_PATH, reinterpret_cast<HMODULE>(0x10))}) {
        EXPECT_FALSE(none.ok());
        EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), none.error);
        EXPECT_TRUE(none.path.empty());
    }
}

} // namespace
