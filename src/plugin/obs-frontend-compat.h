#pragma once

#include <obs-frontend-api.h>

// OBS 30 added docks registered by id; older SDKs (Debian's libobs 29) lack the declarations, and
// the running host provides the functions.
#ifndef KELP_SDK_HAS_DOCK_BY_ID
#ifdef __cplusplus
extern "C" {
#endif
EXPORT bool obs_frontend_add_dock_by_id(const char *id, const char *title, void *widget);
EXPORT void obs_frontend_remove_dock(const char *id);
#ifdef __cplusplus
}
#endif
#endif
