#pragma once

// What the fault suites share: an isolated settings store and config folder, and the simulator
// as the service.

#include "client/kelp-client.h"
#include "common/kelp-common.h"
#include "obs-standin.h"
#include "plugin/module-handle.h"
#include "runtime/runtime-updater.h"
#include "service-sim.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

namespace kelpfault {

inline const QByteArray kHeartbeat = QByteArrayLiteral("/api/v26/plugin/heartbeat");
inline const QByteArray kEvents = QByteArrayLiteral("/api/v28/plugin/events");
inline const QByteArray kWidgetState = QByteArrayLiteral("/api/v27/plugin/widget-state");
inline const QByteArray kWidgetAsset = QByteArrayLiteral("/api/v27/plugin/widget-asset");
inline const QByteArray kManifest = QByteArrayLiteral("/api/v40/runtime/manifest");
inline const QByteArray kRuntimeFiles = QByteArrayLiteral("/runtime/files/");
inline const QString kDeviceId = QStringLiteral("fedcba9876543210fedcba9876543210");

inline kelpsim::Fault fault(const QByteArray &path, kelpsim::Fault::Kind kind, int count = 1)
{
	kelpsim::Fault f;
	f.path = path;
	f.kind = kind;
	f.count = count;
	return f;
}

class Environment {
public:
	Environment()
	{
		standin::reset();
		standin::setVersionString("30.2.3");
		setKelpModuleHandle(standin::module());
		QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
		QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
		standin::setModuleConfigPath(configDir.path());
		listening = sim.listen();
		setKelpServiceOrigin(sim.origin());
	}
	bool isValid() const
	{
		return listening && settingsDir.isValid() && configDir.isValid() && sourceDir.isValid();
	}

	// A store as an earlier pairing left it: this process's own, or the INI file given.
	void storePairedDevice(const QString &iniFile = QString())
	{
		const QString token = sim.issueToken(kDeviceId);
		const auto store = iniFile.isEmpty()
					   ? std::make_unique<QSettings>(QString::fromLatin1(kKelpSettingsOrganization),
									 QString::fromLatin1(kKelpSettingsApplication))
					   : std::make_unique<QSettings>(iniFile, QSettings::IniFormat);
		store->setValue(QStringLiteral("device/id"), kDeviceId);
		store->setValue(QStringLiteral("auth/device_token"), token);
		store->setValue(QStringLiteral("events/last_seq"), 0);
	}

	qint64 storedLastSeq() const
	{
		QSettings store(QString::fromLatin1(kKelpSettingsOrganization),
				QString::fromLatin1(kKelpSettingsApplication));
		return store.value(QStringLiteral("events/last_seq")).toLongLong();
	}

	bool publishRuntime(const QString &version)
	{
		const QString folder = sourceDir.path() + QLatin1Char('/') + version;
		if (!QDir().mkpath(folder + QStringLiteral("/js")))
			return false;
		const QList<QPair<QString, QByteArray>> files = {
			{QStringLiteral("index.html"), "<!doctype html><p>runtime " + version.toUtf8() + "</p>"},
			{QStringLiteral("js/app.js"), QByteArray(64 * 1024, 'j')}};
		for (const auto &[path, bytes] : files) {
			QFile file(folder + QLatin1Char('/') + path);
			if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
				return false;
		}
		return sim.publishRuntime(version, folder);
	}

	QTemporaryDir settingsDir;
	QTemporaryDir configDir;
	QTemporaryDir sourceDir;
	kelpsim::ServiceSim sim;

private:
	bool listening = false;
};

} // namespace kelpfault
