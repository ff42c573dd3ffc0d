// What a piece of work raises, for tests that check failures: the text of a run-time error, or
// the OS-error exception itself.
#pragma once

#include "base/exception.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

namespace os_test {

inline std::string failureOf(const std::function<void()>& work) {
    try {
        work();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no failure)";
}

template <typename F> vosexception expectOsError(F&& work) {
    try {
        work();
    } catch (const vosexception& e) {
        return e;
    }
    ADD_FAILURE() << "no vosexception was raised";
    return vosexception(0, L"", SourceLocation());
}

inline bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace os_test
