// Hardware faults as the test platform reports them. On Windows, and under Wine on an x86 CPU,
// the exception code names the fault exactly. A host whose kernel runs no 32-bit x86 code runs
// Wine's 32-bit side through a user-mode CPU emulator, which does not hand the trap number on to
// Wine, so a fault arrives as another error code (an access violation reads as an illegal
// instruction, an integer division by zero as an invalid floating-point operation). The test
// runner says so through ZRA_EMULATED_CPU; tests then check everything but the exact code.
#pragma once

#include "base/win32.h"

#include <cstdint>
#include <string>

namespace zra_test {

inline bool faultCodesAreExact() {
    return ::GetEnvironmentVariableW(L"ZRA_EMULATED_CPU", nullptr, 0) == 0;
}

// True when `reported` can stand for a fault whose code is `expected` on this platform.
inline bool isReportedFault(uint32_t expected, uint32_t reported) {
    if (faultCodesAreExact())
        return reported == expected;
    return (reported & 0xC0000000u) == 0xC0000000u;
}

// The text with the code after "C structured exception: 0x" put back to `expected` when the
// platform cannot report it exactly, so whole texts can still be compared.
template <typename Char>
std::basic_string<Char> withFaultCode(std::basic_string<Char> text, uint32_t expected) {
    if (faultCodesAreExact())
        return text;
    const char* prefix = "C structured exception: 0x";
    std::basic_string<Char> marker(prefix, prefix + 26);
    size_t at = text.find(marker);
    if (at == std::basic_string<Char>::npos || text.size() < at + marker.size() + 8)
        return text;
    at += marker.size();
    if (text[at] != Char('c'))
        return text;
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i)
        text[at + i] = Char(digits[(expected >> (28 - 4 * i)) & 0xF]);
    return text;
}

} // namespace zra_test
