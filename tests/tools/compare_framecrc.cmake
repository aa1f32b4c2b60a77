# Runs the decoder on one stream and requires its --framecrc output to equal
# the reference file line for line.
# -DTOOL= -DSTREAM= -DREFERENCE= -DBATCH=gop|all [-DEMULATOR=program|arg...]
# EMULATOR runs a cross-built tool (ctest adds it only to targets it starts).
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(
  COMMAND ${emulator} ${TOOL} ${STREAM} --framecrc --quiet --batch ${BATCH}
  OUTPUT_VARIABLE actual ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pytovrik-video exited with ${status}: ${errors}")
endif()
file(READ ${REFERENCE} expected)
if(NOT actual STREQUAL expected)
  string(REPLACE "\n" ";" actual_lines "${actual}")
  string(REPLACE "\n" ";" expected_lines "${expected}")
  list(LENGTH actual_lines actual_count)
  list(LENGTH expected_lines expected_count)
  foreach(index RANGE ${expected_count})
    if(index LESS expected_count AND index LESS actual_count)
      list(GET actual_lines ${index} got)
      list(GET expected_lines ${index} want)
      if(NOT got STREQUAL want)
        message(FATAL_ERROR "frame ${index}: got '${got}', reference '${want}'")
      endif()
    endif()
  endforeach()
  message(FATAL_ERROR "${actual_count} lines, reference has ${expected_count}")
endif()
