// The stamp writer of the launcher's traced build: one line "phase NAME COUNTER" on standard
// error per stamp, COUNTER being the performance counter, which is the same clock in every process
// so the bench that started the launcher can set the stamps against its own.
#include "base/win32.h"

#include <cstdio>

void zraPhaseStamp(const char* phase) {
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    char line[96];
    const int length = std::snprintf(line, sizeof line, "phase %s %lld\n", phase,
                                     static_cast<long long>(counter.QuadPart));
    if (length <= 0 || length >= static_cast<int>(sizeof line))
        return;
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(length), &written,
                nullptr);
}

namespace {

// Built before every other object of the program that asks for no priority, and destroyed after
// all of them: its stamps mark where the program's own start-up begins and its teardown ends.
struct Bracket {
    Bracket() { zraPhaseStamp("image"); }
    ~Bracket() { zraPhaseStamp("teardown"); }
};

Bracket bracket __attribute__((init_priority(101)));

} // namespace
