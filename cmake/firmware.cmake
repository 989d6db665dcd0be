# Firmware compiled once per configuration.
#
# The firmware folders describe their code as INTERFACE libraries (sources,
# include folders, the libraries they call). They carry no compile
# definitions: what changes the code (chip, features, board) is a
# configuration, and each firmware library is compiled once per configuration
# into an OBJECT library named <library>.<configuration>. Images and unit
# tests link those objects; only the per-image texts (image name, model) are
# compiled by each image itself.

# The flags of code that runs on the module (set in qiv.cmake) apply to every
# compiled firmware library, whoever links it.
set(QIV_FIRMWARE_OBJECT_FLAGS $<$<COMPILE_LANGUAGE:CXX>:${QIV_FIRMWARE_CXX_FLAGS}> ${QIV_SECTION_ORDER_FLAGS})

# qiv_configuration(<name> DEFINES <macros>... [HEADERS <libraries>...])
#
# Declares a configuration: the definitions every firmware library of it is
# compiled with, and that its users (image or test sources) see too. HEADERS:
# the libraries of the programs built in it, whose include folders every
# library of the configuration sees (a library may include the headers of the
# code its program supplies, e.g. the chip's radio). A name declared twice
# must mean the same definitions.
function(qiv_configuration name)
  cmake_parse_arguments(C "" "" "DEFINES;HEADERS" ${ARGN})
  set(cfg qiv_config.${name})
  if(TARGET ${cfg})
    get_target_property(old ${cfg} INTERFACE_COMPILE_DEFINITIONS)
    if(NOT old)
      set(old "")
    endif()
    if(NOT "${old}" STREQUAL "${C_DEFINES}")
      message(FATAL_ERROR "configuration ${name} declared twice: '${old}' and '${C_DEFINES}'")
    endif()
    return()
  endif()
  add_library(${cfg} INTERFACE)
  target_compile_definitions(${cfg} INTERFACE ${C_DEFINES})
  _qiv_firmware_closure(fw other ${C_HEADERS})
  foreach(lib ${fw})
    get_target_property(inc ${lib} INTERFACE_INCLUDE_DIRECTORIES)
    if(inc)
      target_include_directories(${cfg} INTERFACE ${inc})
    endif()
  endforeach()
  foreach(lib ${other})
    if(TARGET ${lib})
      target_include_directories(${cfg} INTERFACE $<TARGET_PROPERTY:${lib},INTERFACE_INCLUDE_DIRECTORIES>)
    endif()
  endforeach()
endfunction()

# The firmware libraries (INTERFACE libraries) reachable from the given link
# items, the items themselves first; and the other link items (static
# libraries, system libraries) they need.
function(_qiv_firmware_closure out_fw out_other)
  set(fw)
  set(other)
  set(todo ${ARGN})
  while(todo)
    list(POP_FRONT todo item)
    if(item IN_LIST fw OR item IN_LIST other)
      continue()
    endif()
    if(TARGET ${item})
      get_target_property(aliased ${item} ALIASED_TARGET)
      get_target_property(type ${item} TYPE)
      get_target_property(imported ${item} IMPORTED)
      if(type STREQUAL "INTERFACE_LIBRARY" AND NOT aliased AND NOT imported)
        list(APPEND fw ${item})
        get_target_property(deps ${item} INTERFACE_LINK_LIBRARIES)
        if(deps)
          list(APPEND todo ${deps})
        endif()
        continue()
      endif()
    endif()
    list(APPEND other ${item})
  endwhile()
  set(${out_fw} ${fw} PARENT_SCOPE)
  set(${out_other} ${other} PARENT_SCOPE)
endfunction()

