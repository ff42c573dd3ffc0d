#include "base/win32.h"

#include "tools/campaigns/malformed_replies.h"

#include "base/exception.h"
#include "service/channel.h"
#include "service/serializer.h"
#include "service/tests/test_support.h"
#include "tools/campaigns/campaign.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace campaign {

namespace {

using servicetest::Bytes;
using servicetest::concat;
using servicetest::u32;

enum Mutation : unsigned {
    Intact,
    Truncate,
    Relength,
    FlipBytes,
    FieldLength,
    Garbage,
    LengthSize,
    Combined,
    StrayBefore,
    StrayAfter,
    Disconnect,
    ErrorMarker,
    CharSize,
    MutationCount
};

const char* const kMutationNames[] = {"intact",       "truncate",    "relength",    "flip-bytes",
                                      "field-length", "garbage",     "length-size", "combined",
                                      "stray-before", "stray-after", "disconnect",  "error-marker",
                                      "char-size"};

const GUID kOperation = {
    0x2F0C44E1, 0x5A7B, 0x4C1D, {0x9E, 0x31, 0x6B, 0x0D, 0x8A, 0x52, 0xC4, 0x17}};

std::atomic<uint64_t> g_largestAllocation{0};

void observeAllocation(size_t requested, uint32_t) {
    uint64_t seen = g_largestAllocation.load();
    while (requested > seen && !g_largestAllocation.compare_exchange_weak(seen, requested)) {
    }
}

// The tag "#<index>#" that every answer to query index carries.
std::wstring tag(uint64_t index) {
    return L"#" + std::to_wstring(index) + L"#";
}

std::wstring expectedAnswer(uint64_t index, const std::wstring& name) {
    return tag(index) + L"=" + name;
}

// Every "#digits#" in text that names another query than index.
bool carriesOtherTag(const std::wstring& text, uint64_t index) {
    for (size_t at = text.find(L'#'); at != std::wstring::npos; at = text.find(L'#', at + 1)) {
        size_t end = at + 1;
        uint64_t value = 0;
        while (end < text.size() && text[end] >= L'0' && text[end] <= L'9' && end - at < 20)
            value = value * 10 + (text[end++] - L'0');
        if (end > at + 1 && end < text.size() && text[end] == L'#' && value != index)
            return true;
    }
    return false;
}

// The query's name: its tag and some filler, now and then long enough to need several reads.
std::wstring queryName(uint64_t seed, uint64_t index) {
    Random random = caseRandom(seed, index, 0x51);
    const uint32_t length = random.chance(5) ? 1000 + random.below(15000) : random.below(40);
    std::wstring name = L"q" + tag(index);
    for (uint32_t i = 0; i < length; ++i)
        name += static_cast<wchar_t>(L'a' + random.below(26));
    return name;
}

// The name the client sent: [u32 16][GUID][u32 n][u8 2][UTF-16 text].
bool parseName(const Bytes& payload, std::wstring& name) {
    if (payload.size() < 4 + 16 + 4 + 1 || payload[24] != 2)
        return false;
    const uint32_t length =
        payload[20] | payload[21] << 8 | payload[22] << 16 | uint32_t(payload[23]) << 24;
    if (length == 0 || 24 + uint64_t(length) > payload.size())
        return false;
    name.clear();
    for (uint32_t i = 25; i + 1 < 24 + length; i += 2)
        name += static_cast<wchar_t>(payload[i] | payload[i + 1] << 8);
    return true;
}

bool parseIndex(const std::wstring& name, uint64_t& index) {
    if (name.size() < 4 || name.compare(0, 2, L"q#") != 0)
        return false;
    index = 0;
    size_t at = 2;
    while (at < name.size() && name[at] >= L'0' && name[at] <= L'9')
        index = index * 10 + (name[at++] - L'0');
    return at < name.size() && name[at] == L'#';
}

Bytes randomBytes(Random& random, uint32_t count) {
    Bytes out(count);
    for (uint8_t& b : out)
        b = static_cast<uint8_t>(random.next());
    return out;
}

// What the server does with one attempt at one query.
servicetest::ServerReply shapeReply(Mutation mutation, Random& random, const Bytes& payloadIn,
                                    uint32_t tagBytes, uint64_t& announced, bool& stalled) {
    Bytes payload = payloadIn;
    Bytes length = u32(static_cast<uint32_t>(payload.size()));
    servicetest::ServerReply reply;
    switch (mutation) {
    case Intact:
        break;
    case Truncate:
        payload.resize(random.below(static_cast<uint32_t>(payload.size())));
        if (random.chance(50))
            length = u32(static_cast<uint32_t>(payload.size()));
        break;
    case Relength: {
        const uint32_t size = static_cast<uint32_t>(payload.size());
        const uint32_t choices[] = {size + 1 + random.below(16),
                                    size - 1 - random.below(std::min<uint32_t>(size - 1, 16)),
                                    0x7FFFFFFFu,
                                    0xFFFFFFFFu,
                                    0x10000000u + random.below(0x10000000u),
                                    static_cast<uint32_t>(random.next()),
                                    size * 2,
                                    0};
        length = u32(choices[random.below(8)]);
        break;
    }
    case FlipBytes: {
        // Flipped bytes stay off the tags: a tag forged by the flip would look like a cross answer.
        const uint32_t size = static_cast<uint32_t>(payload.size());
        const uint32_t free = size - tagBytes;
        for (uint32_t n = 1 + random.below(4); n != 0; --n) {
            uint32_t at = random.below(free);
            if (at >= 5)
                at += tagBytes;
            payload[at] ^= static_cast<uint8_t>(1 + random.below(255));
        }
        break;
    }
    case FieldLength: {
        const uint32_t field =
            random.chance(50) ? static_cast<uint32_t>(random.next())
                              : static_cast<uint32_t>(payload.size()) - 4 + random.below(9) - 4;
        const Bytes bytes = u32(field);
        std::copy(bytes.begin(), bytes.end(), payload.begin());
        break;
    }
    case Garbage:
        payload = randomBytes(random, random.below(65));
        length = u32(static_cast<uint32_t>(payload.size()));
        break;
    case LengthSize: {
        uint32_t size = random.below(8);
        if (size >= 4)
            ++size;
        Bytes bytes = concat({length, randomBytes(random, 4)});
        bytes.resize(size);
        length = bytes;
        break;
    }
    case Combined:
        reply.messages = {concat({length, payload})};
        return reply;
    case StrayBefore:
        reply.messages.push_back(random.chance(50) ? concat({length, payload})
                                                   : randomBytes(random, 1 + random.below(8)));
        break;
    case StrayAfter:
        // A whole second reply: a client out of step would give it to the next query.
        reply.messages = {length, payload, length, payload};
        return reply;
    case Disconnect: {
        reply.disconnect = true;
        const uint32_t cut = random.below(3);
        if (cut >= 1)
            reply.messages.push_back(length);
        if (cut == 2)
            reply.messages.push_back(
                Bytes(payload.begin(), payload.begin() + random.below(payload.size())));
        return reply;
    }
    case ErrorMarker:
        payload = servicetest::errorField(L"refused " + std::to_wstring(random.next()));
        length = u32(static_cast<uint32_t>(payload.size()));
        break;
    case CharSize:
        payload[4] = static_cast<uint8_t>(random.next());
        break;
    case MutationCount:
        break;
    }
    const uint32_t claimed =
        length.size() == 4
            ? (length[0] | length[1] << 8 | length[2] << 16 | uint32_t(length[3]) << 24)
            : 0;
    announced = std::max<uint64_t>(announced, claimed);
    // Bytes promised and none sent, on a connection kept open: the service has gone silent.
    stalled = claimed != 0 && payload.empty();
    reply.messages.push_back(length);
    if (!payload.empty())
        reply.messages.push_back(payload);
    return reply;
}

// The server side of the run: decides each attempt's mutation from the seed alone.
struct ServerState {
    uint64_t seed = 0;
    uint64_t lastIndex = UINT64_MAX;
    uint64_t attempt = 0;
    uint64_t largestReplySent = 0;
    uint64_t largestAnnounced = 0;
    uint64_t retried = 0;
    uint64_t* kinds = nullptr;
    uint64_t intact = 0;
    uint64_t lastIntactIndex = UINT64_MAX;
    std::string applied; // the mutations of the attempts at the last query
    std::string previousApplied;
    bool stalled = false;                  // the last attempt's reply went silent
    uint64_t lastSecondReply = UINT64_MAX; // the last query answered twice

