#include "process/command.h"

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/win32.h"
#include "os/directories.h"
#include "os/path.h"
#include "process/arguments.h"

#include <cctype>
#include <cwctype>
#include <stdexcept>

namespace {

using UpcaseFunction = WCHAR(NTAPI*)(WCHAR);

// Looked up once at start-up: the system's own case mapping, so that extensions and interpreter
// names compare the way the file system compares names.
UpcaseFunction lookUpUpcase() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr)
        return nullptr;
    return reinterpret_cast<UpcaseFunction>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlUpcaseUnicodeChar")));
}

const UpcaseFunction gUpcase = lookUpUpcase();

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

bool contains(const std::wstring& text, const wchar_t* part) {
    return text.find(part) != std::wstring::npos;
}

// Everything from the first character that is not white space (C locale isspace); empty when the
// line is blank.
std::string withoutLeadingSpace(const std::string& line) {
    size_t i = 0;
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
        ++i;
    return line.substr(i);
}

bool isPhpExtension(const std::wstring& extension) {
    return extension == L"PHP" || extension == L"PHP3";
}

bool isBatchExtension(const std::wstring& extension) {
    return extension == L"BAT" || extension == L"CMD";
}

// A script's lines as sniffing reads them, from the first. Files saved as UTF-8 by Windows
// editors begin with a byte-order mark, which is not part of the first line.
class ScriptLines {
public:
    explicit ScriptLines(const std::wstring& file) { text_.openForReading(file); }
    std::string next() {
        std::string line;
        text_.readLine(line);
        if (first_ && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);
        first_ = false;
        return line;
    }

private:
    TextFile text_;
    bool first_ = true;
};

// Only a name can be looked for. The search would take * and ? (and the DOS wildcards < > ")
// as a pattern and run whatever matched; ".", ".." and a name ending in a separator name a
// directory, never a file. cmd refuses all of them.
bool isSearchableName(const std::wstring& command) {
    // The "?" of the long form's prefix is no wildcard.
    const size_t start = startsWith(command, L"\\\\?\\") ? 4 : 0;
    if (command.find_first_of(L"*?<>\"", start) != std::wstring::npos)
        return false;
    const std::wstring name = VFileName::fileName(command);
    return !name.empty() && name != L"." && name != L"..";
}

bool isDirectoryEntry(const WIN32_FIND_DATAW& data) {
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

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

// Moves the search on to the next entry that is not a directory, the current one included when
// first is set; false when none is left.
bool settleOnFile(FoundFile& found, bool first) {
    if (!first && !::FindNextFileW(found.search.get(), &found.data))
        return false;
    while (isDirectoryEntry(found.data)) {
        if (!::FindNextFileW(found.search.get(), &found.data))
            return false;
    }
    return true;
}

// Errors of a directory that cannot be reached at all (a share that is gone, a network that is
// down, a drive that is not there or not ready). A PATH entry that gives one is passed over like
// one that does not exist: one stale entry must not stop every command.
bool isUnreachable(uint32_t code) {
    switch (code) {
    case ERROR_INVALID_DRIVE:       // 15
    case ERROR_NOT_READY:           // 21
    case ERROR_BAD_NETPATH:         // 53
    case ERROR_NETWORK_BUSY:        // 54
    case ERROR_DEV_NOT_EXIST:       // 55
    case ERROR_BAD_NET_RESP:        // 58
    case ERROR_UNEXP_NET_ERR:       // 59
    case ERROR_NETNAME_DELETED:     // 64
    case ERROR_BAD_DEV_TYPE:        // 66
    case ERROR_BAD_NET_NAME:        // 67
    case ERROR_BAD_PATHNAME:        // 161
    case ERROR_DIRECTORY:           // 267
    case ERROR_NO_NET_OR_BAD_PATH:  // 1203
    case ERROR_NO_NETWORK:          // 1222
    case ERROR_NETWORK_UNREACHABLE: // 1231
    case ERROR_HOST_UNREACHABLE:    // 1232
        return true;
    default:
        return false;
    }
}

// The directory the query read, or the run-time error with its own text.
std::wstring directoryOrRaise(const DirectoryQuery& query, const wchar_t* failure) {
    if (!query.ok())
        raiseRunTimeError(failure, query.error);
    return query.path;
}

} // namespace

// The directories the search probes besides the named one and the PATH, each read by one function
// of its own.
std::wstring systemDirectory() {
    return directoryOrRaise(querySystemDirectory(), L"Unable to get system directory");
}

