#include "launcher/entry.h"

#include "base/exception.h"
#include "base/raising_site.h"
#include "base/se_translator.h"
#include "base/text.h"
#include "crash/crash_dump.h"
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
// The launcher's own raising site and its boundary, with the lines they record (part of the
// Debug text).
constexpr RaisingSite kOptionsSite = {"wmain", 66};
constexpr RaisingSite kBoundary = {"wmain", 120};

// When the conversion to UTF-8 itself fails: the message with "?" for what is not ASCII, rather
// than no text at all.
std::string asciiFallback(const std::wstring& message) {
    std::string text;
    text.reserve(message.size());
    for (wchar_t c : message)
        text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : (c == L'\n' ? '\n' : '?');
    return text;
}

// True when what is on standard output does not end a line: a finding written without its line
// break (the installer mutex), or a console record (records are separated, not ended, by "\n").
bool lineOpen() {
    return standardOutputLineOpen() || varno::logging::consoleRecordWritten();
}

// The failure text starts a line of its own, and a record after it starts a new one in turn: the
// installer reads them apart.
void writeFailure(const vexception& failure) {
    std::string text;
    try {
        text = cstr(failure.text(), 65001);
    } catch (...) {
        text = asciiFallback(failure.message());
    }
    writeStandardOutput(lineOpen() ? "\n" + text : text);
    varno::logging::markConsoleUsed();
}

// A fault that ends the process before it could become an exception is reported as the catch
// ladder would have reported it here.
void reportFatalFault(unsigned int code) {
    try {
        writeFailure(
            vexception(cwrpexception(code).text(),
                       SourceLocation(kBoundaryContext, kBoundary.function, kBoundary.line)));
    } catch (...) {
    }
}

int dispatch(int argc, wchar_t** argv, ExaminationRunner runExamination) {
    if (argc <= 1 || argv == nullptr || argv[1] == nullptr)
        throw vexception(L"Incorrect launching options.", siteLocation(kOptionsSite));
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
    resetStandardOutputLine();
    std::optional<vexception> failure;
    {
        crash::setFatalFaultReport(&reportFatalFault);
        try {
            // Inside the guarded region: making the translator's per-thread state can itself
            // run out of memory. It is gone again, the previous one back, before the failure
            // text is built and written: a fault in that last step is not this boundary's to
            // translate any more.
            ScopedSeTranslator translator;
            ThreadCancelation::CancelationPoint cancelation;
            return dispatch(argc, argv, runExamination);
        } catch (...) {
            try {
                failure.emplace(catchLadder(kBoundaryContext, kBoundary.function, kBoundary.line));
            } catch (...) {
                // Not even the failure could be described (memory exhaustion): exit code 1 alone
                // still tells the installer that the launch failed.
            }
        }
    }
    // Without a description (memory exhausted on the way) the boundary's own words still say
    // what failed; they need no allocation.
    static const char kLastResort[] = "Failed to launch an examination.";
    bool written = false;
    if (failure) {
        try {
            writeFailure(*failure);
            written = true;
        } catch (...) {
        }
        // With Debug on the debug log keeps what the installer was told, with its trail: without
        // it a failed launch would leave no trace there. The texts never hold the password.
        try {
            varno::logging::writeFileSink(varno::logging::Error, failure->fullText());
        } catch (...) {
        }
    }
    if (!written) {
        try {
            if (lineOpen())
                writeStandardOutput("\n", 1);
            writeStandardOutput(kLastResort, sizeof(kLastResort) - 1);
        } catch (...) {
        }
    }
    return 1;
}
