# Writes the build-time texts of the version commands (see qiv_build_info in
# firmware.cmake): cmake -DTEMPLATE=<.cpp.in> -DOUTPUT=<.cpp>
#   -DSOURCE_DIR=<tree> [-DGIT=<git>] -P build_info.cmake
string(TIMESTAMP QIV_BUILD_DATE "%Y%m%d")
string(TIMESTAMP QIV_BUILD_TIME "%H%M%S")
set(QIV_REPO_INFO "unknown")
if(GIT)
  execute_process(COMMAND ${GIT} rev-parse --short=12 HEAD
    WORKING_DIRECTORY ${SOURCE_DIR}
    OUTPUT_VARIABLE rev OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE result ERROR_QUIET)
  if(result EQUAL 0 AND rev)
    set(QIV_REPO_INFO "${rev}")
  endif()
endif()
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
