# A world with the test network, run with qivsim in two stretches: first the
# modules are set up (keys, ABP session, P2P mode; the P2P pair restarts),
# then an OTAA module joins and sends, an ABP module sends and gets a
# downlink, and a P2P pair exchanges a frame. Its outside behaviour (the
# transcripts of both stretches, the frames on the air, the network's log
# and every module's flash) is written to OUT and compared byte for byte
# with the files in GOLDEN, which were recorded this way from an earlier
# build of the same sources; a change to how the images are built that
# changes what they do shows here as a difference.
#
#   cmake -DQIVSIM=<qivsim> -DOUT=<dir> -DGOLDEN=<dir> [-DRECORD=1] -P recorded_world.cmake
#
# RECORD=1 writes the golden files instead of comparing.
foreach(v QIVSIM OUT GOLDEN)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "recorded_world: ${v} is not set")
  endif()
endforeach()

set(otaa_keys "AT+DEVEUI=0202020202020202\\r\\nAT+APPEUI=0101010101010101\\r\\nAT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C\\r\\n")
set(abp_keys "AT+NJM=0\\r\\nAT+DEVADDR=26011BDA\\r\\nAT+NWKSKEY=000102030405060708090A0B0C0D0E0F\\r\\nAT+APPSKEY=0F0E0D0C0B0A09080706050403020100\\r\\n")
set(p2p "AT+P2P=869000000:7:125:0:8:14\\r\\n")
# qivsim sends a module's next line once it has answered the previous one.
# Lines too long for the module's line buffer (each answered with an error,
# about 0.22 s of virtual time) make a module wait: the OTAA module sends
# its uplink after the join accept (about 8 s), the ABP module its uplink
# after the join request has left the air.
string(REPEAT "X" 1000 long)
string(REPEAT "AT+${long}\\r\\n" 36 wait_for_join)
string(REPEAT "AT+${long}\\r\\n" 9 wait_for_air)

file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")
file(WRITE "${OUT}/net.txt" "region EU868\n"
  "otaa a 0202020202020202 0101010101010101 2B7E151628AED2A6ABF7158809CF4F3C\n"
  "abp b 26011BDA 000102030405060708090A0B0C0D0E0F 0F0E0D0C0B0A09080706050403020100\n")

set(devices a=brisola-t b=quenlarlp-sip c=saffrond d=brisola-e)
set(common --dir "${OUT}" --pin a=PB12=1 --pin d=PB12=1
  --network "${OUT}/net.txt")

function(stretch name)
  execute_process(COMMAND "${QIVSIM}" ${common} --transcript "${OUT}/${name}.transcript"
                    --frame-log "${OUT}/${name}.frames" --network-log "${OUT}/${name}.network" ${ARGN}
                    ${devices}
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "recorded_world: qivsim (${name}) ended with ${rc}: ${err}")
  endif()
endfunction()

stretch(setup --run-for 2s
  --input "a=${otaa_keys}"
  --input "b=${abp_keys}"
  --input "c=AT+NWM=0\\r\\n"
  --input "d=AT+NWM=0\\r\\n")
stretch(run --run-for 20s
  --network-cmd "downlink a 2 CAFE"
  --network-cmd "downlink b 3 0102030405"
  --input "a=AT+JOIN=1:0:10:8\\r\\n${wait_for_join}AT+SEND=2:1234\\r\\n"
  --input "b=${wait_for_air}AT+SEND=3:AABBCC\\r\\n"
  --input "c=${p2p}AT+PRECV=65534\\r\\n"
  --input "d=${p2p}AT+PSEND=48656C6C6F\\r\\n")

# Flash as text: rows of 32 bytes at their offset, rows of erased bytes
# (0xFF) left out.
function(flash_text file out)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" n)
  string(REPEAT "ff" 32 erased)
  file(SIZE "${file}" size)
  set(text "size ${size}\n")
  set(at 0)
  while(at LESS n)
    string(SUBSTRING "${hex}" ${at} 64 row)
    if(NOT row STREQUAL erased)
      math(EXPR offset "${at} / 2" OUTPUT_FORMAT HEXADECIMAL)
      string(APPEND text "${offset} ${row}\n")
    endif()
    math(EXPR at "${at} + 64")
  endwhile()
  file(WRITE "${out}" "${text}")
endfunction()

set(files)
foreach(stretch_name setup run)
  list(APPEND files ${stretch_name}.transcript ${stretch_name}.frames ${stretch_name}.network)
endforeach()
foreach(d a b c d)
  flash_text("${OUT}/${d}.flash" "${OUT}/${d}.flash.txt")
  list(APPEND files ${d}.flash.txt)
endforeach()

set(differ)
foreach(f ${files})
  if(RECORD)
    file(COPY_FILE "${OUT}/${f}" "${GOLDEN}/${f}")
  else()
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${OUT}/${f}" "${GOLDEN}/${f}"
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      list(APPEND differ ${f})
    endif()
  endif()
endforeach()
if(differ)
  message(FATAL_ERROR "recorded_world: differs from the recording: ${differ} "
    "(this run in ${OUT}, the recording in ${GOLDEN})")
endif()
