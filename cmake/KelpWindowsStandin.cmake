# A MinGW-w64 build for running the module and its suites under Wine. No libobs exists for MinGW:
# the stand-in is built as obs.dll and a forwarding obs-frontend-api.dll, so the module's imports
# name the same two libraries a real OBS provides. The libobs headers are Debian's (libobs-dev).
set(KELP_OBS_INCLUDE_DIR "/usr/include/obs" CACHE PATH "libobs headers for the MinGW build")
if(NOT EXISTS "${KELP_OBS_INCLUDE_DIR}/obs-module.h")
  message(FATAL_ERROR "libobs headers not found in ${KELP_OBS_INCLUDE_DIR} (install libobs-dev)")
endif()

# The headers reach for SIMDe outside the MSVC branch; it is header-only, so Debian's copy serves
# without putting the whole of /usr/include on a Windows compiler's path.
set(_kelp_shim "${PROJECT_BINARY_DIR}/mingw-obs-include")
if(NOT EXISTS "${_kelp_shim}/simde")
  if(NOT EXISTS /usr/include/simde/x86/sse2.h)
    message(FATAL_ERROR "SIMDe headers not found (install libsimde-dev)")
  endif()
  file(MAKE_DIRECTORY "${_kelp_shim}")
  file(CREATE_LINK /usr/include/simde "${_kelp_shim}/simde" SYMBOLIC)
endif()

add_library(OBS::libobs INTERFACE IMPORTED)
set_target_properties(OBS::libobs PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${KELP_OBS_INCLUDE_DIR};${_kelp_shim}"
  INTERFACE_COMPILE_DEFINITIONS HAVE_OBSCONFIG_H
  INTERFACE_LINK_LIBRARIES obs-standin)
add_library(OBS::obs-frontend-api INTERFACE IMPORTED)
set_target_properties(OBS::obs-frontend-api PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${KELP_OBS_INCLUDE_DIR};${_kelp_shim}"
  INTERFACE_LINK_LIBRARIES obs-frontend-api)
unset(_kelp_shim)
