# Passes only when the defined dynamic symbols of LIBRARY are exactly the
# six functions of the C interface.
#   cmake -DLIBRARY=<path to libmarlet.so> -P check_exports.cmake
find_program(NM nm REQUIRED)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()

set(found "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@version]"
  if(line MATCHES "^[0-9a-fA-F]* +[A-Za-z] +([^ @]+)")
    list(APPEND found ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT found)

set(expected marlet_free_buffer marlet_free_string marlet_parse marlet_parse_binary
  marlet_parse_compact marlet_write_compact)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "defined dynamic symbols of ${LIBRARY}:\n  ${found}\nexpected:\n  ${expected}")
endif()
message(STATUS "exports: ${found}")
