// The text of the run-time error a piece of work raises, for tests that check messages.
#pragma once

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

inline bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace os_test
