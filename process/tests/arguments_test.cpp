#include "base/text.h"
#include "os/path.h"
#include "process/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring joinQuoted(const std::vector<std::wstring>& values) {
    std::wstring line;
    for (const std::wstring& value : values)
        line += quoteArgument(value) + L" ";
    return line;
}

std::vector<std::wstring> valuesOf(const std::wstring& arguments) {
    std::vector<std::wstring> values;
    for (const ArgumentToken& token : splitArguments(arguments))
        values.push_back(token.value);
    return values;
}

std::wstring encoded(const std::wstring& arguments) {
    std::wstring out = L"untouched";
    EXPECT_EQ(encodeArgumentsForCmd(arguments, out), 0u) << cstr(arguments, 65001);
    return out;
}

} // namespace

TEST(SplitArguments, ReadsBackWhatQuoteArgumentWrote) {
    const std::vector<std::wstring> values = {L"plain",
                                              L"a b",
                                              L"a\"b",
                                              L"C:\\dir x\\",
                                              L"x\\\\",
                                              L"\\\\\"",
                                              L"\"",
                                              L"tab\there",
                                              L"a&b|c",
                                              L"end\\",
                                              L"\\\\server\\share dir\\\\",
                                              L"%PATH%",
                                              L"\x00e9\x4e2d"};
    EXPECT_EQ(valuesOf(joinQuoted(values)), values);
}

TEST(SplitArguments, RecordsWhereEachArgumentStands) {
    const std::wstring line = L"  one \"two three\"\tfour\\\"x ";
    const std::vector<ArgumentToken> tokens = splitArguments(line);
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(line.substr(tokens[0].begin, tokens[0].end - tokens[0].begin), L"one");
    EXPECT_FALSE(tokens[0].quoted);
    EXPECT_EQ(line.substr(tokens[1].begin, tokens[1].end - tokens[1].begin), L"\"two three\"");
    EXPECT_EQ(tokens[1].value, L"two three");
    EXPECT_TRUE(tokens[1].quoted);
    EXPECT_EQ(tokens[2].value, L"four\"x");
    EXPECT_TRUE(tokens[2].quoted);
    // Two quotes inside quotes are one literal quote; an open quote runs to the end.
    EXPECT_EQ(valuesOf(L"\"a\"\"b\" \"open end"),
              (std::vector<std::wstring>{L"a\"b", L"open end"}));
    EXPECT_TRUE(splitArguments(L"   ").empty());
}

TEST(CmdArguments, SafeArgumentsKeepTheirTextExactly) {
    // Quoted or bare as quoteArgument left them, separators and the final space of an empty
    // password included.
    const std::wstring line = joinQuoted({L"-q", L"a b", L"C:\\dir x\\", L"a&b", L"^", L"!PATH!",
                                          L"x\\\\y", L"<in>", L"|", L"a,b;c=d", L"(a b)"});
    EXPECT_EQ(encoded(line), line);
    EXPECT_EQ(encoded(L"a  b\t c "), L"a  b\t c ");
    EXPECT_EQ(encoded(L""), L"");
}

TEST(CmdArguments, QuotesAreDoubledInsideQuotes) {
    EXPECT_EQ(encoded(quoteArgument(L"a\"b")), L"\"a\"\"b\"");
    EXPECT_EQ(encoded(quoteArgument(L"\"")), L"\"\"\"\"");
    // Backslashes before a quote stay doubled so that a C runtime reading %1 gets them back.
    EXPECT_EQ(encoded(quoteArgument(L"a\\\"b")), L"\"a\\\\\"\"b\"");
    EXPECT_EQ(encoded(quoteArgument(L"a b\\")), L"\"a b\\\\\"");
    // A bare argument that holds an escaped quote is quoted.
    EXPECT_EQ(encoded(L"x\\\"y"), L"\"x\"\"y\"");
    // A bare argument with cmd syntax in it (not produced by quoteArgument) is quoted.
    EXPECT_EQ(encoded(L"a&b"), L"\"a&b\"");
}

