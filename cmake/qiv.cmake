# Shared build settings and the helpers every folder uses.

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_C_STANDARD 11)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

# Warnings are errors for this tree's own targets in the presets and in CI
# (CMAKE_COMPILE_WARNING_AS_ERROR, see CMakePresets.json), not in a plain
# build: a newer or older compiler than the one the tree is checked with may
# warn where this one does not, and that must not stop a user's build.
add_compile_options(-Wall -Wextra -Wno-missing-field-initializers)
# GCC 12 at -O3 reports overlapping copies inside inlined std::string code
# ("text" + std::string, insert at 0) that cannot happen (a known false
# positive of that release, gone in 13); the sanitizer builds catch real ones.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
endif()
# Every program is built for the host's own word size (x86-64, aarch64):
# the firmware's stored and on-air records have fixed-width fields and the
# same layout on the chips and on any host; what only the chip's ABI shows
# (short enums, alignment, flash and RAM budget) is checked by building the
# firmware for the chip itself.

# Every symbol of a shared library is bound when the program starts: bound
# lazily, the dynamic linker's resolver would run on the stack of whichever
# simulated kernel task first calls a library function, taking from that
# task's measured stack a size that depends on the host CPU's register file.
if(NOT APPLE)
  add_link_options(-Wl,-z,now)
endif()

option(QIV_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(QIV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# qiv_missing(<what is left out and why>)
# Something the tree can do without (a host tool a test drives, a library a
# benchmark links) is missing. A user's build goes on without that part, with
# a warning; in CI (CI=true in the environment) the configure step fails, so
# that a missing package never passes as fewer tests run.
function(qiv_missing text)
  if("$ENV{CI}" STREQUAL "true")
    message(FATAL_ERROR "${text} (CI=true: every test and benchmark must be built; "
      "scripts/setup.sh installs what is needed)")
  endif()
  message(WARNING "${text}")
endfunction()

# Flags of code that would run on the module: no exceptions, no RTTI.
set(QIV_FIRMWARE_CXX_FLAGS -fno-exceptions -fno-rtti)

# Records placed in a named section (the AT permission overrides) are read
# in the order they are written in the source, as the module's linker keeps
# them; the optimiser must not reorder them.
set(QIV_SECTION_ORDER_FLAGS -fno-toplevel-reorder)

# qiv_image(<name>
#   PRODUCT <image of the product table>
#   PLATFORM <platform stand-in libraries>
#   LIBS <interface libraries with the firmware sources>)
#
# Builds the host program `<name>` of an image with a configuration of its
# own (the bootloader), compiling the firmware sources itself. Application
# images are built from the product table (qiv_application_image in
# cmake/images.cmake).
function(qiv_image name)
  cmake_parse_arguments(IMG "" "PRODUCT" "LIBS;PLATFORM" ${ARGN})
  qiv_row_get(chip PRODUCT ${IMG_PRODUCT} CHIP)
  qiv_row_get(console PRODUCT ${IMG_PRODUCT} CONSOLE)
  qiv_row_get(defines CHIP ${chip} DEFINES)
  add_executable(${name})
  target_link_libraries(${name} PRIVATE ${IMG_LIBS} ${IMG_PLATFORM})
  target_compile_definitions(${name} PRIVATE ${defines} QIV_IMAGE_NAME="${name}"
    QIV_CONSOLE_PORT=${console})
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QIV_FIRMWARE_CXX_FLAGS}>
    ${QIV_SECTION_ORDER_FLAGS})
  # Image programs sit side by side in the top build folder, where the
  # launchers and tests look for them.
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()

