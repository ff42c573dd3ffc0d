#include "crash/crash_dump.h"

#include "base/exception.h"
#include "base/raising_site.h"
#include "crash/dump_names.h"
#include "logging/log.h"
#include "os/acl.h"
#include "os/datetime.h"
#include "os/directories.h"
#include "os/file.h"
#include "os/path.h"
#include "os/security.h"
#include "os/sync.h"
#include "registry/registry.h"

#include <algorithm>
#include <cwchar>
#include <list>
#include <optional>
#include <vector>

namespace crash {
namespace {

// The raising sites of this file and the lines they record: part of the text users see under the
// Debug switch, so they stay fixed however the file is edited. Where the dump writer's description
// gives none (the program's path, loading the dump library, composing the name) a line of the
// site's own was chosen.
constexpr RaisingSite kModuleNameSite = {"CrashDumpInfo::CrashDumpInfo", 612};
constexpr RaisingSite kSystemDirectorySite = {"internalDumpMiniDump", 721};
constexpr RaisingSite kLoadLibrarySite = {"internalDumpMiniDump", 726};
constexpr RaisingSite kFindWriterSite = {"internalDumpMiniDump", 731};
constexpr RaisingSite kWriteSite = {"internalDumpMiniDump", 743};
constexpr RaisingSite kDumpBoundary = {"internalDumpMiniDump", 745};
constexpr RaisingSite kDisabledSite = {"CrashDumpInfo::getFileName", 694};
constexpr RaisingSite kComposeNameSite = {"CrashDumpInfo::getFileName", 700};

MiniDumpWriter g_writer = nullptr;

// The full path of the running program, however long.
std::wstring moduleFileName() {
    const DirectoryQuery program = queryModulePath();
    if (!program.ok())
        raiseOsError(L"GetModuleFileName", program.error, siteLocation(kModuleNameSite));
    return program.path;
}

} // namespace

MiniDumpWriter loadMiniDumpWriteDump() {
    static MiniDumpWriter loaded = nullptr;
    if (MiniDumpWriter writer = loaded)
        return writer;
    // From the system directory only: a dbghelp.dll beside the program must not be picked up.
    const DirectoryQuery system = querySystemDirectory();
    if (!system.ok() || system.path.size() >= MAX_PATH)
        raiseOsError(L"GetSystemDirectory", system.ok() ? ::GetLastError() : system.error,
                     siteLocation(kSystemDirectorySite));
    const std::wstring library = VFileName::combine(system.path, L"dbghelp.dll");
    HMODULE module = ::LoadLibraryW(library.c_str());
    if (!module)
        raiseOsError(L"Unable to load " + library, ::GetLastError(),
                     siteLocation(kLoadLibrarySite));
    auto writer = reinterpret_cast<MiniDumpWriter>(
        reinterpret_cast<void*>(::GetProcAddress(module, "MiniDumpWriteDump")));
    if (!writer) {
        const DWORD code = ::GetLastError();
        ::FreeLibrary(module);
        raiseOsError(L"Unable to find MiniDumpWriteDump in " + library, code,
                     siteLocation(kFindWriterSite));
    }
    // dbghelp stays loaded for the rest of the process: dumps are written at most once per fault.
    loaded = writer;
    return writer;
}

MiniDumpWriter setMiniDumpWriter(MiniDumpWriter writer) {
    MiniDumpWriter previous = g_writer;
    g_writer = writer;
    return previous;
}

std::optional<vexception> tryDumpMiniDump(const std::wstring& path, EXCEPTION_POINTERS* pointers,
                                          MINIDUMP_TYPE type, DWORD faultingThread) noexcept {
    // Set once the file exists: a dump that failed (a full disk) leaves only an empty or cut file
    // that would count toward the dumps kept, so it goes again.
    bool created = false;
    try {
        MINIDUMP_EXCEPTION_INFORMATION exception = {};
        exception.ThreadId = faultingThread != 0 ? faultingThread : ::GetCurrentThreadId();
        exception.ExceptionPointers = pointers;
        exception.ClientPointers = TRUE;

        VFile file;
        file.open(path, FILE_ALL_ACCESS, FILE_SHARE_READ, CREATE_ALWAYS, 0);
        created = true;
        MiniDumpWriter writer = g_writer ? g_writer : loadMiniDumpWriteDump();
        base::ScopedFileHandle duplicate(VHandle::duplicate(file.handle()));
        const BOOL written = writer(::GetCurrentProcess(), ::GetCurrentProcessId(), duplicate.get(),
                                    type, &exception, nullptr, nullptr);
        const DWORD code = ::GetLastError();
        duplicate.reset();
        if (!written)
            raiseOsError(L"Unable to generate dump file", code, siteLocation(kWriteSite));
        // Wine's writer reports success on a full disk and leaves the file empty.
        LARGE_INTEGER size{};
        if (::GetFileSizeEx(file.handle(), &size) && size.QuadPart == 0)
            raiseOsError(L"Unable to generate dump file", ERROR_WRITE_FAULT,
                         siteLocation(kWriteSite));
        file.close();
        return std::nullopt;
    } catch (...) {
        // The file was closed on the way out of the block.
        if (created)
            ::DeleteFileW(path.c_str());
        try {
            return catchLadder(L"Unable to generate dump file", kDumpBoundary.function,
                               kDumpBoundary.line);
        } catch (...) {
            // Not even the failure could be described (memory exhaustion).
            return std::nullopt;
        }
    }
}

void logDumpFailure(const std::optional<vexception>& failure) noexcept {
    if (!failure)
        return;
    try {
        varno::logging::logException(varno::logging::Error, *failure);
    } catch (...) {
    }
}

void internalDumpMiniDump(const std::wstring& path, EXCEPTION_POINTERS* pointers,
                          MINIDUMP_TYPE type, DWORD faultingThread) noexcept {
    logDumpFailure(tryDumpMiniDump(path, pointers, type, faultingThread));
}

CrashDumpInfo::CrashDumpInfo() {
    try {
        configure();
        keepRemovalAlive();
    } catch (...) {
        // A dump configuration that cannot be read must not stop the program it protects.
        enabled_ = false;
    }
}

// The process-wide instance prunes from its destructor at exit, when every function-local static
// completed after it is already destroyed. The ones removeFile's take-over of a file relies on
// are completed here, before it, so that they are destroyed after it.
void CrashDumpInfo::keepRemovalAlive() {
    VSID::everyone();
    VSID::system();
    VSID::admins();
    security::systemNamedObjectCalls();
}

void CrashDumpInfo::configure() {
    registry::Key key(HKEY_LOCAL_MACHINE, registry::kConfigKey,
                      KEY_QUERY_VALUE | READ_CONTROL | KEY_WOW64_32KEY, false);
    DWORD dumpsEnabled = 1;
    DWORD value = 0;
    if (key.lookup(L"CrashDumpsEnabled", value) == ERROR_SUCCESS)
        dumpsEnabled = value;
    if (dumpsEnabled == 0) {
        enabled_ = false;
        return;
    }
    std::wstring root;
    if (key.lookup(L"PRODUCT_ROOT_D", root) != ERROR_SUCCESS || root.empty()) {
        enabled_ = false;
        return;
    }
    location_ = VFileName::combine(root, L"etc\\crashdumps");
    std::wstring configured;
    if (key.lookup(L"CrashDumpsLocation", configured) == ERROR_SUCCESS)
        location_ = configured;
    VDirectory::createDirectory(location_);
    if (key.lookup(L"CrashDumpsMaxCount", value) == ERROR_SUCCESS)
        maxCount_ = value;
    baseName_ = withoutExtension(VFileName::fileName(moduleFileName()));
    path_.reserve(kMaxDumpPath);
}

CrashDumpInfo::~CrashDumpInfo() {
    if (enabled_)
        prune();
    location_.clear();
    baseName_.clear();
    path_.clear();
}

const std::wstring& CrashDumpInfo::getFileName() {
    if (!enabled_)
        throw vexception(L"Crash dumping does not enabled", siteLocation(kDisabledSite));
    return getFileName(VDateTime::now());
}

const std::wstring& CrashDumpInfo::getFileName(const VDateTime& time) {
    if (!enabled_)
        throw vexception(L"Crash dumping does not enabled", siteLocation(kDisabledSite));
    std::fill(std::begin(suffix_), std::end(suffix_), L'\0');
    std::fill(std::begin(pathBuffer_), std::end(pathBuffer_), L'\0');
    if (!composeDumpPath(location_, baseName_, time.systemTime(), suffix_, pathBuffer_))
        raiseOsError(L"Unable to compose the dump file name in " + location_,
                     ERROR_FILENAME_EXCED_RANGE, siteLocation(kComposeNameSite));
    path_.assign(pathBuffer_);
    return path_;
}

CrashDumpInfo& processDumpInfo() {
    static CrashDumpInfo info;
    return info;
}

namespace {
// Built during static initialisation, so that the dump directory exists from program start and
// the configuration is read before any boundary can see a fault.
[[maybe_unused]] const bool g_processDumpInfoBuilt = (processDumpInfo(), true);
} // namespace

void CrashDumpInfo::prune() noexcept {
    try {
        struct Dump {
            std::wstring path;
            VDateTime written;
        };
        std::vector<Dump> dumps;
        VFileFinder finder;
        for (bool found = finder.first(VFileName::combine(location_, L"*.dmp")); found;
             found = finder.next()) {
            if (finder.isDots() || finder.isDirectory() || isArchiveName(finder.name()))
                continue;
            dumps.push_back(Dump{VFileName::combine(location_, finder.name()),
                                 VDateTime(finder.data().ftLastWriteTime)});
        }
        finder.close();
        // Equal times keep the order the search gave them.
        std::stable_sort(dumps.begin(), dumps.end(),
                         [](const Dump& a, const Dump& b) { return a.written < b.written; });
        for (size_t i = 0; dumps.size() - i > maxCount_; ++i) {
            try {
                removeFile(dumps[i].path, RemoveFileOptions().takingOwnership());
            } catch (...) {
                // One dump that cannot go does not keep the older-first order from going on.
            }
        }
    } catch (...) {
    }
}

} // namespace crash
