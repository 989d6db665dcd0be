# The cross-build for the chips (preset `cross`, scripts/cross.sh): only the
# firmware of each image (component/ and app/: what would run on the module),
# compiled for its chip's Cortex-M4 core with arm-none-eabi GCC and
# newlib-nano, and linked into one ELF per image, so that what only the chip
# shows is checked: its ABI (short enums, 8-byte alignment of 64-bit fields:
# the layout static_asserts hold there) and its flash and RAM budget.
#
# The vendor interfaces (HAL, SDK, kernel, BLE stacks, the vendor's radio
# driver) are the stand-in headers under platform/, declarations only: their
# code is not part of any image here. The ELF is linked with those symbols
# left undefined (--unresolved-symbols=ignore-all), so its flash and RAM are
# the firmware's own plus the C and C++ libraries it calls; scripts/cross.sh
# checks that every symbol left undefined is one a vendor header declares.
#
# Included from the top-level CMakeLists.txt when QIV_CROSS is set, in place
# of the host build (cmake/qiv.cmake): no simulated chip, tools or tests.

if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_CXX_COMPILER MATCHES "arm-none-eabi")
  message(FATAL_ERROR "QIV_CROSS needs the toolchain file cmake/cross-toolchain.cmake "
    "(cmake --preset cross)")
endif()

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_C_STANDARD 11)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

# Sized for flash: each function and object in its own section, so that the
# linker drops what no root reaches.
add_compile_options(-Os -ffunction-sections -fdata-sections -Wall -Wextra
  -Wno-missing-field-initializers)
set(QIV_FIRMWARE_CXX_FLAGS -fno-exceptions -fno-rtti)
set(QIV_SECTION_ORDER_FLAGS -fno-toplevel-reorder)

# The cores: the STM32WLE5's Cortex-M4 has no floating-point unit; the
# Apollo3's and the nRF52840's are Cortex-M4F.
set(QIV_CROSS_FLAGS_stm32wle5 -mcpu=cortex-m4 -mthumb -mfloat-abi=soft)
set(QIV_CROSS_FLAGS_apollo3 -mcpu=cortex-m4 -mthumb -mfpu=fpv4-sp-d16 -mfloat-abi=hard)
set(QIV_CROSS_FLAGS_nrf52840 -mcpu=cortex-m4 -mthumb -mfpu=fpv4-sp-d16 -mfloat-abi=hard)
# What the chip's reset and interrupts reach (besides the vendor callbacks):
# the reset handler and the vector table.
set(QIV_CROSS_ROOTS_stm32wle5 Reset_Handler g_vector_table)
set(QIV_CROSS_ROOTS_apollo3 Reset_Handler g_am_pfnVectors)
set(QIV_CROSS_ROOTS_nrf52840 Reset_Handler)

include(cmake/firmware.cmake)
include(cmake/product_rows.cmake)
include(cmake/products.cmake)

# ------------------------------------------------ the vendor interfaces ----
# Each platform library the firmware links becomes its headers alone.
set(_p ${PROJECT_SOURCE_DIR}/platform)
function(_qiv_cross_vendor name)
  cmake_parse_arguments(V "" "" "INCLUDE;DEPS" ${ARGN})
  add_library(${name} INTERFACE IMPORTED)
  if(V_INCLUDE)
    set_property(TARGET ${name} PROPERTY INTERFACE_INCLUDE_DIRECTORIES ${V_INCLUDE})
  endif()
  if(V_DEPS)
    set_property(TARGET ${name} PROPERTY INTERFACE_LINK_LIBRARIES ${V_DEPS})
  endif()
endfunction()
_qiv_cross_vendor(stm32_hal INCLUDE ${_p}/stm32/include)
_qiv_cross_vendor(stm32_program DEPS stm32_hal)
_qiv_cross_vendor(stm32_periodic_systick DEPS stm32_hal)
_qiv_cross_vendor(subghz_hal INCLUDE ${_p}/subghz_phy/include DEPS stm32_hal)
_qiv_cross_vendor(subghz_radio_driver DEPS subghz_hal)
_qiv_cross_vendor(apollo3_hal INCLUDE ${_p}/apollo3/include)
_qiv_cross_vendor(apollo3_program DEPS apollo3_hal)
_qiv_cross_vendor(rtos_apollo3 INCLUDE ${_p}/rtos/include DEPS apollo3_hal)
_qiv_cross_vendor(qiv_ble_host INCLUDE ${_p}/ble_host/include)
_qiv_cross_vendor(apollo3_ble_hal INCLUDE ${_p}/apollo3_ble/include DEPS qiv_ble_host apollo3_hal)
_qiv_cross_vendor(nrf52840_sdk INCLUDE ${_p}/nrf52840/include)
_qiv_cross_vendor(nrf52840_program DEPS nrf52840_sdk)
_qiv_cross_vendor(nrf52840_ble_headers INCLUDE ${_p}/nrf52840_ble/include DEPS nrf52840_sdk)
_qiv_cross_vendor(nrf52840_ble_stack DEPS nrf52840_ble_headers)

