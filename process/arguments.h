// The argument part of a child's command line as the C runtime of the child reads it back, and the
// re-encoding of those arguments for cmd, which runs batch files by rules of its own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One argument of a command line: where its text stands and the value a C runtime child gets.
struct ArgumentToken {
    size_t begin = 0;    // first character of the argument's text
    size_t end = 0;      // one past its last character
    std::wstring value;  // the argument after quotes and backslash escapes are resolved
    bool quoted = false; // its text holds a double quote
};

// Splits an argument string the way the C runtime splits a command line (the inverse of
// quoteArgument): space and tab separate arguments outside quotes; 2n backslashes before a
// double quote give n backslashes and a quote that opens or closes, 2n+1 give n backslashes and a
// literal quote; two quotes inside quotes give one literal quote.
std::vector<ArgumentToken> splitArguments(const std::wstring& arguments);

// Encodes one argument value so that cmd hands it to a batch file as one argument, never treats
// any of its characters as syntax and expands no variable in it. Quoted when `quoted` is set, the
// value holds white space or a character that cmd or the C runtime read specially (parentheses
// included), or it ends in a backslash; inside the quotes backslashes before a quote or the
// closing quote are doubled.
// Returns false, leaving out untouched, for a value cmd cannot pass at all (NUL, CR or LF: cmd ends
// or rewrites the command at them).
bool encodeForCmd(const std::wstring& value, bool quoted, std::wstring& out);

// The argument string re-encoded for cmd: every argument through encodeForCmd, the text between
// arguments kept as it was. Arguments that cmd already reads safely keep their text unchanged.
// Returns the 1-based number of the first argument that cannot be passed, or 0 on success.
size_t encodeArgumentsForCmd(const std::wstring& arguments, std::wstring& out);

// Percent signs made inert for cmd's variable expansion: each % becomes "%%cd:~,%", which cmd
// reads as a literal % followed by an empty substring of the always-defined CD variable, so the
// text after the % can never be taken as a variable name.
std::wstring neutralizePercent(const std::wstring& text);

// The argument string with every argument whose value equals secret replaced by "*****" (the text
// between arguments kept). An empty secret changes nothing.
std::wstring redactArguments(const std::wstring& arguments, const std::wstring& secret);
