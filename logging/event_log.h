// The panel's own Windows event log and the registration of a program as an event source in it.
// Registration writes the log's and the source's keys under the EventLog service key and is
// serialised across processes by a named mutex.
#pragma once

#include "base/win32.h"

#include <string>

namespace varno::logging {

// "Varno": the log every program of the panel reports into.
extern const wchar_t kEventLogName[];
// HKEY_LOCAL_MACHINE key under which every event log has its key.
extern const wchar_t kEventLogServiceKey[];
// Held while a source is registered, by whichever process registers.
extern const wchar_t kRegistrationMutexName[];
// Put before a program's file name when the Application log already has a source of that name.
extern const wchar_t kSourcePrefix[];

// The three event-log calls of the system. The system's own table is used everywhere; tests put
// a table of their own in to see what is reported and to make a report fail.
struct EventLogApi {
    HANDLE(WINAPI* registerSource)(LPCWSTR server, LPCWSTR source);
    BOOL(WINAPI* report)
    (HANDLE source, WORD type, WORD category, DWORD eventId, PSID user, WORD stringCount,
     DWORD dataSize, LPCWSTR* strings, LPVOID data);
    BOOL(WINAPI* deregister)(HANDLE source);
};
const EventLogApi& systemEventLogApi();

// Info: information, Warning: warning, Result: success, everything else: error.
WORD eventType(int level);

// Creates the log's key with "MaxSize" 0x800000 and "Retention" 0 when it is missing; an existing
// key is left as it is.
void ensureEventLog(const std::wstring& logName);

// name, or kSourcePrefix + name when the Application log has a source called name.
std::wstring eventSourceName(const std::wstring& name);

// Registers the program under name in the "Varno" log: the log's key is made if missing, the
// source's key gets "TypesSupported" 7 and "EventMessageFile" from the configuration value
// "VarnoService". Returns the source handle or null; throws on registry failures.
HANDLE registerEventSource(const std::wstring& name);
// The same in the given log, through the given calls.
HANDLE registerEventSource(const std::wstring& logName, const std::wstring& name,
                           const EventLogApi& api);

} // namespace varno::logging
