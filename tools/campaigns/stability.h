// Many queries through the process-wide service client while the stand-in service restarts every
// so many exchanges: every query must be answered, and the process's handles and private bytes
// must stay flat.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace campaign {

struct StabilityOptions {
    uint32_t count = 10000;
    uint32_t restartAfter = 100;
    // Queries before the "before" figures are taken: the first failure and the first reconnect
    // load message tables and build the logging once (about 2 MiB under Wine).
    uint32_t warmUp = 1000;
    uint32_t sampleEvery = 1000; // a sample of the figures every so many queries
    FILE* progress = nullptr;
};

struct StabilitySample {
    uint32_t queries = 0;
    unsigned long handles = 0;
    uintptr_t nextHandle = 0;
    uint64_t privateBytes = 0;
    uint64_t pagefile = 0;
};

struct StabilityFigures {
    uint32_t queries = 0;
    uint32_t answered = 0;
    uint32_t wrong = 0;      // answered with anything but the configured value
    uint32_t failed = 0;     // raised
    uint32_t failureRuns = 0; // stretches of consecutive failed queries
    uint32_t reconnects = 0; // exchanges retried after a reconnect
    StabilitySample start;   // before the first query
    StabilitySample before;  // after the warm-up
    StabilitySample after;   // after the last query
    std::vector<StabilitySample> samples;
    uint64_t elapsedMs = 0;
    bool serviceStarted = false;
    std::vector<std::string> failures; // the first few failure texts, with the query number
};

StabilityFigures runStability(const StabilityOptions& options);
void printStabilityFigures(FILE* out, const StabilityOptions& options, const StabilityFigures& f);

} // namespace campaign