namespace {

std::wstring currentDirectory() {
    std::wstring directory =
        directoryOrRaise(queryCurrentDirectory(), L"Unable to get current directory");
    for (wchar_t& c : directory) {
        if (c == L'/')
            c = L'\\';
    }
    return directory;
}

std::wstring windowsDirectory() {
    return directoryOrRaise(queryWindowsDirectory(), L"Unable to get windows directory");
}

// The command-line forms: paths between double quotes as they are, then one space and the
// arguments (the space stays when there are none).
std::wstring quotedCommand(const std::wstring& program, const std::wstring& arguments) {
    return L"\"" + program + L"\" " + arguments;
}

std::wstring quotedInterpreterCommand(const std::wstring& interpreter, const std::wstring& script,
                                      const std::wstring& arguments) {
    return L"\"" + interpreter + L"\" \"" + script + L"\" " + arguments;
}

std::wstring quotedInterpreterOptionsCommand(const std::wstring& interpreter,
                                             const std::wstring& options,
                                             const std::wstring& script,
                                             const std::wstring& arguments) {
    return L"\"" + interpreter + L"\" " + options + L" \"" + script + L"\" " + arguments;
}

bool findInDirectory(const std::wstring& directory, const std::wstring& command, FoundFile& found) {
    found.search.reset();
    found.exact = false;
    if (!isSearchableName(command))
        return false;
    // A directory of the command's name (sp beside sp.bat) is no file to run: the look-alikes
    // are searched as if it were not there.
    const DWORD attributes = getAttributes(directory, command);
    found.exact =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    const std::wstring pattern = found.exact ? command : command + L".*";
    found.search = readDirectory(directory, pattern, found.data, false);
    if (!found.search.valid() || !settleOnFile(found, true)) {
        found.search.reset();
        return false;
    }
    std::wstring path = makeLongPath(directory, command);
    if (startsWith(path, L"\\\\?\\"))
        path.erase(0, 4);
    const size_t slash = path.rfind(L'\\');
    found.directory = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    found.name = VFileName::fileName(command);
    return true;
}

bool isPhpScript(const std::wstring& file) {
    ScriptLines lines(file);
    for (;;) {
        const std::string line = lines.next();
        if (line.empty())
            return false;
        // An interpreter line ahead of the PHP open tag is skipped.
        if (line.size() > 2 && line[0] == '#' && line[1] == '!')
            continue;
        const std::string rest = withoutLeadingSpace(line);
        if (rest.empty())
            continue;
        const std::wstring start = toUpper(wstr(rest, 0));
        if (startsWith(start, L"<?"))
            return true;
        if (startsWith(start, L"<%") || startsWith(start, L"<SCRIPT"))
            return isPhpExtension(extensionOf(file));
        return false;
    }
}

bool readInterpreterLine(const std::wstring& file, std::wstring& interpreter) {
    ScriptLines lines(file);
    for (;;) {
        const std::string line = lines.next();
        if (line.empty())
            return false;
        const std::string rest = withoutLeadingSpace(line);
        if (rest.empty())
            continue;
        if (rest.size() <= 2 || rest[0] != '#' || rest[1] != '!')
            return false;
        // The interpreter's name without its directory; the search never reaches into "#!".
        size_t nameStart = 2;
        for (size_t i = rest.size(); i > 2; --i) {
            if (rest[i - 1] == '/' || rest[i - 1] == '\\') {
                nameStart = i;
                break;
            }
        }
        interpreter = toUpper(wstr(rest.substr(nameStart), 0));
        return true;
    }
}

CommandForm plainForm(const std::wstring& file, std::wstring head) {
    CommandForm form;
    form.file = file;
    form.head = std::move(head);
    return form;
}

// Batch files are run by cmd, which reads its command line by rules of its own: variables are
// expanded even inside quotes, and & | < > ^ ( ) outside quotes start new commands. cmd is started
// explicitly rather than left to CreateProcess, so that its switches do not depend on the
// registry: command extensions on (the percent neutralisation relies on them), delayed expansion
// off (! stays literal), no AutoRun commands. /c strips the first and the last quote of the rest
// of the line, which is why the whole command stands inside one more pair of quotes.
CommandForm batchForm(const std::wstring& file) {
    CommandForm form;
    form.file = file;
    form.head = L"\"" + ensureTrailingSeparator(systemDirectory()) +
                L"cmd.exe\" /e:ON /v:OFF /d /c \"\"" + neutralizePercent(file) + L"\" ";
    form.tail = L"\"";
    form.throughCmd = true;
    return form;
}

// GetBinaryTypeW answers "no" for any file that is no program (Windows with 193 or a kin of it,
// Wine with 0), but also when the system lacked the memory to examine it: a program taken for a
// script then would be read as one and refused as "not a known application", which sends whoever
// reads it the wrong way. (A file that cannot be opened fails when it is read next, with its own
// text.)
bool isExecutable(const std::wstring& file) {
    DWORD type = 0;
    if (::GetBinaryTypeW(makeLongPath(L"", file).c_str(), &type) != FALSE)
        return true;
    const DWORD error = ::GetLastError();
    switch (error) {
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_WORKING_SET_QUOTA:
    case ERROR_COMMITMENT_LIMIT:
        raiseRunTimeError(L"Unable to start (%s)", error, file.c_str());
    default:
        return false;
    }
}

// Chooses how a found file is run, by its type or its content, asking settings where the
// interpreters live.
class Interpreters {
public:
    Interpreters(const CommandOptions& options, ProductSettings& settings)
        : options_(options), settings_(settings) {}

