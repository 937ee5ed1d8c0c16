# Registers (ACTION=setup) or unregisters (ACTION=cleanup) what the script clients need in the
# build's Wine prefix, both through regsvr32: the reference host's server module, which registers
# the host's type library (imported by the module's type library) and the host's publication
# classes, and the module.
#   cmake -DACTION=setup|cleanup -DWINE_RUN=<wine-run> -DMODULE=<Windows path of the DLL>
#         -DHOST_MODULE=<Windows path of KorvelRefHost.dll>
#         -DLOG_DIR=<folder for the programs' output> -P ScriptFixture.cmake
# The programs write to files, not pipes: Wine's helper processes inherit the output handles and
# outlive the program, and a pipe would keep this script waiting for them.
foreach(var ACTION WINE_RUN MODULE HOST_MODULE LOG_DIR)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "ScriptFixture.cmake: ${var} is not set")
    endif()
endforeach()

file(MAKE_DIRECTORY ${LOG_DIR})

function(run what)
    set(log ${LOG_DIR}/script_fixture_${ACTION}.log)
    execute_process(COMMAND ${WINE_RUN} ${ARGN} RESULT_VARIABLE result OUTPUT_FILE ${log}
                    ERROR_FILE ${log}.err)
    file(READ ${log} out)
    file(READ ${log}.err err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${what} failed (exit status ${result}): ${ARGN}\n${out}${err}")
    endif()
    message(STATUS "${what}: done")
endfunction()

if(ACTION STREQUAL "setup")
    run("registering the host" regsvr32 /s ${HOST_MODULE})
    run("registering the module" regsvr32 /s ${MODULE})
elseif(ACTION STREQUAL "cleanup")
    run("unregistering the module" regsvr32 /u /s ${MODULE})
    run("unregistering the host" regsvr32 /u /s ${HOST_MODULE})
else()
    message(FATAL_ERROR "ScriptFixture.cmake: ACTION must be setup or cleanup, not '${ACTION}'")
endif()
