// The fault injector of the fault-injection build of the launcher (never of the product): before
// any other static initialiser runs, it points every entry of the exe's own import address table
// at a small thunk that counts the call and, for the one call named in ZRA_FAULT, returns the
// function's failure value with the given last error instead of calling it.
//
//   ZRA_FAULT=count               count only; at exit, one "zra-fault: count NAME N" line per
//                                 function called (on standard error), "*" marking the injectable
//   ZRA_FAULT=NAME:K:ERROR        the K-th call of NAME fails with ERROR (decimal); at exit,
//                                 "zra-fault: fired NAME K from 0xADDRESS" (the caller's return
//                                 address) if that call was made
//
// Calls that system DLLs make among themselves, and functions found with GetProcAddress, do not
// pass through the table and are not seen.
#include "base/win32.h"
#include "tools/faults/fault_table.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The thunk's view of an entry: offsets 0, 4 and 8 are read by zraFaultCommon below.
struct Entry {
    void* original;
    uint32_t popBytes;
    uint32_t failValue;
    volatile LONG calls;
    const char* name;
    const faults::Rule* rule;
    unsigned char thunk[12];
};

constexpr size_t kMaxEntries = 1024;

Entry* g_entries = nullptr;
size_t g_entryCount = 0;
Entry* g_target = nullptr;
LONG g_targetCall = 0;
DWORD g_targetError = 0;
volatile LONG g_fired = 0;
uintptr_t g_caller = 0; // the return address of the call that was failed
bool g_countMode = false;

// The injector's own calls after patching go through these, never through the patched table.
decltype(&::SetLastError) g_setLastError = nullptr;
decltype(&::WriteFile) g_writeFile = nullptr;
decltype(&::GetStdHandle) g_getStdHandle = nullptr;
// Kept in globals: held in locals, the compiler would call through the import table again.
decltype(&::VirtualProtect) volatile g_virtualProtect = nullptr;
decltype(&::FlushInstructionCache) volatile g_flushInstructionCache = nullptr;
decltype(&::VirtualQuery) volatile g_virtualQuery = nullptr;

// Data is imported too (the C runtime's stream table, __argc...): only code gets a thunk.
bool isCode(const void* address) {
    MEMORY_BASIC_INFORMATION region{};
    if (g_virtualQuery(address, &region, sizeof(region)) == 0)
        return false;
    return (region.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                              PAGE_EXECUTE_WRITECOPY)) != 0;
}

// The C runtime's string functions are imports too; the injector's own use of them must not count.
size_t textLength(const char* text) {
    size_t n = 0;
    while (text[n] != '\0')
        ++n;
    return n;
}

} // namespace

namespace {
void reportFired();
} // namespace

extern "C" int zraFaultDecide(Entry* entry, void* caller) {
    const LONG call = __atomic_add_fetch(&entry->calls, 1, __ATOMIC_RELAXED);
    if (entry != g_target || call != g_targetCall)
        return 0;
    __atomic_store_n(&g_fired, 1, __ATOMIC_RELAXED);
    g_caller = reinterpret_cast<uintptr_t>(caller);
    // Said at once: a run that then crashes never reaches its exit.
    reportFired();
    g_setLastError(g_targetError);
    return 1;
}

// Entered from a thunk with the entry pushed above the caller's return address. Passing on is a
// jump, so no frame of the injector stays between the caller and the real function; failing pops
// the callee's own argument bytes (stdcall) and returns the failure value.
asm(R"(
    .text
    .globl _zraFaultCommon
_zraFaultCommon:
    pushl 4(%esp)
    pushl 4(%esp)
    call _zraFaultDecide
    addl $8, %esp
    testl %eax, %eax
    jnz 1f
    popl %eax
    jmp *(%eax)
1:
    popl %eax
    movl 4(%eax), %ecx
    movl (%esp), %edx
    addl $4, %esp
    addl %ecx, %esp
    pushl %edx
    movl 8(%eax), %eax
    ret
)");

extern "C" void zraFaultCommon();

namespace {

void writeError(const char* text) {
    DWORD written = 0;
    g_writeFile(g_getStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(textLength(text)),
                &written, nullptr);
}

void appendNumber(char*& out, unsigned long value) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        *out++ = digits[--n];
}

void reportFired() {
    char line[200];
    char* out = line;
    for (const char* p = "zra-fault: fired "; *p;)
        *out++ = *p++;
    for (const char* p = g_target->name; *p;)
        *out++ = *p++;
    *out++ = ' ';
    appendNumber(out, static_cast<unsigned long>(g_targetCall));
    for (const char* p = " from 0x"; *p;)
        *out++ = *p++;
    for (int shift = 28; shift >= 0; shift -= 4)
        *out++ = "0123456789abcdef"[(g_caller >> shift) & 0xF];
    *out++ = '\n';
    *out = '\0';
    writeError(line);
}

