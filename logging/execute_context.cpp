#include "logging/execute_context.h"

#include "base/exception.h"
#include "base/win32.h"

#include <psapi.h>

#include <cstdlib>
#include <cstring>

extern "C" {
__declspec(dllexport)
    varno::logging::ExecuteContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = nullptr;
}

namespace varno::logging {

namespace {

const char kExportName[] = "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22";
constexpr DWORD kFirstModuleBufferBytes = 256 * sizeof(HMODULE);

ExecuteContext*& ownContext() {
    return m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;
}

// After this module let go of the context, the routing it last saw; records logged by destructors
// that run later still follow it instead of reaching into a block another module may have freed.
uint8_t g_lastRouting[kRoutingSize] = {};
bool g_released = false;

void* heapAllocate(size_t size) {
    void* block = ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size);
    if (!block)
        raiseOutOfMemory();
    return block;
}

void heapFree(void* block) {
    if (block)
        ::HeapFree(::GetProcessHeap(), 0, block);
}

ExecuteContext* findInOtherModules() {
    try {
        std::vector<HMODULE> modules;
        if (!listProcessModules(modules))
            return nullptr;
        for (HMODULE module : modules) {
            FARPROC address = ::GetProcAddress(module, kExportName);
            if (!address)
                continue;
            ExecuteContext* context = *reinterpret_cast<ExecuteContext* const*>(address);
            if (context)
                return context;
        }
    } catch (...) {
        // A module that cannot be inspected ends the search; this module then keeps its own.
    }
    return nullptr;
}

void releaseAtExit() {
    ExecuteContext* context = ownContext();
    if (!context)
        return;
    if (context->routing)
        std::memcpy(g_lastRouting, context->routing, kRoutingSize);
    ownContext() = nullptr;
    g_released = true;
    if (--context->refcount > 0)
        return;
    heapFree(context->reserved);
    heapFree(context->routing);
    heapFree(context);
}

} // namespace

bool listProcessModules(std::vector<HMODULE>& modules) {
    const HANDLE process = ::GetCurrentProcess();
    modules.assign(kFirstModuleBufferBytes / sizeof(HMODULE), nullptr);
    DWORD needed = 0;
    if (!::EnumProcessModules(process, modules.data(), kFirstModuleBufferBytes, &needed))
        return false;
    if (needed > kFirstModuleBufferBytes) {
        const DWORD capacity = needed;
        modules.assign(capacity / sizeof(HMODULE), nullptr);
        if (!::EnumProcessModules(process, modules.data(), capacity, &needed))
            return false;
        // Modules are being loaded right now; a third try could race the same way.
        if (needed > capacity)
            return false;
    }
    modules.resize(needed / sizeof(HMODULE));
    return true;
}

ExecuteContext* executeContext() {
    ExecuteContext*& own = ownContext();
    if (own || g_released)
        return own;
    if (ExecuteContext* shared = findInOtherModules()) {
        ++shared->refcount;
        own = shared;
    } else {
        auto* created = static_cast<ExecuteContext*>(heapAllocate(sizeof(ExecuteContext)));
        created->refcount = 1;
        own = created;
    }
    // In a DLL the C runtime runs this at unload as well as at process exit.
    std::atexit(&releaseAtExit);
    return own;
}

uint8_t* routingTable() {
    ExecuteContext* context = executeContext();
    if (!context)
        return g_lastRouting;
    if (!context->routing) {
        auto* table = static_cast<uint8_t*>(heapAllocate(kRoutingSize));
        writeRoutingDefaults(table, isDebugEnabled());
        context->routing = table;
    }
    return context->routing;
}

void writeRoutingDefaults(uint8_t* table, bool debugEnabled) {
    static const bool kConsole[kRoutedLevels] = {false, false, true, true, true, true};
    for (int level = 0; level < kRoutedLevels; ++level) {
        table[kConsoleFlag + level] = kConsole[level] ? 1 : 0;
        table[kEventLogFlag + level] = (level >= 3 || debugEnabled) ? 1 : 0;
    }
}

} // namespace varno::logging