# The usage requirements of firmware libraries without their sources: the
# include folders for <target>. A firmware library that sets compile
# definitions is refused: they would differ between the libraries of one
# program.
function(_qiv_firmware_includes target)
  foreach(lib ${ARGN})
    get_target_property(defs ${lib} INTERFACE_COMPILE_DEFINITIONS)
    if(defs)
      message(FATAL_ERROR "firmware library ${lib} sets compile definitions (${defs}); "
        "they belong to a configuration (cmake/products.cmake)")
    endif()
    get_target_property(inc ${lib} INTERFACE_INCLUDE_DIRECTORIES)
    if(inc)
      target_include_directories(${target} PRIVATE ${inc})
    endif()
  endforeach()
endfunction()

# <library>.<configuration>: the sources of one firmware library compiled
# with one configuration. QIV_SOURCE_DEFINITIONS on a library holds
# definitions for its own sources only (the renamed `main` of a start-up). A
# library with QIV_CONFIGURATION_FREE (whose sources and headers read no
# configuration macro) is compiled once, in the configuration `common`.
function(_qiv_firmware_instance out lib cfg)
  get_target_property(free ${lib} QIV_CONFIGURATION_FREE)
  if(free)
    set(cfg common)
  endif()
  set(inst ${lib}.${cfg})
  if(NOT TARGET ${inst})
    get_target_property(srcs ${lib} INTERFACE_SOURCES)
    add_library(${inst} OBJECT ${srcs})
    _qiv_firmware_closure(fw other ${lib})
    _qiv_firmware_includes(${inst} ${fw})
    get_target_property(own_defs ${lib} QIV_SOURCE_DEFINITIONS)
    if(own_defs)
      target_compile_definitions(${inst} PRIVATE ${own_defs})
    endif()
    target_compile_options(${inst} PRIVATE ${QIV_FIRMWARE_OBJECT_FLAGS})
    # The configuration's definitions reach whoever links the objects; the
    # static libraries below them are linked into the program.
    target_link_libraries(${inst} PUBLIC qiv_config.${cfg} PRIVATE ${other})
  endif()
  set(${out} ${inst} PARENT_SCOPE)
endfunction()

# qiv_link_firmware(<target> CONFIG <configuration> LIBS <libraries>...
#                   [OWN <libraries>...])
#
# Links the firmware libraries LIBS (and everything they call) into <target>,
# each compiled once for the configuration. The sources of the OWN libraries
# are compiled by <target> itself, with its own definitions (the per-image
# texts).
function(qiv_link_firmware target)
  cmake_parse_arguments(F "" "CONFIG" "LIBS;OWN" ${ARGN})
  if(NOT TARGET qiv_config.${F_CONFIG})
    message(FATAL_ERROR "${target}: no configuration '${F_CONFIG}'")
  endif()
  _qiv_firmware_closure(fw other ${F_OWN} ${F_LIBS})
  _qiv_firmware_includes(${target} ${fw})
  set(stamp_deps)
  set(build_info OFF)
  foreach(lib ${fw})
    get_target_property(wants ${lib} QIV_BUILD_INFO)
    if(wants)
      set(build_info ON)
    endif()
    get_target_property(srcs ${lib} INTERFACE_SOURCES)
    if(NOT srcs)
      continue()
    elseif(lib IN_LIST F_OWN)
      target_sources(${target} PRIVATE ${srcs})
      list(APPEND stamp_deps ${srcs})
      # Firmware code everywhere: no exceptions, no run-time type information
      # (which the classes of the objects it derives from do not carry).
      set_property(SOURCE ${srcs} TARGET_DIRECTORY ${target} APPEND PROPERTY COMPILE_OPTIONS
        ${QIV_FIRMWARE_OBJECT_FLAGS})
      get_target_property(own_defs ${lib} QIV_SOURCE_DEFINITIONS)
      if(own_defs)
        set_property(SOURCE ${srcs} TARGET_DIRECTORY ${target} APPEND PROPERTY COMPILE_DEFINITIONS ${own_defs})
      endif()
    else()
      _qiv_firmware_instance(inst ${lib} ${F_CONFIG})
      target_link_libraries(${target} PRIVATE ${inst})
      list(APPEND stamp_deps $<TARGET_OBJECTS:${inst}>)
    endif()
  endforeach()
  target_link_libraries(${target} PRIVATE qiv_config.${F_CONFIG} ${other})
  # A library with QIV_BUILD_INFO (the AT interpreter's version commands)
  # needs the program's build-time texts.
  if(build_info)
    qiv_build_info(${target} DEPENDS ${stamp_deps})
  endif()