# qiv_unit_test(<name> SOURCES ... LIBS ... DEFINES ... [LABELS ...] [NO_RUN_TWICE]
#               [CONFIG <configuration>] [OWN <firmware libraries>...])
# A GoogleTest executable registered with ctest under the label "unit".
# Unit tests are also run twice in one process (unit_tests_run_twice) unless
# NO_RUN_TWICE is given (a program too slow to run twice with the others).
#
# With a configuration (CONFIG, or a bundle of qiv_firmware_bundle in LIBS)
# the firmware libraries in LIBS are linked as compiled once for it (see
# cmake/firmware.cmake), those in OWN compiled by the test with its DEFINES
# (the per-image texts); without one the test compiles them itself.
function(qiv_unit_test name)
  cmake_parse_arguments(T "NO_RUN_TWICE" "CONFIG" "SOURCES;LIBS;DEFINES;LABELS;OWN" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  set(libs)
  set(firmware)
  set(own ${T_OWN})
  foreach(lib ${T_LIBS})
    set(bundle_cfg)
    if(TARGET ${lib})
      get_target_property(bundle_cfg ${lib} QIV_BUNDLE_CONFIG)
    endif()
    if(bundle_cfg)
      if(T_CONFIG AND NOT T_CONFIG STREQUAL bundle_cfg)
        message(FATAL_ERROR "${name}: configurations ${T_CONFIG} and ${bundle_cfg}")
      endif()
      set(T_CONFIG ${bundle_cfg})
      get_target_property(b ${lib} QIV_BUNDLE_LIBS)
      list(APPEND firmware ${b})
      get_target_property(b ${lib} QIV_BUNDLE_OWN)
      list(APPEND own ${b})
      get_target_property(b ${lib} QIV_BUNDLE_DEFINES)
      list(APPEND T_DEFINES ${b})
    else()
      list(APPEND libs ${lib})
    endif()
  endforeach()
  if(T_CONFIG)
    # Firmware libraries (interface libraries of this tree) come compiled for
    # the configuration; everything else is linked as it is.
    set(plain)
    foreach(lib ${libs})
      set(type)
      set(imported)
      if(TARGET ${lib})
        get_target_property(type ${lib} TYPE)
        get_target_property(imported ${lib} IMPORTED)
      endif()
      if(type STREQUAL "INTERFACE_LIBRARY" AND NOT imported)
        list(APPEND firmware ${lib})
      else()
        list(APPEND plain ${lib})
      endif()
    endforeach()
    qiv_link_firmware(${name} CONFIG ${T_CONFIG} LIBS ${firmware} OWN ${own})
    set(libs ${plain})
  endif()
  target_link_libraries(${name} PRIVATE ${libs} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE ${T_DEFINES})
  # GCC 12 at -O2/-O3 reports out-of-bounds, bad-free and uninitialised paths
  # inside inlined std::vector code that cannot be taken (a known class of
  # false positives);
  # tests are built with the sanitizers too, which catch the real ones.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${name} PRIVATE -Wno-array-bounds -Wno-free-nonheap-object -Wno-maybe-uninitialized
      -Wno-stringop-overflow -Wno-stringop-overread)
  endif()
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 600)
  if(T_LABELS STREQUAL "unit" AND NOT T_NO_RUN_TWICE)
    set_property(GLOBAL APPEND PROPERTY QIV_RUN_TWICE_TESTS ${name})
  endif()
endfunction()

# One test that runs every (quick) unit-test program twice in one process,
# so that a test that depends on what an earlier one left behind fails here
# rather than when the order or the selection of tests changes. Called once
# the whole tree is read.
function(qiv_add_run_twice_test)
  get_property(names GLOBAL PROPERTY QIV_RUN_TWICE_TESTS)
  if(NOT names)
    return()
  endif()
  set(programs "")
  foreach(name IN LISTS names)
    list(APPEND programs "$<TARGET_FILE:${name}>")
  endforeach()
  list(JOIN programs "|" programs)
  add_test(NAME unit_tests_run_twice
    COMMAND ${CMAKE_COMMAND} "-DPROGRAMS=${programs}" -P ${PROJECT_SOURCE_DIR}/cmake/run_twice.cmake)
  set_tests_properties(unit_tests_run_twice PROPERTIES LABELS unit TIMEOUT 900)
endfunction()
