// Queries against a pipe server whose replies are mutated, cut short and given false lengths: the
// client must fail each such query cleanly, never hang, never hand one query another's answer, and
// never ask for memory the reply's bytes do not justify.
#pragma once

#include "base/win32.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace campaign {

struct RepliesOptions {
    uint64_t count = 1000000;
    uint64_t seed = 0;
    DWORD queryBoundMs = 10000; // a query running longer counts as a hang
    uint64_t timeLimitMs = 0;   // 0: no limit; otherwise stop starting queries after it
    FILE* progress = nullptr;   // a line every progressEvery queries when set
    uint64_t progressEvery = 50000;
};

struct RepliesFigures {
    uint64_t queries = 0;
    uint64_t intact = 0;      // replies sent unchanged
    uint64_t intactWrong = 0; // ... answered with anything but the expected text
    uint64_t answered = 0;    // queries that returned a string
    uint64_t failed = 0;      // queries that raised a vexception
    uint64_t unexpected = 0;  // queries that raised anything else
    uint64_t hangs = 0;       // queries past the bound, stalls aside
    uint64_t stalls = 0;      // past the bound after the server promised bytes and fell silent
    // Cross answers right after a query answered twice, or after another cross answer.
    uint64_t lateExtraReplies = 0;
    uint64_t crossAnswers = 0; // answers carrying another query's tag
    uint64_t retried = 0;      // queries the server saw twice (reconnect and retry)
    uint64_t largestAllocation = 0;
    uint64_t largestReplySent = 0; // bytes of all messages of one attempt's reply
    uint64_t largestAnnounced = 0; // the largest length a reply claimed
    uint64_t peakPagefileBefore = 0;
    uint64_t peakPagefileAfter = 0;
    uint64_t privateBefore = 0;
    uint64_t privateAfter = 0;
    uint64_t pagefileBefore = 0;
    uint64_t pagefileAfter = 0;
    uint64_t elapsedMs = 0;
    uint64_t kinds[16] = {}; // first attempts by mutation
    // The first few queries that hung, crossed or lost an intact answer, for replay: the query
    // index, what happened, and the mutations the server applied to its attempts.
    std::vector<std::string> incidents;
};

// The names of the mutations, indexed like RepliesFigures::kinds; null past the last.
const char* mutationName(unsigned kind);

RepliesFigures runMalformedReplies(const RepliesOptions& options);

void printRepliesFigures(FILE* out, const RepliesOptions& options, const RepliesFigures& f);

} // namespace campaign
