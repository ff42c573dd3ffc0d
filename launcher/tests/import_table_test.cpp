// Every start of the launcher pays for the libraries it imports at load time, and under the
// installer it starts often. Libraries that pull in the window manager (user32 and all that use
// it: gdi32, shlwapi, shell32, ole32, oleaut32, comctl32) or that only rare paths need (rpcrt4 for
// removal, dbghelp for dumps, version) are resolved on use; this reads the exe's import directory
// and keeps it that way.
#include "base/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<char> readWholeFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The names of the DLLs in the import directory, lower-cased.
std::set<std::string> loadTimeImports(const std::vector<char>& image) {
    auto at = [&](size_t offset, size_t size) -> const char* {
        if (offset > image.size() || size > image.size() - offset)
            throw std::runtime_error("truncated image");
        return image.data() + offset;
    };
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, at(0, sizeof dos), sizeof dos);
    IMAGE_NT_HEADERS32 nt;
    std::memcpy(&nt, at(dos.e_lfanew, sizeof nt), sizeof nt);
    if (nt.Signature != IMAGE_NT_SIGNATURE || nt.FileHeader.Machine != IMAGE_FILE_MACHINE_I386)
        throw std::runtime_error("not a 32-bit PE image");
    const size_t sectionsAt = dos.e_lfanew + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                              nt.FileHeader.SizeOfOptionalHeader;
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    std::memcpy(sections.data(), at(sectionsAt, sections.size() * sizeof(IMAGE_SECTION_HEADER)),
                sections.size() * sizeof(IMAGE_SECTION_HEADER));
    auto fileOffset = [&](DWORD rva) -> size_t {
        for (const IMAGE_SECTION_HEADER& s : sections)
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.Misc.VirtualSize)
                return rva - s.VirtualAddress + s.PointerToRawData;
        throw std::runtime_error("address outside every section");
    };
    std::set<std::string> names;
    const IMAGE_DATA_DIRECTORY& directory =
        nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return names;
    for (size_t offset = fileOffset(directory.VirtualAddress);;
         offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        std::memcpy(&descriptor, at(offset, sizeof descriptor), sizeof descriptor);
        if (descriptor.Name == 0)
            break;
        const size_t nameAt = fileOffset(descriptor.Name);
        std::string name(at(nameAt, 1));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char c) { return static_cast<char>(std::tolower(c)); });
        names.insert(name);
    }
    return names;
}

std::wstring launcherPath() {
    std::wstring path = ZRA_LAUNCHER_EXE;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

TEST(ImportTable, TheLauncherLoadsOnlyWhatEveryStartNeeds) {
    const std::vector<char> image = readWholeFile(launcherPath());
    ASSERT_GT(image.size(), 4096u);
    const std::set<std::string> imports = loadTimeImports(image);
    // Both of these are always there; an empty set would mean the parser read nothing.
    EXPECT_EQ(1u, imports.count("kernel32.dll"));
    const std::set<std::string> allowed = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"};
    for (const std::string& name : imports)
        EXPECT_EQ(1u, allowed.count(name)) << name << " is linked at load time";
}

TEST(ImportTable, ImportsOfAnotherImageAreReadToo) {
    // The reader itself: this test program links gtest and the Windows libraries it uses, so the
    // set differs from the launcher's and must include what only it imports.
    wchar_t self[MAX_PATH];
    ASSERT_NE(0u, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
    const std::set<std::string> imports = loadTimeImports(readWholeFile(self));
    EXPECT_EQ(1u, imports.count("kernel32.dll"));
    EXPECT_EQ(1u, imports.count("advapi32.dll"));
    EXPECT_THROW(loadTimeImports(std::vector<char>(64, 'x')), std::runtime_error);
}

} // namespace
