# Boots an image on a fresh flash file, types "AT" on its AT port (the
# console) and checks the start-up lines and the answer, byte for byte.
#   cmake -DIMAGE=<program> -DMODEL=<model> [-DAT_PORTS=<n>] -DWORK_DIR=<dir>
#     -P image_answers_at.cmake
# AT_PORTS: the ports whose line editor starts in AT mode, each with a line
# end on the console (default 1).
file(MAKE_DIRECTORY ${WORK_DIR})
get_filename_component(name ${IMAGE} NAME)
set(flash ${WORK_DIR}/${name}.flash)
set(input ${WORK_DIR}/${name}.in)
set(output ${WORK_DIR}/${name}.out)
file(REMOVE ${flash})
file(WRITE ${input} "AT\r\n")
execute_process(COMMAND ${IMAGE} --flash ${flash} --run-for 2s
  INPUT_FILE ${input}
  OUTPUT_FILE ${output}
  ERROR_VARIABLE err
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${name} ended with ${rc}: ${err}")
endif()
if(NOT AT_PORTS)
  set(AT_PORTS 1)
endif()
string(REPEAT "-" 54 dashes)
string(REPEAT "\r\n" ${AT_PORTS} lead)
set(want "${lead}Velnatronic ${MODEL}\r\n${dashes}\r\nVersion: QIV_4.2.4_${MODEL}\r\nCurrent Work Mode: LoRaWAN.\r\nOK\r\n")
# The bytes as the program wrote them (an output variable would lose the
# carriage returns): the whole output, line ends included, is the start-up
# text and the answer.
file(READ ${output} out_hex HEX)
string(HEX "${want}" want_hex)
if(NOT out_hex STREQUAL want_hex)
  file(READ ${output} out)
  string(REPLACE "\r" "\\r" out_shown "${out}")
  string(REPLACE "\r" "\\r" want_shown "${want}")
  message(FATAL_ERROR "${name} answered:\n${out_shown}\nexpected:\n${want_shown}")
endif()
