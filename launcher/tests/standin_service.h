// The built launcher and the stand-in management service as the launcher's tests run them: the
// service on a pipe of the test's own, which the configuration key's "zrapipe" value points the
// launcher at for the test's duration (zra_testing::panelPipeName).
#pragma once

#include "tools/testing/registry.h"
#include "tools/testing/standin_service.h"

#include <string>
#include <vector>

namespace launchertest {

using zra_testing::backslashed;

inline std::wstring launcherExe() {
    return backslashed(ZRA_LAUNCHER_EXE);
}

// The service answering from the given configuration lines on top of its defaults; options are
// further switches of the service (--busy, --instances N ...).
inline zra_testing::StandinService startService(const std::wstring& pipe, const std::wstring& root,
                                                const std::vector<std::wstring>& lines,
                                                const std::vector<std::wstring>& options = {}) {
    std::vector<std::wstring> arguments = {L"--pipe", pipe, L"--root", root};
    for (const std::wstring& line : lines) {
        arguments.push_back(L"--set");
        arguments.push_back(line);
    }
    arguments.insert(arguments.end(), options.begin(), options.end());
    return zra_testing::StandinService(backslashed(ZRA_EXAMINATION_SERVICE_EXE), arguments);
}

} // namespace launchertest