    CommandForm formFor(const std::wstring& file) const {
        if (options_.verbatim)
            return plainForm(file, quotedCommand(file, L""));
        // cmd runs anything named .bat or .cmd as a batch file, whatever its first bytes are ("MZ"
        // included), so such a file always gets the arguments encoded for cmd.
        if (isBatchExtension(extensionOf(file)))
            return batchForm(file);
        if (isExecutable(file))
            return plainForm(file, quotedCommand(file, L""));
        if (isPhpScript(file))
            return php(file);
        std::wstring interpreter;
        if (readInterpreterLine(file, interpreter)) {
            if (contains(interpreter, L"PERL"))
                return perl(file);
            if (contains(interpreter, L"PYTHON"))
                return python(file);
            if (contains(interpreter, L"PHP"))
                return php(file);
            raiseRunTimeError(L"Unable to start (%s): Is not a known application (%s)", 0,
                              file.c_str(), interpreter.c_str());
        }
        return byExtension(file);
    }

private:
    CommandForm byExtension(const std::wstring& file) const {
        const std::wstring extension = extensionOf(file);
        if (isBatchExtension(extension))
            return batchForm(file);
        if (extension == L"VB" || extension == L"VBS" || extension == L"VBE" ||
            extension == L"JS" || extension == L"JSE" || extension == L"ASP") {
            return plainForm(file, quotedInterpreterOptionsCommand(
                                       ensureTrailingSeparator(systemDirectory()) + L"cscript.exe",
                                       L"/nologo", file, L""));
        }
        if (extension == L"PL" || extension == L"PM")
            return perl(file);
        if (extension == L"PY" || extension == L"PYC")
            return python(file);
        if (isPhpExtension(extension))
            return php(file);
        raiseRunTimeError(L"Unable to start (%s): Is not a known application", 0, file.c_str());
    }

    CommandForm perl(const std::wstring& file) const {
        const std::wstring perl = component(L"perl", L"bin\\perl.exe",
                                            L"Unable to start (%s): Perl is not installed", file);
        return plainForm(file, quotedInterpreterCommand(perl, file, L""));
    }

    CommandForm python(const std::wstring& file) const {
        const std::wstring python = component(
            L"python", L"python.exe", L"Unable to start (%s): Python is not installed", file);
        return plainForm(file, quotedInterpreterCommand(python, file, L""));
    }

    CommandForm php(const std::wstring& file) const {
        if (options_.useProductPhp) {
            // A missing php.exe here is reported by process creation.
            const std::wstring php =
                ensureTrailingSeparator(settings_.productRootSetting()) + L"admin\\bin\\php.exe";
            return plainForm(file, quotedInterpreterOptionsCommand(php, L"-q", file, L""));
        }
        const std::wstring php =
            component(L"php", L"php.exe", L"Unable to start (%s): PHP is not installed", file);
        return plainForm(file, quotedInterpreterCommand(php, file, L""));
    }

    // The component's directory from the service. The first answer only says whether the package
    // is installed; the second is the one used, as the service's other clients do.
    std::wstring component(const wchar_t* package, const wchar_t* relative, const wchar_t* missing,
                           const std::wstring& file) const {
        if (settings_.componentDirectory(package).empty())
            raiseRunTimeError(missing, 0, file.c_str());
        return ensureTrailingSeparator(settings_.componentDirectory(package)) + relative;
    }

    const CommandOptions options_;
    ProductSettings& settings_;
};

} // namespace

std::wstring CommandForm::render(const std::wstring& arguments) const {
    if (!throughCmd)
        return head + arguments + tail;
    std::wstring encoded;
    const size_t rejected = encodeArgumentsForCmd(arguments, encoded);
    if (rejected != 0) {
        // The argument itself is not shown: it may be the panel password.
        raiseRunTimeError(L"Unable to start (%s): Argument %u holds a line break or a NUL "
                          L"character, which cannot be passed to a batch file",
                          0, file.c_str(), static_cast<unsigned>(rejected));
    }
    return head + encoded + tail;
}

bool CommandForm::runsInCmd() const {
    return throughCmd || isBatchExtension(extensionOf(file));
}

size_t CommandForm::maxCommandLine() const {
    return runsInCmd() ? kMaxCmdCommandLine : kMaxProcessCommandLine;
}

