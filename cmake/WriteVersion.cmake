# Writes the version source file (cmake -P, at every build). The file is
# rewritten only when the text changes, so a commit recompiles this one
# file and relinks; nothing else is rebuilt.
#   -DVERSION=1.0.0 -DSOURCE_DIR=... -DINPUT=version.cpp.in -DOUTPUT=version.cpp
set(QUELMAR_FULL_VERSION "${VERSION}")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --tags --always --dirty
    OUTPUT_VARIABLE describe OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE result ERROR_QUIET)
  # The release's own tag (v1.0.0 or 1.0.0), clean: the plain number.
  if(result EQUAL 0 AND NOT describe STREQUAL "" AND NOT describe STREQUAL "v${VERSION}"
     AND NOT describe STREQUAL "${VERSION}")
    set(QUELMAR_FULL_VERSION "${VERSION}+${describe}")
  endif()
endif()
configure_file("${INPUT}" "${OUTPUT}" @ONLY)
