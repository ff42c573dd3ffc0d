# cmake -DMODE=<passed|crash_after_summary|no_summary|failed_case> -P judge-selftest.cmake
# Behaves as a test program that ends each way, so that the judge (run-gtest.cmake) is shown to
# tell them apart.
if(MODE STREQUAL "passed")
    message(STATUS "[  PASSED  ] 2 tests.")
elseif(MODE STREQUAL "crash_after_summary")
    message(STATUS "[  PASSED  ] 2 tests.")
    message(FATAL_ERROR "crashed at exit")
elseif(MODE STREQUAL "no_summary")
    message(STATUS "[ RUN      ] Killed.Midway")
elseif(MODE STREQUAL "failed_case")
    message(STATUS "[  FAILED  ] Suite.Case")
    message(STATUS "[  PASSED  ] 1 test.")
endif()
