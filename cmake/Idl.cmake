# widl: IDL -> C++ header, IID definitions and type library (one output kind per call).
find_program(WIDL NAMES x86_64-w64-mingw32-widl REQUIRED)
set(WIDL_SYSTEM_IDL_DIR /usr/include/wine/wine/windows)
set(WIDL_STDOLE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)

# add_idl(<name> <file.idl> [TLB <path>] [DEPENDS files...])
# Produces ${CMAKE_CURRENT_BINARY_DIR}/<name>.h, <name>_i.c and <name>.tlb (or the type library at
# <path>) and sets <name>_HEADER, <name>_IID, <name>_TLB in the caller's scope.
function(add_idl name idl)
    cmake_parse_arguments(ARG "" "TLB" "DEPENDS" ${ARGN})
    get_filename_component(idl_abs ${idl} ABSOLUTE)
    set(out ${CMAKE_CURRENT_BINARY_DIR})
    if(NOT ARG_TLB)
        set(ARG_TLB ${out}/${name}.tlb)
    endif()
    set(flags -I${WIDL_SYSTEM_IDL_DIR} -I${CMAKE_CURRENT_SOURCE_DIR} -I${out}
              -L${WIDL_STDOLE_DIR} -L${out} --win64)
    add_custom_command(OUTPUT ${out}/${name}.h
        COMMAND ${WIDL} ${flags} -h -H ${out}/${name}.h ${idl_abs}
        DEPENDS ${idl_abs} ${ARG_DEPENDS} VERBATIM)
    add_custom_command(OUTPUT ${out}/${name}_i.c
        COMMAND ${WIDL} ${flags} -u -U ${out}/${name}_i.c ${idl_abs}
        DEPENDS ${idl_abs} ${ARG_DEPENDS} VERBATIM)
    add_custom_command(OUTPUT ${ARG_TLB}
        COMMAND ${WIDL} ${flags} -t -T ${ARG_TLB} ${idl_abs}
        DEPENDS ${idl_abs} ${ARG_DEPENDS} VERBATIM)
    set(${name}_HEADER ${out}/${name}.h PARENT_SCOPE)
    set(${name}_IID ${out}/${name}_i.c PARENT_SCOPE)
    set(${name}_TLB ${ARG_TLB} PARENT_SCOPE)
endfunction()
