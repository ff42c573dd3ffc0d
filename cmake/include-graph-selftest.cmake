# cmake -DMODE=<clean|climbing|sibling|test_climbing|tool_climbing|link_climbing|relative_climbing|
#              tool_link_climbing|object_link_climbing> -DWORK=<dir>
#       -P include-graph-selftest.cmake
# Runs the layer check (include-graph.cmake) on a small tree made in WORK: a clean one, or the same
# with one use that climbs. It fails exactly when the check fails for that use, naming it, so that
# with WILL_FAIL a check that stopped seeing climbing uses, or failed for another reason, shows.
cmake_minimum_required(VERSION 3.21)
set(tree "${WORK}/${MODE}")
file(REMOVE_RECURSE "${tree}")

function(put path)
    string(REPLACE ";" "\n" text "${ARGN}")
    file(WRITE "${tree}/${path}" "${text}\n")
endfunction()

# A clean tree: each layer includes the one below, tests include the test tools.
put(base/win32.h "#pragma once")
put(base/tests/base_test.cpp "#include \"base/win32.h\"" "#include \"tools/testing/fault_codes.h\"")
put(os/file.h "#pragma once" "#include \"base/win32.h\"")
put(registry/registry.h "#pragma once" "#include \"os/file.h\"")
put(logging/log.h "#pragma once" "#include \"registry/registry.h\"")
put(crash/crash_dump.cpp "#include \"logging/log.h\"")
put(service/client.h "#pragma once" "#include \"crash/crash_dump.h\"")
put(service/e2e/e2e_test.cpp "#include \"service/client.h\"" "#include \"tools/runner/run_process.h\"")
put(process/command.cpp "// a comment; with [brackets" "" "#include \"logging/log.h\"")
put(launcher/entry.cpp "#include \"service/client.h\"" "#include \"process/command.h\"")
put(tools/testing/fault_codes.h "#pragma once" "#include \"base/win32.h\"")
put(tools/runner/run_process.h "#pragma once" "#include \"tools/testing/fault_codes.h\"")
put(crash/CMakeLists.txt "zra_add_library(zra_crash DEPS zra_base zra_logging TEST_LIBS zra_test_runner)")
put(launcher/CMakeLists.txt "add_library(zra_launcher_core STATIC entry.cpp)")
put(tools/runner/CMakeLists.txt "add_library(zra_test_runner STATIC run_process.cpp)")
put(base/CMakeLists.txt "zra_add_library(zra_base)")
put(logging/CMakeLists.txt "zra_add_library(zra_logging DEPS zra_base)")
put(os/CMakeLists.txt "zra_add_library(zra_os DEPS zra_base)")
put(tools/testing/CMakeLists.txt "add_library(zra_testing STATIC registry.cpp)"
    "target_link_libraries(zra_testing PUBLIC advapi32)")

set(expected "")
if(MODE STREQUAL "climbing")
    put(os/path.cpp "#include \"base/win32.h\"" "#include <string>" "  #  include <logging/log.h>")
    set(expected "os/path.cpp:3: includes logging/log.h")
elseif(MODE STREQUAL "sibling")
    put(process/settings.cpp "#include \"service/client.h\"")
    set(expected "process/settings.cpp:1: includes service/client.h")
elseif(MODE STREQUAL "test_climbing")
    put(crash/tests/probe/probe.cpp "#include \"crash/crash_dump.h\"" "#include \"launcher/entry.h\"")
    set(expected "crash/tests/probe/probe.cpp:2: includes launcher/entry.h")
elseif(MODE STREQUAL "tool_climbing")
    put(tools/children/report.cpp "#include \"os/file.h\"")
    set(expected "tools/children/report.cpp:1: includes os/file.h")
elseif(MODE STREQUAL "link_climbing")
    put(crash/CMakeLists.txt "zra_add_library(zra_crash DEPS zra_base zra_logging)"
        "add_executable(crash_probe probe.cpp)"
        "target_link_libraries(crash_probe PRIVATE"
        "    zra_launcher_core zra_crash)")
    set(expected "crash/CMakeLists.txt: crash_probe links zra_launcher_core")
elseif(MODE STREQUAL "relative_climbing")
    put(crash/dump.cpp "#include \"../launcher/entry.h\"")
    set(expected "crash/dump.cpp:1: includes ../launcher/entry.h")
elseif(MODE STREQUAL "tool_link_climbing")
    put(tools/testing/CMakeLists.txt "add_library(zra_testing STATIC registry.cpp)"
        "target_link_libraries(zra_testing PUBLIC advapi32 zra_os)")
    set(expected "tools/testing/CMakeLists.txt: zra_testing links zra_os")
elseif(MODE STREQUAL "object_link_climbing")
    put(logging/CMakeLists.txt "zra_add_library(zra_logging DEPS zra_base)"
        "target_link_libraries(zra_logging INTERFACE $<TARGET_OBJECTS:zra_crash_startup>)")
    put(crash/startup/CMakeLists.txt "add_library(zra_crash_startup OBJECT translator.cpp)")
    set(expected "logging/CMakeLists.txt: zra_logging links zra_crash_startup")
elseif(NOT MODE STREQUAL "clean")
    message(FATAL_ERROR "unknown MODE ${MODE}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${tree} -P ${CMAKE_CURRENT_LIST_DIR}/include-graph.cmake
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
message(STATUS "${out}")
if(expected STREQUAL "")
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "the clean tree was refused")
    endif()
elseif(result EQUAL 0)
    message(STATUS "the climbing use went unseen")
else()
    string(FIND "${out}" "${expected}" at)
    string(FIND "${out}" "1 use(s) climb" one)
    if(at GREATER_EQUAL 0 AND one GREATER_EQUAL 0)
        message(FATAL_ERROR "refused as it should be: ${expected}")
    endif()
    message(STATUS "refused, but not for (or not only for) ${expected}")
endif()
