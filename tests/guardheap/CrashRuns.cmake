# Runs a crashing program through the test wrapper RUNS times: every run must end with a failing
# status and the wrapper's status line (the line CTest's failure pattern matches). A program that
# ends normally must pass through unchanged.
#   cmake -DWRAPPER=<wine-test-run> -DPROGRAM=<guardheap_probe.exe> -DRUNS=<n>
#         -DLOG_DIR=<folder> -P CrashRuns.cmake
# Output goes to files: Wine's helper processes inherit the handles and outlive the program.
include(${CMAKE_CURRENT_LIST_DIR}/../scripts/RequireDefined.cmake)
require_defined(CrashRuns.cmake WRAPPER PROGRAM RUNS LOG_DIR)
file(MAKE_DIRECTORY ${LOG_DIR})
set(status_line "wine-test-run: [^\n]* exited with status [1-9]")

execute_process(COMMAND ${WRAPPER} ${PROGRAM} in-bounds RESULT_VARIABLE result
                OUTPUT_FILE ${LOG_DIR}/clean.out ERROR_FILE ${LOG_DIR}/clean.err)
file(READ ${LOG_DIR}/clean.out out)
if(NOT result EQUAL 0 OR out MATCHES "${status_line}")
    message(FATAL_ERROR "a clean run did not pass: status ${result}\n${out}")
endif()

set(failed 0)
foreach(run RANGE 1 ${RUNS})
    execute_process(COMMAND ${WRAPPER} ${PROGRAM} null-write RESULT_VARIABLE result
                    OUTPUT_FILE ${LOG_DIR}/crash.out ERROR_FILE ${LOG_DIR}/crash.err)
    file(READ ${LOG_DIR}/crash.out out)
    if(result EQUAL 0 OR NOT out MATCHES "${status_line}")
        message("run ${run}: the crash passed as status ${result}\n${out}")
        math(EXPR failed "${failed} + 1")
    endif()
endforeach()
if(failed GREATER 0)
    message(FATAL_ERROR "${failed} of ${RUNS} crashing runs were not reported as failures")
endif()
message("wrapper: ${RUNS} of ${RUNS} crashing runs failed; all checks passed")
