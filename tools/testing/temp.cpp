#include "tools/testing/temp.h"

#include <atomic>
#include <cwchar>
#include <stdexcept>

namespace zra_testing {

std::wstring uniqueName(const wchar_t* prefix) {
    static std::atomic<unsigned> counter{0};
    wchar_t buffer[64];
    std::swprintf(buffer, 64, L".%lu.%lu.%u", ::GetCurrentProcessId(), ::GetTickCount(), ++counter);
    return prefix + std::wstring(buffer);
}

std::wstring tempPath() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH)
        throw std::runtime_error("GetTempPathW failed");
    return buffer;
}

namespace {

// Past MAX_PATH only through the \\?\ form, which takes nothing but backslashes.
std::wstring longForm(const std::wstring& path) {
    if (path.size() > 2 && path[1] == L':' && path.find(L'/') == std::wstring::npos)
        return L"\\\\?\\" + path;
    return path;
}

void removeLongTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = path + L"\\" + name;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                removeLongTree(child);
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (!::DeleteFileW(child.c_str()))
                    ::RemoveDirectoryW(child.c_str());
            }
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryW(path.c_str());
}

} // namespace

void removeTree(const std::wstring& path) {
    removeLongTree(longForm(path));
}

TempDirectory::TempDirectory(const wchar_t* prefix) : path_(tempPath() + uniqueName(prefix)) {
    if (!::CreateDirectoryW(path_.c_str(), nullptr))
        throw std::runtime_error("CreateDirectoryW failed for a temporary directory");
}

TempDirectory::~TempDirectory() {
    removeTree(path_);
}

} // namespace zra_testing
