// The text rules of dump files: how a dump is named and which files in the dump directory count.
#pragma once

#include "base/win32.h"

#include <string>

namespace crash {

// Where the extension of a file name begins (its last '.'), or name.size() when it has none. As
// the shell sees it: a dot followed by a space or a separator ends no extension.
size_t extensionStart(const std::wstring& name);
std::wstring withoutExtension(const std::wstring& name);
// Archives of dumps (".zip", any case) are never counted or removed.
bool isArchiveName(const std::wstring& name);

// Composes suffix (20 characters with its terminator) as "YYYYMMDD_HHMMSS.dmp" and path (261) as
// location + "\" + baseName + suffix. False, with both left empty, when either would not fit.
bool composeDumpPath(const std::wstring& location, const std::wstring& baseName,
                     const SYSTEMTIME& time, wchar_t (&suffix)[20], wchar_t (&path)[261]);

} // namespace crash
