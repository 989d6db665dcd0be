# Boots an STM32WLE5 image on a fresh flash file, types "AT" on its AT port
# and checks the start-up lines and the answer, byte for byte.
#   cmake -DIMAGE=<program> -DMODEL=<model> -DWORK_DIR=<dir> -P image_answers_at.cmake
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
string(REPEAT "-" 54 dashes)
set(want "\r\nVelnatronic ${MODEL}\r\n${dashes}\r\nVersion: QIV_4.2.4_${MODEL}\r\nCurrent Work Mode: LoRaWAN.\r\nOK\r\n")
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
