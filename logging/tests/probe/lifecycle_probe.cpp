// Watches one shared logging context through its whole life in a process that carries no logging
// of its own: module a creates it, module b joins, a leaves, b leaves (the context is freed), and a
// fresh a starts a new one. Prints one "name=value" line per observation.
#include "base/win32.h"
#include "logging/execute_context.h"

#include <cstdio>
#include <string>

using varno::logging::ExecuteContext;
using varno::logging::kRoutingSize;

namespace {

const char kExportName[] = "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22";

struct Probe {
    HMODULE module = nullptr;
    ExecuteContext* (*context)() = nullptr;
    uint8_t* (*routing)() = nullptr;
    void (*setConsole)(int, int) = nullptr;
    void (*log)(int, const wchar_t*) = nullptr;
};

std::wstring windowsPath(const char* path) {
    std::wstring result;
    for (const char* p = path; *p; ++p)
        result += *p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return result;
}

template <typename F> void bind(HMODULE module, const char* name, F& target) {
    target = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

bool load(const char* path, Probe& probe) {
    probe.module = ::LoadLibraryW(windowsPath(path).c_str());
    if (!probe.module)
        return false;
    bind(probe.module, "probeContext", probe.context);
    bind(probe.module, "probeRouting", probe.routing);
    bind(probe.module, "probeSetConsole", probe.setConsole);
    bind(probe.module, "probeLog", probe.log);
    return probe.context && probe.routing && probe.setConsole && probe.log;
}

void printTable(const char* name, const uint8_t* table) {
    std::printf("%s=", name);
    for (size_t i = 0; i < kRoutingSize; ++i)
        std::printf("%d", table[i]);
    std::printf("\n");
}

} // namespace

int main() {
    std::printf("exe.exports=%d\n",
                ::GetProcAddress(::GetModuleHandleW(nullptr), kExportName) ? 1 : 0);
    Probe a;
    Probe b;
    if (!load(ZRA_PROBE_A, a) || !load(ZRA_PROBE_B, b)) {
        std::printf("load=0\n");
        return 2;
    }
    // Loading b does not create anything: contexts are made on first use.
    ExecuteContext* first = a.context();
    std::printf("a.refcount=%d\n", first->refcount);
    auto* exported = reinterpret_cast<ExecuteContext**>(::GetProcAddress(a.module, kExportName));
    std::printf("a.exported=%d\n", exported && *exported == first ? 1 : 0);
    printTable("a.table", a.routing());
    a.setConsole(0, 1);

    std::printf("b.same=%d\n", b.context() == first ? 1 : 0);
    std::printf("b.refcount=%d\n", first->refcount);
    std::printf("b.sameTable=%d\n", b.routing() == a.routing() ? 1 : 0);
    printTable("b.table", b.routing());

    ::FreeLibrary(a.module);
    std::printf("afterA.refcount=%d\n", first->refcount);
    std::printf("afterA.valid=%d\n", ::HeapValidate(::GetProcessHeap(), 0, first) ? 1 : 0);
    // Info reaches the console only through the flag a set before it left.
    std::fflush(stdout);
    b.log(0, L"info from b");
    std::printf("\n");

    ::FreeLibrary(b.module);
    std::printf("afterB.valid=%d\n", ::HeapValidate(::GetProcessHeap(), 0, first) ? 1 : 0);

    Probe again;
    if (!load(ZRA_PROBE_A, again))
        return 2;
    ExecuteContext* second = again.context();
    std::printf("again.refcount=%d\n", second->refcount);
    printTable("again.table", again.routing());
    ::FreeLibrary(again.module);
    return 0;
}
