#pragma once

// State of the simulated service, shared by the plug-in endpoints and the control API.

#include "service-sim.h"
#include "sim-chaos.h"
#include "sim-http.h"
#include "sim-tls.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QTimer>

namespace kelpsim {

struct Pairing {
	enum State { Pending, Approved, Expired };
	QString pairId;
	QString code;
	QString challenge;
	QString deviceId;
	QString deviceName;
	QString obsVersion;
	QString pluginVersion;
	qint64 createdMs = 0;
	State state = Pending;
	QString token;
};

struct Device {
	QString deviceId;
	QString name;
	QString token;             // empty: not paired (never paired, or revoked)
	qint64 seq = 0;            // last assigned sequence number
	QList<QJsonObject> events; // oldest first, each with its "seq"
	qint64 lastHeartbeatMs = 0;
	qint64 reportedLastSeq = -1;
	QString obsVersion;
	QString pluginVersion;
};

struct HeldPoll {
	QPointer<HttpConnection> connection;
	QString deviceId;
	qint64 afterSeq = 0;
};

struct DroppedRequest {
	QByteArray method;
	QByteArray path;
	QByteArray query;
	qint64 atMs = 0;
};

struct Asset {
	QByteArray mime;
	QByteArray data;
	QString updatedAt;

	// The asset as the service and the control API both serve it.
	HttpAnswer answer() const
	{
		HttpAnswer served;
		served.contentType = mime;
		served.body = data;
		served.addHeader("X-Updated-At", updatedAt.toUtf8());
		return served;
	}
};

struct RuntimeFile {
	QString path;
	QByteArray data;
	QByteArray sha256; // lowercase hex
};

struct Runtime {
	QString version;
	QString minPluginVersion;
	QList<RuntimeFile> files;
};

class ServiceSim::Private {
public:
	explicit Private(ServiceSim *q);

	// Wire
	void onNewConnection();
	void onRequest(HttpConnection *connection);
	void route(HttpConnection *connection);
	bool takeFault(const QByteArray &path, Fault *fault);
	bool isResendOfDrop(const RequestRecord &record);
	void logRequest(const RequestRecord &record);

	// Plug-in endpoints
	void pairStart(HttpConnection *connection);
	void pairStatus(HttpConnection *connection);
	Device *authorize(HttpConnection *connection);
	void heartbeat(HttpConnection *connection);
	void events(HttpConnection *connection);
	void answerPoll(HttpConnection *connection, const QString &deviceId, qint64 afterSeq);
	void wakePolls(const QString &deviceId);
	void widgetState(HttpConnection *connection);
	void widgetAsset(HttpConnection *connection);
	void manifest(HttpConnection *connection);
	void runtimeFile(HttpConnection *connection);

	// Control API under /_sim/, and the web page at "/" that drives it
	void control(HttpConnection *connection);
	void page(HttpConnection *connection);

	// Helpers
	Pairing::State effectiveState(const Pairing &pairing) const;
	Pairing *pendingByCode(const QString &code);
	QString newCode() const;
	Device &device(const QString &deviceId);
	qint64 appendEvent(Device &device, const QJsonObject &event);
	QJsonObject manifestObject() const;
	QJsonObject widgetStateObject() const;
	QString fileUrl(const QString &version, const QString &path) const;
	static QJsonObject faultToJson(const Fault &fault);

	// Persistence (setStateFile)
	void markChanged();
	bool saveState();
	bool loadState(const QByteArray &bytes);
	static bool faultFromJson(const QJsonObject &object, Fault *fault, QString *error);

	ServiceSim *q;
	SimServer server;
	QList<QPointer<HttpConnection>> connections;

	QList<Pairing> pairings; // oldest first
	int codeLifetimeMs = 0;
	QMap<QString, Device> devices;
	QList<HeldPoll> heldPolls;
	int maxWaitMs = 30000;

	QString widgetId;
	QString widgetRevision;
	QJsonObject widgetConfig;
	QMap<QString, Asset> assets;

	QHash<QString, Runtime> runtimes; // every published version stays downloadable
	QString currentRuntime;
	QString defaultRuntimeFolder;
	QByteArray manifestOverride;

	QList<Fault> faults;
	Chaos chaos;
	QList<DroppedRequest> recentDrops;
	QList<RequestRecord> log;
	// Requests that carried a token to this simulator under another origin (a followed redirect).
	qint64 tokensOffOrigin = 0;

	QString stateFile;
	QTimer saveTimer;
};

} // namespace kelpsim
