# Test exes are Windows programs. In a cross build ctest runs them under Wine in a private prefix
# owned by this build directory; the prefix is made once, serially, by a fixture before any test
# runs (parallel first use of a prefix races). Built on Windows itself they run as they are.
option(ZRA_BUILD_TESTS "Build the test programs" ON)
set(ZRA_TESTING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ZRA_RUN_UNDER_WINE ${CMAKE_CROSSCOMPILING})
if(ZRA_RUN_UNDER_WINE)
    set(ZRA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH
        "Wine prefix used to run test programs")
    configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()

if(ZRA_BUILD_TESTS)
    enable_testing()
    # googletest is built from source with the project's own flags (static, same runtime).
    set(ZRA_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "googletest source tree")
    if(NOT EXISTS ${ZRA_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
        message(FATAL_ERROR "No googletest sources in ${ZRA_GOOGLETEST_SOURCE_DIR}: set "
                            "ZRA_GOOGLETEST_SOURCE_DIR, or ZRA_BUILD_TESTS=OFF to build without tests")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(${ZRA_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

    if(ZRA_RUN_UNDER_WINE)
        add_test(NAME wine.prefix
                 COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh ${ZRA_WINEPREFIX} start)
        set_tests_properties(wine.prefix PROPERTIES FIXTURES_SETUP wine RUN_SERIAL TRUE TIMEOUT 300)
        add_test(NAME wine.stop
                 COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh ${ZRA_WINEPREFIX} stop)
        set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine RUN_SERIAL TRUE)
    endif()

    # The judge of every test program, on stand-ins that end each way it must tell apart.
    foreach(mode passed crash_after_summary no_summary failed_case)
        add_test(NAME judge.${mode}
                 COMMAND ${CMAKE_COMMAND} -P ${ZRA_TESTING_DIR}/run-gtest.cmake
                         ${CMAKE_COMMAND} -DMODE=${mode} -P ${ZRA_TESTING_DIR}/judge-selftest.cmake)
        if(NOT mode STREQUAL "passed")
            set_tests_properties(judge.${mode} PROPERTIES WILL_FAIL TRUE)
        endif()
    endforeach()

    # One-way layers: no include or link of the product's folders climbs (include-graph.cmake), and
    # the check itself refuses each kind of climbing use in a small tree of its own.
    add_test(NAME layers
             COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                     -P ${ZRA_TESTING_DIR}/include-graph.cmake)
    foreach(mode clean climbing sibling test_climbing tool_climbing link_climbing relative_climbing
                 tool_link_climbing object_link_climbing)
        add_test(NAME layers.${mode}
                 COMMAND ${CMAKE_COMMAND} -DMODE=${mode} -DWORK=${CMAKE_BINARY_DIR}/layers-selftest
                         -P ${ZRA_TESTING_DIR}/include-graph-selftest.cmake)
        if(NOT mode STREQUAL "clean")
            set_tests_properties(layers.${mode} PROPERTIES WILL_FAIL TRUE)
        endif()
    endforeach()
endif()

# zra_program_path(<var> <target>)
# The path under which a program of this build reaches <target>'s file, as a generator expression:
# under Wine the Linux path through Wine's Z: drive, on Windows the path itself. Either way it has
# forward slashes, which the Windows file and process calls take; code that shows or compares a
# path turns them round itself.
function(zra_program_path var target)
    if(ZRA_RUN_UNDER_WINE)
        set(${var} "Z:$<TARGET_FILE:${target}>" PARENT_SCOPE)
    else()
        set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    endif()
endfunction()

# zra_define_program_paths(<consumer> [WIDE] <MACRO> <target> [<MACRO> <target> ...])
# Defines each MACRO in <consumer> as a string literal (wide with WIDE) holding the path of
# <target>'s file, as zra_program_path gives it.
function(zra_define_program_paths consumer)
    cmake_parse_arguments(P "WIDE" "" "" ${ARGN})
    set(pairs ${P_UNPARSED_ARGUMENTS})
    list(LENGTH pairs count)
    math(EXPR odd "${count} % 2")
    if(count EQUAL 0 OR odd)
        message(FATAL_ERROR "zra_define_program_paths(${consumer}): MACRO target pairs expected")
    endif()
    set(definitions)
    while(pairs)
        list(POP_FRONT pairs macro target)
        zra_program_path(path ${target})
        if(P_WIDE)
            list(APPEND definitions "${macro}=L\"${path}\"")
        else()
            list(APPEND definitions "${macro}=\"${path}\"")
        endif()
    endwhile()
    target_compile_definitions(${consumer} PRIVATE ${definitions})
endfunction()

# zra_add_test(NAME SOURCES a.cpp ... LIBS lib ... [NO_GTEST_MAIN] [ISOLATED])
# One ctest entry per test exe, judged by its exit code and googletest's summary together
# (run-gtest.cmake); every one links the shared test helpers (tools/testing), and a registry scope
# that cannot put things back fails the running test. Test programs that write or read the panel's
# machine-wide state (the configuration key with the Debug switch and pipe name override, the service's pipe, the
# servicing keys and mutexes of the readiness check, the event-log registration) hold one lock so
# they never overlap; ISOLATED marks a program that touches none of it, which then runs in parallel
# with anything.
function(zra_add_test name)
    if(NOT ZRA_BUILD_TESTS)
        return()
    endif()
    cmake_parse_arguments(T "NO_GTEST_MAIN;ISOLATED" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tools/testing/gtest_cleanup.cpp)
    if(T_NO_GTEST_MAIN)
        target_link_libraries(${name} PRIVATE ${T_LIBS} zra_testing gtest)
    else()
        target_link_libraries(${name} PRIVATE ${T_LIBS} zra_testing gtest_main)
    endif()
    set(timeout 600)
    # The judge stops the program a little before ctest would stop the judge, so a hang still shows
    # the output it had.
    math(EXPR program_timeout "${timeout} - 20")
    add_test(NAME ${name}
             COMMAND ${CMAKE_COMMAND} -DTIMEOUT=${program_timeout}
                     -P ${ZRA_TESTING_DIR}/run-gtest.cmake
                     ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>
             WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${timeout}
        FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\];Segmentation fault;Unhandled exception")
    if(NOT T_ISOLATED)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK zra_panel_configuration)
    endif()
    if(ZRA_RUN_UNDER_WINE)
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
    endif()
endfunction()

# zra_test_is_isolated(<test exe target>...)
# For test programs made by zra_add_library: they touch no machine-wide state (see zra_add_test).
function(zra_test_is_isolated)
    foreach(name ${ARGN})
        if(TEST ${name})
            set_property(TEST ${name} PROPERTY RESOURCE_LOCK)
        endif()
    endforeach()
endfunction()

# zra_add_library(NAME DEPS dep... [TEST_LIBS lib...])
# A subsystem library made of the .cpp files beside its CMakeLists, and one test exe made of the
# files in its tests/ folder (each library's tests live beside it).
function(zra_add_library name)
    cmake_parse_arguments(L "" "" "DEPS;TEST_LIBS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    if(sources)
        add_library(${name} STATIC ${sources})
        target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} PUBLIC ${L_DEPS})
    else()
        # Header-only so far.
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} INTERFACE ${L_DEPS})
    endif()
    file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
    if(test_sources)
        get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
        zra_add_test(${folder}_tests SOURCES ${test_sources} LIBS ${name} ${L_TEST_LIBS})
    endif()
endfunction()