namespace {

// The C runtime's reading of what a batch file passes on as "%~1" or %1, once cmd has turned each
// neutralised percent sign back into one.
std::vector<std::wstring> forwardedValues(const std::wstring& encodedArgument) {
    std::wstring text = encodedArgument;
    const std::wstring replacement = L"%%cd:~,%";
    for (size_t at = text.find(replacement); at != std::wstring::npos;
         at = text.find(replacement, at + 1))
        text.replace(at, replacement.size(), L"%");
    return valuesOf(text);
}

} // namespace

TEST(CmdArguments, TrailingBackslashesAndParenthesesAreQuoted) {
    // Bare, a trailing backslash ends up before the quote a batch file puts around "%~1", and a
    // parenthesis closes or opens a block where the batch file uses %1.
    const struct {
        std::wstring value;
        std::wstring encoded;
    } cases[] = {
        {L"a\\", L"\"a\\\\\""},
        {L"a\\\\", L"\"a\\\\\\\\\""},
        {L"\\", L"\"\\\\\""},
        {L"C:\\", L"\"C:\\\\\""},
        {L"x)", L"\"x)\""},
        {L"(", L"\"(\""},
        {L")", L"\")\""},
        {L"x(y)", L"\"x(y)\""},
        {L"100%\\", L"\"100%%cd:~,%\\\\\""},
        // Backslashes elsewhere stay as they are.
        {L"a\\b", L"a\\b"},
        {L"\\\\server\\share", L"\\\\server\\share"},
        {L"a\\%", L"a\\%%cd:~,%"},
    };
    for (const auto& c : cases) {
        const std::wstring bare = quoteArgument(c.value);
        EXPECT_EQ(encoded(bare), c.encoded) << cstr(c.value, 65001);
        EXPECT_EQ(forwardedValues(c.encoded), std::vector<std::wstring>{c.value})
            << cstr(c.value, 65001);
    }
    // Arguments quoted already keep their text: the trailing backslash is doubled there.
    for (const std::wstring& value : {std::wstring(L"a b\\"), std::wstring(L"x y\\\\")}) {
        const std::wstring quoted = quoteArgument(value);
        EXPECT_EQ(encoded(quoted), quoted);
        EXPECT_EQ(forwardedValues(quoted), std::vector<std::wstring>{value});
    }
    // Side by side, a trailing backslash no longer takes the next argument with it.
    EXPECT_EQ(forwardedValues(encoded(joinQuoted({L"a\\", L"b", L"pw\\"}))),
              (std::vector<std::wstring>{L"a\\", L"b", L"pw\\"}));
}

TEST(CmdArguments, PercentSignsCannotNameAVariable) {
    EXPECT_EQ(encoded(L"%PATH%"), L"%%cd:~,%PATH%%cd:~,%");
    EXPECT_EQ(encoded(quoteArgument(L"100% sure")), L"\"100%%cd:~,% sure\"");
    EXPECT_EQ(encoded(L"%%"), L"%%cd:~,%%%cd:~,%");
    EXPECT_EQ(neutralizePercent(L"C:\\100%\\x.bat"), L"C:\\100%%cd:~,%\\x.bat");
}

TEST(CmdArguments, LineBreaksAndNulAreRejectedWithTheirArgumentNumber) {
    std::wstring out = L"untouched";
    EXPECT_EQ(encodeArgumentsForCmd(joinQuoted({L"a", L"b\nc"}), out), 2u);
    EXPECT_EQ(encodeArgumentsForCmd(joinQuoted({L"x\ry", L"b"}), out), 1u);
    EXPECT_EQ(encodeArgumentsForCmd(std::wstring(L"a b\0c", 5), out), 2u);
    EXPECT_EQ(out, L"untouched");
}

TEST(RedactArguments, ReplacesEveryArgumentEqualToTheSecret) {
    const std::wstring secret = L"p\"w d\\";
    const std::wstring line = joinQuoted({L"a", L"xp\"w d\\", secret}) + quoteArgument(secret);
    EXPECT_EQ(redactArguments(line, secret),
              quoteArgument(L"a") + L" " + quoteArgument(L"xp\"w d\\") + L" ***** *****");
    EXPECT_EQ(redactArguments(line, L""), line);
    EXPECT_EQ(redactArguments(L"pw pwd", L"pw"), L"***** pwd");
}
