# Runs the soak suite under memcheck. Valgrind cannot run every CPU's code:
# when it meets an instruction it does not know (FFmpeg's dependencies pick
# code paths by CPU at load time, and some execute instructions valgrind
# refuses), the program dies of SIGILL before a request is made. That says
# nothing about leaks either way, so it is reported as a skip (the line
# starting with "skipped:"), never as a pass, while a definite leak fails.
# -DVALGRIND= -DPROGRAM= [-DARGS=a|b] [-DEXPECT_LEAK=ON]
# With EXPECT_LEAK the run must find a definite leak: the check that a leak
# is still told apart from everything else.
string(REPLACE "|" ";" args "${ARGS}")
execute_process(
  COMMAND ${VALGRIND} --tool=memcheck --leak-check=full --show-leak-kinds=definite
          --errors-for-leak-kinds=definite --error-exitcode=99 ${PROGRAM} ${args}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
message("${out}${err}")

set(leaked OFF)
if(err MATCHES "definitely lost: ([0-9,]+) bytes" AND NOT CMAKE_MATCH_1 STREQUAL "0")
  set(leaked ON)
endif()
set(cannot_run "")
if(err MATCHES "(vex [^\n]*unhandled instruction bytes[^\n]*)")
  set(cannot_run "${CMAKE_MATCH_1}")
elseif(err MATCHES "Process terminating with default action of signal 4 \\(SIGILL\\)")
  set(cannot_run "the program died of SIGILL under valgrind")
endif()

if(cannot_run AND NOT leaked)
  message("skipped: valgrind cannot run FFmpeg's libraries on this CPU (${cannot_run})")
  return()
endif()
if(EXPECT_LEAK)
  if(NOT leaked OR NOT status EQUAL 99)
    message(FATAL_ERROR "memcheck missed the leak made on purpose (exit ${status})")
  endif()
  return()
endif()
if(leaked)
  message(FATAL_ERROR "memcheck found a definite leak (exit ${status})")
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "memcheck run failed (exit ${status})")
endif()
