# libobs 29 (Debian bookworm) lacks the OBS 30 dock functions; the compatibility header declares
# them only when the SDK does not.
include(CheckCXXSourceCompiles)
get_target_property(_kelp_obs_includes OBS::obs-frontend-api INTERFACE_INCLUDE_DIRECTORIES)
set(CMAKE_REQUIRED_INCLUDES ${_kelp_obs_includes})
set(CMAKE_REQUIRED_DEFINITIONS -DHAVE_OBSCONFIG_H)
# Only the declarations matter: a test program that links would need the frontend library and
# fail on an SDK that does declare the functions.
set(_kelp_saved_try_type "${CMAKE_TRY_COMPILE_TARGET_TYPE}")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
check_cxx_source_compiles("
#include <obs-frontend-api.h>
int main() { auto f = &obs_frontend_add_dock_by_id; auto g = &obs_frontend_remove_dock; return f && g ? 0 : 1; }
" KELP_SDK_HAS_DOCK_BY_ID)
set(CMAKE_TRY_COMPILE_TARGET_TYPE "${_kelp_saved_try_type}")
unset(_kelp_saved_try_type)
unset(CMAKE_REQUIRED_INCLUDES)
unset(CMAKE_REQUIRED_DEFINITIONS)
