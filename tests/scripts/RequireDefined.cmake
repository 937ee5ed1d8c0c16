# require_defined(<script> <variable>...): stops a cmake -P script that was not given one of its
# -D variables.
function(require_defined script)
    foreach(var ${ARGN})
        if(NOT DEFINED ${var})
            message(FATAL_ERROR "${script}: ${var} is not set")
        endif()
    endforeach()
endfunction()
