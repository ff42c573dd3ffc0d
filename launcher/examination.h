// The examination road: runs the script named by argv[1] as a child and returns its exit code.
#pragma once

#include <cstdint>

uint32_t runExamination(int argc, wchar_t** argv);
