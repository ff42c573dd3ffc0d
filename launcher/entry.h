// The launcher's entry: dispatch on the first argument, and the boundary that turns any failure
// into its text on standard output and exit code 1.
#pragma once

#include <cstdint>

using ExaminationRunner = uint32_t (*)(int argc, wchar_t** argv);

// What wmain does. The examination road is passed in so that the boundary can be exercised
// in-process; the program passes runExamination. The result is the process exit code: the
// readiness result, the child's 32-bit exit code unchanged, or 1 after a failure.
int launcherMain(int argc, wchar_t** argv, ExaminationRunner runExamination);