# The vendor headers: the stand-ins' own headers for the simulated chip (the
# *_sim.h ones, the application-file format, the radio model's board layer)
# are no vendor interface.
file(GLOB QIV_CROSS_VENDOR_HEADERS ${_p}/*/include/*.h)
list(FILTER QIV_CROSS_VENDOR_HEADERS EXCLUDE REGEX "_sim\\.h$|/stm32_appfile\\.h$|_host\\.h$")
list(APPEND QIV_CROSS_VENDOR_HEADERS ${_p}/ble_host/include/ble_host.h)

# The functions the vendor headers declare: kept as roots of the link, so
# that the firmware's callbacks that vendor code calls by name (the HAL's
# completion callbacks, the kernel's hooks) are counted though no firmware
# code calls them. Names the firmware does not define stay undefined.
set(QIV_CROSS_VENDOR_FUNCTIONS)
foreach(h ${QIV_CROSS_VENDOR_HEADERS})
  file(READ ${h} text)
  string(REGEX REPLACE "//[^\n]*" "" text "${text}")
  string(REGEX REPLACE "#[^\n]*" "" text "${text}")
  # C++ namespaces are the stand-ins' own additions for the simulated chip.
  string(REGEX REPLACE "\nnamespace [A-Za-z_]+ {.*" "" text "${text}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*[ \t]*\\(" calls "${text}")
  foreach(c ${calls})
    string(REGEX REPLACE "[ \t]*\\($" "" c "${c}")
    list(APPEND QIV_CROSS_VENDOR_FUNCTIONS ${c})
  endforeach()
endforeach()
list(REMOVE_DUPLICATES QIV_CROSS_VENDOR_FUNCTIONS)
list(REMOVE_ITEM QIV_CROSS_VENDOR_FUNCTIONS if for while switch return sizeof alignof
  decltype static_assert defined void int char unsigned signed short long bool float double
  uint8_t uint16_t uint32_t uint64_t int8_t int16_t int32_t int64_t size_t extern operator)
list(JOIN QIV_CROSS_VENDOR_HEADERS "\n" _headers)
file(WRITE ${CMAKE_BINARY_DIR}/vendor-headers.txt "${_headers}\n")

# ------------------------------------------------------------ the link ----
# qiv_cross_link(<target> <chip> <partition>)
# Links <target> as <target>.elf into the chip's <partition> of flash and its
# RAM (the product table), from the roots above, with the vendor symbols
# left undefined; writes a link map beside it.
function(qiv_cross_link target chip partition)
  qiv_row_get(flash CHIP ${chip} FLASH)
  qiv_row_get(ram CHIP ${chip} RAM)
  qiv_row_get(parts CHIP ${chip} PARTITIONS)
  list(GET flash 0 base)
  set(origin)
  while(parts)
    list(POP_FRONT parts pname offset size)
    if(pname STREQUAL partition)
      math(EXPR origin "${base} + ${offset}" OUTPUT_FORMAT HEXADECIMAL)
      math(EXPR length "${size}" OUTPUT_FORMAT HEXADECIMAL)
    endif()
  endwhile()
  if(NOT origin)
    message(FATAL_ERROR "chip ${chip} has no partition ${partition}")
  endif()
  list(GET ram 0 ram_origin)
  list(GET ram 1 ram_length)
  set(roots ${QIV_CROSS_ROOTS_${chip}} ${QIV_CROSS_VENDOR_FUNCTIONS})
  list(JOIN roots " " roots)
  set(ld ${CMAKE_BINARY_DIR}/${target}.ld)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/cross-link.ld.in ${ld} @ONLY)
  set_target_properties(${target} PROPERTIES SUFFIX .elf LINK_DEPENDS ${ld}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  target_link_options(${target} PRIVATE ${QIV_CROSS_FLAGS_${chip}} -nostartfiles -T ${ld}
    -Wl,--gc-sections -Wl,--unresolved-symbols=ignore-all -Wl,-Map=${CMAKE_BINARY_DIR}/${target}.map)
  # The image's table for scripts/cross.sh: chip, flash region, RAM.
  file(WRITE ${CMAKE_BINARY_DIR}/${target}.region
    "${chip} ${partition} ${origin} ${length} ${ram_origin} ${ram_length}\n")
endfunction()

# The compile flags of a configuration's chip (every library compiled for it
# and the image that links them).
function(_qiv_cross_configuration cfg chip)
  get_target_property(done qiv_config.${cfg} QIV_CROSS_CHIP)
  if(done)
    return()
  endif()
  set_target_properties(qiv_config.${cfg} PROPERTIES QIV_CROSS_CHIP ${chip})
  target_compile_options(qiv_config.${cfg} INTERFACE ${QIV_CROSS_FLAGS_${chip}})
endfunction()

# The images with a configuration of their own (the bootloader): as the host
# build's qiv_image, without the simulated chip's program.
function(qiv_image name)
  cmake_parse_arguments(IMG "" "PRODUCT" "LIBS;PLATFORM" ${ARGN})
  qiv_row_get(chip PRODUCT ${IMG_PRODUCT} CHIP)
  qiv_row_get(console PRODUCT ${IMG_PRODUCT} CONSOLE)
  qiv_row_get(defines CHIP ${chip} DEFINES)
  qiv_row_get(kind PRODUCT ${IMG_PRODUCT} KIND)
  add_executable(${name})
  target_link_libraries(${name} PRIVATE ${IMG_LIBS} ${IMG_PLATFORM})
  target_compile_definitions(${name} PRIVATE ${defines} QIV_IMAGE_NAME="${name}"
    QIV_CONSOLE_PORT=${console})
  target_compile_options(${name} PRIVATE ${QIV_CROSS_FLAGS_${chip}}
    $<$<COMPILE_LANGUAGE:CXX>:${QIV_FIRMWARE_CXX_FLAGS}> ${QIV_SECTION_ORDER_FLAGS})
  qiv_cross_link(${name} ${chip} ${kind})
  set_property(GLOBAL APPEND PROPERTY QIV_CROSS_IMAGES ${name})
endfunction()

# An application image: its firmware as the host build links it (cmake/
# images.cmake), the default user program, and no host program.
function(_qiv_cross_application_image name)
  qiv_row_get(chip PRODUCT ${name} CHIP)
  qiv_row_get(model PRODUCT ${name} MODEL)
  qiv_row_get(console PRODUCT ${name} CONSOLE)
  qiv_row_get(program CHIP ${chip} PROGRAM)
  qiv_product_firmware(libs ${name})
  qiv_product_configuration(cfg ${name})
  _qiv_cross_configuration(${cfg} ${chip})
  add_executable(${name})
  qiv_link_firmware(${name} CONFIG ${cfg} LIBS ${libs} OWN qiv_app_version ${program} qiv_app_default)
  target_compile_definitions(${name} PRIVATE QIV_MODEL="${model}" QIV_IMAGE_NAME="${name}"
    QIV_CONSOLE_PORT=${console})
  target_compile_options(${name} PRIVATE ${QIV_FIRMWARE_OBJECT_FLAGS})
  qiv_cross_link(${name} ${chip} application)
  # The AT interpreter prints floating-point values (the battery voltage):
  # newlib-nano's float formatting is linked, as the module needs it.
  target_link_options(${name} PRIVATE -u _printf_float)
  set_property(GLOBAL APPEND PROPERTY QIV_CROSS_IMAGES ${name})
endfunction()

# Every target declared in <dir> and below it.
function(_qiv_cross_targets out dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    _qiv_cross_targets(more ${sub})
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# ------------------------------------------------------------ the images ----
add_subdirectory(app)
add_subdirectory(component)

# Each chip has its own float ABI: a library that reads no configuration
# macro is still compiled once per chip, with its configuration.
_qiv_cross_targets(all ${PROJECT_SOURCE_DIR})
foreach(t ${all})
  get_target_property(free ${t} QIV_CONFIGURATION_FREE)
  if(free)
    set_target_properties(${t} PROPERTIES QIV_CONFIGURATION_FREE OFF)
  endif()
endforeach()

qiv_product_list(applications KIND application)
foreach(image ${applications})
  _qiv_cross_application_image(${image})
endforeach()

# Every firmware library links only firmware libraries and the vendor
# headers above: a platform library the firmware starts to call must be
# listed here, never linked as code.
get_property(images GLOBAL PROPERTY QIV_CROSS_IMAGES)
foreach(image ${images})
  get_target_property(links ${image} LINK_LIBRARIES)
  _qiv_firmware_closure(fw other ${links})
  foreach(item ${other})
    if(NOT TARGET ${item} AND NOT item MATCHES "^\\$<")
      message(FATAL_ERROR "image ${image} links ${item}, which the cross-build does not know: "
        "add its headers in cmake/cross.cmake (vendor interface) or its sources (firmware)")
    endif()
  endforeach()
endforeach()
list(JOIN images "\n" images)
file(WRITE ${CMAKE_BINARY_DIR}/images.txt "${images}\n")
