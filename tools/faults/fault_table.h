// What the fault injector needs to know of each import it can fail: the bytes of arguments the
// function pops (stdcall; 0 for the C runtime's cdecl functions), the value it returns on failure,
// and an error it plausibly fails with, which a campaign uses unless told otherwise.
#pragma once

#include <cstdint>

namespace faults {

enum class Failure : uint8_t {
    Zero,    // FALSE, NULL or a count of 0, with the last error set
    AllOnes, // INVALID_HANDLE_VALUE, INVALID_FILE_ATTRIBUTES, WAIT_FAILED, TLS_OUT_OF_INDEXES
    Status,  // the error itself is the result (registry and security-information calls)
    HResult, // HRESULT_FROM_WIN32 of the error
};

struct Rule {
    const char* name;
    uint16_t argBytes;
    Failure failure;
    uint32_t error;
};

// The rule for an import, or nullptr when it is not one the injector fails (it is still counted).
const Rule* findRule(const char* name);
const Rule* rules(unsigned& count);
uint32_t failureValue(const Rule& rule, uint32_t error);
// strcmp by hand: in the injector the C runtime's own is one of the imports being counted.
bool sameName(const char* a, const char* b);

} // namespace faults
