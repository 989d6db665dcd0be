# How an image is built from its row of the product table.

# qiv_application_image(<image> [PRODUCT <image of the table>] [APP <library>])
#
# Builds the host program <image>: the firmware of an application image on
# the simulated chip. Its firmware is compiled once per configuration (chip,
# features, board; see cmake/firmware.cmake); the image itself compiles only
# its own texts (program name, model), its user program and its build info.
# PRODUCT: another image's row, with APP (the user program, an interface
# library; the default program when not given) in place of its own, for test
# images. Images of the table's chips with APPFILE also get their
# application file (<image>.bin), the form in which the bootloader receives
# and starts them.
function(qiv_application_image name)
  cmake_parse_arguments(I "" "PRODUCT;APP" "" ${ARGN})
  if(NOT I_PRODUCT)
    set(I_PRODUCT ${name})
  endif()
  if(NOT I_APP)
    set(I_APP qiv_app_default)
  endif()
  qiv_row_get(chip PRODUCT ${I_PRODUCT} CHIP)
  qiv_row_get(model PRODUCT ${I_PRODUCT} MODEL)
  qiv_row_get(console PRODUCT ${I_PRODUCT} CONSOLE)
  qiv_row_get(program CHIP ${chip} PROGRAM)
  qiv_row_get(appfile CHIP ${chip} APPFILE)
  qiv_product_firmware(libs ${I_PRODUCT})
  qiv_product_configuration(cfg ${I_PRODUCT})

  add_executable(${name})
  qiv_link_firmware(${name} CONFIG ${cfg} LIBS ${libs} OWN qiv_app_version ${program} ${I_APP})
  target_compile_definitions(${name} PRIVATE QIV_MODEL="${model}" QIV_IMAGE_NAME="${name}"
    QIV_CONSOLE_PORT=${console})
  target_compile_options(${name} PRIVATE ${QIV_FIRMWARE_OBJECT_FLAGS})
  # Image programs sit side by side in the top build folder, where the
  # launchers and tests look for them.
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

  if(appfile)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${name}.bin
      COMMAND qiv-appfile make --image ${name} -o ${CMAKE_BINARY_DIR}/${name}.bin
      DEPENDS qiv-appfile
      COMMENT "Application file ${name}.bin"
      VERBATIM)
    add_custom_target(${name}-bin ALL DEPENDS ${CMAKE_BINARY_DIR}/${name}.bin)
  endif()
  # The image boots and answers "AT" on its AT port (with the default
  # program, whose start-up lines the check knows).
  if(NOT I_APP STREQUAL qiv_app_default)
    return()
  endif()
  # Each AT port's line editor starts with a line end: with BLE the BLE
  # serial port is an AT port beside the console.
  qiv_row_get(features PRODUCT ${I_PRODUCT} FEATURES)
  set(at_ports 1)
  if("BLE" IN_LIST features)
    set(at_ports 2)
  endif()
  # The check of the chip's port (its start-up differs per chip), or of the
  # board when it has its own start-up.
  qiv_row_get(board PRODUCT ${I_PRODUCT} BOARD)
  set(board_check ${PROJECT_SOURCE_DIR}/component/core/board/${board}/image_answers_at.cmake)
  if(EXISTS ${board_check})
    set(check ${board_check})
  elseif(chip STREQUAL "nrf52840")
    set(check ${PROJECT_SOURCE_DIR}/component/core/mcu/nrf52840/test/image_answers_at.cmake)
  else()
    set(check ${PROJECT_SOURCE_DIR}/component/core/mcu/stm32wle5xx/test/image_answers_at.cmake)
  endif()
  add_test(NAME ${name}_answers_at
    COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:${name}> -DMODEL=${model}
      -DAT_PORTS=${at_ports} -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/image-tests -P ${check})
  set_tests_properties(${name}_answers_at PROPERTIES LABELS system TIMEOUT 60)
endfunction()