    servicetest::ServerReply answer(const servicetest::ServerRequest& request) {
        std::wstring name;
        uint64_t index = 0;
        if (!parseName(request.payload, name) || !parseIndex(name, index))
            return {{u32(0)}, true};
        attempt = index == lastIndex ? attempt + 1 : 0;
        if (attempt == 1)
            ++retried;
        lastIndex = index;
        Random random = caseRandom(seed, index, attempt);
        Mutation mutation = static_cast<Mutation>(random.below(MutationCount));
        if (attempt == 0 && random.chance(15))
            mutation = Intact;
        if (attempt != 0 && random.chance(50))
            mutation = Intact;
        if (attempt == 0) {
            ++kinds[mutation];
            previousApplied = applied;
            applied.clear();
        }
        applied += std::string(applied.empty() ? "" : ",") + kMutationNames[mutation];
        if (mutation == StrayAfter)
            lastSecondReply = index;
        // The answer the client keeps is the last attempt's; only an intact last one must match.
        lastIntactIndex = mutation == Intact ? index : UINT64_MAX;
        const Bytes payload = servicetest::wideField(expectedAnswer(index, name));
        const uint32_t tagBytes = static_cast<uint32_t>(4 * tag(index).size() + 4);
        stalled = false;
        servicetest::ServerReply reply =
            shapeReply(mutation, random, payload, tagBytes, largestAnnounced, stalled);
        uint64_t sent = 0;
        for (const Bytes& message : reply.messages)
            sent += message.size();
        largestReplySent = std::max(largestReplySent, sent);
        return reply;
    }
};

} // namespace

