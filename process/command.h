// Turning the command a caller names (a program or a script, with or without directory and
// extension) into the exact command line CreateProcess receives: the file is searched the way a
// command interpreter searches, and scripts are run by the interpreter their type or content asks
// for.
#pragma once

#include "base/scoped_handle.h"
#include "base/win32.h"
#include "process/product_settings.h"

#include <string>
#include <vector>

// The longest command lines that start whole. CreateProcess takes 32,767 characters with the
// terminating NUL (Wine cuts a longer line where Windows fails); cmd, which runs batch files, reads
// at most 8,191 and does not run the batch file at all over that.
constexpr size_t kMaxProcessCommandLine = 32766;
constexpr size_t kMaxCmdCommandLine = 8191;

// How one resolved file is run. The command line is head + the arguments + tail; for batch files
// the arguments are re-encoded for cmd first.
struct CommandForm {
    std::wstring file;
    std::wstring head;
    std::wstring tail;
    bool throughCmd = false;

    // Raises "Unable to start (%s): ..." for an argument that cmd cannot be given safely.
    std::wstring render(const std::wstring& arguments) const;
    // kMaxCmdCommandLine for a batch file (also one run as it is: CreateProcess hands it to cmd),
    // otherwise kMaxProcessCommandLine.
    size_t maxCommandLine() const;
    // Whether cmd reads the command line: it is then measured against cmd's limit.
    bool runsInCmd() const;
};

struct ResolvedCommand {
    CommandForm form;
    std::wstring commandLine;
};

// A match of findInDirectory: the directory the command was found in and the open search, which
// stands on a file (directories are never matches). exact: the search is for the file named
// exactly as the command (its look-alikes name.* come after it).
struct FoundFile {
    std::wstring directory;
    std::wstring name;
    base::ScopedFindHandle search;
    WIN32_FIND_DATAW data{};
    bool exact = false;
};

// The full command line for command. environmentBlock is NAME=VALUE entries each ended by NUL
// (empty: none given). verbatim runs the found file as it is, without choosing an interpreter.
// useProductPhp runs PHP scripts on the product's own php.exe.
std::wstring resolveCommand(const std::wstring& command, const std::wstring& arguments,
                            const std::wstring& environmentBlock, bool verbatim, bool useProductPhp,
                            ProductSettings& settings = serviceProductSettings());
// resolveCommand, also returning how the file is run so that the same form can be rendered again
// with other arguments (a log record without the secret).
ResolvedCommand resolveCommandForm(const std::wstring& command, const std::wstring& arguments,
                                   const std::wstring& environmentBlock, bool verbatim,
                                   bool useProductPhp,
                                   ProductSettings& settings = serviceProductSettings());

std::wstring makeCommandLine(const std::wstring& file, const std::wstring& arguments, bool verbatim,
                             bool useProductPhp,
                             ProductSettings& settings = serviceProductSettings());
CommandForm commandFormFor(const std::wstring& file, bool verbatim, bool useProductPhp,
                           ProductSettings& settings = serviceProductSettings());

bool findInDirectory(const std::wstring& directory, const std::wstring& command, FoundFile& found);
bool isPhpScript(const std::wstring& file);
bool readInterpreterLine(const std::wstring& file, std::wstring& interpreter);
std::vector<std::wstring> pathDirectories(const std::wstring& environmentBlock);

std::wstring currentDirectory();
std::wstring systemDirectory();
std::wstring windowsDirectory();

// The system's Unicode upper-case mapping (RtlUpcaseUnicodeChar), unit by unit.
std::wstring toUpper(const std::wstring& text);
// The text after the last "." of the whole path, upper-cased; empty without a dot.
std::wstring extensionOf(const std::wstring& path);

std::wstring quotedCommand(const std::wstring& program, const std::wstring& arguments);
std::wstring quotedInterpreterCommand(const std::wstring& interpreter, const std::wstring& script,
                                      const std::wstring& arguments);
std::wstring quotedInterpreterOptionsCommand(const std::wstring& interpreter,
                                             const std::wstring& options,
                                             const std::wstring& script,
                                             const std::wstring& arguments);
