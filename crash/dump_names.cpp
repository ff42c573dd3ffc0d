#include "crash/dump_names.h"

#include <cwchar>

namespace crash {

size_t extensionStart(const std::wstring& name) {
    size_t dot = std::wstring::npos;
    for (size_t i = 0; i < name.size(); ++i) {
        const wchar_t c = name[i];
        if (c == L'.')
            dot = i;
        else if (c == L' ' || c == L'\\' || c == L'/')
            dot = std::wstring::npos;
    }
    return dot == std::wstring::npos ? name.size() : dot;
}

std::wstring withoutExtension(const std::wstring& name) {
    return name.substr(0, extensionStart(name));
}

bool isArchiveName(const std::wstring& name) {
    const size_t at = extensionStart(name);
    return name.size() - at == 4 && ::_wcsicmp(name.c_str() + at, L".zip") == 0;
}

bool composeDumpPath(const std::wstring& location, const std::wstring& baseName,
                     const SYSTEMTIME& time, wchar_t (&suffix)[20], wchar_t (&path)[261]) {
    suffix[0] = L'\0';
    path[0] = L'\0';
    // The counted formatter does not always terminate a text that fills the buffer, and fails on
    // one that does not fit; either way the result is judged by its length, never by its end.
    const int suffixLength =
        std::swprintf(suffix, 20, L"%04d%02d%02d_%02d%02d%02d.dmp", time.wYear, time.wMonth,
                      time.wDay, time.wHour, time.wMinute, time.wSecond);
    if (suffixLength < 0 || suffixLength >= 20) {
        suffix[0] = L'\0';
        return false;
    }
    // Measured before composing: a location that would not leave room for the name is refused
    // rather than cut, since a cut path could name another directory's file.
    if (location.size() + 1 + baseName.size() + static_cast<size_t>(suffixLength) > 260) {
        suffix[0] = L'\0';
        return false;
    }
    const int pathLength =
        std::swprintf(path, 261, L"%ls\\%ls%ls", location.c_str(), baseName.c_str(), suffix);
    if (pathLength < 0 || pathLength >= 261) {
        suffix[0] = L'\0';
        path[0] = L'\0';
        return false;
    }
    return true;
}

} // namespace crash
