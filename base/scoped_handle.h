// Move-only owners of Windows resources. Each kind of resource has a traits class that says which
// raw value means "nothing owned" (some APIs return NULL on failure, others INVALID_HANDLE_VALUE)
// and how the resource is released.
#pragma once

#include "base/win32.h"

#include <utility>

namespace base {

template <typename Traits> class ScopedResource {
public:
    using value_type = typename Traits::value_type;

    ScopedResource() noexcept : value_(Traits::empty()) {}
    explicit ScopedResource(value_type value) noexcept : value_(value) {}
    ScopedResource(ScopedResource&& other) noexcept : value_(other.release()) {}
    ScopedResource& operator=(ScopedResource&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ScopedResource(const ScopedResource&) = delete;
    ScopedResource& operator=(const ScopedResource&) = delete;
    ~ScopedResource() { reset(); }

    value_type get() const noexcept { return value_; }
    bool valid() const noexcept { return Traits::isValid(value_); }
    explicit operator bool() const noexcept { return valid(); }

    // Takes ownership of a new value; the previous one is released after the new one is stored.
    // The thread's last error survives the release: a caller resets the result of a failed call
    // into its holder and reads GetLastError afterwards.
    void reset(value_type value = Traits::empty()) noexcept {
        value_type old = value_;
        value_ = value;
        if (Traits::isValid(old) && old != value) {
            const DWORD error = ::GetLastError();
            Traits::close(old);
            ::SetLastError(error);
        }
    }
    value_type release() noexcept {
        value_type value = value_;
        value_ = Traits::empty();
        return value;
    }
    // For APIs that return the resource through an out parameter; releases what was held.
    value_type* put() noexcept {
        reset();
        return &value_;
    }

private:
    value_type value_;
};

// Kernel object handles returned as NULL on failure (CreateEvent, CreateMutex, OpenProcess...).
// INVALID_HANDLE_VALUE is also the current-process pseudo handle, so it is never closed.
struct KernelHandleTraits {
    using value_type = HANDLE;
    static value_type empty() noexcept { return nullptr; }
    static bool isValid(value_type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(value_type h) noexcept { ::CloseHandle(h); }
};

// File and pipe handles returned as INVALID_HANDLE_VALUE on failure (CreateFile, CreateNamedPipe).
struct FileHandleTraits {
    using value_type = HANDLE;
    static value_type empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool isValid(value_type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(value_type h) noexcept { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using value_type = HANDLE;
    static value_type empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool isValid(value_type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(value_type h) noexcept { ::FindClose(h); }
};

struct RegKeyTraits {
    using value_type = HKEY;
    static value_type empty() noexcept { return nullptr; }
    static bool isValid(value_type h) noexcept { return h != nullptr; }
    static void close(value_type h) noexcept { ::RegCloseKey(h); }
};

// Memory the system allocated for us with LocalAlloc (FormatMessage, ConvertSidToStringSid...).
struct LocalMemTraits {
    using value_type = HLOCAL;
    static value_type empty() noexcept { return nullptr; }
    static bool isValid(value_type h) noexcept { return h != nullptr; }
    static void close(value_type h) noexcept { ::LocalFree(h); }
};

struct EventSourceTraits {
    using value_type = HANDLE;
    static value_type empty() noexcept { return nullptr; }
    static bool isValid(value_type h) noexcept { return h != nullptr; }
    static void close(value_type h) noexcept { ::DeregisterEventSource(h); }
};

struct ModuleTraits {
    using value_type = HMODULE;
    static value_type empty() noexcept { return nullptr; }
    static bool isValid(value_type h) noexcept { return h != nullptr; }
    static void close(value_type h) noexcept { ::FreeLibrary(h); }
};

using ScopedHandle = ScopedResource<KernelHandleTraits>;
using ScopedFileHandle = ScopedResource<FileHandleTraits>;
using ScopedFindHandle = ScopedResource<FindHandleTraits>;
using ScopedRegKey = ScopedResource<RegKeyTraits>;
using ScopedLocalMem = ScopedResource<LocalMemTraits>;
using ScopedEventSource = ScopedResource<EventSourceTraits>;
using ScopedModule = ScopedResource<ModuleTraits>;

// A scope guard for the odd clean-up that has no resource type of its own.
template <typename F> class ScopeExit {
public:
    explicit ScopeExit(F f) : f_(std::move(f)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() {
        if (active_)
            f_();
    }
    void dismiss() noexcept { active_ = false; }

private:
    F f_;
    bool active_ = true;
};

} // namespace base