const char* mutationName(unsigned kind) {
    return kind < MutationCount ? kMutationNames[kind] : nullptr;
}

RepliesFigures runMalformedReplies(const RepliesOptions& options) {
    RepliesFigures figures;
    ServerState state;
    state.seed = options.seed;
    state.kinds = figures.kinds;

    const ProcessFigures before = processFigures();
    figures.peakPagefileBefore = before.peakPagefile;
    figures.privateBefore = before.privateBytes;
    figures.pagefileBefore = before.pagefile;
    g_largestAllocation = 0;
    const vserializer::AllocationObserver previous =
        vserializer::setAllocationObserver(&observeAllocation);

    const std::wstring pipeName = campaignPipeName(L"zra-campaign-replies");
    std::mutex serverMutex;
    std::unique_ptr<servicetest::TestPipeServer> server;
    auto startServer = [&] {
        std::lock_guard<std::mutex> guard(serverMutex);
        server.reset();
        server = std::make_unique<servicetest::TestPipeServer>(
            pipeName, [&state](const servicetest::ServerRequest& request, size_t) {
                return state.answer(request);
            });
    };
    startServer();
    // A stuck query is freed by taking the server away: its pending read then fails.
    Watchdog watchdog(options.queryBoundMs, [&] {
        std::lock_guard<std::mutex> guard(serverMutex);
        server->stop();
    });

    // No key of that name exists, so the built-in pipe name holds.
    vpipechannel::client client(L"SOFTWARE\\ZraTest\\campaign-no-such-key", pipeName, false);
    const uint64_t start = milliseconds();
    bool previousCross = false;
    for (uint64_t index = 0; index < options.count; ++index) {
        if (options.timeLimitMs != 0 && milliseconds() - start >= options.timeLimitMs)
            break;
        const std::wstring name = queryName(options.seed, index);
        vserializer body;
        body.writeString(name);
        watchdog.arm();
        bool answered = false;
        std::wstring answer;
        try {
            answer = client.queryString(kOperation, body);
            answered = true;
        } catch (const vexception&) {
            ++figures.failed;
        } catch (...) {
            ++figures.unexpected;
        }
        const bool hung = watchdog.disarm();
        ++figures.queries;
        const bool seen = state.lastIndex == index;
        const char* incident = nullptr;
        if (hung) {
            if (seen && state.stalled) {
                ++figures.stalls;
                incident = "waited on a silent service";
            } else {
                ++figures.hangs;
                incident = "hang";
            }
            startServer();
        }
        // Once a late second reply is taken for an answer, the channel can stay a reply behind:
        // each later query reads its predecessor's answer for as long as it checks the pipe
        // before the service has written that answer.
        // Queries that fail in between do not bring the channel back in step: only a reconnect
        // does, so a chain is counted for a few queries after the second reply.
        const bool afterSecondReply = previousCross || (state.lastSecondReply != UINT64_MAX &&
                                                        index - state.lastSecondReply <= 8);
        previousCross = false;
        if (answered) {
            ++figures.answered;
            if (carriesOtherTag(answer, index)) {
                ++figures.crossAnswers;
                previousCross = true;
                incident = "cross answer";
                if (afterSecondReply)
                    ++figures.lateExtraReplies;
            }
        }
        if (seen && state.lastIntactIndex == index && !hung && !afterSecondReply) {
            ++figures.intact;
            if (!answered || answer != expectedAnswer(index, name)) {
                ++figures.intactWrong;
                incident = "intact reply answered wrongly";
            }
        }
        if (incident != nullptr && figures.incidents.size() < 20)
            figures.incidents.push_back(
                "query " + std::to_string(index) + ": " + incident + " after [" +
                (seen ? state.applied : std::string()) + "], previous query [" +
                (seen ? state.previousApplied : state.applied) + "] -> " +
                (answered ? utf8(answer.substr(0, 60)) : std::string("(raised)")));
        if (options.progress != nullptr && (index + 1) % options.progressEvery == 0) {
            std::fprintf(options.progress,
                         "  %llu queries, %llu s: answered %llu, failed %llu, hangs %llu, "
                         "cross %llu\n",
                         static_cast<unsigned long long>(index + 1),
                         static_cast<unsigned long long>((milliseconds() - start) / 1000),
                         static_cast<unsigned long long>(figures.answered),
                         static_cast<unsigned long long>(figures.failed),
                         static_cast<unsigned long long>(figures.hangs),
                         static_cast<unsigned long long>(figures.crossAnswers));
            std::fflush(options.progress);
        }
    }
    figures.elapsedMs = milliseconds() - start;
    client.disconnect();
    {
        std::lock_guard<std::mutex> guard(serverMutex);
        server.reset();
    }
    vserializer::setAllocationObserver(previous);
    figures.retried = state.retried;
    figures.largestAllocation = g_largestAllocation;
    figures.largestReplySent = state.largestReplySent;
    figures.largestAnnounced = state.largestAnnounced;
    const ProcessFigures after = processFigures();
    figures.peakPagefileAfter = after.peakPagefile;
    figures.privateAfter = after.privateBytes;
    figures.pagefileAfter = after.pagefile;
    return figures;
}

