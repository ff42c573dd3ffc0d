// Shared by the process tests: fake product settings, a log sink that keeps records, and the
// helpers for starting the reporting child.
#pragma once

#include "base/exception.h"
#include "base/text.h"
#include "logging/log.h"
#include "process/child_process.h"
#include "process/product_settings.h"
#include "tools/children/child_test_support.h"

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pt {

using namespace childtest;

inline std::wstring childExe() {
    return reportChildExe();
}

// Answers like the management service would, from what the test fills in; counts the questions.
class FakeSettings : public ProductSettings {
public:
    std::map<std::wstring, std::wstring> components;
    std::wstring root;
    std::wstring adminDirectory;
    bool serviceDown = false;
    int componentQueries = 0;

    std::wstring componentDirectory(const std::wstring& package) override {
        ++componentQueries;
        if (serviceDown)
            throw vexception(L"service down", SourceLocation(L"", "FakeSettings", 1));
        const auto found = components.find(package);
        return found == components.end() ? std::wstring() : found->second;
    }
    std::wstring productRootSetting() override { return root; }
    std::wstring productAdminDirectory() override { return adminDirectory; }
};

// Keeps every text record routed through the log manager, whatever the routing table says.
class RecordingSink : public varno::logging::LogSink {
public:
    static std::vector<std::pair<int, std::wstring>>& records() {
        static std::vector<std::pair<int, std::wstring>> kept;
        return kept;
    }
    static void install() {
        static bool installed = false;
        if (!installed)
            varno::logging::getLogManager().addSink(std::make_unique<RecordingSink>());
        installed = true;
        records().clear();
    }
    void write(int level, const vexception& e) override {
        records().emplace_back(level, e.message());
    }
    void write(int level, const std::wstring& text) override {
        records().emplace_back(level, text);
    }
};

// Feeds a started child its input, closes it, and returns what it wrote to stdout and stderr
// until it closed them. Pipes made with no buffer hold a write until the other side reads: all
// three are served at once.
inline std::pair<std::string, std::string> collectOutput(VChildProcess& child,
                                                         const std::string& input = std::string()) {
    std::thread writer([&] {
        DWORD written = 0;
        if (!input.empty())
            ::WriteFile(child.stdInputWrite(), input.data(), static_cast<DWORD>(input.size()),
                        &written, nullptr);
        child.closeStdInput();
    });
    std::string err;
    std::thread errorReader(
        [&] { err = readToEnd(child.stdErrorRead(), child.stdErrorOverlapped()); });
    const std::string out = readToEnd(child.stdOutputRead(), child.stdOutputOverlapped());
    errorReader.join();
    writer.join();
    return {out, err};
}

// The text of a run-time error raised with an OS code, as raiseRunTimeError composes it.
inline std::string runTimeText(const std::wstring& message, uint32_t code) {
    return cstr(format(L"%s: (%d) %s", message.c_str(), static_cast<int>(code),
                       systemMessage(code).c_str()),
                0);
}

} // namespace pt
