# libobs 29 (Debian bookworm) lacks the OBS 30 dock functions; the compatibility header declares
# them only when the SDK does not.
include(CheckCXXSourceCompiles)
get_target_property(_kelp_obs_includes OBS::obs-frontend-api INTERFACE_INCLUDE_DIRECTORIES)
set(CMAKE_REQUIRED_INCLUDES ${_kelp_obs_includes})
set(CMAKE_REQUIRED_DEFINITIONS -DHAVE_OBSCONFIG_H)
check_cxx_source_compiles("
#include <obs-frontend-api.h>
int main() { auto f = &obs_frontend_add_dock_by_id; auto g = &obs_frontend_remove_dock; return f && g ? 0 : 1; }
" KELP_SDK_HAS_DOCK_BY_ID)
unset(CMAKE_REQUIRED_INCLUDES)
unset(CMAKE_REQUIRED_DEFINITIONS)
