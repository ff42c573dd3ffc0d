// The logging context shared by every module of the process that carries this library. Each module
// exports a pointer to it under one fixed name; a module that starts logging looks for a non-null
// pointer in the other modules first, so a program and the DLLs it loads route records through one
// table and agree on whether a console record has been written yet.
#pragma once

#include "base/win32.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace varno::logging {

// The layout is shared with modules built separately: fields, order and sizes never change. Every
// block is taken from the process heap so whichever module releases last can free it.
struct ExecuteContext {
    void* reserved;   // owned by the context, freed with it; logging does not use it
    uint8_t* routing; // kRoutingSize flags, created on first use
    int32_t refcount; // modules holding the context
};

constexpr size_t kRoutingSize = 13;
constexpr int kConsoleFlag = 0;  // + level: console output for levels 0 to 5
constexpr int kEventLogFlag = 6; // + level: event-log output for levels 0 to 5
constexpr int kConsoleUsed = 12; // a record has already been written to the console
constexpr int kRoutedLevels = 6;

// This module's context: found in another module or created. Null only after this module released
// it at exit. Throws on memory exhaustion.
ExecuteContext* executeContext();

// The shared routing table, created with its defaults when the context has none. After this module
// released the context at exit it returns this module's copy of the last shared state, so records
// logged by late destructors still follow the routing.
uint8_t* routingTable();

// Defaults for a new (all-zero) table: console for Result and above; event log for Error and
// above, and for Info, Warning and Result only while the Debug switch is on.
void writeRoutingDefaults(uint8_t* table, bool debugEnabled);

// The handles of the process's modules, in the system's order. False when the list kept growing
// between the two calls that read it.
bool listProcessModules(std::vector<HMODULE>& modules);

} // namespace varno::logging

// Exported by name from every module carrying the library; other modules find it with
// GetProcAddress. C linkage keeps the exported name undecorated.
extern "C" __declspec(dllexport)
    varno::logging::ExecuteContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;
