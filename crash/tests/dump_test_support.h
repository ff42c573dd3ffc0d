// Dump files as tests see them: a stand-in for MiniDumpWriteDump that writes a few words instead of
// a process image, and readers for both that and a real minidump's exception stream.
#pragma once

#include "base/win32.h"

#include <dbghelp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zra_test {

// What the stand-in writer records: "MDMP", then these words.
struct FakeDump {
    bool valid = false;
    DWORD faultingThread = 0;
    DWORD code = 0;
    DWORD writerThread = 0;
    DWORD type = 0;
    bool clientPointers = false;
};

inline BOOL WINAPI fakeMiniDumpWriter(HANDLE, DWORD, HANDLE file, MINIDUMP_TYPE type,
                                      PMINIDUMP_EXCEPTION_INFORMATION exception,
                                      PMINIDUMP_USER_STREAM_INFORMATION,
                                      PMINIDUMP_CALLBACK_INFORMATION) {
    DWORD words[6] = {0x504D444D, 0, 0, ::GetCurrentThreadId(), static_cast<DWORD>(type), 0};
    if (exception) {
        words[1] = exception->ThreadId;
        words[5] = exception->ClientPointers;
        if (exception->ExceptionPointers && exception->ExceptionPointers->ExceptionRecord)
            words[2] = exception->ExceptionPointers->ExceptionRecord->ExceptionCode;
    }
    DWORD written = 0;
    return ::WriteFile(file, words, sizeof words, &written, nullptr) && written == sizeof words;
}

// Fails as a full disk would.
inline BOOL WINAPI failingMiniDumpWriter(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                         PMINIDUMP_EXCEPTION_INFORMATION,
                                         PMINIDUMP_USER_STREAM_INFORMATION,
                                         PMINIDUMP_CALLBACK_INFORMATION) {
    ::SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// Reports success and writes nothing, as Wine's writer does on a full disk.
inline BOOL WINAPI emptyMiniDumpWriter(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                       PMINIDUMP_EXCEPTION_INFORMATION,
                                       PMINIDUMP_USER_STREAM_INFORMATION,
                                       PMINIDUMP_CALLBACK_INFORMATION) {
    return TRUE;
}

// Reads size bytes at offset; false when the file is shorter or cannot be read.
inline bool readAt(const std::wstring& path, uint64_t offset, void* out, DWORD size) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD read = 0;
    const bool ok = ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
                    ::ReadFile(file, out, size, &read, nullptr) && read == size;
    ::CloseHandle(file);
    return ok;
}

inline FakeDump readFakeDump(const std::wstring& path) {
    DWORD words[6] = {};
    FakeDump dump;
    if (!readAt(path, 0, words, sizeof words) || words[0] != 0x504D444D)
        return dump;
    dump.valid = true;
    dump.faultingThread = words[1];
    dump.code = words[2];
    dump.writerThread = words[3];
    dump.type = words[4];
    dump.clientPointers = words[5] != 0;
    return dump;
}

// The parts of a real minidump the tests check.
struct MiniDumpSummary {
    bool signature = false; // "MDMP"
    bool hasException = false;
    DWORD faultingThread = 0;
    DWORD code = 0;
    bool faultingThreadListed = false; // the thread list holds the faulting thread
};

inline MiniDumpSummary readMiniDump(const std::wstring& path) {
    MiniDumpSummary summary;
    MINIDUMP_HEADER header = {};
    if (!readAt(path, 0, &header, sizeof header) || header.Signature != 0x504D444D)
        return summary;
    summary.signature = true;
    if (header.NumberOfStreams == 0 || header.NumberOfStreams > 1024)
        return summary;
    std::vector<MINIDUMP_DIRECTORY> directory(header.NumberOfStreams);
    if (!readAt(path, header.StreamDirectoryRva, directory.data(),
                static_cast<DWORD>(directory.size() * sizeof(MINIDUMP_DIRECTORY))))
        return summary;
    for (const MINIDUMP_DIRECTORY& entry : directory) {
        if (entry.StreamType == ExceptionStream) {
            MINIDUMP_EXCEPTION_STREAM stream = {};
            if (readAt(path, entry.Location.Rva, &stream, sizeof stream)) {
                summary.hasException = true;
                summary.faultingThread = stream.ThreadId;
                summary.code = stream.ExceptionRecord.ExceptionCode;
            }
        }
    }
    for (const MINIDUMP_DIRECTORY& entry : directory) {
        if (entry.StreamType != ThreadListStream)
            continue;
        ULONG32 count = 0;
        if (!readAt(path, entry.Location.Rva, &count, sizeof count) || count > 4096)
            continue;
        std::vector<MINIDUMP_THREAD> threads(count);
        if (count && readAt(path, entry.Location.Rva + sizeof count, threads.data(),
                            static_cast<DWORD>(count * sizeof(MINIDUMP_THREAD))))
            for (const MINIDUMP_THREAD& thread : threads)
                summary.faultingThreadListed |= thread.ThreadId == summary.faultingThread;
    }
    return summary;
}

} // namespace zra_test
