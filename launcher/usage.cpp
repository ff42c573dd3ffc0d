#include "launcher/usage.h"

#include "launcher/standard_output.h"

#include <cwchar>

#ifndef ZRA_VERSION
#error "ZRA_VERSION must name the release version (project VERSION in the top CMakeLists.txt)"
#endif

const char* launcherVersion() {
    return ZRA_VERSION;
}

std::string versionText() {
    return std::string("zra-launcher ") + ZRA_VERSION + "\n";
}

std::string helpText() {
    return versionText() +
           "\n"
           "Usage:\n"
           "  zra-launcher.exe --check-system\n"
           "      Tells whether Windows may take an installation now. Exit code 0: ready\n"
           "      (nothing is printed); 1: not ready, and the findings are printed.\n"
           "  zra-launcher.exe SCRIPT [ARGS...]\n"
           "      Asks the management service for the panel password and version, runs the\n"
           "      examination script with the right interpreter (the password is its last\n"
           "      argument), waits for it and exits with the script's own exit code.\n"
           "  zra-launcher.exe --version | --help\n"
           "      Prints this program's version, or this text. Exit code 0.\n"
           "\n"
           "Exit codes: 0 or 1 from --check-system; otherwise the script's exit code, all 32\n"
           "bits (3 means the script ended with 3). Any failure of the launcher itself prints\n"
           "its failure text on standard output and gives 1, which a script can also return:\n"
           "the printed text tells them apart. With the registry value Debug on, the text\n"
           "names where it happened and the failure goes to the debug log as well.\n"
           "\n"
           "Guide: operating.md beside this program in the release package (docs/operating.md\n"
           "in the source tree): registry values, files written, every failure text and what\n"
           "to do about it, and how to try a script without the panel.\n";
}

bool writeUsage(const wchar_t* argument) {
    if (std::wcscmp(argument, L"--version") == 0) {
        writeStandardOutput(versionText());
        return true;
    }
    if (std::wcscmp(argument, L"--help") == 0) {
        writeStandardOutput(helpText());
        return true;
    }
    return false;
}
