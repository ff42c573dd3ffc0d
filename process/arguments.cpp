#include "process/arguments.h"

#include <cwctype>

namespace {

bool isSeparator(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// Outside quotes these either split the argument for the batch file (white space , ; =) or are
// cmd syntax (& | < > ^ ! and the parentheses, which open and close blocks such as the body of an
// if); the rest are the characters quoteArgument quotes for the C runtime, so that an argument
// quoted today stays quoted.
// A value ending in a backslash is quoted too: a batch file that forwards it as "%~1" would
// otherwise put that backslash before its own closing quote, and the program it starts would read
// the quote as literal and merge the next argument into this one. Quoted, the backslash is
// doubled, and "%~1" hands the program a value that reads back whole.
bool needsQuotes(const std::wstring& value) {
    static const wchar_t kSpecial[] = L"\"&<>[]{}()^=;!'+,`~|";
    if (value.empty() || value.back() == L'\\')
        return true;
    for (wchar_t c : value) {
        if (std::iswspace(c) || std::wcschr(kSpecial, c) != nullptr)
            return true;
    }
    return false;
}

bool passable(const std::wstring& value) {
    for (wchar_t c : value) {
        if (c == L'\0' || c == L'\r' || c == L'\n')
            return false;
    }
    return true;
}

const wchar_t kPercentReplacement[] = L"%%cd:~,%";

} // namespace

std::vector<ArgumentToken> splitArguments(const std::wstring& arguments) {
    std::vector<ArgumentToken> tokens;
    const size_t n = arguments.size();
    size_t i = 0;
    for (;;) {
        while (i < n && isSeparator(arguments[i]))
            ++i;
        if (i >= n)
            break;
        ArgumentToken token;
        token.begin = i;
        bool inQuotes = false;
        while (i < n) {
            const wchar_t c = arguments[i];
            if (c == L'\\') {
                size_t k = i;
                while (k < n && arguments[k] == L'\\')
                    ++k;
                const size_t count = k - i;
                if (k < n && arguments[k] == L'"') {
                    token.value.append(count / 2, L'\\');
                    if (count % 2 != 0) {
                        token.value += L'"';
                        token.quoted = true;
                        i = k + 1;
                    } else {
                        i = k; // the quote opens or closes
                    }
                } else {
                    token.value.append(count, L'\\');
                    i = k;
                }
                continue;
            }
            if (c == L'"') {
                token.quoted = true;
                if (inQuotes && i + 1 < n && arguments[i + 1] == L'"') {
                    token.value += L'"';
                    i += 2;
                } else {
                    inQuotes = !inQuotes;
                    ++i;
                }
                continue;
            }
            if (!inQuotes && isSeparator(c))
                break;
            token.value += c;
            ++i;
        }
        token.end = i;
        tokens.push_back(std::move(token));
    }
    return tokens;
}

std::wstring neutralizePercent(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (c == L'%')
            out += kPercentReplacement;
        else
            out += c;
    }
    return out;
}

bool encodeForCmd(const std::wstring& value, bool quoted, std::wstring& out) {
    if (!passable(value))
        return false;
    if (!quoted && !needsQuotes(value)) {
        out += neutralizePercent(value);
        return true;
    }
    // Inside quotes cmd reads no syntax, and "" closes and reopens the quotes with nothing in
    // between, so a quote in the value never leaves the rest outside. Backslashes before a quote
    // are doubled so that a program the batch file hands %1 to still reads the value back.
    out += L'"';
    size_t backslashes = 0;
    for (wchar_t c : value) {
        if (c == L'\\') {
            ++backslashes;
            out += c;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes, L'\\');
            out += L"\"\"";
        } else if (c == L'%') {
            out += kPercentReplacement;
        } else {
            out += c;
        }
        backslashes = 0;
    }
    out.append(backslashes, L'\\');
    out += L'"';
    return true;
}

size_t encodeArgumentsForCmd(const std::wstring& arguments, std::wstring& out) {
    std::wstring result;
    size_t position = 0;
    size_t number = 0;
    for (const ArgumentToken& token : splitArguments(arguments)) {
        ++number;
        result.append(arguments, position, token.begin - position);
        if (!encodeForCmd(token.value, token.quoted, result))
            return number;
        position = token.end;
    }
    result.append(arguments, position, std::wstring::npos);
    out = std::move(result);
    return 0;
}

std::wstring redactArguments(const std::wstring& arguments, const std::wstring& secret) {
    if (secret.empty())
        return arguments;
    std::wstring result;
    size_t position = 0;
    for (const ArgumentToken& token : splitArguments(arguments)) {
        if (token.value != secret)
            continue;
        result.append(arguments, position, token.begin - position);
        result += L"*****";
        position = token.end;
    }
    result.append(arguments, position, std::wstring::npos);
    return result;
}
