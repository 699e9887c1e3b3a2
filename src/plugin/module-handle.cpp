#include "plugin/module-handle.h"

namespace {
obs_module_t *moduleHandle = nullptr;
}

obs_module_t *kelpModuleHandle()
{
	return moduleHandle;
}

void setKelpModuleHandle(obs_module_t *module)
{
	moduleHandle = module;
}
