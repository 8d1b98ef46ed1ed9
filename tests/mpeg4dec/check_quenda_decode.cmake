# Runs quenda-decode on a capture and compares its lines with the expected
# .framemd5 (comment lines dropped).
execute_process(COMMAND ${TOOL} ${STREAM}.frames OUTPUT_VARIABLE got RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "quenda-decode failed: ${rc}")
endif()
file(STRINGS ${STREAM}.framemd5 lines REGEX "^[^#]")
list(JOIN lines "\n" expected)
string(STRIP "${got}" got)
if(NOT got STREQUAL expected)
  message(FATAL_ERROR "quenda-decode output differs from ${STREAM}.framemd5")
endif()
