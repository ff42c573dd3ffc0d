// Ordering of dotted version strings such as "11.6.0", field by field as decimal numbers.
#pragma once

#include <string>

// -1 when first orders before second, 0 when equal, 1 when first orders after second.
// Each field is read as wcstol reads a base-10 number (leading white space, optional sign,
// clamped to the 32-bit range, no digits read as 0). Whatever ends a field other than a dot ends
// that string, so "11.6.0-beta" compares as "11.6.0"; a string with one more field is the larger,
// even when that field is zero. A null pointer reads as an empty string.
int compareVersions(const wchar_t* first, const wchar_t* second);

inline int compareVersions(const std::wstring& first, const std::wstring& second) {
    return compareVersions(first.c_str(), second.c_str());
}
