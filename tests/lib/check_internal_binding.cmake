# Fails when a relocation of the shared library names one of its own FT_*
# functions: such a call would go through the dynamic symbol table, and a
# program or preload defining the name would take over the library's
# internals.
#   cmake -DLIBRARY=<libftd2xx.so> -P check_internal_binding.cmake
execute_process(COMMAND readelf -rW ${LIBRARY}
  OUTPUT_VARIABLE relocations RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${relocations}")
set(bound_outside "")
foreach(line IN LISTS lines)
  # "<offset> <info> <type> <symbol value> <symbol name>@<version> + <addend>"
  if(line MATCHES "^[0-9a-fA-F]+ +[0-9a-fA-F]+ +[A-Za-z0-9_]+ +[0-9a-fA-F]+ +(FT_[A-Za-z0-9_]*)")
    list(APPEND bound_outside "${CMAKE_MATCH_1}")
  endif()
endforeach()
string(FIND "${relocations}" "R_" any_relocation)
if(any_relocation EQUAL -1)
  message(FATAL_ERROR "readelf printed no relocations for ${LIBRARY}")
endif()
if(bound_outside)
  list(REMOVE_DUPLICATES bound_outside)
  list(LENGTH bound_outside n)
  message(FATAL_ERROR "${n} of the library's own functions are called through the dynamic "
                      "symbol table: ${bound_outside}")
endif()
message(STATUS "no relocation names one of the library's own functions")
