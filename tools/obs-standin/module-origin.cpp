// Linked into the module's stand-in build only. The module adopts the service origin its host set
// before loading it, so one build can talk to a simulator on any port or to another service, and
// it trusts the test authority the host names, so it can talk HTTPS to the simulator. The shipped
// module has neither hook: its origin is the one it was built with, and it trusts the system's
// authorities alone.

#include "common/kelp-common.h"

#include <obs-standin.h>

#include <QSslCertificate>
#include <QSslConfiguration>

namespace {
// Runs while the library loads, before the first entry point and so before any engine exists.
[[maybe_unused]] const bool originAdopted = [] {
	const QString origin = standin::serviceOrigin();
	if (!origin.isEmpty())
		setKelpServiceOrigin(origin);
	const QString authority = standin::trustedAuthority();
	if (!authority.isEmpty()) {
		// Every access manager created later starts from the default configuration.
		QSslConfiguration config = QSslConfiguration::defaultConfiguration();
		config.addCaCertificates(QSslCertificate::fromPath(authority));
		QSslConfiguration::setDefaultConfiguration(config);
	}
	return true;
}();
} // namespace
