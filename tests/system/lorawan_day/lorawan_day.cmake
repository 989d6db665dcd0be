# The benchmarks' LoRaWAN day of 20 modules (bench/world/lorawan_day.h),
# recorded by lorawan_day_record: its transcript, the frames on the air, the
# network's log and every module's flash file, as SHA-256 digests compared
# with those in GOLDEN/digests.txt, which were taken the same way from an
# earlier build. Work on how the world is run (the time master, the network,
# the benchmarks) must leave what every device sees and does as it was; a
# difference names the files that changed, left in OUT to be looked at.
#
#   cmake -DRECORDER=<lorawan_day_record> -DOUT=<dir> -DGOLDEN=<dir> [-DRECORD=1] -P lorawan_day.cmake
#
# RECORD=1 writes GOLDEN/digests.txt instead of comparing.
foreach(v RECORDER OUT GOLDEN)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "lorawan_day: ${v} is not set")
  endif()
endforeach()

execute_process(COMMAND "${RECORDER}" 20 "${OUT}" RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "lorawan_day: the day did not go as planned (${rc}): ${err}${out}")
endif()
message(STATUS "lorawan_day: ${out}")

file(GLOB flashes RELATIVE "${OUT}" "${OUT}/*.flash")
list(SORT flashes)
set(digests "")
foreach(f day.transcript day.frames day.network ${flashes})
  file(SHA256 "${OUT}/${f}" sum)
  string(APPEND digests "${sum} ${f}\n")
endforeach()

if(RECORD)
  file(WRITE "${GOLDEN}/digests.txt" "${digests}")
  message(STATUS "lorawan_day: recorded ${GOLDEN}/digests.txt")
  return()
endif()

file(READ "${GOLDEN}/digests.txt" golden)
if(NOT digests STREQUAL golden)
  string(REPLACE "\n" ";" now_lines "${digests}")
  string(REPLACE "\n" ";" golden_lines "${golden}")
  set(changed "")
  foreach(line ${now_lines})
    if(NOT line IN_LIST golden_lines)
      string(REGEX REPLACE "^[0-9a-f]+ " "" name "${line}")
      string(APPEND changed " ${name}")
    endif()
  endforeach()
  foreach(line ${golden_lines})
    string(REGEX REPLACE "^[0-9a-f]+ " "" name "${line}")
    if(NOT EXISTS "${OUT}/${name}")
      string(APPEND changed " ${name}(missing)")
    endif()
  endforeach()
  message(FATAL_ERROR "lorawan_day: what the devices saw changed:${changed} (in ${OUT})")
endif()
