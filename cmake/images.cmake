# The images: one declaration each.

# An STM32WLE5 application image: the runtime core, the AT interpreter and
# the default user program on the STM32WLE5 port, for one board. Besides the
# program, the build writes its application file (<name>.bin), the form in
# which the bootloader receives and starts it.
function(qiv_stm32wle5_image name)
  cmake_parse_arguments(IMG "" "BOARD;MODEL;APP" "DEFINES" ${ARGN})
  # APP: the user program (an interface library); the default program when
  # not given.
  if(NOT IMG_APP)
    set(IMG_APP qiv_app_default)
  endif()
  set(libs qiv_runtime qiv_app_version ${IMG_APP} stm32wle5xx_startup board_${IMG_BOARD})
  set(defines QIV_MCU_STM32WLE5=1 QIV_MODEL="${IMG_MODEL}" ${IMG_DEFINES})
  # The radio (board radio interface, sub-GHz peripheral, AES unit).
  if(TARGET stm32wle5xx_radio)
    list(APPEND libs stm32wle5xx_radio)
    list(APPEND defines QIV_RADIO_LINKED=1)
  endif()
  # The work mode and the point-to-point service: start-up starts it in the
  # P2P and FSK work modes, and the AT interpreter gains its commands.
  if(TARGET service_lora_p2p AND TARGET stm32wle5xx_radio)
    list(APPEND libs service_lora_p2p)
    list(APPEND defines QIV_LORA_P2P_LINKED=1)
  endif()
  # The LoRaWAN MAC and its service join the start-up and the dispatcher once
  # they exist.
  if(TARGET service_lora)
    list(APPEND libs service_lora)
    list(APPEND defines QIV_LORA_SERVICES_LINKED=1)
  endif()
  # The firmware's `main` is renamed wherever an image compiles it (the host
  # program's main() is the launcher's).
  get_property(startup GLOBAL PROPERTY STM32WLE5XX_STARTUP_SOURCES)
  set_source_files_properties(${startup} DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    PROPERTIES COMPILE_DEFINITIONS main=stm32wle5xx_main)
  qiv_image(${name}
    MCU stm32wle5xx
    BOARD ${IMG_BOARD}
    PLATFORM stm32_program
    LIBS ${libs}
    DEFINES ${defines})
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${name}.bin
    COMMAND qiv-appfile make --image ${name} -o ${CMAKE_BINARY_DIR}/${name}.bin
    DEPENDS qiv-appfile
    COMMENT "Application file ${name}.bin"
    VERBATIM)
  add_custom_target(${name}-bin ALL DEPENDS ${CMAKE_BINARY_DIR}/${name}.bin)
  # The image boots and answers "AT" on its AT port (with the default
  # program, whose start-up lines the check knows).
  if(NOT IMG_APP STREQUAL qiv_app_default)
    return()
  endif()
  add_test(NAME ${name}_answers_at
    COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:${name}> -DMODEL=${IMG_MODEL}
      -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/image-tests
      -P ${PROJECT_SOURCE_DIR}/component/core/mcu/stm32wle5xx/test/image_answers_at.cmake)
  set_tests_properties(${name}_answers_at PROPERTIES LABELS system TIMEOUT 60)
endfunction()

qiv_stm32wle5_image(brisola-t BOARD brisola_t MODEL "Brisola-T"
  DEFINES SUPPORT_LORA=1 SUPPORT_LORA_P2P=1)
qiv_stm32wle5_image(brisola-e BOARD brisola_e MODEL "Brisola-E"
  DEFINES SUPPORT_LORA=1 SUPPORT_LORA_P2P=1)
qiv_stm32wle5_image(quenlarlp-sip BOARD quenlarlp_sip MODEL "QuenlarLP-SiP"
  DEFINES SUPPORT_LORA=1 SUPPORT_LORA_P2P=1 QIV_ADC_SET_RESOLUTION=1)
qiv_stm32wle5_image(saffrond BOARD saffrond MODEL "Saffrond"
  DEFINES SUPPORT_LORA=1 SUPPORT_LORA_P2P=1)