endfunction()

# qiv_firmware_bundle(<name> CONFIG <configuration> LIBS <libraries>...
#                     [OWN <libraries>...] [DEFINES <macros>...])
#
# A set of firmware libraries that unit tests link under one name (LIBS of
# qiv_unit_test): the libraries compiled once for the configuration, the OWN
# ones and DEFINES (per-image texts) compiled by each test.
function(qiv_firmware_bundle name)
  cmake_parse_arguments(B "" "CONFIG" "LIBS;OWN;DEFINES" ${ARGN})
  add_library(${name} INTERFACE)
  set_target_properties(${name} PROPERTIES QIV_BUNDLE_CONFIG ${B_CONFIG}
    QIV_BUNDLE_LIBS "${B_LIBS}" QIV_BUNDLE_OWN "${B_OWN}" QIV_BUNDLE_DEFINES "${B_DEFINES}")
endfunction()

# The build-time texts of the version commands (build date and time, source
# revision) for <target>: written when the target's firmware changes (the
# files in DEPENDS) or the checked-out revision moves, so that a build with
# nothing new relinks nothing.
function(qiv_build_info target)
  cmake_parse_arguments(B "" "" "DEPENDS" ${ARGN})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_build_info.cpp)
  set(git_deps)
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --absolute-git-dir
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE git_dir OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE git_result ERROR_QUIET)
    if(git_result EQUAL 0)
      # HEAD moves on checkout; its log grows with every commit and reset.
      foreach(f HEAD logs/HEAD)
        if(EXISTS ${git_dir}/${f})
          list(APPEND git_deps ${git_dir}/${f})
        endif()
      endforeach()
    endif()
  endif()
  set(template ${PROJECT_SOURCE_DIR}/component/service/mode/cli/atcmd_build_info.cpp.in)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DTEMPLATE=${template} -DOUTPUT=${out}
      -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DGIT=${GIT_EXECUTABLE}
      -P ${PROJECT_SOURCE_DIR}/cmake/build_info.cmake
    DEPENDS ${template} ${PROJECT_SOURCE_DIR}/cmake/build_info.cmake ${git_deps} ${B_DEPENDS}
    COMMENT "Build info of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()

# The configuration of the libraries that read no configuration macro.
qiv_configuration(common)

# qiv_firmware_compiled_by(<target> <libraries or bundles>...)
#
# Links firmware libraries whose sources <target> compiles itself, with its
# own flags (the fuzz targets' instrumentation), in place of the objects
# compiled for a configuration: a bundle (qiv_firmware_bundle) brings its
# libraries, its per-image texts and its configuration's definitions.
function(qiv_firmware_compiled_by target)
  set(libs)
  foreach(lib ${ARGN})
    set(cfg)
    if(TARGET ${lib})
      get_target_property(cfg ${lib} QIV_BUNDLE_CONFIG)
    endif()
    if(cfg)
      get_target_property(b ${lib} QIV_BUNDLE_LIBS)
      list(APPEND libs ${b})
      get_target_property(b ${lib} QIV_BUNDLE_OWN)
      list(APPEND libs ${b})
      get_target_property(b ${lib} QIV_BUNDLE_DEFINES)
      target_compile_definitions(${target} PRIVATE ${b})
      target_link_libraries(${target} PRIVATE qiv_config.${cfg})
    else()
      list(APPEND libs ${lib})
    endif()
  endforeach()
  target_link_libraries(${target} PRIVATE ${libs})
  _qiv_firmware_closure(fw other ${libs})
  foreach(lib ${fw})
    get_target_property(wants ${lib} QIV_BUILD_INFO)
    if(wants)
      qiv_build_info(${target})
      break()
    endif()
  endforeach()
endfunction()
