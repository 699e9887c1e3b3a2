#include "plugin/module-handle.h"
#include "plugin/obs-frontend-compat.h"
#include "plugin/qt-plugins-fit.h"
#include "common/kelp-common.h"
#include "dock/kelp-dock.h"

#include <QApplication>
#include <QFileInfo>
#include <QSslSocket>
#include <QTimer>

#include <obs-module.h>
#include <util/util.hpp>

// The SDK's module macro would report the SDK's API version and export an extra symbol, so the
// entry points are written out here.

namespace {
constexpr char kDockId[] = "kelp_obs_dock";
constexpr char kDockTitle[] = "KELP";
constexpr uint32_t kModuleApiVersion = 0x1F010001; // 31.1.1

lookup_t *localeLookup = nullptr;
KelpDock *dock = nullptr;
} // namespace

MODULE_EXPORT void obs_module_set_pointer(obs_module_t *module)
{
	setKelpModuleHandle(module);
}

MODULE_EXPORT uint32_t obs_module_ver(void)
{
	return kModuleApiVersion;
}

MODULE_EXPORT void obs_module_set_locale(const char *locale)
{
	if (localeLookup)
		text_lookup_destroy(localeLookup);
	localeLookup = obs_module_load_locale(kelpModuleHandle(), "en-US", locale);
}

MODULE_EXPORT void obs_module_free_locale(void)
{
	text_lookup_destroy(localeLookup);
	localeLookup = nullptr;
}

MODULE_EXPORT bool obs_module_get_string(const char *val, const char **out)
{
	return text_lookup_getstr(localeLookup, val, out);
}

MODULE_EXPORT bool obs_module_load(void)
{
	// In a host built with another Qt (or none), this Qt's application object does not exist, and the
	// dock's first widget would abort the whole process at every start. Refuse before making anything.
	if (!qobject_cast<QApplication *>(QCoreApplication::instance())) {
		blog(LOG_ERROR,
		     "[KELP] KELP OBS Plugin %s not loaded: it needs an OBS Studio built with Qt 6, and this process "
		     "runs no Qt 6 QApplication",
		     kKelpModuleVersion);
		return false;
	}

	blog(LOG_INFO, "[KELP] loading KELP OBS Plugin %s", kKelpModuleVersion);

	BPtr<char> pluginPath = obs_find_module_file(kelpModuleHandle(), "qt-plugins");
	if (pluginPath) {
		const QString mismatch =
			qtPluginsMismatch(QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR));
		if (mismatch.isEmpty()) {
			QCoreApplication::addLibraryPath(
				QFileInfo(QString::fromUtf8(pluginPath.Get())).absoluteFilePath());
			blog(LOG_INFO, "[KELP] private Qt plugin path registered");
		} else {
			blog(LOG_WARNING, "%s", mismatch.toUtf8().constData());
		}
		pluginPath = nullptr;
	}

	dock = new KelpDock();
	if (obs_frontend_add_dock_by_id(kDockId, kDockTitle, dock)) {
		blog(LOG_INFO, "[KELP] dock registered; OBS layout left untouched");
		// Asking loads Qt's TLS backends (some 20 ms), which the first HTTPS request would do on
		// this thread anyway; after the load, so OBS's start goes on first. A backend without TLS
		// sockets counts as none: another plug-in may have brought a certificate-only one first,
		// and Qt does not look again once it has one.
		QTimer::singleShot(0, dock, [] {
			if (QSslSocket::supportsSsl())
				return;
			const QStringList available = QSslSocket::availableBackends();
			const QString active = QSslSocket::activeBackend();
			blog(LOG_ERROR,
			     "[KELP] HTTPS unavailable: no TLS-capable Qt backend (active: %s; available: %s); pairing "
			     "and every request to the KELP service fail",
			     active.isEmpty() ? "none" : qPrintable(active),
			     available.isEmpty() ? "none" : qPrintable(available.join(QStringLiteral(", "))));
		});
		return true;
	}

	blog(LOG_ERROR, "[KELP] could not add KELP dock");
	delete dock;
	dock = nullptr;
	return false;
}

MODULE_EXPORT void obs_module_unload(void)
{
	// The frontend owns the registered dock and destroys it; the module only forgets it.
	obs_frontend_remove_dock(kDockId);
	dock = nullptr;
	blog(LOG_INFO, "[KELP] unloaded KELP OBS Plugin %s", kKelpModuleVersion);
}

MODULE_EXPORT const char *obs_module_description(void)
{
	return "KELP realtime event runtime, dock and local widget event bus.";
}
