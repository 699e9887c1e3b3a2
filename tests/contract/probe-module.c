/* A plug-in with no behaviour of its own: libobs opens it so the contract table gets a real module
 * handle, with a data folder and a config folder, without loading anything that registers types. */
#include <obs-module.h>

OBS_DECLARE_MODULE()

bool obs_module_load(void)
{
	return true;
}
