// Placeholder for the examination road until its implementation is in the tree; delete this file
// when launcher/examination.cpp arrives.
#include "launcher/examination.h"

#include "base/exception.h"

uint32_t runExamination(int /*argc*/, wchar_t** /*argv*/) {
    throw vexception(L"Examination launch is not available yet",
                     SourceLocation(L"", "runExamination", 0));
}
