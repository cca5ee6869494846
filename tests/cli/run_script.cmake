# Runs `morvadb shell` on a fresh database with SCRIPT on standard input and
# compares standard output and error, merged, with SCRIPT's .expected file.
# Set UPDATE=1 to rewrite the expected file from the actual output.
string(REGEX REPLACE "\\.txt$" ".expected" expected_file "${SCRIPT}")
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}")
execute_process(
  COMMAND sh -c "\"$0\" shell \"$1\" < \"$2\" 2>&1" "${MORVADB}" "${WORKDIR}/db" "${SCRIPT}"
  WORKING_DIRECTORY "${WORKDIR}"
  OUTPUT_VARIABLE actual
  RESULT_VARIABLE status)
file(WRITE "${WORKDIR}/actual.txt" "${actual}")
# A library build that lacks a feature the script uses cannot run it.
string(REGEX MATCH "this build of the library has no [^\n]*" missing "${actual}")
if(missing)
  message(STATUS "skipped: ${missing}")
  return()
endif()
if(UPDATE)
  file(WRITE "${expected_file}" "${actual}")
endif()
file(READ "${expected_file}" expected)
if(NOT actual STREQUAL expected)
  execute_process(COMMAND diff -u "${expected_file}" "${WORKDIR}/actual.txt")
  message(FATAL_ERROR "output of ${SCRIPT} differs from ${expected_file}")
endif()
# Scripts with errors end with status 1; a crash gives anything else.
if(NOT status MATCHES "^[01]$")
  message(FATAL_ERROR "morvadb shell ended with status ${status}")
endif()
