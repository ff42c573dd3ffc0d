#include "base/scoped_handle.h"

#include "base/win32.h"

#include <gtest/gtest.h>

namespace {

// A release that leaves an error of its own behind, as FindClose, RegCloseKey or a CloseHandle
// of a handle closed elsewhere may.
struct NoisyTraits {
    using value_type = HANDLE;
    static value_type empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool isValid(value_type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(value_type h) noexcept {
        ::CloseHandle(h);
        ::SetLastError(ERROR_INVALID_HANDLE);
    }
};

HANDLE newEvent() {
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

// A failing open whose error the caller reads after storing its result in a holder that still
// owns a valid handle.
HANDLE failedOpen() {
    return ::CreateFileW(L"Z:\\no such folder\\zra\\none.txt", GENERIC_READ, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
}

TEST(ScopedResource, ReleasingTheHeldValueKeepsTheLastErrorOfTheFailedCall) {
    base::ScopedResource<NoisyTraits> noisy(newEvent());
    ASSERT_TRUE(noisy.valid());
    noisy.reset(failedOpen());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), ::GetLastError());

    base::ScopedResource<NoisyTraits> moved(newEvent());
    base::ScopedResource<NoisyTraits> source;
    ::SetLastError(ERROR_ACCESS_DENIED);
    moved = std::move(source);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
    EXPECT_FALSE(moved.valid());

    base::ScopedFileHandle file(
        ::CreateFileW(L"NUL", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.valid());
    file.reset(failedOpen());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), ::GetLastError());
    EXPECT_FALSE(file.valid());
}

} // namespace
