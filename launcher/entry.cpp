#include "launcher/entry.h"

#include "base/exception.h"
#include "base/text.h"
#include "crash/crash_dump.h"
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

const wchar_t kBoundaryContext[] = L"Failed to launch an examination.";

// The failure text starts a line of its own after a console record, and a record after it starts
// a new one in turn: the installer reads them apart.
void writeFailure(const vexception& failure) {
    std::string bytes = cstr(failure.text(), 65001);
    if (varno::logging::consoleRecordWritten())
        bytes.insert(0, "\n");
    writeStandardOutput(bytes);
    varno::logging::markConsoleUsed();
}

// A fault that ends the process before it could become an exception is reported as the catch
// ladder would have reported it here.
void reportFatalFault(unsigned int code) {
    try {
        writeFailure(
            vexception(cwrpexception(code).text(), SourceLocation(kBoundaryContext, "wmain", 120)));
    } catch (...) {
    }
}

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
        crash::setFatalFaultReport(&reportFatalFault);
        crash::ScopedSeTranslator translator;
        try {
            ThreadCancelation::CancelationPoint cancelation;
            return dispatch(argc, argv, runExamination);
        } catch (...) {
            try {
                failure.emplace(catchLadder(kBoundaryContext, "wmain", 120));
            } catch (...) {
                // Not even the failure could be described (memory exhaustion): exit code 1 alone
                // still tells the installer that the launch failed.
            }
        }
    }
    if (failure) {
        try {
            writeFailure(*failure);
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
