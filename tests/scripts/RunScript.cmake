# Runs a script client under cscript and passes only when it exits with status 0 AND printed its
# final "<name>: all checks passed" line: the script host also exits with 0 when a script stops
# at an error it did not handle.
#   cmake -DWINE_RUN=<wine-run> -DSCRIPT=<Windows path of the script> -DNAME=<file name>
#         -DLOG_DIR=<folder for the script's output> -P RunScript.cmake
# The output goes to files, not pipes: Wine's helper processes inherit the output handles and
# outlive the script host, and a pipe would keep this script waiting for them.
include(${CMAKE_CURRENT_LIST_DIR}/RequireDefined.cmake)
require_defined(RunScript.cmake WINE_RUN SCRIPT NAME LOG_DIR)

file(MAKE_DIRECTORY ${LOG_DIR})
set(log ${LOG_DIR}/${NAME}.log)
execute_process(COMMAND ${WINE_RUN} cscript //nologo ${SCRIPT}
                RESULT_VARIABLE result OUTPUT_FILE ${log} ERROR_FILE ${log}.err)
file(READ ${log} out)
file(READ ${log}.err err)
message("${out}")
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NAME}: exit status ${result}\n${err}")
endif()
string(FIND "${out}" "${NAME}: all checks passed" passed)
if(passed EQUAL -1)
    message(FATAL_ERROR "${NAME}: the script stopped before its end (an unhandled script error?)\n${err}")
endif()
