#include "launcher/entry.h"

#include "base/exception.h"
#include "base/text.h"
#include "crash/se_translator.h"
#include "launcher/check_system.h"
#include "launcher/standard_output.h"
#include "launcher/usage.h"
#include "logging/log.h"
#include "logging/log_line.h"
#include "os/cancelation.h"

#include <cwchar>
#include <optional>

namespace {

int dispatch(int argc, wchar_t** argv, ExaminationRunner runExamination) {
    if (argc <= 1 || argv == nullptr || argv[1] == nullptr)
        throw vexception(L"Incorrect launching options.", SourceLocation(L"", "wmain", 66));
    // Exact and case-sensitive: anything else, "--CHECK-SYSTEM" included, names a script.
    if (std::wcscmp(argv[1], L"--check-system") == 0)
        return checkSystem();
    // Switches, not script names: a script called "--version" is not a case worth serving.
    if (writeUsage(argv[1]))
        return 0;
    return static_cast<int>(runExamination(argc, argv));
}

} // namespace

int launcherMain(int argc, wchar_t** argv, ExaminationRunner runExamination) {
    std::optional<vexception> failure;
    {
        // The previous translator must be back before the failure text is built and written: a
        // fault in that last step is not this boundary's to translate any more.
        crash::ScopedSeTranslator translator;
        try {
            ThreadCancelation::CancelationPoint cancelation;
            return dispatch(argc, argv, runExamination);
        } catch (...) {
            try {
                failure.emplace(catchLadder(L"Failed to launch an examination.", "wmain", 120));
            } catch (...) {
                // Not even the failure could be described (memory exhaustion): exit code 1 alone
                // still tells the installer that the launch failed.
            }
        }
    }
    if (failure) {
        try {
            writeStandardOutput(cstr(failure->text(), 65001));
        } catch (...) {
        }
        // With Debug on the debug log keeps what the installer was told, with its trail: without
        // it a failed launch would leave no trace there. The texts never hold the password.
        try {
            varno::logging::writeFileSink(varno::logging::Error, failure->fullText());
        } catch (...) {
        }
    }
    return 1;
}
