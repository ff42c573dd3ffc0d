// The built launcher against every fault the stand-in service can inject, on each of the queries
// an examination makes: each run must end in an error text or in the child started with exactly
// the password, version road and product root that were configured, and never hang.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace campaign {

struct FaultsOptions {
    // Fault specifications as the stand-in's "--fault" takes them, without the name; empty: all.
    std::vector<std::wstring> faults;
    // Query names ("pwd", "PANEL_VERSION", "PRODUCT_VERSION", "PRODUCT_ROOT_D", "componentInfo");
    // empty: all.
    std::vector<std::wstring> queries;
    bool once = true;   // also each fault applied to the first request only
    bool always = true; // each fault applied to every request
    uint32_t launchBoundMs = 60000;
    FILE* progress = nullptr; // one line per run when set
};

enum class Outcome {
    ExactChild, // the child ran with the configured values
    ErrorText,  // no child, exit code 1, a known failure text
    WrongChild, // a child ran with something else
    OtherText,  // no child, but an unknown text or another exit code
    Hang,       // past the bound
};
const char* outcomeName(Outcome outcome);

struct FaultRun {
    std::wstring query;
    std::wstring fault; // as given to --set
    Outcome outcome = Outcome::OtherText;
    uint32_t exitCode = 0;
    std::string output;
    uint64_t elapsedMs = 0;
};

struct FaultsFigures {
    std::vector<FaultRun> runs;
    uint64_t counts[5] = {};
    uint64_t elapsedMs = 0;
};

// How one launch ended, from its output, exit code and time-out, given the child command line and
// working directory that the configured values make.
Outcome judgeLaunch(const std::string& output, uint32_t exitCode, bool timedOut,
                    const std::wstring& expectedCommandLine, const std::wstring& expectedDirectory);

// The fault specifications the stand-in knows, with arguments chosen at the edges.
std::vector<std::wstring> allFaultSpecs();
std::vector<std::wstring> allQueries();

FaultsFigures runServiceFaults(const FaultsOptions& options);
void printFaultsFigures(FILE* out, const FaultsFigures& figures);

} // namespace campaign
