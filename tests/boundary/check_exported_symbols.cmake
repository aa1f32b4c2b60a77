# Fails unless the shared library's dynamic symbol table defines exactly the
# three exported functions (version nodes aside), all of them as code.
# Usage: cmake -DLIBRARY=<path> -DNM=<nm> -P check_exported_symbols.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(found "")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  if(line MATCHES "^[0-9a-f]+ A [A-Z0-9_]+$")
    continue()  # the version node of the linker script
  endif()
  if(NOT line MATCHES "^[0-9a-f]+ T ([A-Za-z0-9_]+)@@PYTOVRIK_VIDEO_1$")
    message(FATAL_ERROR "unexpected dynamic symbol: ${line}")
  endif()
  list(APPEND found ${CMAKE_MATCH_1})
endforeach()
list(SORT found)
set(expected pytovrik_video_abi_version pytovrik_video_decode_h264_v1 pytovrik_video_free_response_v1)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported ${found}, expected ${expected}")
endif()
message(STATUS "exported: ${found}")
