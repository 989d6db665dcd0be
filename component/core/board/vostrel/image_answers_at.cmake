# Boots the tracker board image on a fresh flash file with its modem model on
# UART1, types "AT" on its AT port (UART0) and checks what comes back, byte
# for byte: one line end per port in AT mode (UART0, USB0, BLE0), the modem's
# power-up line, the answer and the modem's own start-up line (both served
# while the sensors' waits run; the modem comes on from the power-up's turn-on
# press, so its line comes second), then the banner of a board whose sensors
# do not answer (none is attached).
#   cmake -DIMAGE=<program> -DWORK_DIR=<dir> -P image_answers_at.cmake
file(MAKE_DIRECTORY ${WORK_DIR})
get_filename_component(name ${IMAGE} NAME)
set(flash ${WORK_DIR}/${name}.flash)
set(input ${WORK_DIR}/${name}.in)
set(output ${WORK_DIR}/${name}.out)
file(REMOVE ${flash})
file(WRITE ${input} "AT\r\n")
execute_process(COMMAND ${IMAGE} --flash ${flash} --run-for 6s --device cellular-modem@uart1
  INPUT_FILE ${input}
  OUTPUT_FILE ${output}
  ERROR_VARIABLE err
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${name} ended with ${rc}: ${err}")
endif()
set(want "\r\n\r\n\r\nBG96_PowerUp\r\nOK\r\n\r\nRDY\r\nVersion: Vostrel-M\r\n")
file(READ ${output} out_hex HEX)
string(HEX "${want}" want_hex)
if(NOT out_hex STREQUAL want_hex)
  file(READ ${output} out)
  string(REPLACE "\r" "\\r" out_shown "${out}")
  string(REPLACE "\r" "\\r" want_shown "${want}")
  message(FATAL_ERROR "${name} answered:\n${out_shown}\nexpected:\n${want_shown}")
endif()
