// The launcher's switches that describe the program itself: "--version" and "--help".
#pragma once

#include <string>

// The release version, as set in the top CMakeLists.txt ("1.0.0").
const char* launcherVersion();

// What "--version" prints: "zra-launcher <version>" and a line break.
std::string versionText();
// What "--help" prints: the two uses, the exit codes and where the operator guide is.
std::string helpText();

// Writes the text of the switch argument names and gives true, or gives false when it names
// neither. Exact and case-sensitive, like "--check-system".
bool writeUsage(const wchar_t* argument);
