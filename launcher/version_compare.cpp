#include "launcher/version_compare.h"

#include <cerrno>
#include <climits>
#include <cwchar>

namespace {

// wcstol returns long, which is 32 bits on Windows; the explicit clamp keeps the contract on
// platforms where it is wider. errno is left as the caller had it.
int readField(const wchar_t* text, const wchar_t*& end) {
    const int savedErrno = errno;
    wchar_t* stop = nullptr;
    long value = std::wcstol(text, &stop, 10);
    errno = savedErrno;
    end = stop;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

} // namespace

int compareVersions(const wchar_t* first, const wchar_t* second) {
    const wchar_t* a = first ? first : L"";
    const wchar_t* b = second ? second : L"";
    for (;;) {
        const wchar_t* endA = a;
        const wchar_t* endB = b;
        const int fieldA = readField(a, endA);
        const int fieldB = readField(b, endB);
        if (fieldA < fieldB)
            return -1;
        if (fieldA > fieldB)
            return 1;
        const bool moreA = *endA == L'.';
        const bool moreB = *endB == L'.';
        if (!moreA && !moreB)
            return 0;
        if (!moreA)
            return -1;
        if (!moreB)
            return 1;
        a = endA + 1;
        b = endB + 1;
    }
}
