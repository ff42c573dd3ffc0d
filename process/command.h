// Turning the command a caller names (a program or a script, with or without directory and
// extension) into the exact command line CreateProcess receives: the file is searched the way a
// command interpreter searches, and scripts are run by the interpreter their type or content asks
// for.
#pragma once

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

// How the found file is run.
struct CommandOptions {
    // The found file runs as it is, without choosing an interpreter; a command the search does not
    // find but that exists as a path is taken as it is. The launcher never asks for this.
    bool verbatim = false;
    // PHP scripts run on the product's own php.exe instead of the PHP package's.
    bool useProductPhp = false;
};

// The full command line for command, found the way a command interpreter finds it (as named, in
// the current, system and Windows directories, then along the PATH of environmentBlock).
// environmentBlock is NAME=VALUE entries each ended by NUL (empty: none given). settings answers
// where the interpreters live.
std::wstring resolveCommand(const std::wstring& command, const std::wstring& arguments,
                            const std::wstring& environmentBlock, const CommandOptions& options,
                            ProductSettings& settings);
// resolveCommand, also returning how the file is run so that the same form can be rendered again
// with other arguments (a log record without the secret).
ResolvedCommand resolveCommandForm(const std::wstring& command, const std::wstring& arguments,
                                   const std::wstring& environmentBlock,
                                   const CommandOptions& options, ProductSettings& settings);

// The command line, and how it is made, for one file that has been found.
std::wstring makeCommandLine(const std::wstring& file, const std::wstring& arguments,
                             const CommandOptions& options, ProductSettings& settings);
CommandForm commandFormFor(const std::wstring& file, const CommandOptions& options,
                           ProductSettings& settings);

// The directories of the first PATH entry of environmentBlock, in order.
std::vector<std::wstring> pathDirectories(const std::wstring& environmentBlock);

// The system directory, where cmd.exe and cscript.exe are taken from.
std::wstring systemDirectory();

// The system's Unicode upper-case mapping (RtlUpcaseUnicodeChar), unit by unit.
std::wstring toUpper(const std::wstring& text);
// The text after the last "." of the whole path, upper-cased; empty without a dot.
std::wstring extensionOf(const std::wstring& path);
