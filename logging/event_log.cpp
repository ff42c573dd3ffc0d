#include "logging/event_log.h"

#include "base/exception.h"
#include "logging/log.h"
#include "os/sync.h"
#include "registry/registry.h"

namespace varno::logging {

const wchar_t kEventLogName[] = L"Varno";
const wchar_t kEventLogServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog";
const wchar_t kRegistrationMutexName[] = L"{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}";
const wchar_t kSourcePrefix[] = L"Varno:  ";

namespace {

constexpr DWORD kMaxLogSize = 0x800000;
constexpr DWORD kSupportedTypes =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

} // namespace

const EventLogApi& systemEventLogApi() {
    static const EventLogApi api = {&::RegisterEventSourceW, &::ReportEventW,
                                    &::DeregisterEventSource};
    return api;
}

WORD eventType(int level) {
    switch (level) {
    case Info:
        return EVENTLOG_INFORMATION_TYPE;
    case Warning:
        return EVENTLOG_WARNING_TYPE;
    case Result:
        return EVENTLOG_SUCCESS;
    default:
        return EVENTLOG_ERROR_TYPE;
    }
}

void ensureEventLog(const std::wstring& logName) {
    const std::wstring subKey = std::wstring(kEventLogServiceKey) + L"\\" + logName;
    if (registry::keyExists(HKEY_LOCAL_MACHINE, subKey, registry::ViewDefault))
        return;
    registry::Key key(HKEY_LOCAL_MACHINE, subKey, KEY_ALL_ACCESS, false);
    key.set(L"MaxSize", kMaxLogSize);
    key.set(L"Retention", static_cast<DWORD>(0));
    key.close();
}

std::wstring eventSourceName(const std::wstring& name) {
    const std::wstring application = std::wstring(kEventLogServiceKey) + L"\\Application\\" + name;
    if (registry::keyExists(HKEY_LOCAL_MACHINE, application, registry::ViewDefault))
        return kSourcePrefix + name;
    return name;
}

HANDLE registerEventSource(const std::wstring& name) {
    return registerEventSource(kEventLogName, name, systemEventLogApi());
}

HANDLE registerEventSource(const std::wstring& logName, const std::wstring& name,
                           const EventLogApi& api) {
    ExclusiveTask registration;
    registration.Initialize(kRegistrationMutexName, INFINITE);
    ensureEventLog(logName);
    const std::wstring source = eventSourceName(name);
    const std::wstring messageFile = registry::getstr(HKEY_LOCAL_MACHINE, registry::kConfigKey,
                                                      L"VarnoService", registry::View32);
    registry::Key key(HKEY_LOCAL_MACHINE,
                      std::wstring(kEventLogServiceKey) + L"\\" + logName + L"\\" + source,
                      KEY_SET_VALUE, false);
    key.set(L"TypesSupported", kSupportedTypes);
    key.set(L"EventMessageFile", messageFile.c_str());
    HANDLE handle = api.registerSource(nullptr, source.c_str());
    // The caller reports a null handle with the registration's own error.
    const DWORD code = ::GetLastError();
    key.close();
    ::SetLastError(code);
    return handle;
}

} // namespace varno::logging
