#pragma once

// What the fault suites share: an isolated settings store and config folder, the simulator, and
// a client or an updater whose every status change and log line is recorded with its time.

#include "client/kelp-client.h"
#include "common/kelp-common.h"
#include "obs-standin.h"
#include "plugin/module-handle.h"
#include "runtime/runtime-updater.h"
#include "service-sim.h"

#include <QDir>
#include <QElapsedTimer>
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

// A text as it changed over time.
struct Timeline {
	QElapsedTimer clock;
	QList<QPair<qint64, QString>> entries;
	void add(const QString &text)
	{
		if (entries.isEmpty() || entries.constLast().second != text)
			entries.append({clock.elapsed(), text});
	}
	QStringList texts() const
	{
		QStringList out;
		for (const auto &entry : entries)
			out.append(entry.second);
		return out;
	}
	// When text first appeared, or -1.
	qint64 firstAt(const QString &text) const
	{
		for (const auto &entry : entries) {
			if (entry.second == text)
				return entry.first;
		}
		return -1;
	}
};

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

	// A store as an earlier pairing left it.
	void storePairedDevice()
	{
		const QString token = sim.issueToken(kDeviceId);
		QSettings store(QString::fromLatin1(kKelpSettingsOrganization),
				QString::fromLatin1(kKelpSettingsApplication));
		store.setValue(QStringLiteral("device/id"), kDeviceId);
		store.setValue(QStringLiteral("auth/device_token"), token);
		store.setValue(QStringLiteral("events/last_seq"), 0);
		store.sync();
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

	QString cacheRoot() const { return configDir.path() + QStringLiteral("/runtime/event-goal"); }

	QTemporaryDir settingsDir;
	QTemporaryDir configDir;
	QTemporaryDir sourceDir;
	kelpsim::ServiceSim sim;

private:
	bool listening = false;
};

} // namespace kelpfault
