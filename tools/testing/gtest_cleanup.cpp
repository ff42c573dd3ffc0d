// Compiled into every test program: a registry scope that cannot put things back fails the test
// that was running, instead of leaving a key or value behind for later tests without a word.
#include "tools/testing/registry.h"

#include <gtest/gtest.h>

#include <string>

namespace {

void failRunningTest(const std::wstring& what, LONG code) {
    std::string text;
    for (wchar_t c : what)
        text += c < 128 ? static_cast<char>(c) : '?';
    ADD_FAILURE() << text << " failed with error " << code;
}

const zra_testing::CleanupFailureHandler g_previous =
    zra_testing::setCleanupFailureHandler(&failRunningTest);

} // namespace
