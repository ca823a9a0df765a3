# quelmar_add_version_resource(<target> "<description>")
#
# On Windows, compiles a VERSIONINFO resource into <target>: file and product
# version (the project's), product name "Quelmar", the description, the
# original file name. Explorer shows them in the file's properties. Does
# nothing elsewhere.
if(WIN32)
  enable_language(RC)
endif()

function(quelmar_add_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(VR_FILE_NAME "${name}${CMAKE_EXECUTABLE_SUFFIX}")
  set(VR_INTERNAL_NAME "${name}")
  # A double quote inside a resource string is written twice.
  string(REPLACE "\"" "\"\"" VR_DESCRIPTION "${description}")
  set(VR_NUMBERS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  if(VR_NUMBERS MATCHES ",,")
    message(FATAL_ERROR "The project version needs three numbers for the resource")
  endif()
  set(VR_VERSION "${PROJECT_VERSION}")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
