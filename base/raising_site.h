// One raising site: the function name and the source line its failures record. Each file keeps a
// table of its sites at its top; the lines are part of the text users see under the Debug switch,
// so they are constants rather than __LINE__ and stay fixed however the file is edited.
#pragma once

#include "base/exception.h"

#include <cstdint>

struct RaisingSite {
    const char* function;
    int32_t line;
};

// The location a raising site records, with the empty context every such site has.
inline SourceLocation siteLocation(const RaisingSite& site) {
    return SourceLocation(L"", site.function, site.line);
}
