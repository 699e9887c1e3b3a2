# OBS's eight module entry points: all that the module may export, on every platform.
set(kelp_entry_points obs_module_description obs_module_free_locale obs_module_get_string obs_module_load
  obs_module_set_locale obs_module_set_pointer obs_module_unload obs_module_ver)
