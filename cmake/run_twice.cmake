# Runs each unit-test program twice in one process (--gtest_repeat=2): a test
# that passes alone but fails on the second round depends on state that an
# earlier test (or its own first round) left behind.
#   cmake -DPROGRAMS=<program>|<program>... -P run_twice.cmake
string(REPLACE "|" ";" programs "${PROGRAMS}")
set(failed "")
foreach(program IN LISTS programs)
  execute_process(COMMAND ${program} --gtest_repeat=2 --gtest_brief=1
    OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    get_filename_component(name ${program} NAME)
    message("${name} --gtest_repeat=2 failed (${rc}):\n${out}")
    list(APPEND failed ${name})
  endif()
endforeach()
list(LENGTH programs count)
if(failed)
  message(FATAL_ERROR "fail when run twice in one process: ${failed}")
endif()
message("${count} unit-test programs pass when run twice in one process")