void report() {
    char line[200];
    if (g_countMode) {
        for (size_t i = 0; i < g_entryCount; ++i) {
            const Entry& entry = g_entries[i];
            if (entry.calls == 0 || textLength(entry.name) > 120)
                continue;
            char* out = line;
            for (const char* p = "zra-fault: count "; *p;)
                *out++ = *p++;
            for (const char* p = entry.name; *p;)
                *out++ = *p++;
            *out++ = ' ';
            appendNumber(out, static_cast<unsigned long>(entry.calls));
            if (entry.rule != nullptr) {
                *out++ = ' ';
                *out++ = '*';
            }
            *out++ = '\n';
            *out = '\0';
            writeError(line);
        }
    }
}

// NAME:K:ERROR into its parts; false when malformed.
bool parseTarget(char* text, char*& name, LONG& call, DWORD& error) {
    char* first = std::strchr(text, ':');
    if (first == nullptr)
        return false;
    char* second = std::strchr(first + 1, ':');
    if (second == nullptr)
        return false;
    *first = '\0';
    *second = '\0';
    char* end = nullptr;
    call = static_cast<LONG>(std::strtol(first + 1, &end, 10));
    if (*end != '\0' || call <= 0)
        return false;
    error = static_cast<DWORD>(std::strtoul(second + 1, &end, 10));
    if (*end != '\0')
        return false;
    name = text;
    return true;
}

void patchImports() {
    char setting[256];
    const DWORD length = ::GetEnvironmentVariableA("ZRA_FAULT", setting, sizeof(setting));
    if (length == 0 || length >= sizeof(setting))
        return;
    char* targetName = nullptr;
    g_countMode = std::strcmp(setting, "count") == 0;
    if (!g_countMode && !parseTarget(setting, targetName, g_targetCall, g_targetError)) {
        static const char message[] = "zra-fault: ZRA_FAULT is neither count nor NAME:K:ERROR\n";
        DWORD written = 0;
        ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), message, sizeof(message) - 1, &written,
                    nullptr);
        ::ExitProcess(99);
    }
    g_setLastError = &::SetLastError;
    g_writeFile = &::WriteFile;
    g_getStdHandle = &::GetStdHandle;
    // Registered and resolved before the table changes, so none of it is counted or failed.
    std::atexit(&report);
    g_virtualProtect = &::VirtualProtect;
    g_flushInstructionCache = &::FlushInstructionCache;
    g_virtualQuery = &::VirtualQuery;
    const HANDLE self = ::GetCurrentProcess();

    auto* base = reinterpret_cast<unsigned char*>(::GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return;
    g_entries = static_cast<Entry*>(::VirtualAlloc(
        nullptr, kMaxEntries * sizeof(Entry), MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    if (g_entries == nullptr)
        return;
    const auto common = reinterpret_cast<uintptr_t>(&zraFaultCommon);
    for (auto* descriptor =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base + (descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk
                                                   : descriptor->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) || g_entryCount == kMaxEntries ||
                !isCode(reinterpret_cast<const void*>(slots->u1.Function)))
                continue;
            const char* name = reinterpret_cast<const char*>(
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)
                    ->Name);
            Entry& entry = g_entries[g_entryCount++];
            entry.original = reinterpret_cast<void*>(slots->u1.Function);
            entry.name = name;
            entry.rule = faults::findRule(name);
            entry.popBytes = entry.rule ? entry.rule->argBytes : 0;
            entry.failValue = entry.rule ? faults::failureValue(*entry.rule, g_targetError) : 0;
            if (targetName != nullptr && faults::sameName(targetName, name) && entry.rule)
                g_target = &entry;
            // push imm32 (the entry); jmp rel32 (zraFaultCommon)
            unsigned char* code = entry.thunk;
            const auto address = reinterpret_cast<uintptr_t>(&entry);
            code[0] = 0x68;
            std::memcpy(code + 1, &address, 4);
            code[5] = 0xE9;
            const auto relative =
                static_cast<uint32_t>(common - reinterpret_cast<uintptr_t>(code + 10));
            std::memcpy(code + 6, &relative, 4);
            DWORD old = 0;
            g_virtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &old);
            slots->u1.Function = reinterpret_cast<uintptr_t>(code);
            g_virtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), old, &old);
        }
    }
    if (!g_countMode && g_target == nullptr) {
        static const char message[] = "zra-fault: the named function is not injectable here\n";
        DWORD written = 0;
        g_writeFile(g_getStdHandle(STD_ERROR_HANDLE), message, sizeof(message) - 1, &written,
                    nullptr);
        ::ExitProcess(98);
    }
    g_flushInstructionCache(self, g_entries, g_entryCount * sizeof(Entry));
}

// Priority 101 runs ahead of every default-priority initialiser of the program and its libraries.
__attribute__((constructor(101))) void installFaultInjector() {
    patchImports();
}

} // namespace
