// The crash library's translator as the system's: installed by linking the library alone.
#include "crash/crash_dump.h"

#include "base/exception.h"
#include "base/se_translator.h"
#include "tools/testing/fault_codes.h"

#include <gtest/gtest.h>

namespace {

int* volatile g_null = nullptr;

__attribute__((noinline)) void writeThroughNull() {
    *g_null = 42;
}

TEST(SystemTranslator, IsInstalledAtStartAndGuardsDefaultScopes) {
    EXPECT_EQ(&crash::translateStructuredException, systemSeTranslator());
    uint32_t code = 0;
    SeTranslator afterwards = nullptr;
    {
        ScopedSeTranslator guard;
        try {
            writeThroughNull();
        } catch (const cwrpexception& e) {
            code = e.code();
            // It switched translation off for its own run only.
            afterwards = setSeTranslator(systemSeTranslator());
        }
    }
    EXPECT_PRED2(zra_test::isReportedFault, 0xC0000005u, code);
    EXPECT_EQ(&crash::translateStructuredException, afterwards);
}

} // namespace
