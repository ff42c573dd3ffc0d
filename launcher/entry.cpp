#include "launcher/entry.h"

#include "base/exception.h"
#include "base/text.h"
#include "crash/se_translator.h"
#include "launcher/check_system.h"
#include "launcher/standard_output.h"
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
    return static_cast<int>(runExamination(argc, argv));
}

// When the conversion to UTF-8 itself fails: the message with "?" for what is not ASCII, rather
// than no text at all.
std::string asciiFallback(const std::wstring& message) {
    std::string text;
    text.reserve(message.size());
    for (wchar_t c : message)
        text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : (c == L'\n' ? '\n' : '?');
    return text;
}

} // namespace

int launcherMain(int argc, wchar_t** argv, ExaminationRunner runExamination) {
    resetStandardOutputLine();
    std::optional<vexception> failure;
    {
        try {
            // Inside the guarded region: making the translator's per-thread state can itself
            // run out of memory. It is gone again, the previous one back, before the failure
            // text is built and written: a fault in that last step is not this boundary's to
            // translate any more.
            crash::ScopedSeTranslator translator;
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
    // Without a description (memory exhausted on the way) the boundary's own words still say
    // what failed; they need no allocation.
    static const char kLastResort[] = "Failed to launch an examination.";
    bool written = false;
    if (failure) {
        try {
            // A finding written without its line break (the installer mutex) must not run on
            // into the failure text.
            const std::string separator = standardOutputLineOpen() ? "\n" : "";
            std::string text;
            try {
                text = cstr(failure->text(), 65001);
            } catch (...) {
                text = asciiFallback(failure->message());
            }
            writeStandardOutput(separator + text);
            written = true;
        } catch (...) {
        }
    }
    if (!written) {
        try {
            if (standardOutputLineOpen())
                writeStandardOutput("\n", 1);
            writeStandardOutput(kLastResort, sizeof(kLastResort) - 1);
        } catch (...) {
        }
    }
    return 1;
}
