# The demo must succeed on a fresh directory and again on the directory its
# first run left behind, printing the same results, while files that are not
# the database's stay untouched.
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}/demo")
file(WRITE "${WORKDIR}/demo/keep.txt" "not a database file\n")
foreach(run first second)
  execute_process(COMMAND "${MORVADB}" demo "${WORKDIR}/demo"
    OUTPUT_VARIABLE out_${run} ERROR_VARIABLE err_${run} RESULT_VARIABLE status_${run})
  string(REGEX MATCH "this build of the library has no [^\n]*" missing "${err_${run}}")
  if(missing)
    message(STATUS "skipped: ${missing}")
    return()
  endif()
  if(NOT status_${run} EQUAL 0)
    message(FATAL_ERROR "${run} demo run failed (${status_${run}}):\n${out_${run}}\n${err_${run}}")
  endif()
endforeach()
if(NOT out_first STREQUAL out_second)
  message(FATAL_ERROR "the second demo run printed something else:\n${out_first}\n---\n${out_second}")
endif()
if(NOT EXISTS "${WORKDIR}/demo/keep.txt")
  message(FATAL_ERROR "the demo removed a file that is not part of its database")
endif()
