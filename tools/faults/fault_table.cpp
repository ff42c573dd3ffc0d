#include "tools/faults/fault_table.h"

namespace faults {

namespace {

// Errors: 2 not found, 5 access denied, 6 invalid handle, 8 not enough memory, 87 invalid
// parameter, 109 broken pipe, 112 disk full, 122 insufficient buffer, 1113 no mapping for the
// Unicode character, 1450 insufficient system resources.
constexpr Failure Z = Failure::Zero;
constexpr Failure F = Failure::AllOnes;
constexpr Failure S = Failure::Status;
constexpr Failure H = Failure::HResult;

const Rule kRules[] = {
    // C runtime (cdecl): out of memory.
    {"malloc", 0, Z, 8},
    {"calloc", 0, Z, 8},
    {"realloc", 0, Z, 8},
    {"_wcsdup", 0, Z, 8},
    {"_strdup", 0, Z, 8},
    // Memory and threads.
    {"HeapAlloc", 12, Z, 8},
    {"LocalAlloc", 8, Z, 8},
    {"VirtualAlloc", 16, Z, 8},
    {"TlsAlloc", 0, F, 8},
    {"TlsSetValue", 8, Z, 8},
    {"FlsAlloc", 4, F, 8},
    {"FlsSetValue", 8, Z, 8},
    {"CreateThread", 24, Z, 8},
    {"CreateEventW", 16, Z, 1450},
    {"CreateEventA", 16, Z, 1450},
    {"OpenEventW", 12, Z, 2},
    {"CreateMutexW", 12, Z, 5},
    {"OpenMutexW", 12, Z, 5},
    {"CreateSemaphoreW", 16, Z, 1450},
    {"CreateSemaphoreA", 16, Z, 1450},
    {"SetEvent", 4, Z, 6},
    {"ResetEvent", 4, Z, 6},
    {"ReleaseMutex", 4, Z, 288},
    {"ReleaseSemaphore", 12, Z, 6},
    {"DuplicateHandle", 28, Z, 5},
    {"SetHandleInformation", 12, Z, 6},
    {"GetHandleInformation", 8, Z, 6},
    {"WaitForSingleObject", 8, F, 6},
    {"WaitForSingleObjectEx", 12, F, 6},
    {"WaitForMultipleObjects", 16, F, 6},
    {"WaitForMultipleObjectsEx", 20, F, 6},
    {"QueueUserAPC", 12, Z, 6},
    {"AddVectoredExceptionHandler", 8, Z, 8},
    // Processes and the environment.
    {"CreateProcessW", 40, Z, 5},
    {"GetExitCodeProcess", 8, Z, 6},
    {"TerminateProcess", 8, Z, 5},
    {"OpenProcess", 12, Z, 5},
    {"GetStdHandle", 4, F, 6},
    {"SetStdHandle", 8, Z, 6},
    {"GetEnvironmentVariableW", 12, Z, 203},
    {"SetEnvironmentVariableW", 8, Z, 8},
    {"ExpandEnvironmentStringsW", 12, Z, 8},
    {"GetCurrentDirectoryW", 8, Z, 5},
    {"SetCurrentDirectoryW", 4, Z, 2},
    {"GetModuleFileNameW", 12, Z, 122},
    {"GetModuleHandleW", 4, Z, 126},
    {"GetModuleHandleExW", 12, Z, 126},
    {"LoadLibraryW", 4, Z, 126},
    {"GetTempPathW", 8, Z, 5},
    {"GetWindowsDirectoryW", 8, Z, 5},
    {"GetSystemDirectoryW", 8, Z, 5},
    {"GetBinaryTypeW", 8, Z, 5},
    {"IsWow64Process", 8, Z, 6},
    {"SetPriorityClass", 8, Z, 5},
    {"GetPriorityClass", 4, Z, 6},
    {"SetConsoleCtrlHandler", 8, Z, 8},
    {"AssignProcessToJobObject", 8, Z, 5},
    {"CreateJobObjectW", 8, Z, 5},
    {"SetInformationJobObject", 16, Z, 5},
    {"ResumeThread", 4, F, 6},
    // Text.
    {"WideCharToMultiByte", 32, Z, 122},
    {"MultiByteToWideChar", 24, Z, 1113},
    {"FormatMessageW", 28, Z, 8},
    {"CompareStringW", 24, Z, 87},
    // Files and pipes.
    {"CreateFileW", 28, F, 5},
    {"ReadFile", 20, Z, 109},
    {"WriteFile", 20, Z, 112},
    {"FlushFileBuffers", 4, Z, 112},
    {"SetFilePointer", 16, F, 87},
    {"SetFilePointerEx", 20, Z, 87},
    {"GetFileSizeEx", 8, Z, 6},
    {"GetFileAttributesW", 4, F, 5},
    {"GetFileAttributesExW", 12, Z, 5},
    {"SetFileAttributesW", 8, Z, 5},
    {"GetFileInformationByHandleEx", 16, Z, 6},
    {"GetFullPathNameW", 16, Z, 123},
    {"GetLongPathNameW", 12, Z, 2},
    {"CreateDirectoryW", 8, Z, 5},
    {"RemoveDirectoryW", 4, Z, 5},
    {"DeleteFileW", 4, Z, 5},
    {"MoveFileExW", 12, Z, 5},
    {"FindFirstFileW", 8, F, 5},
    {"FindNextFileW", 8, Z, 5},
    {"LockFileEx", 24, Z, 33},
    {"UnlockFileEx", 20, Z, 158},
    {"GetTempFileNameW", 16, Z, 5},
    {"CreatePipe", 16, Z, 8},
    {"CreateNamedPipeW", 32, F, 231},
    {"ConnectNamedPipe", 8, Z, 6},
    {"WaitNamedPipeW", 8, Z, 121},
    {"SetNamedPipeHandleState", 16, Z, 6},
    {"GetNamedPipeHandleStateW", 28, Z, 6},
    {"PeekNamedPipe", 24, Z, 109},
    {"GetOverlappedResult", 16, Z, 109},
    {"CancelIo", 4, Z, 6},
    {"ImpersonateNamedPipeClient", 4, Z, 5},
    {"GetFileVersionInfoSizeW", 8, Z, 1813},
    {"GetFileVersionInfoW", 16, Z, 1813},
    // Time.
    {"FileTimeToSystemTime", 8, Z, 87},
    {"SystemTimeToFileTime", 8, Z, 87},
    {"FileTimeToLocalFileTime", 8, Z, 87},
    {"SystemTimeToTzSpecificLocalTime", 12, Z, 87},
    // Registry (the error is the result).
    {"RegOpenKeyExW", 20, S, 5},
    {"RegCreateKeyExW", 36, S, 5},
    {"RegQueryValueExW", 24, S, 5},
    {"RegSetValueExW", 24, S, 5},
    {"RegDeleteValueW", 8, S, 5},
    {"RegDeleteKeyW", 8, S, 5},
    {"RegDeleteKeyExW", 16, S, 5},
    {"RegDeleteTreeW", 8, S, 5},
    {"RegQueryInfoKeyW", 48, S, 5},
    {"RegEnumKeyExW", 32, S, 5},
    {"RegEnumValueW", 32, S, 5},
    {"RegSetKeySecurity", 12, S, 5},
    {"RegGetKeySecurity", 16, S, 5},
    // Security.
    {"OpenProcessToken", 12, Z, 5},
    {"OpenThreadToken", 16, Z, 5},
    {"DuplicateTokenEx", 24, Z, 5},
    {"GetTokenInformation", 20, Z, 5},
    {"AdjustTokenPrivileges", 24, Z, 5},
    {"LookupPrivilegeValueW", 12, Z, 1313},
    {"LookupAccountSidW", 28, Z, 1332},
    {"ImpersonateSelf", 4, Z, 5},
    {"RevertToSelf", 0, Z, 5},
    {"SetThreadToken", 8, Z, 5},
    {"AllocateAndInitializeSid", 44, Z, 8},
    {"CopySid", 12, Z, 122},
    {"ConvertSidToStringSidW", 8, Z, 8},
    {"ConvertStringSidToSidW", 8, Z, 1337},
    {"ConvertStringSecurityDescriptorToSecurityDescriptorW", 16, Z, 1336},
    {"InitializeAcl", 12, Z, 122},
    {"AddAce", 20, Z, 1344},
    {"GetAce", 12, Z, 87},
    {"GetAclInformation", 16, Z, 87},
    {"InitializeSecurityDescriptor", 8, Z, 87},
    {"SetSecurityDescriptorDacl", 16, Z, 87},
    {"SetSecurityDescriptorOwner", 12, Z, 87},
    {"SetSecurityDescriptorGroup", 12, Z, 87},
    {"GetSecurityDescriptorDacl", 16, Z, 87},
    {"GetSecurityDescriptorOwner", 12, Z, 87},
    {"GetSecurityDescriptorGroup", 12, Z, 87},
    {"SetEntriesInAclW", 16, S, 8},
    {"GetNamedSecurityInfoW", 32, S, 5},
    {"SetNamedSecurityInfoW", 28, S, 5},
    {"GetSecurityInfo", 32, S, 5},
    {"CreateRestrictedToken", 36, Z, 5},
    {"CreateProcessAsUserW", 44, Z, 5},
    // Event log.
    {"RegisterEventSourceW", 8, Z, 5},
    {"ReportEventW", 36, Z, 1502},
    {"DeregisterEventSource", 4, Z, 6},
    // Others.
    {"CoCreateGuid", 4, H, 8},
    {"StringFromGUID2", 12, Z, 0},
    {"EnumProcessModules", 16, Z, 5},
};

} // namespace

bool sameName(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

const Rule* findRule(const char* name) {
    for (const Rule& rule : kRules)
        if (sameName(rule.name, name))
            return &rule;
    return nullptr;
}

const Rule* rules(unsigned& count) {
    count = sizeof(kRules) / sizeof(kRules[0]);
    return kRules;
}

uint32_t failureValue(const Rule& rule, uint32_t error) {
    switch (rule.failure) {
    case Failure::Zero:
        return 0;
    case Failure::AllOnes:
        return 0xFFFFFFFFu;
    case Failure::Status:
        return error;
    case Failure::HResult:
        return error == 0 ? 0x80004005u : (0x80070000u | (error & 0xFFFFu));
    }
    return 0;
}

} // namespace faults