void printRepliesFigures(FILE* out, const RepliesOptions& options, const RepliesFigures& f) {
    auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::fprintf(out, "malformed replies: seed %llu, %llu of %llu queries in %.1f s (%.0f/s)\n",
                 n(options.seed), n(f.queries), n(options.count), f.elapsedMs / 1000.0,
                 f.elapsedMs ? f.queries * 1000.0 / f.elapsedMs : 0.0);
    std::fprintf(out, "  first attempts by mutation:");
    for (unsigned k = 0; mutationName(k) != nullptr; ++k)
        std::fprintf(out, " %s %llu", mutationName(k), n(f.kinds[k]));
    std::fprintf(out, "\n  answered %llu, failed cleanly %llu, retried by the client %llu\n",
                 n(f.answered), n(f.failed), n(f.retried));
    std::fprintf(out,
                 "  crashes 0 (the run finished), unexpected exceptions %llu, hangs %llu "
                 "(bound %lu ms), cross answers %llu\n",
                 n(f.unexpected), n(f.hangs), options.queryBoundMs, n(f.crossAnswers));
    std::fprintf(out,
                 "  of those: waits on a service that announced a reply and went silent %llu "
                 "(not in hangs); cross answers within 8 queries of a late second reply "
                 "%llu\n",
                 n(f.stalls), n(f.lateExtraReplies));
    std::fprintf(out, "  intact last replies %llu (outside such chains), answered wrongly %llu\n",
                 n(f.intact), n(f.intactWrong));
    std::fprintf(out, "  largest reply sent %s; largest length claimed %s\n",
                 formatBytes(f.largestReplySent).c_str(), formatBytes(f.largestAnnounced).c_str());
    std::fprintf(out, "  largest serializer allocation %s\n",
                 formatBytes(f.largestAllocation).c_str());
    std::fprintf(out, "  peak pagefile usage %s before, %s after\n",
                 formatBytes(f.peakPagefileBefore).c_str(),
                 formatBytes(f.peakPagefileAfter).c_str());
    for (const std::string& incident : f.incidents)
        std::fprintf(out, "  ! %s\n", incident.c_str());
    std::fprintf(out, "  private bytes %s before, %s after; pagefile usage %s before, %s after\n",
                 formatBytes(f.privateBefore).c_str(), formatBytes(f.privateAfter).c_str(),
                 formatBytes(f.pagefileBefore).c_str(), formatBytes(f.pagefileAfter).c_str());
}

} // namespace campaign
