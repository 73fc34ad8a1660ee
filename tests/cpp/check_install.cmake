# Installs the project into a scratch prefix, builds examples/c against it
# and runs the program.  VIA=package uses find_package(marlet), VIA=pkg-config
# compiles with the flags of the installed marlet.pc.
#   cmake -DVIA=... -DBUILD_DIR=... -DEXAMPLE_DIR=... -DWORK_DIR=... -DGENERATOR=...
#         -DC_COMPILER=... [-DSANITIZE=address,undefined] -P check_install.cmake

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " shown "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${shown}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# Checks the JSON that parse_example printed for sample.marl.
function(check_sample_output json)
  string(JSON count LENGTH "${json}")
  if(NOT count EQUAL 3)
    message(FATAL_ERROR "expected 3 records, got ${count}: ${json}")
  endif()
  foreach(check "0;id;1" "0;email;ada@example.org" "1;name;Zoë Ågren" "1;city;Göteborg"
                "2;note;first meeting at 12:30" "2;role;rear admiral")
    list(GET check 0 index)
    list(GET check 1 key)
    list(GET check 2 expected)
    string(JSON value ERROR_VARIABLE missing GET "${json}" ${index} ${key})
    if(NOT value STREQUAL expected)
      message(FATAL_ERROR "record ${index} ${key}: expected '${expected}', got '${value}' ${missing}\n${json}")
    endif()
  endforeach()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

file(GLOB_RECURSE pc_files ${prefix}/*/marlet.pc)
file(GLOB_RECURSE libraries ${prefix}/*/libmarlet.so)
if(NOT pc_files OR NOT libraries)
  message(FATAL_ERROR "the install lacks marlet.pc or libmarlet.so: '${pc_files}' '${libraries}'")
endif()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
get_filename_component(lib_dir ${libraries} DIRECTORY)

set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE}")
endif()

if(VIA STREQUAL "static")
  # libmarlet.a through the CMake package: the program must not need
  # libmarlet.so, so the library directory is not given to it.
  run(${CMAKE_COMMAND} -S ${EXAMPLE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} -DMARLET_STATIC=ON
    -DCMAKE_C_FLAGS=${flags} -DCMAKE_EXE_LINKER_FLAGS=${flags})
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
  set(program ${WORK_DIR}/build/parse_example)
  run(readelf -d ${program})
  if(run_output MATCHES "libmarlet")
    message(FATAL_ERROR "the static example still needs libmarlet.so:\n${run_output}")
  endif()
  set(lib_dir ${WORK_DIR}/no-library-here)
  run(${program})
  check_sample_output("${run_output}")
elseif(VIA STREQUAL "package")
  run(${CMAKE_COMMAND} -S ${EXAMPLE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER}
    -DCMAKE_C_FLAGS=${flags} -DCMAKE_EXE_LINKER_FLAGS=${flags})
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
  set(program ${WORK_DIR}/build/parse_example)
  # Without an argument it reads the sample beside its source.
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${lib_dir} ${program})
  check_sample_output("${run_output}")
elseif(VIA STREQUAL "pkg-config")
  find_program(PKG_CONFIG pkg-config REQUIRED)
  run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir} ${PKG_CONFIG} --cflags --libs marlet)
  separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
  set(program ${WORK_DIR}/pc_example)
  run(${C_COMPILER} ${flags} -std=c99 -Wall -Wextra -Werror ${EXAMPLE_DIR}/parse_example.c ${pc_flags} -o ${program})
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${lib_dir} ${program} ${EXAMPLE_DIR}/sample.marl)
  check_sample_output("${run_output}")
else()
  message(FATAL_ERROR "VIA must be package, static or pkg-config")
endif()

file(WRITE ${WORK_DIR}/two.marl "a: 1\nb: 2")
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${lib_dir} ${program} ${WORK_DIR}/two.marl)
if(NOT run_output STREQUAL "[{\"a\":\"1\"},{\"b\":\"2\"}]\n")
  message(FATAL_ERROR "unexpected output for two.marl: '${run_output}'")
endif()
message(STATUS "the installed library works through ${VIA}")
