// The Debug switch with nothing below the errors library: the base tests link no registry code, so
// the switch is off until a test installs a reader of its own.
#include "base/exception.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

enum class Read { Value, Missing, Throws };
struct Step {
    Read kind;
    uint32_t value;
};

std::vector<Step> g_script;
size_t g_reads = 0;

bool scriptedReader(uint32_t& value) {
    const Step step = g_reads < g_script.size() ? g_script[g_reads] : Step{Read::Missing, 0};
    ++g_reads;
    if (step.kind == Read::Throws)
        throw vexception(L"RegQueryValueEx invalid type of 'Debug'");
    if (step.kind == Read::Missing)
        return false;
    value = step.value;
    return true;
}

// Installs the scripted reader for one test and takes it out again.
class DebugSwitchWithoutRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        EXPECT_EQ(nullptr, setDebugSwitchReader(nullptr)) << "no reader without the registry";
        resetDebugSwitchCache();
        g_script.clear();
        g_reads = 0;
    }
    void TearDown() override {
        setDebugSwitchReader(nullptr);
        resetDebugSwitchCache();
    }
    // 'T' / 'F' for each call in turn.
    static std::string calls(size_t count) {
        std::string results;
        for (size_t i = 0; i < count; ++i)
            results += isDebugEnabled() ? 'T' : 'F';
        return results;
    }
};

TEST_F(DebugSwitchWithoutRegistry, IsOffWithoutAReaderAndCountsNoCalls) {
    const vexception e(L"Incorrect launching options.", SourceLocation(L"", "wmain", 66));
    EXPECT_EQ(std::string(40, 'F'), calls(40));
    EXPECT_EQ(L"Incorrect launching options.", e.text());
    // Calls made before the reader came (static initialisation elsewhere) do not delay its first
    // read to the 17th call.
    g_script = {{Read::Value, 1}};
    setDebugSwitchReader(&scriptedReader);
    EXPECT_TRUE(isDebugEnabled());
    EXPECT_EQ(1u, g_reads);
    EXPECT_EQ(e.fullText(), e.text());
}

TEST_F(DebugSwitchWithoutRegistry, SetReturnsThePreviousReader) {
    EXPECT_EQ(nullptr, setDebugSwitchReader(&scriptedReader));
    EXPECT_EQ(&scriptedReader, setDebugSwitchReader(&scriptedReader));
    EXPECT_EQ(&scriptedReader, setDebugSwitchReader(nullptr));
    EXPECT_FALSE(isDebugEnabled());
    EXPECT_EQ(0u, g_reads);
}

TEST_F(DebugSwitchWithoutRegistry, ReadsOnTheFirstAndEverySixteenthCall) {
    struct Row {
        const char* what;
        std::vector<Step> script;
        std::string expected; // one letter per call
        size_t reads;
    };
    const std::string on16(16, 'T'), off16(16, 'F');
    const Row rows[] = {
        {"on at the first read", {{Read::Value, 1}}, on16, 1},
        {"any non-zero value is on", {{Read::Value, 0x80000000u}}, "T", 1},
        {"the 17th call sees the change", {{Read::Value, 1}, {Read::Value, 0}}, on16 + "F", 2},
        {"and the 33rd the next one",
         {{Read::Value, 0}, {Read::Value, 0}, {Read::Value, 7}},
         off16 + off16 + "T",
         3},
        {"nothing stored at first: off", {{Read::Missing, 0}}, "FFF", 1},
        {"nothing stored later keeps the cache",
         {{Read::Value, 1}, {Read::Missing, 0}},
         on16 + "T",
         2},
        {"a failed read is off for that call only",
         {{Read::Value, 1}, {Read::Throws, 0}},
         on16 + "F" + std::string(15, 'T'),
         2},
        {"a failed first read leaves the switch off",
         {{Read::Throws, 0}, {Read::Value, 1}},
         off16 + "T",
         2},
    };
    for (const Row& row : rows) {
        resetDebugSwitchCache();
        g_script = row.script;
        g_reads = 0;
        setDebugSwitchReader(&scriptedReader);
        EXPECT_EQ(row.expected, calls(row.expected.size())) << row.what;
        EXPECT_EQ(row.reads, g_reads) << row.what;
    }
}

TEST_F(DebugSwitchWithoutRegistry, ResetMakesTheNextCallReadAgain) {
    g_script = {{Read::Value, 1}, {Read::Value, 0}};
    setDebugSwitchReader(&scriptedReader);
    EXPECT_EQ("TTT", calls(3));
    resetDebugSwitchCache();
    EXPECT_EQ("F", calls(1));
    EXPECT_EQ(2u, g_reads);
}

} // namespace
