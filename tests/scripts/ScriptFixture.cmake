# Registers (ACTION=setup) or unregisters (ACTION=cleanup) what the script clients need in the
# build's Wine prefix: the module, through regsvr32, and the host's type library, which the
# module's type library imports, through regtlb.
#   cmake -DACTION=setup|cleanup -DWINE_RUN=<wine-run> -DMODULE=<Windows path of the DLL>
#         -DREGTLB=<regtlb.exe> -DHOST_TLB=<Windows path of KorvelInfoStore.tlb>
#         -DLOG_DIR=<folder for the programs' output> -P ScriptFixture.cmake
# The programs write to files, not pipes: Wine's helper processes inherit the output handles and
# outlive the program, and a pipe would keep this script waiting for them.
foreach(var ACTION WINE_RUN MODULE REGTLB HOST_TLB LOG_DIR)
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
    run("registering the host type library" ${REGTLB} ${HOST_TLB})
    run("registering the module" regsvr32 /s ${MODULE})
elseif(ACTION STREQUAL "cleanup")
    run("unregistering the module" regsvr32 /u /s ${MODULE})
    run("unregistering the host type library" ${REGTLB} ${HOST_TLB} /u)
else()
    message(FATAL_ERROR "ScriptFixture.cmake: ACTION must be setup or cleanup, not '${ACTION}'")
endif()
