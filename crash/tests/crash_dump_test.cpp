#include "crash/crash_dump.h"

#include "base/exception.h"
#include "crash/tests/config_test_support.h"
#include "crash/tests/dump_test_support.h"
#include "logging/log.h"
#include "os/datetime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using zra_test::DumpConfig;
using zra_test::ScopedConfigValue;
using zra_test::TempDirectory;

// Error records that reach the log, kept for the tests to read.
struct Recorded {
    DWORD thread;
    int level;
    std::wstring message;
    std::vector<SourceLocation> locations;
};

class RecordingSink : public varno::logging::LogSink {
public:
    void write(int level, const vexception& e) override {
        std::lock_guard<std::mutex> lock(mutex);
        records.push_back({::GetCurrentThreadId(), level, e.message(), e.locations()});
    }
    void write(int level, const std::wstring& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        records.push_back({::GetCurrentThreadId(), level, text, {}});
    }
    std::mutex mutex;
    std::vector<Recorded> records;
};

RecordingSink& sink() {
    static RecordingSink* instance = [] {
        auto owned = std::make_unique<RecordingSink>();
        RecordingSink* raw = owned.get();
        varno::logging::getLogManager().addSink(std::move(owned));
        return raw;
    }();
    return *instance;
}

std::vector<Recorded> takeRecords() {
    RecordingSink& s = sink();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<Recorded> taken;
    taken.swap(s.records);
    return taken;
}

bool hasLocation(const Recorded& r, const char* function, int line) {
    return std::any_of(r.locations.begin(), r.locations.end(), [&](const SourceLocation& l) {
        return l.function == function && l.line == line;
    });
}

// Puts a writer in place for a scope.
class ScopedWriter {
public:
    explicit ScopedWriter(crash::MiniDumpWriter writer)
        : previous_(crash::setMiniDumpWriter(writer)) {}
    ~ScopedWriter() { crash::setMiniDumpWriter(previous_); }

private:
    crash::MiniDumpWriter previous_;
};

// A fault record as the translator hands it over.
struct SyntheticFault {
    EXCEPTION_RECORD record{};
    CONTEXT context{};
    EXCEPTION_POINTERS pointers{};
    explicit SyntheticFault(DWORD code) {
        record.ExceptionCode = code;
        ::RtlCaptureContext(&context);
        pointers.ExceptionRecord = &record;
        pointers.ContextRecord = &context;
    }
};

// The machine's own dump settings survive a test that sets one of them.
TEST(DumpConfig, PutsBackWhatTheMachineHad) {
    const auto read = []() -> DWORD {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, zra_testing::kPanelConfigKey, 0,
                            KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
            return 0xFFFFFFFF;
        DWORD value = 0, size = sizeof value;
        const LSTATUS status = ::RegQueryValueExW(key, L"CrashDumpsMaxCount", nullptr, nullptr,
                                                  reinterpret_cast<BYTE*>(&value), &size);
        ::RegCloseKey(key);
        return status == ERROR_SUCCESS ? value : 0xFFFFFFFF;
    };
    ScopedConfigValue machine = ScopedConfigValue::dword(L"CrashDumpsMaxCount", 7);
    {
        DumpConfig config;
        config.set(ScopedConfigValue::dword(L"CrashDumpsMaxCount", 3));
        EXPECT_EQ(3u, read());
    }
    EXPECT_EQ(7u, read());
}

