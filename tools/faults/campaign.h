// The fault-injection campaign: the launcher built with the injector is run once per call of each
// injectable import on each scenario, the k-th call failed, and every run is judged against the
// same scenario without a fault.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace faults {

enum class Outcome { Ok, Clean, WrongSuccess, Crash, Hang, Garbled, Other, Count };
const char* outcomeName(Outcome outcome);

// What one run of the launcher gave.
struct Observation {
    uint32_t exitCode = 0;
    std::string out;
    bool timedOut = false;
    bool fired = false;  // the injector reports that the named call was made and failed
    bool logged = false; // the Debug log grew (Debug scenarios only)
    std::string caller;  // "0x..." the return address of the failed call
};

struct ScenarioTraits {
    bool checkSystem = false; // a readiness check, not an examination
    // The error means "no such object": an absent mutex or key, which a check may read as ready.
    bool notFoundError = false;
    // The failed function is one the checks look with (the mutex, the keys): "ready" after it
    // failed is a verdict on a look that was never made. Other failures (static set-up that
    // falls back) may leave the verdict standing.
    bool probe = false;
};

// Judges a run against the run without a fault; why is set for anything but Ok and Clean.
Outcome judge(const ScenarioTraits& traits, const Observation& baseline, const Observation& run,
              std::string& why);

struct Options {
    std::vector<std::string> functions; // empty: every injectable function the scenario calls
    std::vector<std::string> scenarios; // empty: all
    uint32_t error = 0;                 // 0: each function's own plausible error
    uint32_t maxCalls = 0;              // 0: every k up to the function's count
    uint32_t boundMs = 30000;
    FILE* progress = nullptr;
};

struct Case {
    std::string scenario;
    std::string function;
    uint32_t call = 0;
    uint32_t error = 0;
    Outcome outcome = Outcome::Ok;
    std::string why;
    Observation observation;
};

struct Figures {
    // outcome counts per scenario, and in total under ""
    std::map<std::string, std::vector<uint64_t>> counts;
    std::vector<Case> cases; // every run that was not Ok or Clean
    uint64_t runs = 0;
    uint64_t elapsedMs = 0;
    std::vector<std::string> problems; // a scenario that could not be set up or had no baseline
};

std::vector<std::string> scenarioNames();

// One scenario staged: the product tree and scripts, the stand-in service with the scenario's
// answers, the registry keys, the installer mutex and the Debug switch; all undone at the end.
class Session {
public:
    explicit Session(const std::string& scenario, uint32_t boundMs = 30000);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Empty when the scenario is staged; otherwise what went wrong.
    const std::string& problem() const;
    bool checkSystem() const;
    // One run of the fault-injection launcher with ZRA_FAULT set to fault ("" for none);
    // errorText receives its standard error (the injector's count lines).
    Observation run(const std::string& fault, std::string* errorText = nullptr) const;

private:
    struct State;
    State* state_;
};

// The injectable functions a run with ZRA_FAULT=count reported, with their counts.
std::vector<std::pair<std::string, uint32_t>> parseCounts(const std::string& errorText);
Figures runCampaign(const Options& options);
void printFigures(FILE* out, const Figures& figures);

} // namespace faults
