# cmake -DTIMEOUT=<seconds> -P run-gtest.cmake <program> [<arguments>...]
# Runs one test program and judges it by its exit code and by googletest's own summary together:
# a program that prints its summary and then crashes at exit (a static destructor, say) has failed,
# and so has one that exits 0 without a summary (Wine has been seen to report 0 for a killed
# process). The output is shown as it comes.
# The program and its arguments follow the script's own name, which follows -P.
set(command)
math(EXPR last "${CMAKE_ARGC} - 1")
set(first -1)
foreach(i RANGE ${last})
    if(first EQUAL -1 AND CMAKE_ARGV${i} STREQUAL "-P")
        math(EXPR first "${i} + 2")
    elseif(NOT first EQUAL -1 AND i GREATER_EQUAL first)
        list(APPEND command "${CMAKE_ARGV${i}}")
    endif()
endforeach()
if(NOT command)
    message(FATAL_ERROR "run-gtest.cmake: no program given")
endif()
if(NOT TIMEOUT)
    set(TIMEOUT 580)
endif()

execute_process(COMMAND ${command}
                RESULT_VARIABLE result
                OUTPUT_VARIABLE output ECHO_OUTPUT_VARIABLE
                ERROR_VARIABLE errors ECHO_ERROR_VARIABLE
                TIMEOUT ${TIMEOUT})

set(verdict)
if(NOT result STREQUAL "0")
    list(APPEND verdict "exit status ${result}")
endif()
if(NOT output MATCHES "\\[  PASSED  \\] [0-9]+ tests?\\.")
    list(APPEND verdict "no googletest summary")
endif()
if(output MATCHES "\\[  FAILED  \\]")
    list(APPEND verdict "failed cases")
endif()
if(verdict)
    string(JOIN ", " verdict ${verdict})
    message(FATAL_ERROR "test program judged failed: ${verdict}")
endif()