TEST(CrashDumpInfo, ConfigurationDecidesWhetherAndWhereDumpsGo) {
    TempDirectory temp;
    const std::wstring root = temp.path() + L"\\root";
    const std::wstring defaultLocation = root + L"\\etc\\crashdumps";
    const std::wstring custom = temp.path() + L"\\custom\\deeper";
    zra_test::makeFile(temp.path() + L"\\plain-file");
    ::SetEnvironmentVariableW(L"ZRA_CRASH_TEST_ROOT", root.c_str());

    struct Case {
        const char* what;
        std::vector<std::pair<const wchar_t*, DWORD>> dwords;
        std::vector<std::tuple<const wchar_t*, std::wstring, DWORD>> texts;
        bool enabled;
        std::wstring location; // and it exists
        uint32_t maxCount;
        bool madeBeforeTheFailure = false; // the directory comes before the count
    } cases[] = {
        {"no switch, a root", {}, {{L"PRODUCT_ROOT_D", root, REG_SZ}}, true, defaultLocation, 10},
        {"switch on",
         {{L"CrashDumpsEnabled", 1}},
         {{L"PRODUCT_ROOT_D", root, REG_SZ}},
         true,
         defaultLocation,
         10},
        {"any non-zero switch",
         {{L"CrashDumpsEnabled", 7}},
         {{L"PRODUCT_ROOT_D", root, REG_SZ}},
         true,
         defaultLocation,
         10},
        {"expandable root",
         {},
         {{L"PRODUCT_ROOT_D", L"%ZRA_CRASH_TEST_ROOT%", REG_EXPAND_SZ}},
         true,
         defaultLocation,
         10},
        {"own location and count",
         {{L"CrashDumpsMaxCount", 3}},
         {{L"PRODUCT_ROOT_D", root, REG_SZ}, {L"CrashDumpsLocation", custom, REG_SZ}},
         true,
         custom,
         3},
        {"count zero",
         {{L"CrashDumpsMaxCount", 0}},
         {{L"PRODUCT_ROOT_D", root, REG_SZ}},
         true,
         defaultLocation,
         0},
        {"switch off",
         {{L"CrashDumpsEnabled", 0}},
         {{L"PRODUCT_ROOT_D", root, REG_SZ}},
         false,
         L"",
         10},
        {"no root", {{L"CrashDumpsEnabled", 1}}, {}, false, L"", 10},
        {"empty root", {}, {{L"PRODUCT_ROOT_D", L"", REG_SZ}}, false, L"", 10},
        {"switch of the wrong type",
         {},
         {{L"PRODUCT_ROOT_D", root, REG_SZ}, {L"CrashDumpsEnabled", L"1", REG_SZ}},
         false,
         L"",
         10},
        {"count of the wrong type",
         {},
         {{L"PRODUCT_ROOT_D", root, REG_SZ}, {L"CrashDumpsMaxCount", L"5", REG_SZ}},
         false,
         L"",
         10,
         true},
        {"root of the wrong type", {{L"PRODUCT_ROOT_D", 1}}, {}, false, L"", 10},
        {"location that cannot be made",
         {},
         {{L"PRODUCT_ROOT_D", root, REG_SZ},
          {L"CrashDumpsLocation", temp.path() + L"\\plain-file\\dumps", REG_SZ}},
         false,
         L"",
         10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DumpConfig config;
        for (const auto& d : c.dwords)
            config.set(ScopedConfigValue::dword(d.first, d.second));
        for (const auto& t : c.texts)
            config.set(ScopedConfigValue::text(std::get<0>(t), std::get<1>(t), std::get<2>(t)));
        {
            crash::CrashDumpInfo info;
            EXPECT_EQ(c.enabled, info.enabled());
            if (c.enabled) {
                EXPECT_EQ(c.location, info.location());
                EXPECT_TRUE(zra_test::directoryExists(c.location));
                EXPECT_EQ(c.maxCount, info.maxCount());
                EXPECT_EQ(L"crash_tests", info.baseName());
            } else {
                EXPECT_EQ(c.madeBeforeTheFailure, zra_test::directoryExists(defaultLocation));
            }
        }
        zra_testing::removeTree(root);
        zra_testing::removeTree(temp.path() + L"\\custom");
    }
    ::SetEnvironmentVariableW(L"ZRA_CRASH_TEST_ROOT", nullptr);
}

TEST(CrashDumpInfo, FileNameIsProgramNameAndLocalTime) {
    TempDirectory temp;
    DumpConfig config;
    config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()));
    crash::CrashDumpInfo info;
    ASSERT_TRUE(info.enabled());
    const std::wstring prefix = temp.path() + L"\\etc\\crashdumps\\crash_tests";

    EXPECT_EQ(prefix + L"20140307_091500.dmp",
              info.getFileName(VDateTime(2014, 3, 7, 9, 15, 0, 999)));
    EXPECT_EQ(prefix + L"20140307_091500.dmp", info.path());

    const VDateTime before = VDateTime::now();
    const std::wstring now = info.getFileName();
    const VDateTime after = VDateTime::now();
    ASSERT_EQ(prefix.size() + 19, now.size());
    const std::wstring stamp = now.substr(prefix.size(), 15);
    auto stampOf = [](const VDateTime& t) {
        wchar_t text[32];
        std::swprintf(text, 32, L"%04d%02d%02d_%02d%02d%02d", t.year(), t.month(), t.day(),
                      t.hour(), t.minute(), t.second());
        return std::wstring(text);
    };
    EXPECT_LE(stampOf(before), stamp);
    EXPECT_GE(stampOf(after), stamp);
}