std::wstring toUpper(const std::wstring& text) {
    std::wstring result(text);
    for (wchar_t& c : result)
        c = gUpcase != nullptr ? gUpcase(c) : static_cast<wchar_t>(std::towupper(c));
    return result;
}

std::wstring extensionOf(const std::wstring& path) {
    const size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos)
        return std::wstring();
    return toUpper(path.substr(dot + 1));
}

std::vector<std::wstring> pathDirectories(const std::wstring& environmentBlock) {
    std::vector<std::wstring> directories;
    const size_t size = environmentBlock.size();
    size_t entry = 0;
    while (size - entry >= 6) {
        size_t entryEnd = environmentBlock.find(L'\0', entry);
        if (entryEnd == std::wstring::npos)
            entryEnd = size;
        if (toUpper(environmentBlock.substr(entry, 4)) == L"PATH") {
            const size_t equals = environmentBlock.find(L'=', entry);
            if (equals == std::wstring::npos || equals >= entryEnd)
                return directories;
            size_t start = equals + 1;
            while (start < entryEnd && std::iswspace(environmentBlock[start]))
                ++start;
            const std::wstring value = environmentBlock.substr(start, entryEnd - start);
            if (value.empty())
                return directories;
            size_t pieceStart = 0;
            for (;;) {
                const size_t semicolon = value.find(L';', pieceStart);
                if (semicolon == std::wstring::npos) {
                    directories.push_back(value.substr(pieceStart));
                    break;
                }
                if (semicolon > pieceStart)
                    directories.push_back(value.substr(pieceStart, semicolon - pieceStart));
                pieceStart = semicolon + 1;
            }
            return directories;
        }
        if (entryEnd >= size)
            break;
        entry = entryEnd + 1;
    }
    return directories;
}

CommandForm commandFormFor(const std::wstring& file, const CommandOptions& options,
                           ProductSettings& settings) {
    return Interpreters(options, settings).formFor(file);
}

std::wstring makeCommandLine(const std::wstring& file, const std::wstring& arguments,
                             const CommandOptions& options, ProductSettings& settings) {
    return commandFormFor(file, options, settings).render(arguments);
}

ResolvedCommand resolveCommandForm(const std::wstring& command, const std::wstring& arguments,
                                   const std::wstring& environmentBlock,
                                   const CommandOptions& options, ProductSettings& settings) {
    FoundFile found;
    bool matched = findInDirectory(L"", command, found) ||
                   findInDirectory(currentDirectory(), command, found) ||
                   findInDirectory(systemDirectory(), command, found) ||
                   findInDirectory(windowsDirectory(), command, found);
    if (!matched) {
        for (const std::wstring& directory : pathDirectories(environmentBlock)) {
            try {
                matched = findInDirectory(directory, command, found);
            } catch (const RunTime::Error& e) {
                if (!isUnreachable(e.code()))
                    throw;
            }
            if (matched)
                break;
        }
    }
    if (!matched) {
        if (options.verbatim && isSearchableName(command) && exists(L"", command)) {
            ResolvedCommand resolved{plainForm(command, quotedCommand(command, L"")), L""};
            resolved.commandLine = resolved.form.render(arguments);
            return resolved;
        }
        raiseRunTimeError(L"'%s' is not recognized as an internal or external command, operable "
                          L"program or batch file.",
                          0, command.c_str());
    }

    // Every match of the directory is tried in the order the file system lists them: check.txt
    // failing as an unknown application must not hide check.php beside it. A file named exactly
    // as the command is tried first, then the look-alikes beside it (bare beside bare.exe).
    std::wstring failures;
    std::wstring tried;
    for (;;) {
        do {
            const std::wstring name = found.data.cFileName;
            if (!tried.empty() && compareNoCase(name, tried))
                continue;
            const std::wstring file = ensureTrailingSeparator(found.directory) + name;
            try {
                ResolvedCommand resolved{commandFormFor(file, options, settings), L""};
                resolved.commandLine = resolved.form.render(arguments);
                return resolved;
            } catch (const std::exception& e) {
                if (!failures.empty())
                    failures += L"\n";
                failures += exceptionText(e);
            }
            if (found.exact)
                tried = name;
        } while (settleOnFile(found, false));
        if (!found.exact)
            break;
        found.exact = false;
        found.search = readDirectory(found.directory, found.name + L".*", found.data, false);
        if (!found.search.valid() || !settleOnFile(found, true))
            break;
    }
    raiseRunTimeError(L"%s", 0, failures.c_str());
}

std::wstring resolveCommand(const std::wstring& command, const std::wstring& arguments,
                            const std::wstring& environmentBlock, const CommandOptions& options,
                            ProductSettings& settings) {
    return resolveCommandForm(command, arguments, environmentBlock, options, settings).commandLine;
}
