# Fails each allocation of an export's first call in a fresh process in
# turn: every run must either succeed or end in an abort whose whole
# diagnostic is the library's one line naming the bytes it asked for.
set(ENV{LD_PRELOAD} ${SHIM})
foreach(export parse binary compact write_compact)
  set(done FALSE)
  foreach(n RANGE 0 60)
    execute_process(
      COMMAND ${PROBE} ${export} ${n}
      RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
    if(rc EQUAL 0)
      set(done TRUE)
      set(count ${n})
      break()
    endif()
    if(NOT err MATCHES "^marlet: out of memory: failed to allocate [0-9]+ bytes\n$")
      message(FATAL_ERROR "${export}, allocation ${n} failed: exit ${rc}, stderr:\n${err}")
    endif()
  endforeach()
  if(NOT done)
    message(FATAL_ERROR "${export} never succeeded within 60 allocations")
  endif()
  message(STATUS "${export}: ${count} allocations, each failure reported in one line")
endforeach()
