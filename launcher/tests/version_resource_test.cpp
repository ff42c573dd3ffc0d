// The version resource of the built zra-launcher.exe, read back the way Windows' file properties
// read it, and the exe's own imports (reading it must not make version.dll a load-time import).
#include "base/win32.h"

#include <winver.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The file calls take the forward slashes of the build's path as they are.
const std::wstring kLauncher = ZRA_LAUNCHER_EXE;

std::wstring projectVersion() {
    return std::to_wstring(ZRA_PROJECT_VERSION_MAJOR) + L"." +
           std::to_wstring(ZRA_PROJECT_VERSION_MINOR) + L"." +
           std::to_wstring(ZRA_PROJECT_VERSION_PATCH);
}

std::vector<BYTE> versionInfo(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return {};
    std::vector<BYTE> data(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data()))
        return {};
    return data;
}

template <typename T>
const T* query(std::vector<BYTE>& info, const std::wstring& block, UINT* length = nullptr) {
    void* value = nullptr;
    UINT size = 0;
    if (!::VerQueryValueW(info.data(), block.c_str(), &value, &size) || !value)
        return nullptr;
    if (length)
        *length = size;
    return static_cast<const T*>(value);
}

TEST(VersionResource, FixedPartCarriesTheProjectVersion) {
    std::vector<BYTE> info = versionInfo(kLauncher);
    ASSERT_FALSE(info.empty()) << ::GetLastError();
    const auto* fixed = query<VS_FIXEDFILEINFO>(info, L"\\");
    ASSERT_NE(nullptr, fixed);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    const DWORD ms = MAKELONG(ZRA_PROJECT_VERSION_MINOR, ZRA_PROJECT_VERSION_MAJOR);
    const DWORD ls = MAKELONG(0, ZRA_PROJECT_VERSION_PATCH);
    EXPECT_EQ(ms, fixed->dwFileVersionMS);
    EXPECT_EQ(ls, fixed->dwFileVersionLS);
    EXPECT_EQ(ms, fixed->dwProductVersionMS);
    EXPECT_EQ(ls, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);
    EXPECT_EQ(static_cast<DWORD>(VOS_NT_WINDOWS32), fixed->dwFileOS);
    EXPECT_EQ(0u, fixed->dwFileFlags & fixed->dwFileFlagsMask) << "no debug or pre-release flags";
}

TEST(VersionResource, StringsAreThoseTheFilePropertiesShow) {
    std::vector<BYTE> info = versionInfo(kLauncher);
    ASSERT_FALSE(info.empty());
    // The properties dialog finds the string table through the translation list.
    UINT length = 0;
    const auto* translation = query<WORD>(info, L"\\VarFileInfo\\Translation", &length);
    ASSERT_NE(nullptr, translation);
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x409, translation[0]);
    EXPECT_EQ(1200, translation[1]);

    struct Row {
        const wchar_t* name;
        std::wstring expected;
        bool prefixOnly;
    };
    const Row rows[] = {
        {L"ProductName", L"ZRA Launcher", false},
        {L"FileVersion", projectVersion(), false},
        {L"ProductVersion", projectVersion(), false},
        {L"OriginalFilename", L"zra-launcher.exe", false},
        {L"InternalName", L"zra-launcher", false},
        {L"FileDescription", L"ZRA Launcher: ", true},
    };
    for (const Row& row : rows) {
        const auto* text =
            query<wchar_t>(info, std::wstring(L"\\StringFileInfo\\040904B0\\") + row.name);
        ASSERT_NE(nullptr, text) << row.name;
        const std::wstring value(text);
        if (row.prefixOnly)
            EXPECT_EQ(0u, value.rfind(row.expected, 0)) << row.name << ": " << value;
        else
            EXPECT_EQ(row.expected, value) << row.name;
    }
    EXPECT_EQ(nullptr, query<wchar_t>(info, L"\\StringFileInfo\\040904B0\\NoSuchValue"));
}

TEST(VersionResource, AProgramWithoutOneHasNone) {
    wchar_t self[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    DWORD ignored = 0;
    EXPECT_EQ(0u, ::GetFileVersionInfoSizeW(self, &ignored));
}

// The DLL names in a PE32 file's import directory, read from the file as the loader would.
std::vector<std::string> importedModules(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary | std::ios::ate);
    std::vector<char> image(file ? static_cast<size_t>(file.tellg()) : 0);
    file.seekg(0);
    file.read(image.data(), static_cast<std::streamsize>(image.size()));
    auto at = [&](size_t offset, size_t size) -> const char* {
        return offset <= image.size() && size <= image.size() - offset ? &image[offset] : nullptr;
    };
    std::vector<std::string> names;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(at(0, sizeof(IMAGE_DOS_HEADER)));
    if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE)
        return names;
    const size_t ntOffset = static_cast<size_t>(dos->e_lfanew);
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS32*>(at(ntOffset, sizeof(IMAGE_NT_HEADERS32)));
    if (!nt || nt->Signature != IMAGE_NT_SIGNATURE ||
        nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC)
        return names;
    const size_t sectionsOffset = ntOffset + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                                  nt->FileHeader.SizeOfOptionalHeader;
    const WORD sectionCount = nt->FileHeader.NumberOfSections;
    const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        at(sectionsOffset, sectionCount * sizeof(IMAGE_SECTION_HEADER)));
    if (!sections)
        return names;
    auto fileOffset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < sectionCount; ++i) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData)
                return rva - s.VirtualAddress + s.PointerToRawData;
        }
        return image.size();
    };
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (size_t offset = fileOffset(imports.VirtualAddress);;
         offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
            at(offset, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
        if (!entry || entry->Name == 0)
            break;
        const size_t nameOffset = fileOffset(entry->Name);
        const char* name = at(nameOffset, 1);
        if (!name)
            break;
        std::string text(name, strnlen(name, image.size() - nameOffset));
        for (char& c : text)
            c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
        names.push_back(text);
    }
    return names;
}

TEST(VersionResource, TheLauncherDoesNotImportVersionDll) {
    const std::vector<std::string> modules = importedModules(kLauncher);
    auto imports = [&](const char* name) {
        return std::find(modules.begin(), modules.end(), name) != modules.end();
    };
    // The reading works: the launcher cannot run without these.
    EXPECT_TRUE(imports("kernel32.dll"));
    EXPECT_TRUE(imports("advapi32.dll"));
    EXPECT_FALSE(imports("version.dll"));
    // This test program reads the resource, so it does import it.
    wchar_t self[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    const std::vector<std::string> own = importedModules(self);
    EXPECT_NE(own.end(), std::find(own.begin(), own.end(), "version.dll"));
}

} // namespace