TEST(CrashDumpInfo, DisabledDumpingHasNoFileName) {
    DumpConfig config; // no root
    crash::CrashDumpInfo info;
    ASSERT_FALSE(info.enabled());
    try {
        info.getFileName();
        FAIL() << "a file name for disabled dumps";
    } catch (const vexception& e) {
        EXPECT_EQ(L"Crash dumping does not enabled", e.message());
        ASSERT_EQ(1u, e.locations().size());
        EXPECT_EQ("CrashDumpInfo::getFileName", e.locations()[0].function);
        EXPECT_EQ(694, e.locations()[0].line);
    }
}

TEST(CrashDumpInfo, LocationTooLongForTheNameIsRefused) {
    TempDirectory temp;
    std::wstring location = temp.path();
    while (location.size() < 300)
        location += L"\\abcdefghijklmnopqrstuvwxyz";
    DumpConfig config;
    config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()))
        .set(ScopedConfigValue::text(L"CrashDumpsLocation", location));
    crash::CrashDumpInfo info;
    if (!info.enabled()) {
        // The directory could not be made: refused one step earlier, which is as safe.
        EXPECT_FALSE(zra_test::directoryExists(location));
        return;
    }
    try {
        info.getFileName();
        FAIL() << "a path longer than the name buffer";
    } catch (const vosexception& e) {
        EXPECT_EQ(static_cast<uint32_t>(ERROR_FILENAME_EXCED_RANGE), e.code());
        ASSERT_EQ(1u, e.locations().size());
        EXPECT_EQ("CrashDumpInfo::getFileName", e.locations()[0].function);
        EXPECT_EQ(700, e.locations()[0].line);
    }
    // The fault path writes nothing and says why.
    takeRecords();
    ScopedWriter writer(&zra_test::fakeMiniDumpWriter);
    SyntheticFault fault(0xC0000005);
    EXPECT_TRUE(crash::dumpForFault(info, &fault.pointers));
    EXPECT_TRUE(zra_test::listNames(location).empty());
    const std::vector<Recorded> records = takeRecords();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(varno::logging::Error, records[0].level);
    EXPECT_TRUE(hasLocation(records[0], "CrashDumpInfo::getFileName", 700));
    EXPECT_TRUE(hasLocation(records[0], "translateStructuredException", 181));
}

