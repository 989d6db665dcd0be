# Boots an nRF52840 image on a fresh flash file, types "AT" on its AT port
# (UART0) and checks the start-up line ends and the answer, byte for byte:
# one line end per port in AT mode (UART0, USB0, BLE0, NFC), then "OK". The
# program's banner goes to the USB port.
#   cmake -DIMAGE=<program> -DWORK_DIR=<dir> -P image_answers_at.cmake
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
set(want "\r\n\r\n\r\n\r\nOK\r\n")
file(READ ${output} out_hex HEX)
string(HEX "${want}" want_hex)
if(NOT out_hex STREQUAL want_hex)
  file(READ ${output} out)
  string(REPLACE "\r" "\\r" out_shown "${out}")
  string(REPLACE "\r" "\\r" want_shown "${want}")
  message(FATAL_ERROR "${name} answered:\n${out_shown}\nexpected:\n${want_shown}")
endif()
