#pragma once

// What the client suites share: an isolated settings store, the simulator's paths, and readers of
// the client's inner timers and replies.

#include "client/kelp-client.h"
#include "common/kelp-common.h"
#include "service-sim.h"

#include <QFile>
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

inline const QString kDeviceId = QStringLiteral("0123456789abcdef0123456789abcdef");

// Points the user-scope store at a private folder for as long as it lives.
class IsolatedStore {
public:
	IsolatedStore()
	{
		QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
		QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
	}
	bool isValid() const { return dir.isValid(); }
	// The bytes on disk: what survives the process, unlike QSettings' in-process cache.
	QByteArray fileBytes() const
	{
		QFile file(dir.filePath(QStringLiteral("KELP Ziziru/KELP OBS Plugin.conf")));
		return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
	}

private:
	QTemporaryDir dir;
};

// A store as a device paired earlier leaves it; returns the device token.
inline QString storePairedDevice(kelpsim::ServiceSim &sim, qint64 lastSeq = 0)
{
	const QString token = sim.issueToken(kDeviceId);
	QSettings store(QString::fromLatin1(kKelpSettingsOrganization), QString::fromLatin1(kKelpSettingsApplication));
	store.setValue(QStringLiteral("device/id"), kDeviceId);
	store.setValue(QStringLiteral("auth/device_token"), token);
	store.setValue(QStringLiteral("events/last_seq"), lastSeq);
	store.sync();
	return token;
}

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

inline kelpsim::Fault fault(const QByteArray &path, kelpsim::Fault::Kind kind, int status = 500,
			    const QByteArray &body = QByteArray(), int count = 1, int delayMs = 0)
{
	return kelpsim::Fault{path, kind, status, body, delayMs, count};
}

} // namespace kelptest