TEST(CrashDumpInfo, PruningKeepsTheNewestDumpsAndNeverArchives) {
    struct Case {
        DWORD maxCount;
        int dumps;
        int kept; // the newest ones
    } cases[] = {{10, 12, 10}, {0, 12, 0}, {10, 10, 10},
                 {20, 12, 12}, {1, 3, 1},  {0xFFFFFFFF, 3, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dumps << " dumps, " << c.maxCount << " kept");
        TempDirectory temp;
        const std::wstring dumps = temp.path() + L"\\dumps";
        DumpConfig config;
        config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()))
            .set(ScopedConfigValue::text(L"CrashDumpsLocation", dumps))
            .set(ScopedConfigValue::dword(L"CrashDumpsMaxCount", c.maxCount));
        {
            crash::CrashDumpInfo info;
            ASSERT_TRUE(info.enabled());
            // Created newest first, so the search order is no help in telling ages apart.
            for (int i = c.dumps - 1; i >= 0; --i)
                zra_test::makeFile(dumps + L"\\tool" + std::to_wstring(100 + i) + L".dmp", i * 60);
            zra_test::makeFile(dumps + L"\\old.zip", -3600);
            zra_test::makeFile(dumps + L"\\notes.txt", -3600);
            ASSERT_TRUE(::CreateDirectoryW((dumps + L"\\folder.dmp").c_str(), nullptr));
        }
        std::vector<std::wstring> expected = {L"folder.dmp", L"notes.txt", L"old.zip"};
        for (int i = c.dumps - c.kept; i < c.dumps; ++i)
            expected.push_back(L"tool" + std::to_wstring(100 + i) + L".dmp");
        std::vector<std::wstring> left = zra_test::listNames(dumps);
        std::sort(expected.begin(), expected.end());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(expected, left);
    }
}

TEST(CrashDumpInfo, DisabledDumpingPrunesNothing) {
    TempDirectory temp;
    const std::wstring dumps = temp.path() + L"\\dumps";
    ASSERT_TRUE(::CreateDirectoryW(dumps.c_str(), nullptr));
    for (int i = 0; i < 3; ++i)
        zra_test::makeFile(dumps + L"\\tool" + std::to_wstring(i) + L".dmp", i);
    {
        DumpConfig config;
        config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()))
            .set(ScopedConfigValue::text(L"CrashDumpsLocation", dumps))
            .set(ScopedConfigValue::dword(L"CrashDumpsMaxCount", 0))
            .set(ScopedConfigValue::dword(L"CrashDumpsEnabled", 0));
        crash::CrashDumpInfo info;
        EXPECT_FALSE(info.enabled());
    }
    EXPECT_EQ(3u, zra_test::listNames(dumps).size());
}

TEST(InternalDumpMiniDump, WritesTheFaultOfTheGivenThreadAndOverwritesAnOlderFile) {
    TempDirectory temp;
    const std::wstring path = temp.path() + L"\\tool.dmp";
    HANDLE old = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, old);
    std::string filler(4096, 'x');
    DWORD written = 0;
    ::WriteFile(old, filler.data(), static_cast<DWORD>(filler.size()), &written, nullptr);
    ::CloseHandle(old);

    ScopedWriter writer(&zra_test::fakeMiniDumpWriter);
    SyntheticFault fault(0xC0000094);
    for (DWORD thread : {DWORD(0), DWORD(4242)}) {
        crash::internalDumpMiniDump(path, &fault.pointers, crash::kFullDumpType, thread);
        const zra_test::FakeDump dump = zra_test::readFakeDump(path);
        ASSERT_TRUE(dump.valid);
        EXPECT_EQ(thread ? thread : ::GetCurrentThreadId(), dump.faultingThread);
        EXPECT_EQ(0xC0000094u, dump.code);
        EXPECT_EQ(7u, dump.type);
        EXPECT_TRUE(dump.clientPointers);
        WIN32_FILE_ATTRIBUTE_DATA data;
        ASSERT_TRUE(::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
        EXPECT_EQ(24u, data.nFileSizeLow); // the older, longer file is gone
    }
}

