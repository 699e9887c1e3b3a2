#pragma once

// What the suites that drive the client against the service simulator share: isolated settings
// and config folders, the simulator as the service, and readers of the client's inner parts.
// Header only: the suites that include it link kelp-core, obs-standin and kelp-service-sim-lib.

#include "client/kelp-client.h"
#include "common/kelp-common.h"
#include "obs-standin.h"
#include "plugin/module-handle.h"
#include "service-sim.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

namespace kelptest {

inline const QByteArray kPairStart = QByteArrayLiteral("/api/v26/plugin/pair/start");
inline const QByteArray kPairStatus = QByteArrayLiteral("/api/v26/plugin/pair/status");
inline const QByteArray kHeartbeat = QByteArrayLiteral("/api/v26/plugin/heartbeat");
inline const QByteArray kEvents = QByteArrayLiteral("/api/v28/plugin/events");
inline const QByteArray kWidgetState = QByteArrayLiteral("/api/v27/plugin/widget-state");
inline const QByteArray kWidgetAsset = QByteArrayLiteral("/api/v27/plugin/widget-asset");
inline const QByteArray kManifest = QByteArrayLiteral("/api/v40/runtime/manifest");
inline const QByteArray kRuntimeFiles = QByteArrayLiteral("/runtime/files/");
inline const QString kDeviceId = QStringLiteral("0123456789abcdef0123456789abcdef");

inline kelpsim::Fault fault(const QByteArray &path, kelpsim::Fault::Kind kind, int status = 500,
			    const QByteArray &body = QByteArray(), int count = 1, int delayMs = 0)
{
	return kelpsim::Fault{path, kind, status, body, delayMs, count};
}

class SimEnvironment {
public:
	// The simulator on `port`, any free one by default.
	explicit SimEnvironment(quint16 port = 0)
	{
		standin::reset();
		standin::setVersionString("30.2.3");
		setKelpModuleHandle(standin::module());
		QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
		QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
#ifdef Q_OS_WIN
		// The store is the registry there, which setPath does not move: start from an empty one.
		QSettings(QString::fromLatin1(kKelpSettingsOrganization), QString::fromLatin1(kKelpSettingsApplication))
			.clear();
#endif
		standin::setModuleConfigPath(configDir.path());
		listening = sim.listen(port);
		setKelpServiceOrigin(sim.origin());
	}
	bool isValid() const
	{
		return listening && settingsDir.isValid() && configDir.isValid() && sourceDir.isValid();
	}

	// A store as an earlier pairing left it: this process's own, or the INI file given. Returns
	// the device token.
	QString storePairedDevice(qint64 lastSeq = 0, const QString &iniFile = QString())
	{
		const QString token = sim.issueToken(kDeviceId);
		const auto store = iniFile.isEmpty()
					   ? std::make_unique<QSettings>(QString::fromLatin1(kKelpSettingsOrganization),
									 QString::fromLatin1(kKelpSettingsApplication))
					   : std::make_unique<QSettings>(iniFile, QSettings::IniFormat);
		store->setValue(QStringLiteral("device/id"), kDeviceId);
		store->setValue(QStringLiteral("auth/device_token"), token);
		store->setValue(QStringLiteral("events/last_seq"), lastSeq);
		return token;
	}

	// The store's bytes on disk: what survives the process, unlike QSettings' in-process cache.
	// On Windows, the registry's values read afresh, one "name=value" line each.
	QByteArray storeBytes() const
	{
#ifdef Q_OS_WIN
		const QSettings registry(QStringLiteral("HKEY_CURRENT_USER\\Software\\%1\\%2")
						 .arg(QString::fromLatin1(kKelpSettingsOrganization),
						      QString::fromLatin1(kKelpSettingsApplication)),
					 QSettings::NativeFormat);
		QByteArray lines;
		for (const QString &key : registry.allKeys())
			lines += key.section(QLatin1Char('/'), -1).toUtf8() + '=' +
				 registry.value(key).toString().toUtf8() + '\n';
		return lines;
#else
		QFile file(settingsDir.filePath(QStringLiteral("KELP Ziziru/KELP OBS Plugin.conf")));
		return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
#endif
	}

	bool publishRuntime(const QString &version)
	{
		const QString folder = sourceDir.path() + QLatin1Char('/') + version;
		const QList<QPair<QString, QByteArray>> files = {
			{QStringLiteral("index.html"), "<!doctype html><p>runtime " + version.toUtf8() + "</p>"},
			{QStringLiteral("js/app.js"), QByteArray(64 * 1024, 'j')}};
		for (const auto &[path, bytes] : files) {
			QFile file(folder + QLatin1Char('/') + path);
			if (!QDir().mkpath(QFileInfo(file).path()) || !file.open(QIODevice::WriteOnly) ||
			    file.write(bytes) != bytes.size())
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

inline QTimer *clientTimer(KelpClient &client, const char *name)
{
	return client.findChild<QTimer *>(QLatin1String(name));
}

// Paths of every reply the client's access manager finished, in order. The manager signals
// before the client's own handler runs, but both run inside the same emit, so once the event
// loop has turned the handler is done.
class FinishedReplies : public QObject {
public:
	explicit FinishedReplies(KelpClient &client)
	{
		auto *network = client.findChild<QNetworkAccessManager *>(QStringLiteral("network"));
		if (network)
			connect(network, &QNetworkAccessManager::finished, this,
				[this](QNetworkReply *reply) { paths.append(reply->url().path().toUtf8()); });
	}
	int count(const QByteArray &path) const { return int(paths.count(path)); }
	QList<QByteArray> paths;
};

} // namespace kelptest
