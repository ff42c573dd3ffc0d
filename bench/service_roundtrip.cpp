// bench_service_roundtrip: what one VarnoSrvClient::getString costs over the bare four-transfer
// exchange it is made of. Both talk to the same stand-in service process, each on a connection of
// its own, in interleaved batches; the ratio of the per-call medians is what the client adds.
//
// Options: --rounds N (41), --batch N (200 calls per side per round), --warmup N (200),
//          --diagnostic 0|1 (1: also time the raw exchange with explicit event resets),
//          --pipe NAME (zrapipe; another name is set in the registry for the run and put back).
#include "base/win32.h"

#include "base/exception.h"
#include "base/text.h"
#include "bench/bench_support.h"
#include "service/client.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

const wchar_t kValueName[] = L"PANEL_VERSION";

// The operation identifier of getString in its binary layout.
const GUID kGetString = {
    0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};

void appendU32(std::string& bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t readU32(const char* bytes) {
    return static_cast<uint8_t>(bytes[0]) | static_cast<uint8_t>(bytes[1]) << 8 |
           static_cast<uint8_t>(bytes[2]) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[3])) << 24;
}

// The request payload the client sends for getString(name): the identifier as a 16-byte block,
// then the name as a string field of 2-byte characters.
std::string getStringRequest(const std::wstring& name) {
    std::string payload;
    appendU32(payload, sizeof(GUID));
    payload.append(reinterpret_cast<const char*>(&kGetString), sizeof(GUID));
    appendU32(payload, static_cast<uint32_t>(1 + name.size() * 2));
    payload += '\x02';
    for (wchar_t c : name) {
        payload += static_cast<char>(c & 0xFF);
        payload += static_cast<char>(c >> 8);
    }
    return payload;
}

// The floor: the same pipe, opened the same way (overlapped handle, message read mode), and the
// same four transfers, with nothing around them but the OVERLAPPED wait. With resetEvent, each
// transfer first resets its event explicitly, as the client's transport does: ReadFile and
// WriteFile reset it themselves, so that is one more call into the system per transfer, and under
// Wine one more round trip to the wine server.
class RawExchange {
public:
    RawExchange(const std::wstring& path, bool resetEvent) : resetEvent_(resetEvent) {
        pipe_.reset(::CreateFileW(path.c_str(),
                                  GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FILE_WRITE_DATA,
                                  0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (!pipe_)
            fail(L"CreateFileW " + path);
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!::SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr))
            fail(L"SetNamedPipeHandleState");
        event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event_)
            fail(L"CreateEventW");
        request_ = getStringRequest(kValueName);
        appendU32(requestLength_, static_cast<uint32_t>(request_.size()));
    }

    std::wstring getString() {
        transfer(true, &requestLength_[0], 4);
        transfer(true, &request_[0], static_cast<DWORD>(request_.size()));
        char length[4];
        transfer(false, length, 4);
        const uint32_t replyLength = readU32(length);
        if (replyLength < 5 || replyLength > sizeof reply_)
            throw vexception(format(L"raw: unexpected reply length %u", replyLength));
        transfer(false, reply_, replyLength);
        const uint32_t fieldLength = readU32(reply_);
        if (fieldLength + 4 > replyLength || fieldLength < 1 || reply_[4] != 2)
            throw vexception(L"raw: the reply is not a string field of 2-byte characters");
        std::wstring value((fieldLength - 1) / 2, L'\0');
        std::memcpy(&value[0], reply_ + 5, value.size() * 2);
        return value;
    }

private:
    [[noreturn]] void fail(const std::wstring& context) {
        const DWORD code = ::GetLastError();
        throw vexception(osErrorMessage(code, &context));
    }

    void transfer(bool write, char* buffer, DWORD size) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event_.get();
        if (resetEvent_ && !::ResetEvent(event_.get()))
            fail(L"ResetEvent");
        const BOOL done = write ? ::WriteFile(pipe_.get(), buffer, size, nullptr, &overlapped)
                                : ::ReadFile(pipe_.get(), buffer, size, nullptr, &overlapped);
        if (!done && ::GetLastError() != ERROR_IO_PENDING)
            fail(write ? L"WriteFile" : L"ReadFile");
        DWORD count = 0;
        if (!::GetOverlappedResult(pipe_.get(), &overlapped, &count, TRUE))
            fail(L"GetOverlappedResult");
        if (count != size)
            throw vexception(format(L"raw: %u of %u bytes", static_cast<unsigned>(count),
                                    static_cast<unsigned>(size)));
    }

    bool resetEvent_;
    base::ScopedFileHandle pipe_;
    base::ScopedHandle event_;
    std::string requestLength_;
    std::string request_;
    char reply_[4096];
};

