# The script clients' steps, one per call, each program run through the build's wine-run:
#   ACTION=setup    registers what the script clients need in the build's Wine prefix, both
#                   through regsvr32: the reference host's server module (-DHOST_MODULE), which
#                   registers the host's type library (imported by the module's type library)
#                   and the host's publication classes, and the module (-DMODULE)
#   ACTION=cleanup  unregisters both again
#   ACTION=run      runs the script client -DSCRIPT (named -DNAME) under cscript and passes only
#                   when it exits with status 0 AND printed its final "<name>: all checks passed"
#                   line: the script host also exits with 0 when a script stops at an error it
#                   did not handle
#   cmake -DACTION=<action> -DWINE_RUN=<wine-run> -DLOG_DIR=<folder for the programs' output>
#         [-DMODULE=... -DHOST_MODULE=... | -DSCRIPT=... -DNAME=...] -P ScriptClients.cmake
# Paths given are Windows paths. The programs write to files, not pipes: Wine's helper processes
# inherit the output handles and outlive the program, and a pipe would keep this script waiting.
include(${CMAKE_CURRENT_LIST_DIR}/RequireDefined.cmake)
require_defined(ScriptClients.cmake ACTION WINE_RUN LOG_DIR)
file(MAKE_DIRECTORY ${LOG_DIR})

# run(<what> <log name> <program> [arguments...]): stops with the output when the program fails;
# leaves its standard output in `out`.
macro(run what name)
    execute_process(COMMAND ${WINE_RUN} ${ARGN} RESULT_VARIABLE result
                    OUTPUT_FILE ${LOG_DIR}/${name}.log ERROR_FILE ${LOG_DIR}/${name}.log.err)
    file(READ ${LOG_DIR}/${name}.log out)
    file(READ ${LOG_DIR}/${name}.log.err err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${what}: exit status ${result}: ${ARGN}\n${out}${err}")
    endif()
endmacro()

if(ACTION STREQUAL "setup")
    require_defined(ScriptClients.cmake MODULE HOST_MODULE)
    run("registering the host" script_fixture_setup regsvr32 /s ${HOST_MODULE})
    run("registering the module" script_fixture_setup regsvr32 /s ${MODULE})
elseif(ACTION STREQUAL "cleanup")
    require_defined(ScriptClients.cmake MODULE HOST_MODULE)
    run("unregistering the module" script_fixture_cleanup regsvr32 /u /s ${MODULE})
    run("unregistering the host" script_fixture_cleanup regsvr32 /u /s ${HOST_MODULE})
elseif(ACTION STREQUAL "run")
    require_defined(ScriptClients.cmake SCRIPT NAME)
    run(${NAME} ${NAME} cscript //nologo ${SCRIPT})
    message("${out}")
    string(FIND "${out}" "${NAME}: all checks passed" passed)
    if(passed EQUAL -1)
        message(FATAL_ERROR "${NAME}: the script stopped before its end (an unhandled script error?)\n${err}")
    endif()
else()
    message(FATAL_ERROR "ScriptClients.cmake: ACTION must be setup, cleanup or run, not '${ACTION}'")
endif()
