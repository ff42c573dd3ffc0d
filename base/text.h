// printf-style wide formatting and conversions between UTF-16 and narrow code pages.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

// Formats with the platform's wide printf rules: %s takes a wide string. Never throws except for
// memory exhaustion; output beyond the size limit yields the fixed text "Error on try call
// vaformat".
std::wstring vaformat(const wchar_t* format, va_list args);
std::wstring format(const wchar_t* format, ...);

// Code page 0 is the machine's ANSI code page, 65001 is UTF-8.
std::string cstr(const std::wstring& text, unsigned codePage);
std::wstring wstr(const std::string& text, unsigned codePage);

std::wstring toDecimal(int32_t value);
std::wstring toHex(uint32_t value);