TEST(InternalDumpMiniDump, FailuresAreLoggedAtErrorAndNeverThrown) {
    TempDirectory temp;
    SyntheticFault fault(0xC0000005);
    struct Case {
        const char* what;
        std::wstring path;
        crash::MiniDumpWriter writer;
        DWORD code;
        bool writerFailed; // the 743 location as well as 745
    } cases[] = {
        {"writer fails", temp.path() + L"\\a.dmp", &zra_test::failingMiniDumpWriter,
         ERROR_DISK_FULL, true},
        {"writer writes nothing", temp.path() + L"\\b.dmp", &zra_test::emptyMiniDumpWriter,
         ERROR_WRITE_FAULT, true},
        {"no such directory", temp.path() + L"\\missing\\a.dmp", &zra_test::fakeMiniDumpWriter,
         ERROR_PATH_NOT_FOUND, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedWriter writer(c.writer);
        takeRecords();
        crash::internalDumpMiniDump(c.path, &fault.pointers, crash::kFullDumpType);
        const std::vector<Recorded> records = takeRecords();
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ(varno::logging::Error, records[0].level);
        EXPECT_TRUE(hasLocation(records[0], "internalDumpMiniDump", 745));
        EXPECT_EQ(c.writerFailed, hasLocation(records[0], "internalDumpMiniDump", 743));
        EXPECT_NE(std::wstring::npos,
                  records[0].message.find(L"(Error code " + std::to_wstring(c.code) + L")"))
            << std::string(records[0].message.begin(), records[0].message.end());
        // No empty dump is left to count toward the kept ones.
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(c.path.c_str()));
    }
}

TEST(DumpForFault, TheDumpIsWrittenOnItsOwnThreadForTheFaultingOne) {
    TempDirectory temp;
    DumpConfig config;
    config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()));
    crash::CrashDumpInfo info;
    ASSERT_TRUE(info.enabled());
    ScopedWriter writer(&zra_test::fakeMiniDumpWriter);

    // Several faulting threads at once: each waits for its own dump.
    std::vector<std::thread> threads;
    std::vector<DWORD> faulting(3);
    std::vector<bool> finished(3);
    std::vector<zra_test::FakeDump> seen(3);
    std::mutex order;
    for (size_t i = 0; i < faulting.size(); ++i)
        threads.emplace_back([&, i] {
            SyntheticFault fault(0xC0000005);
            faulting[i] = ::GetCurrentThreadId();
            std::lock_guard<std::mutex> lock(order); // one file name per second is shared
            finished[i] = crash::dumpForFault(info, &fault.pointers);
            seen[i] = zra_test::readFakeDump(info.path());
        });
    for (std::thread& t : threads)
        t.join();
    for (size_t i = 0; i < faulting.size(); ++i) {
        EXPECT_TRUE(finished[i]);
        ASSERT_TRUE(seen[i].valid);
        EXPECT_EQ(faulting[i], seen[i].faultingThread);
        EXPECT_NE(faulting[i], seen[i].writerThread);
        EXPECT_EQ(crash::dumpThreadId(), seen[i].writerThread);
        EXPECT_EQ(0xC0000005u, seen[i].code);
    }
}

// The faulting thread may hold the log's locks, so the dump thread leaves the logging to it.
TEST(DumpForFault, AFailedDumpIsLoggedByTheFaultingThread) {
    TempDirectory temp;
    DumpConfig config;
    config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()));
    crash::CrashDumpInfo info;
    ASSERT_TRUE(info.enabled());
    ScopedWriter writer(&zra_test::failingMiniDumpWriter);
    SyntheticFault fault(0xC0000005);
    takeRecords();
    EXPECT_TRUE(crash::dumpForFault(info, &fault.pointers));
    const std::vector<Recorded> records = takeRecords();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(varno::logging::Error, records[0].level);
    EXPECT_EQ(::GetCurrentThreadId(), records[0].thread);
    EXPECT_TRUE(hasLocation(records[0], "internalDumpMiniDump", 743));
    EXPECT_NE(0u, crash::dumpThreadId());
    EXPECT_NE(::GetCurrentThreadId(), crash::dumpThreadId());
}

TEST(DumpForFault, DisabledDumpingWritesNothing) {
    TempDirectory temp;
    DumpConfig config;
    config.set(ScopedConfigValue::text(L"PRODUCT_ROOT_D", temp.path()))
        .set(ScopedConfigValue::dword(L"CrashDumpsEnabled", 0));
    crash::CrashDumpInfo info;
    ScopedWriter writer(&zra_test::fakeMiniDumpWriter);
    SyntheticFault fault(0xC0000005);
    EXPECT_FALSE(crash::dumpForFault(info, &fault.pointers));
    EXPECT_TRUE(zra_test::listNames(temp.path()).empty());
}

} // namespace
