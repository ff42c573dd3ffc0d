// bench_log_write: what one debug record costs through the file sink over appending the same
// bytes to a file that is already open. The sink is measured as the program uses it: the Debug
// switch on, the "debug" log set in a product root of its own holding as many older files as the
// default history keeps, and a log object made, used and closed for every record (configuration
// read, mutex, directory listing, rotation decision, open, append, close). Both sides run in
// interleaved batches; the ratio of their per-record times is printed.
//
// Options: --rounds N (21), --batch N (100 records per side per round), --warmup N (20),
//          --diagnostic 0|1 (1: also time one log object kept open across records).
#include "base/win32.h"

#include "base/exception.h"
#include "base/text.h"
#include "bench/bench_support.h"
#include "logging/log.h"
#include "logging/log_line.h"
#include "logging/varno_log.h"
#include "tools/testing/registry.h"
#include "tools/testing/temp.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace varno::logging;

namespace {

[[noreturn]] void fail(const std::wstring& context, DWORD code) {
    throw vexception(osErrorMessage(code, &context));
}

// One value of the configuration key for the run; what was there before (or nothing) comes back.
// The Debug switch's cache is reset both ways.
class ConfigValue {
public:
    ConfigValue(const wchar_t* name, const zra_testing::RegistryValue& value)
        : value_(zra_testing::panelValue(name, value)) {
        resetDebugSwitchCache();
    }
    ~ConfigValue() {
        value_.reset();
        resetDebugSwitchCache();
    }
    ConfigValue(const ConfigValue&) = delete;
    ConfigValue& operator=(const ConfigValue&) = delete;

private:
    std::optional<zra_testing::ScopedValue> value_;
};

// A product root with an empty log directory, removed with what the run wrote.
class ProductRoot {
public:
    ProductRoot() {
        for (const std::wstring& directory : {root_ + L"\\admin", logs()})
            if (!::CreateDirectoryW(directory.c_str(), nullptr))
                fail(L"CreateDirectoryW " + directory, ::GetLastError());
    }
    const std::wstring& path() const { return root_; }
    std::wstring logs() const { return root_ + L"\\admin\\logs"; }

private:
    zra_testing::TempDirectory directory_{L"bench-log"};
    std::wstring root_ = directory_.path();
};

void makeFile(const std::wstring& path, const std::wstring& text) {
    base::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        fail(L"CreateFileW " + path, ::GetLastError());
    const std::wstring bytes = L"\xFEFF" + text;
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size() * 2), &written,
                     nullptr))
        fail(L"WriteFile " + path, ::GetLastError());
}

size_t countFiles(const std::wstring& directory) {
    size_t count = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ++count;
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    return count;
}

struct Side {
    const wchar_t* name;
    std::function<void()> record;
    std::vector<double> perRecord; // microseconds, one per round
};

int run(int argc, wchar_t** argv) {
    const bench::Options options(argc, argv);
    const uint32_t rounds = options.number(L"rounds", 21, 1, 100000);
    const uint32_t batch = options.number(L"batch", 100, 1, 1000000);
    const uint32_t warmup = options.number(L"warmup", 20, 0, 1000000);
    const bool diagnostic = options.number(L"diagnostic", 1, 0, 1) != 0;

    ProductRoot root;
    using zra_testing::RegistryValue;
    ConfigValue debug(L"Debug", RegistryValue::dword(1));
    ConfigValue productRoot(L"PRODUCT_ROOT_D", RegistryValue::text(root.path()));
    ConfigValue enabled(L"log_debug_enabled", RegistryValue::absent());
    ConfigValue history(L"log_debug_history", RegistryValue::absent());
    ConfigValue rotation(L"log_debug_rotation", RegistryValue::absent());

    // As many older files as the default history keeps: cleanup looks at them and deletes none.
    VDateTime day = VDateTime::now();
    for (int i = 0; i < 3; ++i) {
        day += -86400;
        makeFile(root.logs() + L"\\varnolog_debug" + dateText(day) + L".log", L"older\r\n");
    }

    const std::wstring text = L"path: C:\\scripts\\check.php, args: -v *****, cmdLine "
                              L"\"C:\\scripts\\check.php\" -v *****";
    const std::wstring record = recordText(Info, text);
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    std::wstring line;
    for (const std::wstring& part : lineParts(now, processIdText(), threadIdText(), record))
        line += part;
    const DWORD lineBytes = static_cast<DWORD>(line.size() * sizeof(wchar_t));

    const std::wstring appendPath = root.logs() + L"\\append.bin";
    base::ScopedFileHandle append(::CreateFileW(appendPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!append)
        fail(L"CreateFileW " + appendPath, ::GetLastError());
    std::optional<VarnoLog> openLog;
    if (diagnostic)
        openLog.emplace(L"debug", 1);

    std::vector<Side> sides = {
        {L"file sink", [&] { writeFileSink(Info, text); }, {}},
        {L"append",
         [&] {
             DWORD written = 0;
             if (::SetFilePointer(append.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER ||
                 !::WriteFile(append.get(), line.data(), lineBytes, &written, nullptr) ||
                 written != lineBytes)
                 fail(L"WriteFile " + appendPath, ::GetLastError());
         },
         {}},
    };
    if (diagnostic)
        sides.push_back({L"open log", [&] { openLog->write(record); }, {}});

    for (Side& side : sides)
        for (uint32_t i = 0; i < warmup; ++i)
            side.record();
    // The sink drops what it cannot write; make sure it wrote.
    const std::wstring today =
        root.logs() + L"\\varnolog_debug" + dateText(VDateTime::now()) + L".log";
    if (::GetFileAttributesW(today.c_str()) == INVALID_FILE_ATTRIBUTES)
        throw vexception(L"the file sink wrote nothing to " + today);

    bench::print(L"bench_log_write: one Info record of %u characters, %u rounds x %u records per "
                 L"side, %u files in the log directory\n",
                 static_cast<unsigned>(record.size()), rounds, batch,
                 static_cast<unsigned>(countFiles(root.logs())));

    std::vector<size_t> order(sides.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::vector<double> ratios;
    std::vector<double> openRatios;
    for (uint32_t round = 0; round < rounds; ++round) {
        std::vector<double> times(sides.size());
        for (size_t index : order) {
            Side& side = sides[index];
            const double start = bench::now();
            for (uint32_t i = 0; i < batch; ++i)
                side.record();
            times[index] = bench::now() - start;
            side.perRecord.push_back(times[index] * 1e6 / batch);
        }
        ratios.push_back(times[0] / times[1]);
        if (diagnostic)
            openRatios.push_back(times[2] / times[1]);
        std::next_permutation(order.begin(), order.end());
    }

    for (const Side& side : sides) {
        std::vector<double> sorted = side.perRecord;
        std::sort(sorted.begin(), sorted.end());
        bench::print(L"%-10s per record: median %9.1f us  (min %9.1f, max %9.1f)\n", side.name,
                     bench::median(side.perRecord), sorted.front(), sorted.back());
    }
    if (diagnostic)
        bench::print(L"diagnostic ratio open log/append: %.1f (one log object kept open: no "
                     L"configuration read, listing or open per record)\n",
                     bench::median(openRatios));
    bench::print(L"ratio file sink/append: %.1f (median of per-round ratios)\n",
                 bench::median(ratios));
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    return bench::runMain(L"bench_log_write", &run, argc, argv);
}