struct Side {
    const wchar_t* name;
    std::function<std::wstring()> call;
    std::vector<double> perCall; // microseconds, one per round
};

int run(int argc, wchar_t** argv) {
    const bench::Options options(argc, argv);
    const uint32_t rounds = options.number(L"rounds", 41, 1, 100000);
    const uint32_t batch = options.number(L"batch", 200, 1, 1000000);
    const uint32_t warmup = options.number(L"warmup", 200, 0, 1000000);
    const bool diagnostic = options.number(L"diagnostic", 1, 0, 1) != 0;
    const std::wstring pipeName = options.text(L"pipe", bench::kDefaultPipeName);
    const std::wstring standinExe = options.text(L"standin", ZRA_STANDIN_SERVICE_EXE);

    bench::PipeNameOverride override(pipeName);
    bench::StandinService service(standinExe, pipeName, {});

    // Every side has a connection of its own to the one service, which serves each connection on
    // a thread of its own.
    VarnoSrvClient& client = VarnoSrvClient::getInstance();
    RawExchange raw(L"\\\\.\\pipe\\" + pipeName, false);
    RawExchange rawReset(L"\\\\.\\pipe\\" + pipeName, true);
    std::vector<Side> sides = {
        {L"client", [&] { return client.getString(kValueName); }, {}},
        {L"raw", [&] { return raw.getString(); }, {}},
    };
    if (diagnostic)
        sides.push_back({L"raw+ResetEvent", [&] { return rawReset.getString(); }, {}});

    const std::wstring expected = client.getString(kValueName);
    for (Side& side : sides) {
        const std::wstring value = side.call();
        if (value != expected)
            throw vexception(L"the sides disagree: client '" + expected + L"', " + side.name +
                             L" '" + value + L"'");
        for (uint32_t i = 0; i < warmup; ++i)
            side.call();
    }

    bench::print(L"bench_service_roundtrip: getString(\"%s\") = \"%s\" on \\\\.\\pipe\\%s, "
                 L"%u rounds x %u calls per side\n",
                 kValueName, expected.c_str(), pipeName.c_str(), rounds, batch);

    // Every order of the sides in turn, so that none always runs on the cache or scheduler state
    // that one particular other side left behind.
    std::vector<size_t> order(sides.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::vector<double> ratios;
    std::vector<double> resetRatios;
    for (uint32_t round = 0; round < rounds; ++round) {
        std::vector<double> times(sides.size());
        for (size_t index : order) {
            Side& side = sides[index];
            std::wstring answer;
            const double start = bench::now();
            for (uint32_t i = 0; i < batch; ++i)
                answer = side.call();
            times[index] = bench::now() - start;
            if (answer != expected)
                throw vexception(std::wstring(side.name) + L": unexpected answer '" + answer +
                                 L"'");
            side.perCall.push_back(times[index] * 1e6 / batch);
        }
        ratios.push_back(times[0] / times[1]);
        if (diagnostic)
            resetRatios.push_back(times[2] / times[1]);
        std::next_permutation(order.begin(), order.end());
    }

    for (const Side& side : sides) {
        std::vector<double> sorted = side.perCall;
        std::sort(sorted.begin(), sorted.end());
        bench::print(L"%-14s per call: median %8.1f us  (min %8.1f, max %8.1f)\n", side.name,
                     bench::median(side.perCall), sorted.front(), sorted.back());
    }
    if (diagnostic)
        bench::print(L"diagnostic ratio raw+ResetEvent/raw: %.2f (what 4 explicit event resets "
                     L"per query cost)\n",
                     bench::median(resetRatios));
    const double ratio = bench::median(ratios);
    bench::print(L"ratio of medians client/raw: %.2f\n",
                 bench::median(sides[0].perCall) / bench::median(sides[1].perCall));
    bench::printGoal(L"client/raw", ratio, 1.1);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    return bench::runMain(L"bench_service_roundtrip", &run, argc, argv);
}
