// Linked into the module's stand-in build only. The module adopts the service origin its host set
// before loading it, so one build can talk to a simulator on any port or to another service. The
// shipped module has no such hook: its origin is the one it was built with.

#include "common/kelp-common.h"

#include <obs-standin.h>

namespace {
// Runs while the library loads, before the first entry point and so before any engine exists.
[[maybe_unused]] const bool originAdopted = [] {
	const QString origin = standin::serviceOrigin();
	if (!origin.isEmpty())
		setKelpServiceOrigin(origin);
	return true;
}();
} // namespace
