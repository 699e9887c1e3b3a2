#pragma once

#include <obs-module.h>

// The handle OBS gave the module; null before obs_module_set_pointer.
obs_module_t *kelpModuleHandle();
void setKelpModuleHandle(obs_module_t *module);
