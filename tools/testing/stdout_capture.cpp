#include "tools/testing/stdout_capture.h"

#include "tools/testing/temp.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <stdexcept>
#include <sys/stat.h>

namespace zra_testing {

StdoutCapture::StdoutCapture(const Options& options)
    : file_(tempPath() + uniqueName(L"zra-stdout") + L".txt") {
    const HANDLE file = ::CreateFileW(file_.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create the file for standard output");
    // Descriptor 1 owns the file from here; without it the capture holds the handle itself.
    const int descriptor =
        _open_osfhandle(reinterpret_cast<intptr_t>(file), options.textMode ? _O_TEXT : _O_BINARY);
    if (descriptor < 0) {
        ::CloseHandle(file);
        ::DeleteFileW(file_.c_str());
        throw std::runtime_error("cannot open a descriptor on the file for standard output");
    }
    std::fflush(stdout);
    savedDescriptor_ = _dup(1);
    _dup2(descriptor, 1);
    _close(descriptor);
    if (!options.runtime) {
        // Only the handle is wanted: descriptor 1 goes back and a handle of its own stays.
        HANDLE own = nullptr;
        ::DuplicateHandle(::GetCurrentProcess(), reinterpret_cast<HANDLE>(_get_osfhandle(1)),
                          ::GetCurrentProcess(), &own, 0, TRUE, DUPLICATE_SAME_ACCESS);
        _dup2(savedDescriptor_, 1);
        _close(savedDescriptor_);
        savedDescriptor_ = -1;
        ownHandle_ = own;
    }
    // With descriptor 1 captured the runtime's own restore gives the standard handle back (see
    // finish); otherwise descriptor 1 is back already and its handle is the one to restore.
    savedHandle_ = savedDescriptor_ >= 0 ? nullptr : ::GetStdHandle(STD_OUTPUT_HANDLE);
    ::SetStdHandle(STD_OUTPUT_HANDLE,
                   ownHandle_ ? ownHandle_ : reinterpret_cast<HANDLE>(_get_osfhandle(1)));
    active_ = true;
}

StdoutCapture::~StdoutCapture() {
    finish();
    ::DeleteFileW(file_.c_str());
}

std::string StdoutCapture::text() {
    if (!active_)
        return bytes_;
    std::fflush(stdout);
    std::string out;
    const HANDLE reader = ::CreateFileW(file_.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    if (reader == INVALID_HANDLE_VALUE)
        return out;
    char buffer[4096];
    DWORD count = 0;
    while (::ReadFile(reader, buffer, sizeof buffer, &count, nullptr) && count != 0)
        out.append(buffer, count);
    ::CloseHandle(reader);
    return out;
}

const std::string& StdoutCapture::finish() {
    if (!active_)
        return bytes_;
    bytes_ = text();
    active_ = false;
    if (savedDescriptor_ >= 0) {
        std::fflush(stdout);
        _dup2(savedDescriptor_, 1);
        _close(savedDescriptor_);
        savedDescriptor_ = -1;
        // The saved descriptor's handle is closed now: descriptor 1 holds a fresh duplicate.
        savedHandle_ = reinterpret_cast<HANDLE>(_get_osfhandle(1));
    }
    ::SetStdHandle(STD_OUTPUT_HANDLE, savedHandle_);
    if (ownHandle_) {
        ::CloseHandle(ownHandle_);
        ownHandle_ = nullptr;
    }
    return bytes_;
}

} // namespace zra_testing
